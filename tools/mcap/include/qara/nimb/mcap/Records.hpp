#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

// The records of an MCAP file, as the MCAP format defines them, that this library writes and reads.
namespace qara::nimb::mcap {

// Starts and ends every file.
constexpr std::array<uint8_t, 8> kMagic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum class Opcode : uint8_t
{
    Header = 0x01,
    Footer = 0x02,
    Schema = 0x03,
    Channel = 0x04,
    Message = 0x05,
    Chunk = 0x06,
    MessageIndex = 0x07,
    ChunkIndex = 0x08,
    Attachment = 0x09,
    AttachmentIndex = 0x0A,
    Statistics = 0x0B,
    Metadata = 0x0C,
    MetadataIndex = 0x0D,
    SummaryOffset = 0x0E,
    DataEnd = 0x0F,
};

// Opcode byte and record length before every record's content.
constexpr uint64_t kRecordPrefix = 1 + 8;

enum class Compression
{
    None,
    Zstd,
    Lz4,
};

// "", "zstd" or "lz4", as chunk records name them.
std::string compressionName(Compression compression);
// The compression a chunk names; std::invalid_argument for one this library does not know.
Compression compressionFromName(const std::string& name);

// The file or a record is not what the format says; `offset` is where in the file the fault lies.
class FormatError : public std::runtime_error
{
public:
    FormatError(uint64_t offset, const std::string& what);
    uint64_t offset() const { return m_offset; }
    // What is wrong, without the offset.
    const std::string& reason() const { return m_reason; }

private:
    uint64_t m_offset;
    std::string m_reason;
};

struct Schema
{
    uint16_t id = 0;
    std::string name;
    std::string encoding;
    std::string data;
};

struct Channel
{
    uint16_t id = 0;
    uint16_t schemaId = 0;
    std::string topic;
    std::string messageEncoding;
    std::map<std::string, std::string> metadata;
};

// A message as read: its data points into the chunk it was read from and lives as long as the call.
struct MessageView
{
    uint16_t channelId = 0;
    uint32_t sequence = 0;
    uint64_t logTime = 0;      // nanoseconds since the epoch
    uint64_t publishTime = 0;  // nanoseconds since the epoch
    const uint8_t* data = nullptr;
    std::size_t size = 0;
};

struct ChunkIndex
{
    uint64_t messageStartTime = 0;
    uint64_t messageEndTime = 0;
    uint64_t chunkStartOffset = 0;
    uint64_t chunkLength = 0;  // the whole chunk record, opcode and length included
    std::map<uint16_t, uint64_t> messageIndexOffsets;
    uint64_t messageIndexLength = 0;
    std::string compression;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
};

struct Statistics
{
    uint64_t messageCount = 0;
    uint16_t schemaCount = 0;
    uint32_t channelCount = 0;
    uint32_t attachmentCount = 0;
    uint32_t metadataCount = 0;
    uint32_t chunkCount = 0;
    uint64_t messageStartTime = 0;
    uint64_t messageEndTime = 0;
    std::map<uint16_t, uint64_t> channelMessageCounts;
};

}  // namespace qara::nimb::mcap
