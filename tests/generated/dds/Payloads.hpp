#pragma once

#include "WireTypes.hpp"

#include <fastdds/dds/core/policy/QosPolicies.hpp>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

// Encoding and decoding through the type supports, with payloads held as plain bytes between the two.
namespace tarvex_test {

namespace fdds = qara::nimb::icd::dds::fastdds;

inline constexpr fdds::DataRepresentationId kXcdr1 = eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION;
inline constexpr fdds::DataRepresentationId kXcdr2 = eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION;
inline constexpr std::array<fdds::DataRepresentationId, 2> kRepresentations{kXcdr1, kXcdr2};

using Bytes = std::vector<unsigned char>;

inline const char* nameOf(fdds::DataRepresentationId representation)
{
    return representation == kXcdr1 ? "XCDR1" : "XCDR2";
}

// Exactly as large as the bytes, so that AddressSanitizer sees any read past the end.
inline fdds::SerializedPayload payloadOf(const unsigned char* bytes, std::size_t length)
{
    fdds::SerializedPayload payload(static_cast<uint32_t>(length));
    if (length != 0)
    {
        std::memcpy(payload.data, bytes, length);
    }
    payload.length = static_cast<uint32_t>(length);
    return payload;
}

inline fdds::SerializedPayload payloadOf(const Bytes& bytes)
{
    return payloadOf(bytes.data(), bytes.size());
}

// The whole payload, encapsulation header included; the buffer is zeroed first so padding is predictable.
template <class T>
Bytes encode(const typename T::Wire& sample, fdds::DataRepresentationId representation)
{
    typename T::Support support;
    fdds::SerializedPayload payload(T::Support::maxSerializedSize);
    std::memset(payload.data, 0, payload.max_size);
    EXPECT_TRUE(support.serialize(&sample, payload, representation)) << nameOf(representation);
    return Bytes(payload.data, payload.data + payload.length);
}

template <class T>
bool decode(const Bytes& bytes, typename T::Wire& sample)
{
    typename T::Support support;
    fdds::SerializedPayload payload = payloadOf(bytes);
    return support.deserialize(payload, &sample);
}

template <class T>
std::string shortName()
{
    const std::string name = T::Support::typeName;
    return name.substr(name.rfind(':') + 1);
}

template <class L>
struct GtestTypes;

template <class... T>
struct GtestTypes<TypeList<T...>>
{
    using type = ::testing::Types<T...>;
};

struct TypeNames
{
    template <class T>
    static std::string GetName(int)
    {
        return shortName<T>();
    }
};

}  // namespace tarvex_test
