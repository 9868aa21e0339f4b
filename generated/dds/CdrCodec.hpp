#pragma once

#include <fastcdr/Cdr.h>
#include <fastcdr/CdrSizeCalculator.hpp>

#include <cstddef>

// Field-by-field CDR encoding of the generated wire structures. Every structure is appendable: under
// XCDR2 it is delimited by a DHEADER, under XCDR1 its members stand alone; members carry their position as
// member id and never a member header.
namespace generated::dds_ {

eprosima::fastcdr::EncodingAlgorithmFlag encodingFor(eprosima::fastcdr::CdrVersion version);

template <class W>
void serializeStruct(eprosima::fastcdr::Cdr& cdr, const W& data);

template <class W>
void deserializeStruct(eprosima::fastcdr::Cdr& cdr, W& data);

template <class W>
std::size_t calculateStructSize(eprosima::fastcdr::CdrSizeCalculator& calculator, const W& data,
                                std::size_t& currentAlignment);

}  // namespace generated::dds_

#include "generated/dds/CdrCodec.inl"
