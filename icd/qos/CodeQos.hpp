#pragma once

// The code QoS, for when no XML profile library is named: reliable writers and best-effort readers (Fast
// DDS's defaults) that keep every sample within generous limits. The plug-in and the tool's plain path and
// recorder take theirs from here, so that every plug-in/plain comparison compares equal QoS.

#include "icd/qos/MemoryModes.hpp"

#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>

namespace qara::nimb::icd::qos {

// KEEP_ALL, within 40000 samples in at most 100 instances.
template <class Qos>
void keepEverySample(Qos& qos)
{
    qos.history().kind = eprosima::fastdds::dds::KEEP_ALL_HISTORY_QOS;
    qos.history().depth = 1000;
    qos.resource_limits().max_samples = 40000;
    qos.resource_limits().max_instances = 100;
}

inline eprosima::fastdds::dds::DataWriterQos codeWriterQos()
{
    eprosima::fastdds::dds::DataWriterQos qos;
    keepEverySample(qos);
    qos.endpoint().history_memory_policy = kDynamicReserve;
    return qos;
}

// Accepts writers of either CDR version: a reader with an empty list would match XCDR1 writers only.
inline void acceptEveryCdrVersion(eprosima::fastdds::dds::DataReaderQos& qos)
{
    qos.representation().m_value = {eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION,
                                    eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION};
}

inline eprosima::fastdds::dds::DataReaderQos codeReaderQos()
{
    eprosima::fastdds::dds::DataReaderQos qos;
    keepEverySample(qos);
    qos.endpoint().history_memory_policy = kDynamicReusable;
    acceptEveryCdrVersion(qos);
    return qos;
}

}  // namespace qara::nimb::icd::qos
