#pragma once

#include "generated/dds/CdrCodec.hpp"
#include "icd/dds/FastDdsCompat.hpp"

#include <algorithm>
#include <cstdint>

namespace generated::dds_ {

namespace fdds = qara::nimb::icd::dds::fastdds;

// Fast DDS type support of one wire structure W: encapsulation header, CDR version chosen from the data
// representation, and CDR errors turned into false. A keyed structure's instance handle is computed as Fast
// DDS computes it.
template <class W>
class TopicTypeSupport : public fdds::TopicDataType
{
public:
    TopicTypeSupport(const char* typeName, uint32_t maxSerializedSize);
    ~TopicTypeSupport() override;

    TopicTypeSupport(const TopicTypeSupport&) = delete;
    TopicTypeSupport& operator=(const TopicTypeSupport&) = delete;

    bool serialize(const void* const data, fdds::SerializedPayload& payload,
                   fdds::DataRepresentationId representation) override;
    bool deserialize(fdds::SerializedPayload& payload, void* data) override;
    // Members are numbers, booleans and arrays of them, so a payload's size depends on the CDR version alone;
    // it is worked out once for each.
    uint32_t calculate_serialized_size(const void* const data, fdds::DataRepresentationId representation) override;

    void* create_data() override;
    void delete_data(void* data) override;

    bool compute_key(fdds::SerializedPayload& payload, fdds::InstanceHandle& handle, bool forceMd5) override;
    bool compute_key(const void* const data, fdds::InstanceHandle& handle, bool forceMd5) override;

    bool is_bounded() const override { return true; }
    bool is_plain(fdds::DataRepresentationId) const override { return false; }
    bool construct_sample(void*) const override { return false; }

private:
    // An instance handle holds 16 octets: a key that fits is used as it is, a longer one as its MD5 digest.
    static constexpr uint32_t kHandleSize = 16;
    static constexpr uint32_t kKeyBufferSize = std::max(kHandleSize, W::maxKeySize);

    static uint32_t payloadSize(eprosima::fastcdr::CdrVersion version);

    // Whole payloads, encapsulation header included, under XCDR1 and XCDR2.
    const uint32_t m_xcdr1Size;
    const uint32_t m_xcdr2Size;

    fdds::Md5 m_md5;
    unsigned char* m_keyBuffer;
};

}  // namespace generated::dds_

#include "generated/dds/TopicTypeSupport.inl"
