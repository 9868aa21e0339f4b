#pragma once

#include <fastcdr/exceptions/BadParamException.h>
#include <fastcdr/exceptions/NotEnoughMemoryException.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace generated::dds_ {

inline eprosima::fastcdr::EncodingAlgorithmFlag encodingFor(eprosima::fastcdr::CdrVersion version)
{
    return version == eprosima::fastcdr::CdrVersion::XCDRv2 ? eprosima::fastcdr::EncodingAlgorithmFlag::DELIMIT_CDR2
                                                            : eprosima::fastcdr::EncodingAlgorithmFlag::PLAIN_CDR;
}

namespace detail {

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

// A boolean is one octet, 0 or 1, in memory as on the wire: runs of booleans go as octets, in one copy,
// where Fast CDR would test and write them one by one.
template <class S>
auto* octetsOf(S& storage)
{
    static_assert(sizeof(bool) == 1 && sizeof(S) == BooleanCount<std::remove_const_t<S>>::value);
    return reinterpret_cast<std::conditional_t<std::is_const_v<S>, const char, char>*>(&storage);
}

template <std::size_t N>
bool allZeroOrOne(const uint8_t* octets)
{
    uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= N; i += 8)
    {
        uint64_t word;
        std::memcpy(&word, octets + i, 8);
        high |= word;
    }
    for (; i < N; ++i)
    {
        high |= octets[i];
    }
    return (high & 0xfefefefefefefefeull) == 0;
}

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

// Fast CDR leaves an array element whose octet is neither 0 nor 1 as it was, and refuses such a single
// boolean; booleans that are members of their own are refused at the same member as one by one. The octets
// are checked where they arrived, not where Fast CDR has just copied them: loading what was just stored
// stalls the processor.
template <class S>
void readBooleans(eprosima::fastcdr::Cdr& cdr, S& storage, bool severalScalars)
{
    constexpr std::size_t count = BooleanCount<S>::value;
    const auto* arrived = reinterpret_cast<const uint8_t*>(cdr.get_current_position());
    const S before = storage;
    cdr.deserialize_array(octetsOf(storage), count);
    if (allZeroOrOne<count>(arrived))
    {
        return;
    }
    storage = before;
    if (!severalScalars)
    {
        takeOctets(storage, arrived);
        return;
    }
    const auto* bad = std::find_if(arrived, arrived + count, [](uint8_t octet) { return octet > 1; });
    std::copy(arrived, bad, storage.begin());
    throw eprosima::fastcdr::exception::BadParamException("a boolean member is neither 0 nor 1");
}

template <class W>
void writeStorage(eprosima::fastcdr::Cdr& cdr, const W& data)
{
    data.visitWireRuns([&cdr](const auto& run, auto kind) {
        using Run = std::decay_t<decltype(run)>;
        if constexpr (std::is_pointer_v<Run>)
        {
            cdr.serialize_array(run, decltype(kind)::value);
        }
        else if constexpr (BooleanCount<Run>::value > 0)
        {
            cdr.serialize_array(octetsOf(run), BooleanCount<Run>::value);
        }
        else
        {
            cdr.serialize(run);
        }
    });
}

template <class W>
void readStorage(eprosima::fastcdr::Cdr& cdr, W& data)
{
    data.visitWireRuns([&cdr](auto&& run, auto kind) {
        using Run = std::decay_t<decltype(run)>;
        if constexpr (std::is_pointer_v<Run>)
        {
            cdr.deserialize_array(run, decltype(kind)::value);
        }
        else if constexpr (BooleanCount<Run>::value > 0)
        {
            readBooleans(cdr, run, decltype(kind)::value);
        }
        else
        {
            cdr.deserialize(run);
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
    if (dheader != W::delimitedBodySize && !cdr.jump(dheader - W::delimitedBodySize))  // members of a newer version
    {
        throw eprosima::fastcdr::exception::NotEnoughMemoryException("delimited body longer than the payload");
    }
    return true;
}

}  // namespace detail

template <class W>
void serializeStruct(eprosima::fastcdr::Cdr& cdr, const W& data)
{
    // Every member has a fixed size, so the delimiter header is known before the body: it is written at once
    // instead of being reserved and filled in afterwards.
    if (cdr.get_cdr_version() == eprosima::fastcdr::CdrVersion::XCDRv2)
    {
        cdr.serialize(W::delimitedBodySize);
    }
    detail::writeStorage(cdr, data);
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
