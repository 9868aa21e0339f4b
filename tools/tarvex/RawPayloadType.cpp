#include "RawPayloadType.hpp"

#include <cstring>

namespace qara::nimb::tools {

namespace fdds = icd::dds::fastdds;

namespace {

// Larger than any payload of the module; the reader's memory grows with what actually arrives.
constexpr uint32_t kMaxPayload = 64 * 1024;

}  // namespace

RawPayloadType::RawPayloadType(const std::string& typeName)
{
    set_name(typeName.c_str());
    max_serialized_type_size = kMaxPayload;
    is_compute_key_provided = false;
}

bool RawPayloadType::serialize(const void* const data, fdds::SerializedPayload& payload, fdds::DataRepresentationId)
{
    const auto& bytes = static_cast<const RawPayload*>(data)->bytes;
    if (bytes.size() > payload.max_size)
    {
        return false;
    }
    std::memcpy(payload.data, bytes.data(), bytes.size());
    payload.length = static_cast<uint32_t>(bytes.size());
    return true;
}

bool RawPayloadType::deserialize(fdds::SerializedPayload& payload, void* data)
{
    auto& bytes = static_cast<RawPayload*>(data)->bytes;
    bytes.assign(payload.data, payload.data + payload.length);
    return true;
}

uint32_t RawPayloadType::calculate_serialized_size(const void* const data, fdds::DataRepresentationId)
{
    return static_cast<uint32_t>(static_cast<const RawPayload*>(data)->bytes.size());
}

void* RawPayloadType::create_data()
{
    return new RawPayload();
}

void RawPayloadType::delete_data(void* data)
{
    delete static_cast<RawPayload*>(data);
}

bool RawPayloadType::compute_key(fdds::SerializedPayload&, fdds::InstanceHandle&, bool)
{
    return false;
}

bool RawPayloadType::compute_key(const void* const, fdds::InstanceHandle&, bool)
{
    return false;
}

}  // namespace qara::nimb::tools
