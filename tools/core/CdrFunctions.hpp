#pragma once

// The plug-in's exported Fast CDR functions of a wire structure, found by name: the tool neither links the
// plug-in nor carries a codec of its own.

#include "icd/dds/FastDdsCompat.hpp"

#include <qara/nimb/PluginLibrary.hpp>

#include <fastcdr/Cdr.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qara::nimb::tools {

template <class W>
class CdrFunctions
{
public:
    // `type` is the structure's name in the module, "PsMeasurements" say; std::runtime_error when the
    // plug-in does not export the functions.
    CdrFunctions(const PluginLibrary& plugin, const std::string& type);

    // A sample as it travels: encapsulation header, then the body as XCDR1 or XCDR2. False when it does not
    // fit the payload.
    bool encode(const W& sample, icd::dds::fastdds::DataRepresentationId representation,
                icd::dds::fastdds::SerializedPayload& payload) const;
    // A payload as it travelled, byte order and CDR version from its header; std::runtime_error saying why
    // when it does not decode.
    void decode(const uint8_t* data, std::size_t size, W& sample) const;

private:
    void (*m_serialize)(eprosima::fastcdr::Cdr&, const W&);
    void (*m_deserialize)(eprosima::fastcdr::Cdr&, W&);
};

}  // namespace qara::nimb::tools

#include "tools/core/CdrFunctions.inl"
