#include <qara/nimb/mcap/Writer.hpp>

#include "Compression.hpp"
#include "Wire.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qara::nimb::mcap {

Writer::Writer(const std::string& path, WriterOptions options)
    : m_options(std::move(options)), m_path(path), m_file(std::fopen(path.c_str(), "wb"))
{
    if (m_file == nullptr)
    {
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
    put(std::string(kMagic.begin(), kMagic.end()));
    wire::Out header;
    header(m_options.profile, m_options.library);
    put(wire::record(Opcode::Header, header.bytes()));
}

Writer::~Writer()
{
    if (m_file == nullptr)
    {
        return;
    }
    try
    {
        close();
    }
    catch (const std::exception&)
    {
        if (m_file != nullptr)
        {
            std::fclose(m_file);
        }
    }
}

void Writer::put(const std::string& bytes)
{
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size())
    {
        throw std::runtime_error("cannot write " + m_path + ": " + std::strerror(errno));
    }
    m_offset += bytes.size();
    m_dataCrc = wire::crc32(m_dataCrc, bytes.data(), bytes.size());
}

uint16_t Writer::addSchema(const std::string& name, const std::string& encoding, const std::string& data)
{
    Schema schema{static_cast<uint16_t>(m_schemas.size() + 1), name, encoding, data};
    put(wire::record(Opcode::Schema, schema));
    m_schemas.push_back(std::move(schema));
    return m_schemas.back().id;
}

uint16_t Writer::addChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding,
                            const std::map<std::string, std::string>& metadata)
{
    Channel channel{static_cast<uint16_t>(m_channels.size() + 1), schemaId, topic, messageEncoding, metadata};
    put(wire::record(Opcode::Channel, channel));
    m_channels.push_back(std::move(channel));
    return m_channels.back().id;
}

void Writer::write(const MessageView& message)
{
    if (m_chunk.empty())
    {
        m_chunkStart = m_chunkEnd = message.logTime;
    }
    m_chunkStart = std::min(m_chunkStart, message.logTime);
    m_chunkEnd = std::max(m_chunkEnd, message.logTime);
    m_chunkMessages[message.channelId].emplace_back(message.logTime, m_chunk.size());
    m_chunk += wire::record(Opcode::Message, message);
    wire::count(m_statistics, message);

    if (m_chunk.size() >= m_options.chunkSize)
    {
        flushChunk();
    }
}

void Writer::flushChunk()
{
    if (!m_chunk.empty())
    {
        const std::string compressed = compress(m_options.compression, m_chunk);
        const wire::ChunkHead head{m_chunkStart,
                                   m_chunkEnd,
                                   m_chunk.size(),
                                   wire::crc32(0, m_chunk.data(), m_chunk.size()),
                                   compressionName(m_options.compression),
                                   compressed.size()};
        const std::string content = wire::contentOf(head) + compressed;
        ChunkIndex index = wire::indexOf(head, m_offset, kRecordPrefix + content.size());
        put(wire::record(Opcode::Chunk, content));

        const uint64_t indexesStart = m_offset;
        for (const auto& [channelId, entries] : m_chunkMessages)
        {
            index.messageIndexOffsets[channelId] = m_offset;
            put(wire::record(Opcode::MessageIndex, wire::MessageIndex{channelId, entries}));
        }
        index.messageIndexLength = m_offset - indexesStart;
        m_chunkIndexes.push_back(std::move(index));
        m_chunk.clear();
        m_chunkMessages.clear();
    }
    if (std::fflush(m_file) != 0)
    {
        throw std::runtime_error("cannot write " + m_path + ": " + std::strerror(errno));
    }
}

void Writer::close()
{
    flushChunk();
    // The data section's CRC covers everything before the Data End record, magic included.
    wire::Out dataEnd;
    dataEnd(m_dataCrc);
    put(wire::record(Opcode::DataEnd, dataEnd.bytes()));

    // Everything from here to the footer's summary offset start counts in the summary CRC.
    const uint64_t summaryStart = m_offset;
    uint32_t summaryCrc = 0;
    const auto putSummary = [&](const std::string& bytes) {
        put(bytes);
        summaryCrc = wire::crc32(summaryCrc, bytes.data(), bytes.size());
    };
    std::string offsets;
    const auto group = [&](Opcode opcode, const auto& records) {
        const uint64_t start = m_offset;
        for (const auto& record : records)
        {
            putSummary(wire::record(opcode, record));
        }
        if (m_offset > start)
        {
            offsets += wire::record(Opcode::SummaryOffset,
                                    wire::SummaryOffset{static_cast<uint8_t>(opcode), start, m_offset - start});
        }
    };
    group(Opcode::Schema, m_schemas);
    group(Opcode::Channel, m_channels);
    m_statistics.schemaCount = static_cast<uint16_t>(m_schemas.size());
    m_statistics.channelCount = static_cast<uint32_t>(m_channels.size());
    m_statistics.chunkCount = static_cast<uint32_t>(m_chunkIndexes.size());
    group(Opcode::Statistics, std::vector<Statistics>{m_statistics});
    group(Opcode::ChunkIndex, m_chunkIndexes);

    const uint64_t summaryOffsetStart = m_offset;
    putSummary(offsets);

    wire::Out footer;
    footer(static_cast<uint8_t>(Opcode::Footer), uint64_t(8 + 8 + 4), summaryStart, summaryOffsetStart);
    summaryCrc = wire::crc32(summaryCrc, footer.bytes().data(), footer.bytes().size());
    footer(summaryCrc);
    put(footer.bytes() + std::string(kMagic.begin(), kMagic.end()));

    std::FILE* file = m_file;
    m_file = nullptr;
    if (std::fclose(file) != 0)
    {
        throw std::runtime_error("cannot write " + m_path + ": " + std::strerror(errno));
    }
}

}  // namespace qara::nimb::mcap
