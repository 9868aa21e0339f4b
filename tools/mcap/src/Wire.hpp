#pragma once

#include <qara/nimb/mcap/Records.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Little-endian fields of MCAP records, and each record's content as bytes.
namespace qara::nimb::mcap::wire {

// Appends fields to a byte string: integers little-endian in their own width, strings as uint32 length then
// the bytes, maps and lists of pairs as uint32 byte length then the entries.
class Out
{
public:
    template <class... Values>
    void operator()(const Values&... values)
    {
        (field(values), ...);
    }
    // The bytes up to the end of the record, with no length before them.
    void rest(const uint8_t* data, std::size_t size) { m_bytes.append(reinterpret_cast<const char*>(data), size); }

    std::string& bytes() { return m_bytes; }

private:
    template <class V>
    void field(const V& value)
    {
        if constexpr (std::is_integral_v<V>)
        {
            for (std::size_t i = 0; i < sizeof(V); ++i)
            {
                m_bytes.push_back(static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xff));
            }
        }
        else if constexpr (std::is_same_v<V, std::string>)
        {
            field(static_cast<uint32_t>(value.size()));
            m_bytes += value;
        }
        else
        {
            Out entries;
            for (const auto& [key, entry] : value)
            {
                entries(key, entry);
            }
            field(static_cast<uint32_t>(entries.m_bytes.size()));
            m_bytes += entries.m_bytes;
        }
    }

    std::string m_bytes;
};

// Reads fields of one record's content, as Out writes them; a field past the end is a FormatError at `base`
// + its position.
class In
{
public:
    In(const uint8_t* data, std::size_t size, uint64_t base) : m_data(data), m_size(size), m_base(base) {}

    template <class... Values>
    void operator()(Values&... values)
    {
        (field(values), ...);
    }
    // The bytes up to the end of the record, in place.
    void rest(const uint8_t*& data, std::size_t& size)
    {
        size = left();
        data = take(size);
    }
    uint8_t u8() { return read<uint8_t>(); }
    uint16_t u16() { return read<uint16_t>(); }
    uint32_t u32() { return read<uint32_t>(); }
    uint64_t u64() { return read<uint64_t>(); }
    // The next `size` bytes, in place.
    const uint8_t* take(uint64_t size);

    std::size_t left() const { return m_size - m_position; }
    uint64_t offset() const { return m_base + m_position; }

private:
    template <class V>
    V read()
    {
        V value{};
        field(value);
        return value;
    }

    template <class V>
    void field(V& value)
    {
        if constexpr (std::is_integral_v<V>)
        {
            const uint8_t* bytes = take(sizeof(V));
            uint64_t little = 0;
            for (std::size_t i = 0; i < sizeof(V); ++i)
            {
                little |= static_cast<uint64_t>(bytes[i]) << (8 * i);
            }
            value = static_cast<V>(little);
        }
        else if constexpr (std::is_same_v<V, std::string>)
        {
            const auto size = read<uint32_t>();
            value.assign(reinterpret_cast<const char*>(take(size)), size);
        }
        else
        {
            const uint64_t start = offset();
            const auto size = read<uint32_t>();
            In entries(take(size), size, start + 4);
            while (entries.left() > 0)
            {
                std::pair<std::remove_const_t<typename V::value_type::first_type>, typename V::value_type::second_type>
                    entry;
                entries(entry.first, entry.second);
                value.insert(value.end(), entry);
            }
        }
    }

    const uint8_t* m_data;
    std::size_t m_size;
    uint64_t m_base;
    std::size_t m_position = 0;
};

// A chunk's message index: (log time, offset within the chunk's records) of each message of one channel.
struct MessageIndex
{
    uint16_t channelId = 0;
    std::vector<std::pair<uint64_t, uint64_t>> entries;
};

struct SummaryOffset
{
    uint8_t group = 0;  // the opcode of the group's records
    uint64_t start = 0;
    uint64_t length = 0;
};

