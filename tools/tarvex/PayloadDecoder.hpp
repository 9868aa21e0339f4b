#pragma once

// Turns a recorded payload back into a data entity through the plug-in's own CDR functions, found by their
// exported names, so that the tool neither links the plug-in nor carries a decoder of its own.

#include "PlainTypeSupport.hpp"
#include "PubSubPlugin.hpp"

#include <qara/nimb/PluginLibrary.hpp>

#include <fastcdr/Cdr.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qara::nimb::tools {

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

}  // namespace qara::nimb::tools

#include "PayloadDecoder.inl"
