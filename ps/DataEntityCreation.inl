#pragma once

#include "icd/dds/SampleDeleters.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <log4cplus/loggingmacros.h>

#include <new>
#include <stdexcept>

namespace qara::nimb::ps {

namespace detail {

[[noreturn]] inline void throwForeignImplementation(log4cplus::Logger& logger)
{
    static const char* const message = "Data type for instance or value is incorrect. Not a DDS supported type";
    LOG4CPLUS_ERROR(logger, message);
    throw IllegalStateException(message);
}

// An entity and the sample it owns, in one allocation: the entity borrows the sample beside it.
template <class ST>
struct EntityWithSample
{
    using DdsType = typename ST::DdsType;

    EntityWithSample() : sample{} {}
    explicit EntityWithSample(const DdsType& from) : sample(from) {}

    DdsType sample;
    ST entity{&sample};
};

template <class T, class ST, class... From>
std::shared_ptr<T> makeEntityWithSample(const From&... from)
{
    std::shared_ptr<EntityWithSample<ST>> block;
    try
    {
        block = std::make_shared<EntityWithSample<ST>>(from...);
    }
    catch (const std::bad_alloc&)
    {
        throw std::runtime_error(icd::dds::kSampleAllocationFailure);
    }
    return std::shared_ptr<T>(block, &block->entity);
}

}  // namespace detail

template <class T, class ST>
std::shared_ptr<T> createDataEntityInternal()
{
    return detail::makeEntityWithSample<T, ST>();
}

template <class T, class ST>
std::shared_ptr<T> createDataEntityFrom(const typename ST::DdsType& sample)
{
    return detail::makeEntityWithSample<T, ST>(sample);
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
