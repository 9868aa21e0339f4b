#pragma once

#include <qara/nimb/mcap/Records.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Little-endian fields of MCAP records, and each record's content as bytes.
namespace qara::nimb::mcap::wire {

// Appends fields to a byte string.
class Out
{
public:
    void u8(uint8_t value) { m_bytes.push_back(static_cast<char>(value)); }
    void u16(uint16_t value) { little(value, 2); }
    void u32(uint32_t value) { little(value, 4); }
    void u64(uint64_t value) { little(value, 8); }
    // uint32 length, then the bytes.
    void string(const std::string& value);
    void raw(const void* data, std::size_t size) { m_bytes.append(static_cast<const char*>(data), size); }

    std::string& bytes() { return m_bytes; }

private:
    void little(uint64_t value, int width);

    std::string m_bytes;
};

// Reads fields of one record's content; a field past the end is a FormatError at `base` + its position.
class In
{
public:
    In(const uint8_t* data, std::size_t size, uint64_t base) : m_data(data), m_size(size), m_base(base) {}

    uint8_t u8() { return static_cast<uint8_t>(little(1)); }
    uint16_t u16() { return static_cast<uint16_t>(little(2)); }
    uint32_t u32() { return static_cast<uint32_t>(little(4)); }
    uint64_t u64() { return little(8); }
    std::string string();
    // The next `size` bytes, in place.
    const uint8_t* take(uint64_t size);

    std::size_t position() const { return m_position; }
    std::size_t left() const { return m_size - m_position; }
    uint64_t offset() const { return m_base + m_position; }

private:
    uint64_t little(int width);

    const uint8_t* m_data;
    std::size_t m_size;
    uint64_t m_base;
    std::size_t m_position = 0;
};

// A whole record: opcode, content length, content.
std::string record(Opcode opcode, const std::string& content);

std::string header(const std::string& profile, const std::string& library);
std::string schema(const Schema& schema);
std::string channel(const Channel& channel);
std::string message(const MessageView& message);
std::string messageIndex(uint16_t channelId, const std::vector<std::pair<uint64_t, uint64_t>>& entries);
std::string chunkIndex(const ChunkIndex& index);
std::string statistics(const Statistics& statistics);
std::string summaryOffset(Opcode group, uint64_t start, uint64_t length);

Schema readSchema(In& in);
Channel readChannel(In& in);
MessageView readMessage(In& in);
std::vector<std::pair<uint64_t, uint64_t>> readMessageIndex(In& in, uint16_t& channelId);
ChunkIndex readChunkIndex(In& in);
Statistics readStatistics(In& in);

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

std::string chunkHead(const ChunkHead& head);
ChunkHead readChunkHead(In& in);

// CRC-32 as MCAP uses it (that of zlib), continued from `crc`.
uint32_t crc32(uint32_t crc, const void* data, std::size_t size);

}  // namespace qara::nimb::mcap::wire
