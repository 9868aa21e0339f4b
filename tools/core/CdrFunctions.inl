#pragma once

#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>
#include <fastdds/dds/core/policy/QosPolicies.hpp>

#include <stdexcept>

namespace qara::nimb::tools {

namespace detail {

// The Itanium-ABI name of eprosima::fastcdr::<function><generated::dds_::tarvex::<type>>(Cdr&, <tail>).
inline std::string cdrFunctionSymbol(const std::string& function, const std::string& type, const char* tail)
{
    return "_ZN8eprosima7fastcdr" + std::to_string(function.size()) + function + "IN9generated4dds_6tarvex" +
           std::to_string(type.size()) + type + "EEEvRNS0_3CdrE" + tail;
}

}  // namespace detail

template <class W>
CdrFunctions<W>::CdrFunctions(const PluginLibrary& plugin, const std::string& type)
    : m_serialize(plugin.function<void(eprosima::fastcdr::Cdr&, const W&)>(
          detail::cdrFunctionSymbol("serialize", type, "RKT_"))),
      m_deserialize(
          plugin.function<void(eprosima::fastcdr::Cdr&, W&)>(detail::cdrFunctionSymbol("deserialize", type, "RT_")))
{
}

template <class W>
bool CdrFunctions<W>::encode(const W& sample, icd::dds::fastdds::DataRepresentationId representation,
                             icd::dds::fastdds::SerializedPayload& payload) const
{
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(payload.data), payload.max_size);
    const auto version = representation == eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION
                             ? eprosima::fastcdr::CdrVersion::XCDRv1
                             : eprosima::fastcdr::CdrVersion::XCDRv2;
    eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN, version);
    payload.encapsulation = cdr.endianness() == eprosima::fastcdr::Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE;
    // The structures are appendable.
    cdr.set_encoding_flag(version == eprosima::fastcdr::CdrVersion::XCDRv2
                              ? eprosima::fastcdr::EncodingAlgorithmFlag::DELIMIT_CDR2
                              : eprosima::fastcdr::EncodingAlgorithmFlag::PLAIN_CDR);
    try
    {
        cdr.serialize_encapsulation();
        m_serialize(cdr, sample);
    }
    catch (const eprosima::fastcdr::exception::Exception&)
    {
        return false;
    }
    payload.length = static_cast<uint32_t>(cdr.get_serialized_data_length());
    return true;
}

template <class W>
void CdrFunctions<W>::decode(const uint8_t* data, std::size_t size, W& sample) const
{
    // Fast CDR reads from a mutable buffer but does not write to it.
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(const_cast<uint8_t*>(data)), size);
    eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN, eprosima::fastcdr::CdrVersion::XCDRv2);
    try
    {
        cdr.read_encapsulation();
        m_deserialize(cdr, sample);
    }
    catch (const eprosima::fastcdr::exception::Exception& e)
    {
        throw std::runtime_error(std::string("payload does not decode: ") + e.what());
    }
}

}  // namespace qara::nimb::tools
