#pragma once

// The plug-in's wire types over plain Fast DDS, without linking the plug-in: the wire structures are
// header-only, and their Fast CDR functions are the plug-in's exported ones, looked up by name. This is the
// only place that reaches into the plug-in past its entry functions.

#include "generated/dds/tarvex/PsMeasurements.hpp"
#include "generated/dds/tarvex/SaMeasurements_fast.hpp"
#include "generated/dds/tarvex/SaMeasurements_medium.hpp"
#include "generated/dds/tarvex/SaMeasurements_slow.hpp"
#include "generated/tarvex_types.hpp"

#include <tarvex/PsMeasurements.hpp>
#include <tarvex/SaMeasurements_fast.hpp>
#include <tarvex/SaMeasurements_medium.hpp>
#include <tarvex/SaMeasurements_slow.hpp>

#include <qara/nimb/PluginLibrary.hpp>

#include <fastcdr/Cdr.h>
#include <fastdds/dds/core/Time_t.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>

#include <cstdint>
#include <string>

namespace qara::nimb::tools {

// The wire structure behind topic interface T.
template <class T>
struct WireOf;
#define NIMB_TOOLS_WIRE(Type)                       \
    template <>                                     \
    struct WireOf<::tarvex::Type>                   \
    {                                               \
        using type = generated::dds_::tarvex::Type; \
    };
TARVEX_TOPIC_TYPES(NIMB_TOOLS_WIRE)
#undef NIMB_TOOLS_WIRE

// Fast DDS type support of wire structure W through the plug-in's serialize and deserialize of W: the same
// type name, encapsulation and CDR version choice as the plug-in's own type support, so that either end
// may be the plug-in.
template <class W>
class PlainTypeSupport : public eprosima::fastdds::dds::TopicDataType
{
public:
    // `type` is the structure's name in the module, "PsMeasurements" say.
    PlainTypeSupport(const PluginLibrary& plugin, const std::string& type);

    bool serialize(const void* const data, eprosima::fastdds::rtps::SerializedPayload_t& payload,
                   eprosima::fastdds::dds::DataRepresentationId_t representation) override;
    bool deserialize(eprosima::fastdds::rtps::SerializedPayload_t& payload, void* data) override;
    uint32_t calculate_serialized_size(const void* const data,
                                       eprosima::fastdds::dds::DataRepresentationId_t representation) override;
    void* create_data() override;
    void delete_data(void* data) override;
    // Keyless.
    bool compute_key(eprosima::fastdds::rtps::SerializedPayload_t&, eprosima::fastdds::rtps::InstanceHandle_t&,
                     bool) override
    {
        return false;
    }
    bool compute_key(const void* const, eprosima::fastdds::rtps::InstanceHandle_t&, bool) override { return false; }
    // Bounded, as the plug-in's type support says: with a preallocated history Fast DDS then delivers by data
    // sharing between processes on one host, on both paths alike.
    bool is_bounded() const override { return true; }

private:
    void (*m_serialize)(eprosima::fastcdr::Cdr&, const W&);
    void (*m_deserialize)(eprosima::fastcdr::Cdr&, W&);
};

// Sets every numeric field of a wire sample, array elements included, to `counter`; flags keep their value.
template <class W>
void fillWire(W& sample, uint64_t counter);

// The plug-in's code QoS, for when no profile library is named: reliable writers that keep every sample
// within generous limits, best-effort readers that take either CDR version.
eprosima::fastdds::dds::DataWriterQos plainWriterQos();
eprosima::fastdds::dds::DataReaderQos plainReaderQos();

// Source time stamps as seconds since the epoch.
eprosima::fastdds::dds::Time_t sourceTimeOf(double seconds);
double sourceSecondsOf(const eprosima::fastdds::dds::SampleInfo& info);

}  // namespace qara::nimb::tools

#include "PlainTypeSupport.inl"
