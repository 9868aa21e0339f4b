#include "PlainTypeSupport.hpp"

#include <cmath>

namespace qara::nimb::tools {

namespace dds = eprosima::fastdds::dds;

dds::DataWriterQos plainWriterQos()
{
    dds::DataWriterQos qos;
    qos.history().kind = dds::KEEP_ALL_HISTORY_QOS;
    qos.history().depth = 1000;
    qos.resource_limits().max_samples = 40000;
    qos.resource_limits().max_instances = 100;
    qos.endpoint().history_memory_policy = eprosima::fastdds::rtps::DYNAMIC_RESERVE_MEMORY_MODE;
    return qos;
}

dds::DataReaderQos plainReaderQos()
{
    dds::DataReaderQos qos;
    qos.history().kind = dds::KEEP_ALL_HISTORY_QOS;
    qos.history().depth = 1000;
    qos.resource_limits().max_samples = 40000;
    qos.resource_limits().max_instances = 100;
    qos.endpoint().history_memory_policy = eprosima::fastdds::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
    // An empty list would match XCDR1 writers only.
    qos.representation().m_value = {dds::XCDR_DATA_REPRESENTATION, dds::XCDR2_DATA_REPRESENTATION};
    return qos;
}

dds::Time_t sourceTimeOf(double seconds)
{
    const double whole = std::floor(seconds);
    return dds::Time_t(static_cast<int32_t>(whole), static_cast<uint32_t>((seconds - whole) * 1e9));
}

double sourceSecondsOf(const dds::SampleInfo& info)
{
    return info.source_timestamp.seconds() + info.source_timestamp.nanosec() / 1e9;
}

}  // namespace qara::nimb::tools
