#pragma once

#include <utility>

namespace qara::nimb::ps {

template <class T>
DataEventFilter<T>::DataEventFilter(std::shared_ptr<T> sample, InstanceState state, std::set<InstanceEvent> events)
    : instance(std::move(sample)), instanceState(state), instanceEvents(std::move(events))
{
}

}  // namespace qara::nimb::ps
