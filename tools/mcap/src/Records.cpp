#include "Wire.hpp"

#include <zlib.h>

#include <limits>

namespace qara::nimb::mcap {

std::string compressionName(Compression compression)
{
    switch (compression)
    {
        case Compression::Zstd:
            return "zstd";
        case Compression::Lz4:
            return "lz4";
        case Compression::None:
            break;
    }
    return "";
}

Compression compressionFromName(const std::string& name)
{
    for (const Compression c : {Compression::None, Compression::Zstd, Compression::Lz4})
    {
        if (compressionName(c) == name)
        {
            return c;
        }
    }
    throw std::invalid_argument("unknown compression '" + name + "' (known: zstd, lz4, none)");
}

FormatError::FormatError(uint64_t offset, const std::string& what)
    : std::runtime_error("offset " + std::to_string(offset) + ": " + what), m_offset(offset), m_reason(what)
{
}

namespace wire {

void Out::little(uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
    {
        m_bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
}

void Out::string(const std::string& value)
{
    u32(static_cast<uint32_t>(value.size()));
    m_bytes += value;
}

uint64_t In::little(int width)
{
    const uint8_t* bytes = take(static_cast<uint64_t>(width));
    uint64_t value = 0;
    for (int i = 0; i < width; ++i)
    {
        value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    }
    return value;
}

const uint8_t* In::take(uint64_t size)
{
    if (size > left())
    {
        throw FormatError(offset(), "field of " + std::to_string(size) + " bytes runs past the end of its record (" +
                                        std::to_string(left()) + " bytes left)");
    }
    const uint8_t* start = m_data + m_position;
    m_position += static_cast<std::size_t>(size);
    return start;
}

std::string In::string()
{
    const uint32_t size = u32();
    const uint8_t* bytes = take(size);
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

std::string record(Opcode opcode, const std::string& content)
{
    Out out;
    out.u8(static_cast<uint8_t>(opcode));
    out.u64(content.size());
    out.bytes() += content;
    return std::move(out.bytes());
}

namespace {

// A map<K, V> or array field: uint32 byte length, then the entries.
template <class Entries>
void lengthPrefixed(Out& out, Entries&& entries)
{
    Out inner;
    entries(inner);
    out.u32(static_cast<uint32_t>(inner.bytes().size()));
    out.bytes() += inner.bytes();
}

template <class Entry>
void readLengthPrefixed(In& in, Entry&& entry)
{
    const uint64_t start = in.offset();
    const uint32_t size = in.u32();
    In inner(in.take(size), size, start + 4);
    while (inner.left() > 0)
    {
        entry(inner);
    }
}

void channelCounts(Out& out, const std::map<uint16_t, uint64_t>& counts)
{
    lengthPrefixed(out, [&](Out& inner) {
        for (const auto& [id, count] : counts)
        {
            inner.u16(id);
            inner.u64(count);
        }
    });
}

std::map<uint16_t, uint64_t> readChannelCounts(In& in)
{
    std::map<uint16_t, uint64_t> counts;
    readLengthPrefixed(in, [&](In& inner) {
        const uint16_t id = inner.u16();
        counts[id] = inner.u64();
    });
    return counts;
}

}  // namespace

std::string header(const std::string& profile, const std::string& library)
{
    Out out;
    out.string(profile);
    out.string(library);
    return record(Opcode::Header, out.bytes());
}

std::string schema(const Schema& schema)
{
    Out out;
    out.u16(schema.id);
    out.string(schema.name);
    out.string(schema.encoding);
    out.string(schema.data);
    return record(Opcode::Schema, out.bytes());
}

Schema readSchema(In& in)
{
    Schema schema;
    schema.id = in.u16();
    schema.name = in.string();
    schema.encoding = in.string();
    schema.data = in.string();
    return schema;
}

std::string channel(const Channel& channel)
{
    Out out;
    out.u16(channel.id);
    out.u16(channel.schemaId);
    out.string(channel.topic);
    out.string(channel.messageEncoding);
    lengthPrefixed(out, [&](Out& inner) {
        for (const auto& [key, value] : channel.metadata)
        {
            inner.string(key);
            inner.string(value);
        }
    });
    return record(Opcode::Channel, out.bytes());
}

Channel readChannel(In& in)
{
    Channel channel;
    channel.id = in.u16();
    channel.schemaId = in.u16();
    channel.topic = in.string();
    channel.messageEncoding = in.string();
    readLengthPrefixed(in, [&](In& inner) {
        std::string key = inner.string();
        channel.metadata[std::move(key)] = inner.string();
    });
    return channel;
}

std::string message(const MessageView& message)
{
    Out out;
    out.u16(message.channelId);
    out.u32(message.sequence);
    out.u64(message.logTime);
    out.u64(message.publishTime);
    out.raw(message.data, message.size);
    return record(Opcode::Message, out.bytes());
}

MessageView readMessage(In& in)
{
    MessageView message;
    message.channelId = in.u16();
    message.sequence = in.u32();
    message.logTime = in.u64();
    message.publishTime = in.u64();
    message.size = in.left();
    message.data = in.take(message.size);
    return message;
}

std::string messageIndex(uint16_t channelId, const std::vector<std::pair<uint64_t, uint64_t>>& entries)
{
    Out out;
    out.u16(channelId);
    lengthPrefixed(out, [&](Out& inner) {
        for (const auto& [logTime, offset] : entries)
        {
            inner.u64(logTime);
            inner.u64(offset);
        }
    });
    return record(Opcode::MessageIndex, out.bytes());
}

std::vector<std::pair<uint64_t, uint64_t>> readMessageIndex(In& in, uint16_t& channelId)
{
    channelId = in.u16();
    std::vector<std::pair<uint64_t, uint64_t>> entries;
    readLengthPrefixed(in, [&](In& inner) {
        const uint64_t logTime = inner.u64();
        entries.emplace_back(logTime, inner.u64());
    });
    return entries;
}

std::string chunkIndex(const ChunkIndex& index)
{
    Out out;
    out.u64(index.messageStartTime);
    out.u64(index.messageEndTime);
    out.u64(index.chunkStartOffset);
    out.u64(index.chunkLength);
    channelCounts(out, index.messageIndexOffsets);
    out.u64(index.messageIndexLength);
    out.string(index.compression);
    out.u64(index.compressedSize);
    out.u64(index.uncompressedSize);
    return record(Opcode::ChunkIndex, out.bytes());
}

ChunkIndex readChunkIndex(In& in)
{
    ChunkIndex index;
    index.messageStartTime = in.u64();
    index.messageEndTime = in.u64();
    index.chunkStartOffset = in.u64();
    index.chunkLength = in.u64();
    index.messageIndexOffsets = readChannelCounts(in);
    index.messageIndexLength = in.u64();
    index.compression = in.string();
    index.compressedSize = in.u64();
    index.uncompressedSize = in.u64();
    return index;
}

std::string statistics(const Statistics& statistics)
{
    Out out;
    out.u64(statistics.messageCount);
    out.u16(statistics.schemaCount);
    out.u32(statistics.channelCount);
    out.u32(statistics.attachmentCount);
    out.u32(statistics.metadataCount);
    out.u32(statistics.chunkCount);
    out.u64(statistics.messageStartTime);
    out.u64(statistics.messageEndTime);
    channelCounts(out, statistics.channelMessageCounts);
    return record(Opcode::Statistics, out.bytes());
}

Statistics readStatistics(In& in)
{
    Statistics statistics;
    statistics.messageCount = in.u64();
    statistics.schemaCount = in.u16();
    statistics.channelCount = in.u32();
    statistics.attachmentCount = in.u32();
    statistics.metadataCount = in.u32();
    statistics.chunkCount = in.u32();
    statistics.messageStartTime = in.u64();
    statistics.messageEndTime = in.u64();
    statistics.channelMessageCounts = readChannelCounts(in);
    return statistics;
}

std::string summaryOffset(Opcode group, uint64_t start, uint64_t length)
{
    Out out;
    out.u8(static_cast<uint8_t>(group));
    out.u64(start);
    out.u64(length);
    return record(Opcode::SummaryOffset, out.bytes());
}

std::string chunkHead(const ChunkHead& head)
{
    Out out;
    out.u64(head.messageStartTime);
    out.u64(head.messageEndTime);
    out.u64(head.uncompressedSize);
    out.u32(head.uncompressedCrc);
    out.string(head.compression);
    out.u64(head.recordsSize);
    return std::move(out.bytes());
}

ChunkHead readChunkHead(In& in)
{
    ChunkHead head;
    head.messageStartTime = in.u64();
    head.messageEndTime = in.u64();
    head.uncompressedSize = in.u64();
    head.uncompressedCrc = in.u32();
    head.compression = in.string();
    head.recordsSize = in.u64();
    return head;
}

uint32_t crc32(uint32_t crc, const void* data, std::size_t size)
{
    // zlib takes at most uInt bytes at a time.
    const auto* bytes = static_cast<const Bytef*>(data);
    uLong value = crc;
    while (size > 0)
    {
        const std::size_t step = std::min<std::size_t>(size, std::numeric_limits<uInt>::max());
        value = ::crc32(value, bytes, static_cast<uInt>(step));
        bytes += step;
        size -= step;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace wire

}  // namespace qara::nimb::mcap
