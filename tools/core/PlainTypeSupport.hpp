#pragma once

// The plug-in's wire types over plain Fast DDS, without linking the plug-in: the wire structures are
// header-only, and their Fast CDR functions are the plug-in's exported ones.

#include "tools/core/CdrFunctions.hpp"

#include "icd/dds/FastDdsCompat.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace qara::nimb::tools {

// Fast DDS type support of wire structure W: the same type name, encapsulation and CDR version choice as
// the plug-in's own type support, so that either end may be the plug-in.
template <class W>
class PlainTypeSupport : public icd::dds::fastdds::TopicDataType
{
public:
    PlainTypeSupport(const PluginLibrary& plugin, const std::string& type) : m_cdr(plugin, type)
    {
        set_name("generated::dds_::tarvex::" + type);
        is_compute_key_provided = false;
        // The structures are bounded and of one size; the larger of the two encodings bounds every sample.
        const W sample;
        max_serialized_type_size =
            std::max(calculate_serialized_size(&sample, eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION),
                     calculate_serialized_size(&sample, eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION));
    }

    bool serialize(const void* const data, icd::dds::fastdds::SerializedPayload& payload,
                   icd::dds::fastdds::DataRepresentationId representation) override
    {
        return m_cdr.encode(*static_cast<const W*>(data), representation, payload);
    }

    bool deserialize(icd::dds::fastdds::SerializedPayload& payload, void* data) override
    {
        try
        {
            m_cdr.decode(payload.data, payload.length, *static_cast<W*>(data));
            return true;
        }
        catch (const std::runtime_error&)
        {
            return false;
        }
    }

    uint32_t calculate_serialized_size(const void* const data,
                                       icd::dds::fastdds::DataRepresentationId representation) override
    {
        // Encoding into a scratch buffer gives the size without a third symbol from the plug-in.
        std::vector<unsigned char> scratch(4 * sizeof(W) + 64);
        icd::dds::fastdds::SerializedPayload payload;
        payload.data = scratch.data();
        payload.max_size = static_cast<uint32_t>(scratch.size());
        const bool written = m_cdr.encode(*static_cast<const W*>(data), representation, payload);
        payload.data = nullptr;
        return written ? payload.length : 0;
    }

    void* create_data() override { return new W(); }
    void delete_data(void* data) override { delete static_cast<W*>(data); }
    // Keyless.
    bool compute_key(icd::dds::fastdds::SerializedPayload&, icd::dds::fastdds::InstanceHandle&, bool) override
    {
        return false;
    }
    bool compute_key(const void* const, icd::dds::fastdds::InstanceHandle&, bool) override { return false; }
    // Bounded, as the plug-in's type support says: with a preallocated history Fast DDS then delivers by data
    // sharing between processes on one host, on both paths alike.
    bool is_bounded() const override { return true; }

private:
    CdrFunctions<W> m_cdr;
};

}  // namespace qara::nimb::tools
