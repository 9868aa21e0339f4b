#pragma once

#include <qara/nimb/ps/InstanceState.hpp>

#include <memory>

namespace qara::nimb::ps {

// One sample with what the reader knows about it. Immutable.
template <class T>
class DataEvent
{
public:
    // Whether the event carries a sample. Reads and callbacks hand out only events that do, so it is
    // always true there.
    virtual bool hasValidData() const = 0;
    // The sample. An event from readDataEvents owns a copy; one passed to a callback views the reader's
    // sample and is valid only during the call (clone() it to keep it).
    virtual const std::shared_ptr<T>& getData() const = 0;
    // The instanceState of the filter that selected the event, not the sample's own state.
    virtual InstanceState getInstanceState() const = 0;
    // In a callback: CREATED for the first sample of an instance, UPDATED for a later one, DELETED once
    // the instance is disposed or has no writers. Events from readDataEvents always say UPDATED.
    virtual InstanceEvent getInstanceEvent() const = 0;
    // The writer's source time stamp, seconds since the epoch.
    virtual double getSourceTimestamp() const = 0;
    virtual ~DataEvent() = default;
};

}  // namespace qara::nimb::ps
