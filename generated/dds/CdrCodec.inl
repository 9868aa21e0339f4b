#pragma once

#include <fastcdr/exceptions/BadParamException.h>
#include <fastcdr/exceptions/NotEnoughMemoryException.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

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

// One run handed to Fast CDR: numbers as an array of their width, booleans as octets.
template <class Run, class Kind>
void writeRun(eprosima::fastcdr::Cdr& cdr, const Run& run, Kind)
{
    if constexpr (std::is_pointer_v<Run>)
    {
        cdr.serialize_array(run, Kind::value);
    }
    else if constexpr (BooleanCount<Run>::value > 0)
    {
        cdr.serialize_array(octetsOf(run), BooleanCount<Run>::value);
    }
    else
    {
        cdr.serialize(run);
    }
}

template <class Run, class Kind>
void readRun(eprosima::fastcdr::Cdr& cdr, Run& run, Kind)
{
    if constexpr (std::is_pointer_v<Run>)
    {
        cdr.deserialize_array(run, Kind::value);
    }
    else if constexpr (BooleanCount<Run>::value > 0)
    {
        readBooleans(cdr, run, Kind::value);
    }
    else
    {
        cdr.deserialize(run);
    }
}

// Width of one value of a run and the bytes of the whole run.
template <class Run, class Kind>
constexpr std::pair<std::size_t, std::size_t> shapeOf()
{
    if constexpr (std::is_pointer_v<Run>)
    {
        return {sizeof(std::remove_pointer_t<Run>), sizeof(std::remove_pointer_t<Run>) * Kind::value};
    }
    else
    {
        static_assert(sizeof(bool) == 1);
        return {1, sizeof(Run)};
    }
}

// Where a run's bytes lie: a run of numbers is handed over as a pointer to its first value.
template <class Run>
auto* addressOf(Run& run)
{
    if constexpr (std::is_pointer_v<std::remove_cv_t<Run>>)
    {
        return run;
    }
    else
    {
        return &run;
    }
}

// Fast CDR aligns each value to its width, at most the version's largest alignment, counted from an origin it
// keeps to itself. Once it has placed a value aligned as strictly as the widest of the structure, every later
// offset follows from the widths alone: the runs from there on move as plain copies at offsets the compiler
// knows, and Fast CDR steps over them at once. Under XCDR2 the delimiter header that Fast CDR has just placed
// is such a value. Calls viaFastCdr(run, kind) for each run Fast CDR has to place, then direct(run, kind,
// offset) for each run after them, its offset counted from the end of the last such run; returns the bytes from
// there to the end of the body. Padding is stepped over, as Fast CDR does.
template <eprosima::fastcdr::CdrVersion version, class Data, class ViaFastCdr, class Direct>
[[gnu::always_inline]] inline std::size_t walkRuns(Data& data, ViaFastCdr&& viaFastCdr, Direct&& direct)
{
    constexpr bool delimited = version == eprosima::fastcdr::CdrVersion::XCDRv2;
    constexpr std::size_t largestAlignment = delimited ? 4 : 8;
    std::size_t widest = 1;
    data.visitWireRuns([&](auto&& run, auto kind) {
        const auto width = shapeOf<std::decay_t<decltype(run)>, decltype(kind)>().first;
        widest = std::max(widest, std::min(width, largestAlignment));
    });
    bool anchored = delimited;
    std::size_t at = 0;       // from a position aligned to `widest`
    std::size_t directAt = 0;  // where the direct runs start, on the same count
    data.visitWireRuns([&](auto&& run, auto kind) {
        const auto [width, bytes] = shapeOf<std::decay_t<decltype(run)>, decltype(kind)>();
        const std::size_t alignment = std::min(width, largestAlignment);
        if (!anchored)
        {
            viaFastCdr(run, kind);
            anchored = alignment == widest;
            at = directAt = bytes;
            return;
        }
        at += (alignment - at % alignment) % alignment;
        direct(run, kind, at - directAt);
        at += bytes;
    });
    return at - directAt;
}

