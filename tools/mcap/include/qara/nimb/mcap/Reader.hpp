#pragma once

#include <qara/nimb/mcap/Records.hpp>

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qara::nimb::mcap {

// Something wrong in the file, and where.
struct Problem
{
    uint64_t offset = 0;
    std::string what;
};

// Reads an MCAP file through its summary (schemas, channels, statistics, chunk indexes) and the message
// indexes after each chunk, so that nothing is read linearly when the summary is there. A file without a
// usable summary (cut short, never closed, summary damaged) is scanned record by record instead, up to the
// last whole record. Damage is recorded as a Problem with its offset, never thrown: what can still be read
// is read.
class Reader
{
public:
    // std::runtime_error only when the file cannot be opened.
    explicit Reader(const std::string& path);

    uint64_t size() const { return m_size; }
    bool hasSummary() const { return m_hasSummary; }
    const std::map<uint16_t, Schema>& schemas() const { return m_schemas; }
    const std::map<uint16_t, Channel>& channels() const { return m_channels; }
    // In file order.
    const std::vector<ChunkIndex>& chunkIndexes() const { return m_chunks; }
    // From the summary, or counted from the chunks when there is none.
    const Statistics& statistics() const { return m_statistics; }
    const std::vector<Problem>& problems() const { return m_problems; }

    // Calls `visit` for each message of `channels` (all when empty), chunk by chunk in file order and within
    // a chunk in log-time order. A chunk that cannot be read is skipped and recorded as a problem.
    void readMessages(const std::set<uint16_t>& channels, const std::function<void(const MessageView&)>& visit);

    // Reads every chunk and its message indexes, checks every CRC and the statistics, and records what is
    // wrong.
    void verify();

private:
    std::string readAt(uint64_t offset, uint64_t size);
    void problem(uint64_t offset, const std::string& what);
    bool loadSummary();
    void scan();
    void countMessages();
    // The chunk's records decompressed and checked against its CRC; nothing, and a problem, when it fails.
    std::optional<std::string> loadChunk(const ChunkIndex& index);
    std::vector<std::pair<uint64_t, uint64_t>> messageEntries(const ChunkIndex& index, const std::string& records,
                                                              const std::set<uint16_t>& channels);
    void verifyChunk(const ChunkIndex& index, Statistics& counted);
    void verifyDataSection();

    std::ifstream m_file;
    uint64_t m_size = 0;
    bool m_hasSummary = false;
    std::map<uint16_t, Schema> m_schemas;
    std::map<uint16_t, Channel> m_channels;
    std::vector<ChunkIndex> m_chunks;
    Statistics m_statistics;
    uint64_t m_statisticsOffset = 0;
    // Where the Data End record is, when one was found.
    std::optional<uint64_t> m_dataEnd;
    std::vector<Problem> m_problems;
};

}  // namespace qara::nimb::mcap
