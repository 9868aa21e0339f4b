#include <qara/nimb/mcap/Reader.hpp>

#include "Compression.hpp"
#include "Wire.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qara::nimb::mcap {

namespace {

constexpr uint64_t kFooterLength = kRecordPrefix + 8 + 8 + 4;
constexpr uint64_t kDataEndLength = kRecordPrefix + 4;
// No chunk this library writes comes near; a larger size is a damaged field, not a reason to allocate.
constexpr uint64_t kMaxChunkRecords = uint64_t(1) << 30;

const uint8_t* bytesOf(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

// One record framed within `bytes` at `position`: opcode, and its content (offsets in `base` terms).
struct Framed
{
    Opcode opcode;
    wire::In content;
    uint64_t end;  // position after the record
};

Framed frame(const std::string& bytes, uint64_t position, uint64_t base)
{
    wire::In prefix(bytesOf(bytes) + position, bytes.size() - position, base + position);
    const auto opcode = static_cast<Opcode>(prefix.u8());
    const uint64_t length = prefix.u64();
    if (length > prefix.left())
    {
        throw FormatError(base + position, "record of " + std::to_string(length) + " bytes runs past the end (" +
                                               std::to_string(prefix.left()) + " bytes left)");
    }
    return {opcode, wire::In(prefix.take(length), length, base + position + kRecordPrefix),
            position + kRecordPrefix + length};
}

// Keeps a schema or a channel under its id.
template <class R>
void keep(std::map<uint16_t, R>& kept, wire::In& content)
{
    R value = wire::read<R>(content);
    kept[value.id] = std::move(value);
}

}  // namespace

Reader::Reader(const std::string& path) : m_file(path, std::ios::binary)
{
    if (!m_file)
    {
        throw std::runtime_error("cannot read " + path);
    }
    m_file.seekg(0, std::ios::end);
    m_size = static_cast<uint64_t>(m_file.tellg());
    if (m_size < kMagic.size() || std::memcmp(readAt(0, kMagic.size()).data(), kMagic.data(), kMagic.size()) != 0)
    {
        problem(0, "not an MCAP file: it does not start with the MCAP magic");
        return;
    }
    m_hasSummary = loadSummary();
    if (!m_hasSummary)
    {
        m_schemas.clear();
        m_channels.clear();
        m_chunks.clear();
        scan();
        countMessages();
    }
}

std::string Reader::readAt(uint64_t offset, uint64_t size)
{
    if (offset > m_size || size > m_size - offset)
    {
        throw FormatError(offset,
                          std::to_string(size) + " bytes wanted here, but the file ends at " + std::to_string(m_size));
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    m_file.clear();
    m_file.seekg(static_cast<std::streamoff>(offset));
    m_file.read(bytes.data(), static_cast<std::streamsize>(size));
    if (!m_file)
    {
        throw FormatError(offset, "read error");
    }
    return bytes;
}

void Reader::problem(uint64_t offset, const std::string& what)
{
    if (std::none_of(m_problems.begin(), m_problems.end(),
                     [&](const Problem& p) { return p.offset == offset && p.what == what; }))
    {
        m_problems.push_back({offset, what});
    }
}

bool Reader::loadSummary()
{
    if (m_size < kMagic.size() * 2 + kFooterLength ||
        std::memcmp(readAt(m_size - kMagic.size(), kMagic.size()).data(), kMagic.data(), kMagic.size()) != 0)
    {
        problem(m_size, "the file does not end with the MCAP magic: it was cut short or never closed");
        return false;
    }
    const uint64_t footerOffset = m_size - kMagic.size() - kFooterLength;
    try
    {
        const std::string footer = readAt(footerOffset, kFooterLength);
        wire::In in(bytesOf(footer), footer.size(), footerOffset);
        if (in.u8() != static_cast<uint8_t>(Opcode::Footer) || in.u64() != kFooterLength - kRecordPrefix)
        {
            throw FormatError(footerOffset, "no footer record before the closing magic");
        }
        const uint64_t summaryStart = in.u64();
        const uint64_t summaryOffsetStart = in.u64();
        const uint32_t summaryCrc = in.u32();
        if (summaryStart == 0)
        {
            return false;  // written without a summary
        }
        if (summaryStart < kMagic.size() || summaryStart > footerOffset ||
            (summaryOffsetStart != 0 && (summaryOffsetStart < summaryStart || summaryOffsetStart > footerOffset)))
        {
            throw FormatError(footerOffset, "footer points outside the file");
        }
        // The summary, the summary offsets and the footer up to its CRC.
        std::string summary = readAt(summaryStart, footerOffset - summaryStart);
        if (summaryCrc != 0)
        {
            const uint32_t crc =
                wire::crc32(wire::crc32(0, summary.data(), summary.size()), footer.data(), kFooterLength - 4);
            if (crc != summaryCrc)
            {
                throw FormatError(summaryStart, "summary CRC mismatch");
            }
        }
        const uint64_t groupsEnd = (summaryOffsetStart == 0 ? footerOffset : summaryOffsetStart) - summaryStart;
        for (uint64_t position = 0; position < summary.size();)
        {
            Framed record = frame(summary, position, summaryStart);
            const uint64_t recordOffset = summaryStart + position;
            if (position >= groupsEnd && record.opcode != Opcode::SummaryOffset)
            {
                throw FormatError(recordOffset, "summary offset section holds another record");
            }
            switch (record.opcode)
            {
                case Opcode::Schema:
                    keep(m_schemas, record.content);
                    break;
                case Opcode::Channel:
                    keep(m_channels, record.content);
                    break;
                case Opcode::Statistics:
                    m_statistics = wire::read<Statistics>(record.content);
                    m_statisticsOffset = recordOffset;
                    break;
                case Opcode::ChunkIndex:
                    m_chunks.push_back(wire::read<ChunkIndex>(record.content));
                    break;
                case Opcode::SummaryOffset:
                {
                    const auto offset = wire::read<wire::SummaryOffset>(record.content);
                    if (offset.start < summaryStart || offset.start - summaryStart + offset.length > groupsEnd ||
                        offset.length == 0 || summary[offset.start - summaryStart] != static_cast<char>(offset.group))
                    {
                        throw FormatError(recordOffset, "summary offset does not point to its group");
                    }
                    break;
                }
                default:
                    break;
            }
            position = record.end;
        }
        const std::string dataEnd = readAt(summaryStart - kDataEndLength, 1);
        if (summaryStart < kMagic.size() + kDataEndLength || dataEnd[0] != static_cast<char>(Opcode::DataEnd))
        {
            throw FormatError(summaryStart, "no Data End record before the summary");
        }
        m_dataEnd = summaryStart - kDataEndLength;
    }
    catch (const FormatError& e)
    {
        problem(e.offset(), e.reason() + "; reading the file by scanning instead");
        return false;
    }
    std::sort(m_chunks.begin(), m_chunks.end(),
              [](const ChunkIndex& a, const ChunkIndex& b) { return a.chunkStartOffset < b.chunkStartOffset; });
    return true;
}

void Reader::scan()
{
    uint64_t offset = kMagic.size();
    try
    {
        while (offset < m_size)
        {
            if (m_size - offset < kRecordPrefix)
            {
                throw FormatError(offset, "record cut short: the file ends within its opcode and length");
            }
            const std::string prefix = readAt(offset, kRecordPrefix);
            wire::In in(bytesOf(prefix), prefix.size(), offset);
            const auto opcode = static_cast<Opcode>(in.u8());
            const uint64_t length = in.u64();
            if (length > m_size - offset - kRecordPrefix)
            {
                throw FormatError(offset, "record cut short: " + std::to_string(length) + " bytes of content, " +
                                              std::to_string(m_size - offset - kRecordPrefix) + " left in the file");
            }
            if (opcode == Opcode::DataEnd || opcode == Opcode::Footer)
            {
                if (opcode == Opcode::DataEnd)
                {
                    m_dataEnd = offset;
                }
                return;
            }
            const uint8_t code = static_cast<uint8_t>(opcode);
            if (code == 0 || (code > static_cast<uint8_t>(Opcode::DataEnd) && code < 0x80))
            {
                throw FormatError(offset, "unknown opcode " + std::to_string(code));
            }
            const bool wanted = opcode == Opcode::Schema || opcode == Opcode::Channel || opcode == Opcode::Chunk ||
                                opcode == Opcode::MessageIndex;
            // A chunk's records are not needed here; its head says enough.
            const uint64_t needed =
                opcode == Opcode::Chunk ? std::min<uint64_t>(length, 8 + 8 + 8 + 4 + 4 + 64 + 8) : length;
            const std::string content = wanted ? readAt(offset + kRecordPrefix, needed) : std::string();
            wire::In record(bytesOf(content), content.size(), offset + kRecordPrefix);
            switch (opcode)
            {
                case Opcode::Schema:
                    keep(m_schemas, record);
                    break;
                case Opcode::Channel:
                    keep(m_channels, record);
                    break;
                case Opcode::Chunk:
                {
                    m_chunks.push_back(
                        wire::indexOf(wire::read<wire::ChunkHead>(record), offset, kRecordPrefix + length));
                    break;
                }
                case Opcode::MessageIndex:
                    if (!m_chunks.empty())
                    {
                        m_chunks.back().messageIndexOffsets[record.u16()] = offset;
                        m_chunks.back().messageIndexLength += kRecordPrefix + length;
                    }
                    break;
                default:
                    break;
            }
            offset += kRecordPrefix + length;
        }
    }
    catch (const FormatError& e)
    {
        problem(e.offset(), e.reason() + "; nothing after it is read");
    }
}

void Reader::countMessages()
{
    m_statistics = Statistics();
    m_statistics.schemaCount = static_cast<uint16_t>(m_schemas.size());
    m_statistics.channelCount = static_cast<uint32_t>(m_channels.size());
    m_statistics.chunkCount = static_cast<uint32_t>(m_chunks.size());
    readMessages({}, [this](const MessageView& message) { wire::count(m_statistics, message); });
}

std::optional<std::string> Reader::loadChunk(const ChunkIndex& index)
{
    const uint64_t offset = index.chunkStartOffset;
    try
    {
        if (index.chunkLength < kRecordPrefix)
        {
            throw FormatError(offset, "chunk index gives a chunk too short to be one");
        }
        const std::string bytes = readAt(offset, index.chunkLength);
        Framed record = frame(bytes, 0, offset);
        if (record.opcode != Opcode::Chunk || record.end != bytes.size())
        {
            throw FormatError(offset, "no chunk record of the indexed length here");
        }
        const auto head = wire::read<wire::ChunkHead>(record.content);
        if (head.recordsSize != record.content.left())
        {
            throw FormatError(offset, "chunk records size disagrees with the record length");
        }
        if (head.compression != index.compression || head.recordsSize != index.compressedSize ||
            head.uncompressedSize != index.uncompressedSize)
        {
            throw FormatError(offset, "chunk disagrees with its chunk index");
        }
        if (head.uncompressedSize > kMaxChunkRecords)
        {
            throw FormatError(offset, "chunk claims " + std::to_string(head.uncompressedSize) + " uncompressed bytes");
        }
        std::string records;
        try
        {
            decompress(compressionFromName(head.compression), record.content.take(head.recordsSize),
                       static_cast<std::size_t>(head.recordsSize), head.uncompressedSize, records);
        }
        catch (const std::invalid_argument& e)
        {
            throw FormatError(offset, e.what());
        }
        catch (const std::runtime_error& e)
        {
            throw FormatError(offset, std::string("chunk does not decompress: ") + e.what());
        }
        if (head.uncompressedCrc != 0 && wire::crc32(0, records.data(), records.size()) != head.uncompressedCrc)
        {
            throw FormatError(offset, "chunk CRC mismatch");
        }
        return records;
    }
    catch (const FormatError& e)
    {
        problem(e.offset(), e.reason());
        return std::nullopt;
    }
}

std::vector<std::pair<uint64_t, uint64_t>> Reader::messageEntries(const ChunkIndex& index, const std::string& records,
                                                                  const std::set<uint16_t>& channels)
{
    std::vector<std::pair<uint64_t, uint64_t>> entries;
    for (const auto& [channelId, offset] : index.messageIndexOffsets)
    {
        if (!channels.empty() && channels.count(channelId) == 0)
        {
            continue;
        }
        try
        {
            const std::string prefix = readAt(offset, kRecordPrefix);
            wire::In in(bytesOf(prefix), prefix.size(), offset);
            in.u8();
            const std::string bytes = prefix + readAt(offset + kRecordPrefix, std::min(in.u64(), m_size));
            Framed record = frame(bytes, 0, offset);
            const auto found = wire::read<wire::MessageIndex>(record.content);
            if (record.opcode != Opcode::MessageIndex || found.channelId != channelId)
            {
                throw FormatError(offset, "no message index of channel " + std::to_string(channelId) + " here");
            }
            // Each entry must point at a message of its channel and log time before it is trusted.
            for (const auto& [logTime, position] : found.entries)
            {
                if (position >= records.size())
                {
                    throw FormatError(offset, "message index points past the chunk's records");
                }
                Framed message = frame(records, position, 0);
                const MessageView view =
                    message.opcode == Opcode::Message ? wire::read<MessageView>(message.content) : MessageView();
                if (message.opcode != Opcode::Message || view.channelId != channelId || view.logTime != logTime)
                {
                    throw FormatError(offset, "message index disagrees with the chunk's messages");
                }
            }
            entries.insert(entries.end(), found.entries.begin(), found.entries.end());
        }
        catch (const FormatError& e)
        {
            problem(offset, e.reason() + "; the chunk is read without its indexes");
            entries.clear();
            break;
        }
    }
    if (entries.empty())
    {
        for (uint64_t position = 0; position < records.size();)
        {
            Framed record = frame(records, position, 0);
            if (record.opcode == Opcode::Message)
            {
                const auto message = wire::read<MessageView>(record.content);
                if (channels.empty() || channels.count(message.channelId) != 0)
                {
                    entries.emplace_back(message.logTime, position);
                }
            }
            position = record.end;
        }
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

void Reader::readMessages(const std::set<uint16_t>& channels, const std::function<void(const MessageView&)>& visit)
{
    for (const ChunkIndex& index : m_chunks)
    {
        const bool holdsWanted = channels.empty() || index.messageIndexOffsets.empty() ||
                                 std::any_of(index.messageIndexOffsets.begin(), index.messageIndexOffsets.end(),
                                             [&](const auto& entry) { return channels.count(entry.first) != 0; });
        const auto records = holdsWanted ? loadChunk(index) : std::nullopt;
        if (!records)
        {
            continue;
        }
        std::vector<std::pair<uint64_t, uint64_t>> entries;
        try
        {
            entries = messageEntries(index, *records, channels);
        }
        catch (const FormatError& e)
        {
            // Offsets within the records are not file offsets: the chunk is where the fault is.
            problem(index.chunkStartOffset, "in the chunk's records: " + e.reason());
            continue;
        }
        for (const auto& entry : entries)
        {
            Framed record = frame(*records, entry.second, 0);
            visit(wire::read<MessageView>(record.content));
        }
    }
}

void Reader::verify()
{
    Statistics counted;
    for (const ChunkIndex& index : m_chunks)
    {
        verifyChunk(index, counted);
    }
    if (m_hasSummary && (counted.messageCount != m_statistics.messageCount ||
                         counted.channelMessageCounts != m_statistics.channelMessageCounts ||
                         m_statistics.chunkCount != m_chunks.size()))
    {
        problem(m_statisticsOffset,
                "statistics disagree with the chunks: " + std::to_string(m_statistics.messageCount) +
                    " messages counted there, " + std::to_string(counted.messageCount) + " in the chunks");
    }
    verifyDataSection();
}

void Reader::verifyChunk(const ChunkIndex& index, Statistics& counted)
{
    const auto records = loadChunk(index);
    if (!records)
    {
        return;
    }
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> messages;
    try
    {
        for (uint64_t position = 0; position < records->size();)
        {
            Framed record = frame(*records, position, 0);
            if (record.opcode == Opcode::Message)
            {
                const auto message = wire::read<MessageView>(record.content);
                if (m_channels.count(message.channelId) == 0)
                {
                    throw FormatError(0, "message of unknown channel " + std::to_string(message.channelId));
                }
                if (message.logTime < index.messageStartTime || message.logTime > index.messageEndTime)
                {
                    throw FormatError(0, "message log time outside the chunk's time span");
                }
                messages[message.channelId].emplace_back(message.logTime, position);
                ++counted.messageCount;
                ++counted.channelMessageCounts[message.channelId];
            }
            position = record.end;
        }
    }
    catch (const FormatError& e)
    {
        problem(index.chunkStartOffset, std::string("in the chunk's records: ") + e.reason());
        return;
    }
    // The message indexes right after the chunk, one per channel, each listing exactly its messages.
    uint64_t offset = index.chunkStartOffset + index.chunkLength;
    try
    {
        const std::string bytes = readAt(offset, index.messageIndexLength);
        std::map<uint16_t, uint64_t> seen;
        for (uint64_t position = 0; position < bytes.size();)
        {
            offset = index.chunkStartOffset + index.chunkLength + position;
            Framed record = frame(bytes, position, offset - position);
            auto found = wire::read<wire::MessageIndex>(record.content);
            if (record.opcode != Opcode::MessageIndex)
            {
                throw FormatError(offset, "record after the chunk is no message index");
            }
            std::sort(found.entries.begin(), found.entries.end());
            auto& expected = messages[found.channelId];
            std::sort(expected.begin(), expected.end());
            if (found.entries != expected)
            {
                throw FormatError(offset, "message index of channel " + std::to_string(found.channelId) +
                                              " does not list the chunk's messages of that channel");
            }
            seen[found.channelId] = offset;
            position = record.end;
        }
        if (seen != index.messageIndexOffsets)
        {
            throw FormatError(index.chunkStartOffset + index.chunkLength,
                              "message indexes after the chunk disagree with its chunk index");
        }
    }
    catch (const FormatError& e)
    {
        problem(e.offset(), e.reason());
    }
}

void Reader::verifyDataSection()
{
    if (!m_dataEnd)
    {
        return;
    }
    try
    {
        const std::string dataEnd = readAt(*m_dataEnd, kDataEndLength);
        wire::In in(bytesOf(dataEnd), dataEnd.size(), *m_dataEnd);
        in.u8();
        if (in.u64() != 4)
        {
            throw FormatError(*m_dataEnd, "Data End record of the wrong length");
        }
        const uint32_t expected = in.u32();
        if (expected == 0)
        {
            return;
        }
        uint32_t crc = 0;
        constexpr uint64_t kBlock = 1 << 20;
        for (uint64_t offset = 0; offset < *m_dataEnd; offset += kBlock)
        {
            const std::string block = readAt(offset, std::min(kBlock, *m_dataEnd - offset));
            crc = wire::crc32(crc, block.data(), block.size());
        }
        if (crc != expected)
        {
            throw FormatError(
                0, "data section CRC mismatch: something in bytes 0.." + std::to_string(*m_dataEnd) + " changed");
        }
    }
    catch (const FormatError& e)
    {
        problem(e.offset(), e.reason());
    }
}

}  // namespace qara::nimb::mcap
