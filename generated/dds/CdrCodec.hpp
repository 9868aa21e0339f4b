#pragma once

#include <fastcdr/Cdr.h>
#include <fastcdr/CdrSizeCalculator.hpp>

#include <cstddef>

// CDR encoding of the generated wire structures. Every structure is appendable: under XCDR2 it is delimited
// by a DHEADER, under XCDR1 its members stand alone. Neither encoding writes a member header, so members go
// on and off the wire as plain values: in the machine's byte order as copies at offsets known when compiling,
// from where Fast CDR's alignment is known; otherwise each run of consecutive numbers of one width, and each
// run of booleans, in one Fast CDR call.
namespace generated::dds_ {

eprosima::fastcdr::EncodingAlgorithmFlag encodingFor(eprosima::fastcdr::CdrVersion version);

template <class W>
void serializeStruct(eprosima::fastcdr::Cdr& cdr, const W& data);

// Reads a whole body directly. A truncated payload, a delimited body shorter than the structure (an older
// version of the type) and a boolean octet that is neither 0 nor 1 go through deserializeMembers.
template <class W>
void deserializeStruct(eprosima::fastcdr::Cdr& cdr, W& data);

// Reads member after member through Fast CDR's deserialize_type. A delimited body may end after any member:
// the members it lacks are set to zero. A body without a delimiter must hold every member.
template <class W>
void deserializeMembers(eprosima::fastcdr::Cdr& cdr, W& data);

// Writes the key members in wire order; nothing for a keyless structure.
template <class W>
void serializeKey(eprosima::fastcdr::Cdr& cdr, const W& data);

template <class W>
std::size_t calculateStructSize(eprosima::fastcdr::CdrSizeCalculator& calculator, const W& data,
                                std::size_t& currentAlignment);

}  // namespace generated::dds_

#include "generated/dds/CdrCodec.inl"
