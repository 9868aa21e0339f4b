#pragma once

#include "icd/dds/FastDdsCompat.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace qara::nimb::tools {

// A received sample as it travelled: encapsulation header and CDR body, XCDR1 or XCDR2, untouched.
struct RawPayload
{
    std::vector<uint8_t> bytes;
};

// Type support that copies payloads instead of decoding them, registered under the name of the type it
// stands in for so that it matches that type's writers.
class RawPayloadType : public icd::dds::fastdds::TopicDataType
{
public:
    explicit RawPayloadType(const std::string& typeName);

    bool serialize(const void* const data, icd::dds::fastdds::SerializedPayload& payload,
                   icd::dds::fastdds::DataRepresentationId representation) override;
    bool deserialize(icd::dds::fastdds::SerializedPayload& payload, void* data) override;
    uint32_t calculate_serialized_size(const void* const data,
                                       icd::dds::fastdds::DataRepresentationId representation) override;
    void* create_data() override;
    void delete_data(void* data) override;
    bool compute_key(icd::dds::fastdds::SerializedPayload& payload, icd::dds::fastdds::InstanceHandle& handle,
                     bool forceMd5) override;
    bool compute_key(const void* const data, icd::dds::fastdds::InstanceHandle& handle, bool forceMd5) override;
};

}  // namespace qara::nimb::tools
