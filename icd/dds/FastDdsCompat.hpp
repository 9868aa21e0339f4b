#pragma once

// Everything that differs between Fast DDS 2.x and 3.x, in one place. The rest of the library uses
// these names only.

#include <fastdds/dds/core/ReturnCode.hpp>
#include <fastdds/dds/core/Time_t.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/rtps/common/InstanceHandle.hpp>
#include <fastdds/rtps/common/SerializedPayload.hpp>
#include <fastdds/rtps/common/Time_t.hpp>
#include <fastdds/utils/md5.hpp>

namespace qara::nimb::icd::dds::fastdds {

using ReturnCode = eprosima::fastdds::dds::ReturnCode_t;
constexpr ReturnCode kOk = eprosima::fastdds::dds::RETCODE_OK;
constexpr ReturnCode kPreconditionNotMet = eprosima::fastdds::dds::RETCODE_PRECONDITION_NOT_MET;
constexpr ReturnCode kTimeout = eprosima::fastdds::dds::RETCODE_TIMEOUT;
constexpr ReturnCode kNoData = eprosima::fastdds::dds::RETCODE_NO_DATA;

using Duration = eprosima::fastdds::dds::Duration_t;
using Time = eprosima::fastdds::dds::Time_t;
using Md5 = eprosima::fastdds::MD5;
using SerializedPayload = eprosima::fastdds::rtps::SerializedPayload_t;
using InstanceHandle = eprosima::fastdds::rtps::InstanceHandle_t;
using DataRepresentationId = eprosima::fastdds::dds::DataRepresentationId_t;
using TopicDataType = eprosima::fastdds::dds::TopicDataType;

// A received sample's time stamps: an RTPS time with accessor functions in 3.x, public fields in 2.x.
using SampleTime = eprosima::fastdds::rtps::Time_t;

inline int32_t secondsOf(const SampleTime& time)
{
    return time.seconds();
}

inline uint32_t nanosecondsOf(const SampleTime& time)
{
    return time.nanosec();
}

}  // namespace qara::nimb::icd::dds::fastdds
