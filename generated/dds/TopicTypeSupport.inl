#pragma once

#include "generated/dds/DecodeFailures.hpp"

#include <fastcdr/Cdr.h>
#include <fastcdr/CdrSizeCalculator.hpp>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>

#include <cstdlib>
#include <cstring>

namespace generated::dds_ {

namespace detail {

inline eprosima::fastcdr::CdrVersion cdrVersionFor(fdds::DataRepresentationId representation)
{
    return representation == eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION ? eprosima::fastcdr::CdrVersion::XCDRv1
                                                                              : eprosima::fastcdr::CdrVersion::XCDRv2;
}

inline uint8_t encapsulationOf(const eprosima::fastcdr::Cdr& cdr)
{
    return cdr.endianness() == eprosima::fastcdr::Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE;
}

}  // namespace detail

template <class W>
TopicTypeSupport<W>::TopicTypeSupport(const char* typeName, uint32_t maxSerializedSize)
    : m_xcdr1Size(payloadSize(eprosima::fastcdr::CdrVersion::XCDRv1)),
      m_xcdr2Size(payloadSize(eprosima::fastcdr::CdrVersion::XCDRv2)),
      m_keyBuffer(static_cast<unsigned char*>(std::calloc(kKeyBufferSize, 1)))
{
    set_name(typeName);
    max_serialized_type_size = maxSerializedSize;
    is_compute_key_provided = W::hasKey;
}

template <class W>
TopicTypeSupport<W>::~TopicTypeSupport()
{
    std::free(m_keyBuffer);
}

template <class W>
bool TopicTypeSupport<W>::serialize(const void* const data, fdds::SerializedPayload& payload,
                                    fdds::DataRepresentationId representation)
{
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(payload.data), payload.max_size);
    const eprosima::fastcdr::CdrVersion version = detail::cdrVersionFor(representation);
    eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN, version);
    payload.encapsulation = detail::encapsulationOf(cdr);
    cdr.set_encoding_flag(encodingFor(version));
    try
    {
        cdr.serialize_encapsulation();
        cdr << *static_cast<const W*>(data);
    }
    catch (const eprosima::fastcdr::exception::Exception&)
    {
        return false;
    }
    payload.length = static_cast<uint32_t>(cdr.get_serialized_data_length());
    return true;
}

template <class W>
bool TopicTypeSupport<W>::deserialize(fdds::SerializedPayload& payload, void* data)
{
    try
    {
        eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(payload.data), payload.length);
        eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN,
                                   eprosima::fastcdr::CdrVersion::XCDRv2);
        // The header tells byte order and CDR version, so payloads of either version decode.
        cdr.read_encapsulation();
        payload.encapsulation = detail::encapsulationOf(cdr);
        cdr >> *static_cast<W*>(data);
    }
    catch (const eprosima::fastcdr::exception::Exception&)
    {
        DecodeFailures::record(data);
        return false;
    }
    DecodeFailures::forget(data);
    return true;
}

template <class W>
uint32_t TopicTypeSupport<W>::calculate_serialized_size(const void* const, fdds::DataRepresentationId representation)
{
    return detail::cdrVersionFor(representation) == eprosima::fastcdr::CdrVersion::XCDRv1 ? m_xcdr1Size : m_xcdr2Size;
}

template <class W>
uint32_t TopicTypeSupport<W>::payloadSize(eprosima::fastcdr::CdrVersion version)
{
    eprosima::fastcdr::CdrSizeCalculator calculator(version);
    std::size_t alignment = 0;
    return static_cast<uint32_t>(calculator.calculate_serialized_size(W(), alignment)) + 4u;  // encapsulation header
}

template <class W>
void* TopicTypeSupport<W>::create_data()
{
    return new W();
}

template <class W>
void TopicTypeSupport<W>::delete_data(void* data)
{
    DecodeFailures::forget(data);
    delete static_cast<W*>(data);
}

template <class W>
bool TopicTypeSupport<W>::compute_key(fdds::SerializedPayload& payload, fdds::InstanceHandle& handle, bool forceMd5)
{
    if (!is_compute_key_provided)
    {
        return false;
    }
    W sample;
    const bool decoded = deserialize(payload, &sample);
    // The note of a failure is about this stack sample, which is gone on return.
    DecodeFailures::forget(&sample);
    return decoded && compute_key(&sample, handle, forceMd5);
}

template <class W>
bool TopicTypeSupport<W>::compute_key(const void* const data, fdds::InstanceHandle& handle, bool forceMd5)
{
    if (!is_compute_key_provided)
    {
        return false;
    }
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(m_keyBuffer), kKeyBufferSize);
    eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::BIG_ENDIANNESS, eprosima::fastcdr::CdrVersion::XCDRv2);
    cdr.set_encoding_flag(eprosima::fastcdr::EncodingAlgorithmFlag::PLAIN_CDR2);
    serialize_key(cdr, *static_cast<const W*>(data));  // found by argument-dependent lookup
    if (forceMd5 || W::maxKeySize > kHandleSize)
    {
        m_md5.init();
        m_md5.update(m_keyBuffer, static_cast<unsigned int>(cdr.get_serialized_data_length()));
        m_md5.finalize();
        std::memcpy(handle.value, m_md5.digest, kHandleSize);
    }
    else
    {
        std::memcpy(handle.value, m_keyBuffer, kHandleSize);
    }
    return true;
}

}  // namespace generated::dds_
