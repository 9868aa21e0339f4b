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

#include <cstddef>
#include <type_traits>

// Compile-time lists of the module's wire structures with their type supports, shared by the tests and
// the fuzzer so that a structure added to the IDL is covered everywhere at once.
namespace tarvex_test {

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

namespace detail {

// The X-macro lists expand to ", A, B, ..."; a leading placeholder absorbs the first comma.
template <class Placeholder, class... T>
struct DropFirst
{
    using type = TypeList<T...>;
};

}  // namespace detail

#define TARVEX_TEST_WIRE_TYPE(X) , WireType<generated::dds_::tarvex::X, generated::dds_::tarvex::X##PubSubType>

using TopicTypes = detail::DropFirst<void TARVEX_TOPIC_TYPES(TARVEX_TEST_WIRE_TYPE)>::type;
using CommandTypes = detail::DropFirst<void TARVEX_COMMAND_TYPES(TARVEX_TEST_WIRE_TYPE)>::type;
using AllTypes =
    detail::DropFirst<void TARVEX_TOPIC_TYPES(TARVEX_TEST_WIRE_TYPE) TARVEX_COMMAND_TYPES(TARVEX_TEST_WIRE_TYPE)>::type;

#undef TARVEX_TEST_WIRE_TYPE

template <class... T>
constexpr std::size_t typeCount(TypeList<T...>)
{
    return sizeof...(T);
}

template <class U, class... T>
constexpr std::size_t indexOf(TypeList<T...>)
{
    std::size_t index = 0;
    ((std::is_same_v<U, T> ? false : (++index, true)) && ...);
    return index;
}

// Calls f(WireType<...>{}) for the entry at `index`; false when the list is shorter.
template <class... T, class F>
bool withType(TypeList<T...>, std::size_t index, F&& f)
{
    std::size_t position = 0;
    return ((position++ == index ? (f(T{}), true) : false) || ...);
}

}  // namespace tarvex_test
