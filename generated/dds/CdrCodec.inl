#pragma once

#include <fastcdr/exceptions/BadParamException.h>
#include <fastcdr/exceptions/NotEnoughMemoryException.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>

namespace generated::dds_ {

inline eprosima::fastcdr::EncodingAlgorithmFlag encodingFor(eprosima::fastcdr::CdrVersion version)
{
    return version == eprosima::fastcdr::CdrVersion::XCDRv2 ? eprosima::fastcdr::EncodingAlgorithmFlag::DELIMIT_CDR2
                                                            : eprosima::fastcdr::EncodingAlgorithmFlag::PLAIN_CDR;
}

namespace detail {

template <class S>
void readScalars(eprosima::fastcdr::Cdr& cdr, S& values)
{
    cdr.deserialize(values);
}

// Fast CDR reads an array of booleans without looking at the octets, but refuses a single boolean that is
// neither 0 nor 1. Booleans that are members of their own are refused at the same member as one by one.
template <std::size_t N>
void readScalars(eprosima::fastcdr::Cdr& cdr, std::array<bool, N>& flags)
{
    const eprosima::fastcdr::Cdr::state before(cdr);
    std::array<uint8_t, N> octets;
    cdr.deserialize_array(octets.data(), N);
    const auto bad = std::find_if(octets.begin(), octets.end(), [](uint8_t octet) { return octet > 1; });
    std::copy(octets.begin(), bad, flags.begin());
    if (bad != octets.end())
    {
        const auto index = static_cast<std::size_t>(bad - octets.begin());
        cdr.set_state(before);
        cdr.jump(index);
        cdr.deserialize(flags[index]);  // throws
    }
}

// How many booleans an array of booleans, or an array of such arrays, holds; 0 for any other storage.
template <class S>
struct BooleanCount : std::integral_constant<std::size_t, 0>
{
};
template <std::size_t N>
struct BooleanCount<std::array<bool, N>> : std::integral_constant<std::size_t, N>
{
};
template <class T, std::size_t N>
struct BooleanCount<std::array<T, N>> : std::integral_constant<std::size_t, N * BooleanCount<T>::value>
{
};

template <std::size_t N>
const uint8_t* takeOctets(std::array<bool, N>& flags, const uint8_t* octet)
{
    for (bool& flag : flags)
    {
        flag = *octet == 1 || (*octet == 0 ? false : flag);
        ++octet;
    }
    return octet;
}

template <class T, std::size_t N>
const uint8_t* takeOctets(std::array<T, N>& arrays, const uint8_t* octet)
{
    for (T& array : arrays)
    {
        octet = takeOctets(array, octet);
    }
    return octet;
}

// Fast CDR reads an array member of booleans octet by octet, and leaves an element whose octet is neither 0
// nor 1 as it was. The same, from one read of all the octets: a third of a measurement's decoding time.
template <class S>
void readBooleanArray(eprosima::fastcdr::Cdr& cdr, S& storage)
{
    std::array<uint8_t, BooleanCount<S>::value> octets;
    cdr.deserialize_array(octets.data(), octets.size());
    takeOctets(storage, octets.data());
}

template <class W>
void readStorage(eprosima::fastcdr::Cdr& cdr, W& data)
{
    data.visitStorage([&cdr](auto& storage, auto severalScalars) {
        using Storage = std::remove_reference_t<decltype(storage)>;
        if constexpr (decltype(severalScalars)::value)
        {
            readScalars(cdr, storage);
        }
        else if constexpr (BooleanCount<Storage>::value > 0)
        {
            readBooleanArray(cdr, storage);
        }
        else
        {
            cdr.deserialize(storage);
        }
    });
}

// Reads a body that holds every member; false, with nothing read, for a delimited body that is shorter.
template <class W>
bool readWholeBody(eprosima::fastcdr::Cdr& cdr, W& data)
{
    if (cdr.get_cdr_version() != eprosima::fastcdr::CdrVersion::XCDRv2)
    {
        readStorage(cdr, data);
        return true;
    }
    uint32_t dheader = 0;
    cdr.deserialize(dheader);
    if (dheader < W::delimitedBodySize)
    {
        return false;
    }
    readStorage(cdr, data);
    if (!cdr.jump(dheader - W::delimitedBodySize))  // members of a newer version
    {
        throw eprosima::fastcdr::exception::NotEnoughMemoryException("delimited body longer than the payload");
    }
    return true;
}

}  // namespace detail

template <class W>
void serializeStruct(eprosima::fastcdr::Cdr& cdr, const W& data)
{
    eprosima::fastcdr::Cdr::state state(cdr);
    cdr.begin_serialize_type(state, encodingFor(cdr.get_cdr_version()));
    data.visitStorage([&cdr](const auto& storage, auto) { cdr.serialize(storage); });
    cdr.end_serialize_type(state);
}

template <class W>
void deserializeStruct(eprosima::fastcdr::Cdr& cdr, W& data)
{
    const eprosima::fastcdr::Cdr::state start(cdr);
    try
    {
        if (detail::readWholeBody(cdr, data))
        {
            return;
        }
    }
    catch (const eprosima::fastcdr::exception::NotEnoughMemoryException&)
    {
        // A truncated payload. Fast CDR reads nothing of a run of members that the buffer does not hold
        // whole, so reading member by member once more leaves the fields exactly as one read would.
    }
    cdr.set_state(start);
    deserializeMembers(cdr, data);
}

template <class W>
void deserializeMembers(eprosima::fastcdr::Cdr& cdr, W& data)
{
    const bool delimited = cdr.get_cdr_version() == eprosima::fastcdr::CdrVersion::XCDRv2;
    const eprosima::fastcdr::Cdr::state start(cdr);
    uint32_t dheader = 0;
    if (delimited)
    {
        cdr.deserialize(dheader);
    }
    const eprosima::fastcdr::Cdr::state body(cdr);
    const std::size_t bodyOffset = cdr.get_serialized_data_length();
    cdr.set_state(start);

    uint32_t membersRead = 0;
    cdr.deserialize_type(encodingFor(cdr.get_cdr_version()),
                         [&data, &membersRead](eprosima::fastcdr::Cdr& in, const eprosima::fastcdr::MemberId& member) {
                             const bool known = data.visitField(member.id, [&in](auto& field) { in >> field; });
                             membersRead += known ? 1 : 0;
                             return known;
                         });
    if (!delimited)
    {
        // Fast CDR ends a body without a delimiter quietly at the end of the buffer; here that is a truncated
        // payload, not an older version of the type.
        if (membersRead != W::fieldCount)
        {
            throw eprosima::fastcdr::exception::NotEnoughMemoryException("truncated body: not every member present");
        }
        return;
    }
    // Fast CDR reads a member that starts inside the body to its end, and skips to the end of the body only
    // where the buffer holds it.
    if (cdr.get_serialized_data_length() - bodyOffset > dheader)
    {
        throw eprosima::fastcdr::exception::BadParamException("a member crosses the end of its delimited body");
    }
    cdr.set_state(body);
    if (!cdr.jump(dheader))
    {
        throw eprosima::fastcdr::exception::NotEnoughMemoryException("delimited body longer than the payload");
    }
    for (uint32_t missing = membersRead; missing < W::fieldCount; ++missing)
    {
        data.visitField(missing, [](auto& field) { field = {}; });
    }
}

template <class W>
void serializeKey(eprosima::fastcdr::Cdr& cdr, const W& data)
{
    data.visitKeyFields([&cdr](const char*, const auto& field) { cdr.serialize(field); });
}

template <class W>
std::size_t calculateStructSize(eprosima::fastcdr::CdrSizeCalculator& calculator, const W& data,
                                std::size_t& currentAlignment)
{
    const eprosima::fastcdr::EncodingAlgorithmFlag previous = calculator.get_encoding();
    std::size_t size =
        calculator.begin_calculate_type_serialized_size(encodingFor(calculator.get_cdr_version()), currentAlignment);
    uint32_t id = 0;
    data.visitFields([&](const char*, const auto& field) {
        size += calculator.calculate_member_serialized_size(eprosima::fastcdr::MemberId(id++), field, currentAlignment);
    });
    size += calculator.end_calculate_type_serialized_size(previous, currentAlignment);
    return size;
}

}  // namespace generated::dds_
