#pragma once

#include <log4cplus/logger.h>

#include <memory>

namespace qara::nimb::ps {

// A new entity over its own zeroed sample.
template <class T, class ST>
std::shared_ptr<T> createDataEntityInternal();

// A new entity holding an independent copy of `sample`.
template <class T, class ST>
std::shared_ptr<T> createDataEntityFrom(const typename ST::DdsType& sample);

// `value` as this library's implementation ST; IllegalStateException (logged at ERROR) for any other.
template <class T, class ST>
const ST& obtainImpl(const T& value, log4cplus::Logger& logger);

template <class T, class ST>
ST& obtainImpl(T& value, log4cplus::Logger& logger);

}  // namespace qara::nimb::ps

#include "ps/DataEntityCreation.inl"
