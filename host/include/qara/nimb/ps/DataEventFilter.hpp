#pragma once

#include <qara/nimb/ps/InstanceState.hpp>

#include <memory>
#include <set>

namespace qara::nimb::ps {

template <class T>
class DataEventFilter
{
public:
    virtual ~DataEventFilter() = default;
    DataEventFilter() = default;
    DataEventFilter(std::shared_ptr<T> instance, InstanceState state, std::set<InstanceEvent> events);
    DataEventFilter(const DataEventFilter&) = default;
    DataEventFilter(DataEventFilter&&) = default;
    DataEventFilter& operator=(const DataEventFilter&) = default;
    DataEventFilter& operator=(DataEventFilter&&) = default;

    std::shared_ptr<T> instance;
    InstanceState instanceState = InstanceState::ANY;
    std::set<InstanceEvent> instanceEvents;
};

}  // namespace qara::nimb::ps

#include "DataEventFilter.inl"
