#pragma once

// Turns a recorded payload back into a data entity through the plug-in's own CDR functions, found by their
// exported names, so that the tool neither links the plug-in nor carries a decoder of its own.

#include "PubSubPlugin.hpp"

#include "generated/dds/tarvex/PsMeasurements.hpp"
#include "generated/dds/tarvex/SaMeasurements_fast.hpp"
#include "generated/dds/tarvex/SaMeasurements_medium.hpp"
#include "generated/dds/tarvex/SaMeasurements_slow.hpp"

#include <qara/nimb/PluginLibrary.hpp>

#include <fastcdr/Cdr.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qara::nimb::tools {

// The wire structure behind topic interface T.
template <class T>
struct WireOf;
#define NIMB_TOOLS_WIRE_OF(Type)                    \
    template <>                                     \
    struct WireOf<::tarvex::Type>                   \
    {                                               \
        using type = generated::dds_::tarvex::Type; \
    };
TARVEX_TOPIC_TYPES(NIMB_TOOLS_WIRE_OF)
#undef NIMB_TOOLS_WIRE_OF

template <class T>
class PayloadDecoder
{
public:
    // Finds the plug-in's decoder of `type`; std::runtime_error when the plug-in does not export it.
    PayloadDecoder(const PluginLibrary& plugin, const std::string& type);

    // Decodes a payload as it travelled (encapsulation header first, XCDR1 or XCDR2) into `entity`, every
    // field; std::runtime_error when it does not decode.
    void decode(const uint8_t* payload, std::size_t size, T& entity);

private:
    using Wire = typename WireOf<T>::type;

    void (*m_deserialize)(eprosima::fastcdr::Cdr&, Wire&);
    Wire m_wire;
};

// The exported name of eprosima::fastcdr::deserialize<generated::dds_::tarvex::<type>>(Cdr&, <type>&).
std::string deserializeSymbol(const std::string& type);

}  // namespace qara::nimb::tools

#include "PayloadDecoder.inl"
