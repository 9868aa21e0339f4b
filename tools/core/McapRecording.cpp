#include "tools/core/Recording.hpp"
#include "tools/core/Schema.hpp"

#include <qara/nimb/mcap/Reader.hpp>
#include <qara/nimb/mcap/Writer.hpp>

namespace qara::nimb::tools {

namespace {

class McapSink final : public RecordingSink
{
public:
    McapSink(const std::string& path, const std::string& compression)
        : m_writer(path, mcap::WriterOptions{mcap::compressionFromName(compression == "none" ? "" : compression),
                                             1024 * 1024, "", "nimb-mcap tarvex"})
    {
    }

    uint16_t addTopic(const RecordedTopic& topic) override
    {
        const Schema schema = schemaOf(topic.type);
        return m_writer.addChannel(m_writer.addSchema(schema.name, schema.encoding, schema.text), topic.topic, "cdr",
                                   {{"dds_type_name", schema.ddsTypeName}, {"uri", topic.uri}});
    }

    void write(uint16_t channel, const RawSample& sample) override
    {
        // MCAP's message sequence has 32 bits.
        m_writer.write({channel, static_cast<uint32_t>(sample.sequence), sample.receptionTime, sample.sourceTime,
                        sample.data, sample.size});
    }

    uint64_t flush() override
    {
        m_writer.flushChunk();
        return m_writer.size();
    }

    void close() override { m_writer.close(); }

private:
    mcap::Writer m_writer;
};

class McapSource final : public RecordingSource
{
public:
    explicit McapSource(const std::string& path) : m_reader(path)
    {
        for (const auto& [id, channel] : m_reader.channels())
        {
            const auto schema = m_reader.schemas().find(channel.schemaId);
            const auto uri = channel.metadata.find("uri");
            const auto count = m_reader.statistics().channelMessageCounts.find(id);
            m_channels.push_back(
                {id,
                 {schema == m_reader.schemas().end() ? "" : typeOfSchema(schema->second.name), channel.topic,
                  uri == channel.metadata.end() ? "" : uri->second},
                 schema == m_reader.schemas().end() ? "?" : schema->second.name,
                 count == m_reader.statistics().channelMessageCounts.end() ? 0 : count->second});
        }
    }

    const std::vector<RecordedChannel>& channels() const override { return m_channels; }

    void read(const std::set<uint16_t>& channels,
              const std::function<void(uint16_t channel, const RawSample& message)>& visit) override
    {
        m_reader.readMessages(channels, [&](const mcap::MessageView& m) {
            visit(m.channelId, {m.data, m.size, m.logTime, m.publishTime, m.sequence});
        });
    }

    RecordingDescription describe() override
    {
        m_reader.verify();
        RecordingDescription description;
        description.bytes = m_reader.size();
        std::set<std::string> compressions;
        uint64_t compressed = 0;
        uint64_t uncompressed = 0;
        for (const auto& chunk : m_reader.chunkIndexes())
        {
            compressions.insert(chunk.compression.empty() ? "none" : chunk.compression);
            compressed += chunk.compressedSize;
            uncompressed += chunk.uncompressedSize;
        }
        std::string names;
        for (const auto& name : compressions)
        {
            names += (names.empty() ? "" : ", ") + name;
        }
        description.format = {
            {"summary", m_reader.hasSummary() ? "yes" : "no (read by scanning the file)"},
            {"compression", (names.empty() ? "-" : names) + ", " + std::to_string(m_reader.chunkIndexes().size()) +
                                " chunks, " + std::to_string(compressed) + " bytes from " +
                                std::to_string(uncompressed)}};
        const mcap::Statistics& statistics = m_reader.statistics();
        description.messages = statistics.messageCount;
        description.startTime = statistics.messageStartTime;
        description.endTime = statistics.messageEndTime;
        description.channels = m_channels;
        for (const auto& [id, schema] : m_reader.schemas())
        {
            description.schemas.push_back({id, {schema.name, schema.encoding, schema.data, ""}});
        }
        description.faults = faults();
        return description;
    }

    std::vector<RecordingFault> faults() const override
    {
        std::vector<RecordingFault> found;
        for (const auto& problem : m_reader.problems())
        {
            found.push_back({problem.offset, problem.what});
        }
        return found;
    }

private:
    mcap::Reader m_reader;
    std::vector<RecordedChannel> m_channels;
};

}  // namespace

std::unique_ptr<RecordingSink> openMcapSink(const std::string& path, const std::string& compression)
{
    return std::make_unique<McapSink>(path, compression);
}

std::unique_ptr<RecordingSource> openMcapSource(const std::string& path)
{
    return std::make_unique<McapSource>(path);
}

}  // namespace qara::nimb::tools
