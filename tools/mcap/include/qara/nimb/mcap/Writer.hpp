#pragma once

#include <qara/nimb/mcap/Records.hpp>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qara::nimb::mcap {

struct WriterOptions
{
    Compression compression = Compression::Zstd;
    // A chunk is written once its uncompressed records reach this size (or on flushChunk).
    uint64_t chunkSize = 1024 * 1024;
    std::string profile;
    std::string library = "nimb-mcap";
};

// Writes an MCAP file as messages come: schemas and channels straight into the data section, messages into
// chunks that go out whole, each followed by its message indexes. Memory holds one chunk and one index entry
// per chunk written, so it stays flat however long the recording runs, and a file cut short is readable up
// to its last whole chunk. close() writes the summary: schemas, channels, statistics, chunk indexes and
// their summary offsets, then the footer. Not thread-safe: one writer, one thread at a time.
class Writer
{
public:
    // Creates or truncates `path`; std::runtime_error when it cannot be written.
    Writer(const std::string& path, WriterOptions options);
    // Closes the file if close() was not called; errors are lost then.
    ~Writer();

    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Ids are given in order from 1 (schema id 0 means "no schema").
    uint16_t addSchema(const std::string& name, const std::string& encoding, const std::string& data);
    uint16_t addChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding,
                        const std::map<std::string, std::string>& metadata);

    void write(const MessageView& message);
    // Writes the current chunk, if it holds anything, and hands the file to the operating system.
    void flushChunk();
    // Writes what is left, the summary and the footer; the writer takes nothing after this.
    void close();

    // Bytes in the file so far.
    uint64_t size() const { return m_offset; }

private:
    void put(const std::string& bytes);

    WriterOptions m_options;
    std::string m_path;
    std::FILE* m_file;
    uint64_t m_offset = 0;
    uint32_t m_dataCrc = 0;

    std::vector<Schema> m_schemas;
    std::vector<Channel> m_channels;
    Statistics m_statistics;
    std::vector<ChunkIndex> m_chunkIndexes;

    // The chunk being filled: its records, their time span, and each channel's (log time, offset) entries.
    std::string m_chunk;
    uint64_t m_chunkStart = 0;
    uint64_t m_chunkEnd = 0;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> m_chunkMessages;
};

}  // namespace qara::nimb::mcap
