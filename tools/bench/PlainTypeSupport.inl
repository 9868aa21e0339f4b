#pragma once

#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>
#include <fastdds/dds/core/policy/QosPolicies.hpp>

#include <algorithm>
#include <type_traits>
#include <vector>

namespace qara::nimb::tools {

namespace detail {

// The Itanium-ABI name of eprosima::fastcdr::<function><generated::dds_::tarvex::<type>>(Cdr&, <tail>).
inline std::string cdrFunctionSymbol(const std::string& function, const std::string& type, const char* tail)
{
    return "_ZN8eprosima7fastcdr" + std::to_string(function.size()) + function + "IN9generated4dds_6tarvex" +
           std::to_string(type.size()) + type + "EEEvRNS0_3CdrE" + tail;
}

inline eprosima::fastcdr::CdrVersion cdrVersionFor(eprosima::fastdds::dds::DataRepresentationId_t representation)
{
    return representation == eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION ? eprosima::fastcdr::CdrVersion::XCDRv1
                                                                              : eprosima::fastcdr::CdrVersion::XCDRv2;
}

}  // namespace detail

template <class W>
PlainTypeSupport<W>::PlainTypeSupport(const PluginLibrary& plugin, const std::string& type)
    : m_serialize(plugin.function<void(eprosima::fastcdr::Cdr&, const W&)>(
          detail::cdrFunctionSymbol("serialize", type, "RKT_"))),
      m_deserialize(
          plugin.function<void(eprosima::fastcdr::Cdr&, W&)>(detail::cdrFunctionSymbol("deserialize", type, "RT_")))
{
    set_name("generated::dds_::tarvex::" + type);
    is_compute_key_provided = false;
    // The structures are bounded and of one size; the larger of the two encodings bounds every sample.
    W sample;
    max_serialized_type_size =
        std::max(calculate_serialized_size(&sample, eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION),
                 calculate_serialized_size(&sample, eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION));
}

template <class W>
bool PlainTypeSupport<W>::serialize(const void* const data, eprosima::fastdds::rtps::SerializedPayload_t& payload,
                                    eprosima::fastdds::dds::DataRepresentationId_t representation)
{
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(payload.data), payload.max_size);
    const auto version = detail::cdrVersionFor(representation);
    eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN, version);
    payload.encapsulation = cdr.endianness() == eprosima::fastcdr::Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE;
    // The structures are appendable.
    cdr.set_encoding_flag(version == eprosima::fastcdr::CdrVersion::XCDRv2
                              ? eprosima::fastcdr::EncodingAlgorithmFlag::DELIMIT_CDR2
                              : eprosima::fastcdr::EncodingAlgorithmFlag::PLAIN_CDR);
    try
    {
        cdr.serialize_encapsulation();
        m_serialize(cdr, *static_cast<const W*>(data));
    }
    catch (const eprosima::fastcdr::exception::Exception&)
    {
        return false;
    }
    payload.length = static_cast<uint32_t>(cdr.get_serialized_data_length());
    return true;
}

template <class W>
bool PlainTypeSupport<W>::deserialize(eprosima::fastdds::rtps::SerializedPayload_t& payload, void* data)
{
    try
    {
        eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(payload.data), payload.length);
        eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN,
                                   eprosima::fastcdr::CdrVersion::XCDRv2);
        cdr.read_encapsulation();
        m_deserialize(cdr, *static_cast<W*>(data));
    }
    catch (const eprosima::fastcdr::exception::Exception&)
    {
        return false;
    }
    return true;
}

template <class W>
uint32_t PlainTypeSupport<W>::calculate_serialized_size(const void* const data,
                                                        eprosima::fastdds::dds::DataRepresentationId_t representation)
{
    // Serialising into a scratch buffer gives the size without a third symbol from the plug-in.
    std::vector<unsigned char> scratch(4 * sizeof(W) + 64);
    eprosima::fastdds::rtps::SerializedPayload_t payload;
    payload.data = scratch.data();
    payload.max_size = static_cast<uint32_t>(scratch.size());
    const bool written = serialize(data, payload, representation);
    payload.data = nullptr;
    return written ? payload.length : 0;
}

template <class W>
void fillWire(W& sample, uint64_t counter)
{
    sample.visitFields([counter](const char*, auto& field) {
        using F = std::decay_t<decltype(field)>;
        if constexpr (std::is_arithmetic_v<F>)
        {
            if constexpr (!std::is_same_v<F, bool>)
            {
                field = static_cast<F>(counter);
            }
        }
        else if constexpr (!std::is_same_v<typename F::value_type, bool>)
        {
            field.fill(static_cast<typename F::value_type>(counter));
        }
    });
}

template <class W>
void* PlainTypeSupport<W>::create_data()
{
    return new W();
}

template <class W>
void PlainTypeSupport<W>::delete_data(void* data)
{
    delete static_cast<W*>(data);
}

}  // namespace qara::nimb::tools
