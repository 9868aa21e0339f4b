#pragma once

#include "generated/dds/tarvex/PsCmds_RPC_EnableActuation_InPubSubTypes.hpp"
#include "generated/dds/tarvex/PsCmds_RPC_LegPositionSetpoint_InPubSubTypes.hpp"
#include "generated/dds/tarvex/PsCmds_RPC_MirrorPositionSetpoint_InPubSubTypes.hpp"
#include "generated/dds/tarvex/PsCmds_RPC_SetDegradedMode_InPubSubTypes.hpp"
#include "generated/dds/tarvex/PsCmds_RPC_SetPower_InPubSubTypes.hpp"
#include "generated/dds/tarvex/PsCmds_RPC_Stop_InPubSubTypes.hpp"
#include "generated/dds/tarvex/PsMeasurementsPubSubTypes.hpp"
#include "generated/dds/tarvex/SaCmds_RPC_EnableActuation_InPubSubTypes.hpp"
#include "generated/dds/tarvex/SaCmds_RPC_ForceSetpoint_InPubSubTypes.hpp"
#include "generated/dds/tarvex/SaCmds_RPC_PositionSetpoint_InPubSubTypes.hpp"
#include "generated/dds/tarvex/SaCmds_RPC_SetDegradedMode_InPubSubTypes.hpp"
#include "generated/dds/tarvex/SaCmds_RPC_SetPower_InPubSubTypes.hpp"
#include "generated/dds/tarvex/SaCmds_RPC_Stop_InPubSubTypes.hpp"
#include "generated/dds/tarvex/SaMeasurements_fastPubSubTypes.hpp"
#include "generated/dds/tarvex/SaMeasurements_mediumPubSubTypes.hpp"
#include "generated/dds/tarvex/SaMeasurements_slowPubSubTypes.hpp"
#include "generated/tarvex_types.hpp"

#include "SampleValues.hpp"
#include "generated/dds/CdrCodec.hpp"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>

#include <fastdds/dds/core/policy/QosPolicies.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

// The module's wire structures with their type supports, as the arguments of any variadic template (the
// tests take ::testing::Types, the fuzzer TypeList), so that a structure added to the IDL is covered
// everywhere at once; and payloads held as plain bytes.
namespace tarvex_test {

namespace fdds = qara::nimb::icd::dds::fastdds;

template <class W, class S>
struct WireType
{
    using Wire = W;
    using Support = S;
};

template <class... T>
struct TypeList
{
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

// Calls f(T{}, index) for every entry.
template <class... T, class F>
void forEachType(TypeList<T...>, F&& f)
{
    std::size_t index = 0;
    (f(T{}, index++), ...);
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
    if (!support.serialize(&sample, payload, representation))
    {
        return {};
    }
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

// Names typed tests after their structure.
struct TypeNames
{
    template <class T>
    static std::string GetName(int)
    {
        return shortName<T>();
    }
};

// The direct read of a payload against the member-by-member one (Fast CDR's deserialize_type), for
// DirectCodecTest and the fuzzer. Both start from the same stale sample and must agree on the error, on
// every field (also after a failure) and, after success, on where they stopped.
struct ReadOutcome
{
    std::string error;  // the exception's type, empty when the read succeeded
    std::size_t position = 0;
    Bytes fields;

    bool operator==(const ReadOutcome& o) const
    {
        return error == o.error && fields == o.fields && (!error.empty() || position == o.position);
    }
};

template <class W, class Read>
ReadOutcome readPayload(Bytes bytes, Read read)
{
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(bytes.data()), bytes.size());
    eprosima::fastcdr::Cdr cdr(buffer);
    W sample = makeDistinctSample<W>(3);
    ReadOutcome outcome;
    try
    {
        cdr.read_encapsulation();
        read(cdr, sample);
    }
    catch (const eprosima::fastcdr::exception::Exception& error)
    {
        outcome.error = typeid(error).name();
    }
    outcome.position = cdr.get_serialized_data_length();
    outcome.fields = fieldBytes(sample);
    return outcome;
}

// Empty when both reads agree and what the type support decodes encodes again under both versions to the
// same field bits; otherwise what went wrong.
template <class T>
std::string readDisagreement(const Bytes& bytes)
{
    using W = typename T::Wire;
    if (!(readPayload<W>(bytes, [](auto& cdr, W& s) { generated::dds_::deserializeStruct(cdr, s); }) ==
          readPayload<W>(bytes, [](auto& cdr, W& s) { generated::dds_::deserializeMembers(cdr, s); })))
    {
        return "the direct and the member-by-member read differ";
    }
    W first;
    if (!decode<T>(bytes, first))
    {
        return {};
    }
    for (const fdds::DataRepresentationId representation : {kXcdr1, kXcdr2})
    {
        W second;
        if (!decode<T>(encode<T>(first, representation), second) || fieldBytes(second) != fieldBytes(first))
        {
            return "a decoded sample does not encode and decode again to the same fields";
        }
    }
    return {};
}

}  // namespace tarvex_test