template <eprosima::fastcdr::CdrVersion version, class W>
void writeDirectly(eprosima::fastcdr::Cdr& cdr, const W& data)
{
    const auto ignore = [](auto&&...) {};
    const std::size_t directBytes = walkRuns<version>(data, ignore, ignore);
    walkRuns<version>(data, [&cdr](const auto& run, auto kind) { writeRun(cdr, run, kind); }, ignore);
    if (!cdr.jump(directBytes))
    {
        throw eprosima::fastcdr::exception::NotEnoughMemoryException(
            eprosima::fastcdr::exception::NotEnoughMemoryException::NOT_ENOUGH_MEMORY_MESSAGE_DEFAULT);
    }
    char* const target = cdr.get_current_position() - directBytes;
    walkRuns<version>(data, ignore, [target](const auto& run, auto kind, std::size_t offset) {
        std::memcpy(target + offset, addressOf(run), shapeOf<std::decay_t<decltype(run)>, decltype(kind)>().second);
    });
}

// False where a boolean after the runs Fast CDR placed is neither 0 nor 1: the body is then read member by
// member, Fast CDR's own way with such an octet.
template <eprosima::fastcdr::CdrVersion version, class W>
bool readDirectly(eprosima::fastcdr::Cdr& cdr, W& data)
{
    const auto ignore = [](auto&&...) {};
    const std::size_t directBytes = walkRuns<version>(data, ignore, ignore);
    walkRuns<version>(data, [&cdr](auto&& run, auto kind) { readRun(cdr, run, kind); }, ignore);
    if (!cdr.jump(directBytes))
    {
        throw eprosima::fastcdr::exception::NotEnoughMemoryException(
            eprosima::fastcdr::exception::NotEnoughMemoryException::NOT_ENOUGH_MEMORY_MESSAGE_DEFAULT);
    }
    const char* const source = cdr.get_current_position() - directBytes;
    bool everyBooleanValid = true;
    walkRuns<version>(data, ignore, [&](auto&& run, auto kind, std::size_t offset) {
        using Run = std::decay_t<decltype(run)>;
        if constexpr (!std::is_pointer_v<Run>)
        {
            everyBooleanValid = everyBooleanValid &&
                                allZeroOrOne<shapeOf<Run, decltype(kind)>().second>(
                                    reinterpret_cast<const uint8_t*>(source + offset));
        }
    });
    if (!everyBooleanValid)
    {
        return false;
    }
    walkRuns<version>(data, ignore, [source](auto&& run, auto kind, std::size_t offset) {
        std::memcpy(addressOf(run), source + offset, shapeOf<std::decay_t<decltype(run)>, decltype(kind)>().second);
    });
    return true;
}

template <class W>
void writeStorage(eprosima::fastcdr::Cdr& cdr, const W& data)
{
    if (cdr.endianness() != eprosima::fastcdr::Cdr::DEFAULT_ENDIAN)
    {
        data.visitWireRuns([&cdr](const auto& run, auto kind) { writeRun(cdr, run, kind); });
    }
    else if (cdr.get_cdr_version() == eprosima::fastcdr::CdrVersion::XCDRv2)
    {
        writeDirectly<eprosima::fastcdr::CdrVersion::XCDRv2>(cdr, data);
    }
    else
    {
        writeDirectly<eprosima::fastcdr::CdrVersion::XCDRv1>(cdr, data);
    }
}

template <class W>
bool readStorage(eprosima::fastcdr::Cdr& cdr, W& data)
{
    if (cdr.endianness() != eprosima::fastcdr::Cdr::DEFAULT_ENDIAN)
    {
        data.visitWireRuns([&cdr](auto&& run, auto kind) { readRun(cdr, run, kind); });
        return true;
    }
    if (cdr.get_cdr_version() == eprosima::fastcdr::CdrVersion::XCDRv2)
    {
        return readDirectly<eprosima::fastcdr::CdrVersion::XCDRv2>(cdr, data);
    }
    return readDirectly<eprosima::fastcdr::CdrVersion::XCDRv1>(cdr, data);
}

// Reads a body that holds every member; false for a delimited body that is shorter and for a boolean that the
// direct read leaves to the member-by-member one.
template <class W>
bool readWholeBody(eprosima::fastcdr::Cdr& cdr, W& data)
{
    if (cdr.get_cdr_version() != eprosima::fastcdr::CdrVersion::XCDRv2)
    {
        return readStorage(cdr, data);
    }
    uint32_t dheader = 0;
    cdr.deserialize(dheader);
    if (dheader < W::delimitedBodySize)
    {
        return false;
    }
    if (!readStorage(cdr, data))
    {
        return false;
    }
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
