#pragma once

#include <fastcdr/Cdr.h>
#include <fastcdr/CdrSizeCalculator.hpp>

#include <cstddef>

// CDR encoding of the generated wire structures. Every structure is appendable: under XCDR2 it is delimited
// by a DHEADER, under XCDR1 its members stand alone; members carry their position as member id and never a
// member header.
namespace generated::dds_ {

eprosima::fastcdr::EncodingAlgorithmFlag encodingFor(eprosima::fastcdr::CdrVersion version);

template <class W>
void serializeStruct(eprosima::fastcdr::Cdr& cdr, const W& data);

template <class W>
void deserializeStruct(eprosima::fastcdr::Cdr& cdr, W& data);

// Reads member after member through Fast CDR's deserialize_type. A delimited body may end after any member:
// the members it lacks are set to zero. A body without a delimiter must hold every member.
template <class W>
void deserializeMembers(eprosima::fastcdr::Cdr& cdr, W& data);

template <class W>
std::size_t calculateStructSize(eprosima::fastcdr::CdrSizeCalculator& calculator, const W& data,
                                std::size_t& currentAlignment);

}  // namespace generated::dds_

#include "generated/dds/CdrCodec.inl"
