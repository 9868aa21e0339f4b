#pragma once

#include "icd/dds/FastDdsCompat.hpp"

#include <qara/nimb/ps/DataEvent.hpp>

#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include <memory>

namespace qara::nimb::ps {

// One sample with what the reader knows about it. Immutable once built.
template <class T>
class DdsDataEvent : public DataEvent<T>
{
public:
    DdsDataEvent(double timestamp, bool valid, std::shared_ptr<T> entity, InstanceState state, InstanceEvent event)
        : sourceTimestamp(timestamp),
          validData(valid),
          data(std::move(entity)),
          instanceState(state),
          instanceEvent(event)
    {
    }

    bool hasValidData() const override { return validData; }
    const std::shared_ptr<T>& getData() const override { return data; }
    InstanceState getInstanceState() const override { return instanceState; }
    InstanceEvent getInstanceEvent() const override { return instanceEvent; }
    double getSourceTimestamp() const override { return sourceTimestamp; }

private:
    double sourceTimestamp;
    bool validData;
    std::shared_ptr<T> data;
    InstanceState instanceState;
    InstanceEvent instanceEvent;
};

// A sample's source time stamp in seconds.
inline double sourceTimestampOf(const eprosima::fastdds::dds::SampleInfo& info)
{
    return icd::dds::fastdds::secondsOf(info.source_timestamp) +
           icd::dds::fastdds::nanosecondsOf(info.source_timestamp) / 1e9;
}

}  // namespace qara::nimb::ps
