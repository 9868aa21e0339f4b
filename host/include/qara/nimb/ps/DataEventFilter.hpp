#pragma once

#include <qara/nimb/ps/InstanceState.hpp>

#include <memory>
#include <set>

namespace qara::nimb::ps {

// Selects the samples a data-event read or a subscription takes. The default filter accepts every sample.
// Callbacks get a sample only when it passes all three fields. readDataEvents looks at instanceState and
// instanceEvents only when an instance is named, and then a sample of another instance passes when it
// matches either of them. Two filters overlap (and cannot both be subscribed) when their instances may be
// the same (either null, or equal keys), their states meet (equal, or either ANY) and their event sets share
// an event (or either is empty).
template <class T>
class DataEventFilter
{
public:
    virtual ~DataEventFilter() = default;
    DataEventFilter() = default;
    // Copies the three fields as given; nothing is checked.
    DataEventFilter(std::shared_ptr<T> instance, InstanceState state, std::set<InstanceEvent> events);
    DataEventFilter(const DataEventFilter&) = default;
    DataEventFilter(DataEventFilter&&) = default;
    DataEventFilter& operator=(const DataEventFilter&) = default;
    DataEventFilter& operator=(DataEventFilter&&) = default;

    // An entity whose key fields name the one instance wanted; null for every instance. On a keyless
    // topic no sample has its key.
    std::shared_ptr<T> instance;
    // ALIVE: alive instances only; NOT_ALIVE: disposed ones only (not those merely without writers); ANY.
    InstanceState instanceState = InstanceState::ANY;
    // CREATED matches the first sample of an instance, UPDATED a later one; DELETED matches no sample.
    // Empty means any.
    std::set<InstanceEvent> instanceEvents;
};

}  // namespace qara::nimb::ps

#include "DataEventFilter.inl"