// The fixed fields of a chunk record, before its records.
struct ChunkHead
{
    uint64_t messageStartTime = 0;
    uint64_t messageEndTime = 0;
    uint64_t uncompressedSize = 0;
    uint32_t uncompressedCrc = 0;
    std::string compression;
    uint64_t recordsSize = 0;
};

// Each record's fields in wire order, written from a const record with Out and read into one with In.
template <class R, class Record>
using IfRecord = std::enable_if_t<std::is_same_v<std::remove_const_t<R>, Record>>;

template <class Io, class R>
IfRecord<R, Schema> fields(Io& io, R& schema)
{
    io(schema.id, schema.name, schema.encoding, schema.data);
}

template <class Io, class R>
IfRecord<R, Channel> fields(Io& io, R& channel)
{
    io(channel.id, channel.schemaId, channel.topic, channel.messageEncoding, channel.metadata);
}

template <class Io, class R>
IfRecord<R, MessageView> fields(Io& io, R& message)
{
    io(message.channelId, message.sequence, message.logTime, message.publishTime);
    io.rest(message.data, message.size);
}

template <class Io, class R>
IfRecord<R, MessageIndex> fields(Io& io, R& index)
{
    io(index.channelId, index.entries);
}

template <class Io, class R>
IfRecord<R, ChunkIndex> fields(Io& io, R& index)
{
    io(index.messageStartTime, index.messageEndTime, index.chunkStartOffset, index.chunkLength,
       index.messageIndexOffsets, index.messageIndexLength, index.compression, index.compressedSize,
       index.uncompressedSize);
}

template <class Io, class R>
IfRecord<R, Statistics> fields(Io& io, R& statistics)
{
    io(statistics.messageCount, statistics.schemaCount, statistics.channelCount, statistics.attachmentCount,
       statistics.metadataCount, statistics.chunkCount, statistics.messageStartTime, statistics.messageEndTime,
       statistics.channelMessageCounts);
}

template <class Io, class R>
IfRecord<R, SummaryOffset> fields(Io& io, R& offset)
{
    io(offset.group, offset.start, offset.length);
}

template <class Io, class R>
IfRecord<R, ChunkHead> fields(Io& io, R& head)
{
    io(head.messageStartTime, head.messageEndTime, head.uncompressedSize, head.uncompressedCrc, head.compression,
       head.recordsSize);
}

// The index of a chunk record at `offset`, `length` bytes with opcode and length, before its message indexes.
inline ChunkIndex indexOf(const ChunkHead& head, uint64_t offset, uint64_t length)
{
    return {head.messageStartTime, head.messageEndTime,  offset, length, {}, 0, head.compression,
            head.recordsSize,      head.uncompressedSize};
}

// Counts a message in the statistics.
inline void count(Statistics& statistics, const MessageView& message)
{
    if (statistics.messageCount++ == 0)
    {
        statistics.messageStartTime = statistics.messageEndTime = message.logTime;
    }
    statistics.messageStartTime = std::min(statistics.messageStartTime, message.logTime);
    statistics.messageEndTime = std::max(statistics.messageEndTime, message.logTime);
    ++statistics.channelMessageCounts[message.channelId];
}

// A record's fields as bytes, without opcode and length (a chunk's head).
template <class R>
std::string contentOf(const R& value)
{
    Out out;
    fields(out, value);
    return std::move(out.bytes());
}

// A whole record: opcode, content length, content.
std::string record(Opcode opcode, const std::string& content);

template <class R>
std::string record(Opcode opcode, const R& value)
{
    return record(opcode, contentOf(value));
}

template <class R>
R read(In& in)
{
    R value;
    fields(in, value);
    return value;
}

// CRC-32 as MCAP uses it (that of zlib), continued from `crc`.
uint32_t crc32(uint32_t crc, const void* data, std::size_t size);

}  // namespace qara::nimb::mcap::wire
