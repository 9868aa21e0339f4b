#pragma once

#include <qara/nimb/Exceptions.hpp>

#include <log4cplus/loggingmacros.h>

namespace qara::nimb::ps {

namespace detail {

[[noreturn]] inline void throwForeignImplementation(log4cplus::Logger& logger)
{
    static const char* const message = "Data type for instance or value is incorrect. Not a DDS supported type";
    LOG4CPLUS_ERROR(logger, message);
    throw IllegalStateException(message);
}

}  // namespace detail

template <class T, class ST>
std::shared_ptr<T> createDataEntityInternal()
{
    return std::make_shared<ST>();
}

template <class T, class ST>
std::shared_ptr<T> createDataEntityFrom(const typename ST::DdsType& sample)
{
    auto entity = std::make_shared<ST>();
    *entity = sample;
    return entity;
}

template <class T, class ST>
const ST& obtainImpl(const T& value, log4cplus::Logger& logger)
{
    const auto* impl = dynamic_cast<const ST*>(&value);
    if (impl == nullptr)
    {
        detail::throwForeignImplementation(logger);
    }
    return *impl;
}

template <class T, class ST>
ST& obtainImpl(T& value, log4cplus::Logger& logger)
{
    return const_cast<ST&>(obtainImpl<T, ST>(static_cast<const T&>(value), logger));
}

}  // namespace qara::nimb::ps
