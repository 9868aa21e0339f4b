#pragma once

#include "generated/dds/tarvex_pubsub_types.hpp"
#include "generated/tarvex_types.hpp"

#include "SampleValues.hpp"
#include "generated/dds/CdrCodec.hpp"

#include <fastcdr/exceptions/Exception.h>
#include <fastdds/dds/core/policy/QosPolicies.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

// The module's wire structures with their type supports, as the arguments of any variadic template (the
// tests take ::testing::Types, the fuzzer std::tuple), so that a structure added to the IDL is covered
// everywhere at once; and payloads held as plain bytes.
namespace tarvex_test {

namespace fdds = qara::nimb::icd::dds::fastdds;

template <class W, class S>
struct WireType
{
    using Wire = W;
    using Support = S;

    // "PsMeasurements" and so on; also names typed tests after their structure.
    static std::string name()
    {
        const std::string full = S::typeName;
        return full.substr(full.rfind(':') + 1);
    }
};

// The X-macro lists expand to ", A, B, ..."; a leading placeholder absorbs the first comma.
template <template <class...> class L, class Placeholder, class... T>
struct DropFirst
{
    using type = L<T...>;
};

#define TARVEX_TEST_WIRE_TYPE(X) , WireType<generated::dds_::tarvex::X, generated::dds_::tarvex::X##PubSubType>
template <template <class...> class L>
using AllTypesIn = typename DropFirst<L, void TARVEX_TOPIC_TYPES(TARVEX_TEST_WIRE_TYPE)
                                             TARVEX_COMMAND_TYPES(TARVEX_TEST_WIRE_TYPE)>::type;
#undef TARVEX_TEST_WIRE_TYPE

// Calls f(T{}, index) for every type of the module.
template <class F>
void forEachType(F&& f)
{
    std::apply(
        [&f](auto... types) {
            std::size_t index = 0;
            (f(types, index++), ...);
        },
        AllTypesIn<std::tuple>{});
}

inline constexpr fdds::DataRepresentationId kXcdr1 = eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION;
inline constexpr fdds::DataRepresentationId kXcdr2 = eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION;

using Bytes = std::vector<unsigned char>;

// Exactly as large as the bytes, so that AddressSanitizer sees any read past the end.
inline fdds::SerializedPayload payloadOf(const Bytes& bytes)
{
    fdds::SerializedPayload payload(static_cast<uint32_t>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), payload.data);
    payload.length = static_cast<uint32_t>(bytes.size());
    return payload;
}

// The whole payload, encapsulation header included, or nothing when serialize fails. The buffer is zeroed
// first, so padding is predictable.
template <class T>
Bytes encode(const typename T::Wire& sample, fdds::DataRepresentationId representation)
{
    typename T::Support support;
    fdds::SerializedPayload payload(T::Support::maxSerializedSize);
    std::memset(payload.data, 0, payload.max_size);
    const bool written = support.serialize(&sample, payload, representation);
    return written ? Bytes(payload.data, payload.data + payload.length) : Bytes{};
}

template <class T>
bool decode(const Bytes& bytes, typename T::Wire& sample)
{
    fdds::SerializedPayload payload = payloadOf(bytes);
    return typename T::Support().deserialize(payload, &sample);
}

// Reads a payload from a stale sample: the exception's type (empty on success), where the read stopped
// (after success only) and the fields.
template <class W, class Read>
std::tuple<std::string, std::size_t, Bytes> readPayload(Bytes bytes, Read read)
{
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(bytes.data()), bytes.size());
    eprosima::fastcdr::Cdr cdr(buffer);
    W sample = makeDistinctSample<W>(3);
    try
    {
        cdr.read_encapsulation();
        read(cdr, sample);
        return {"", cdr.get_serialized_data_length(), fieldBytes(sample)};
    }
    catch (const eprosima::fastcdr::exception::Exception& error)
    {
        return {typeid(error).name(), 0, fieldBytes(sample)};
    }
}

// For DirectCodecTest and the fuzzer: the direct read agrees with the member-by-member one (Fast CDR's
// deserialize_type) on the error, where it stopped and every field, also after a failure; and what the type
// support decodes encodes again under both versions to the same field bits.
template <class T>
bool readsAgree(const Bytes& bytes)
{
    using W = typename T::Wire;
    W first;
    const bool agree = readPayload<W>(bytes, [](auto& cdr, W& s) { generated::dds_::deserializeStruct(cdr, s); }) ==
                       readPayload<W>(bytes, [](auto& cdr, W& s) { generated::dds_::deserializeMembers(cdr, s); });
    if (!agree || !decode<T>(bytes, first))
    {
        return agree;
    }
    W second;
    W third;
    return decode<T>(encode<T>(first, kXcdr1), second) && fieldBytes(second) == fieldBytes(first) &&
           decode<T>(encode<T>(first, kXcdr2), third) && fieldBytes(third) == fieldBytes(first);
}

}  // namespace tarvex_test
