#include <qara/nimb/mcap/Reader.hpp>
#include <qara/nimb/mcap/Writer.hpp>

#include <gtest/gtest.h>

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

// The files are checked with a record walker of the test's own and zlib's CRC, not with the library.
namespace {

namespace mcap = qara::nimb::mcap;

using Message = std::tuple<uint16_t, uint32_t, uint64_t, uint64_t, std::string>;

// In memory where there is a memory file system: the sweep below writes its file once per byte.
const std::string kPath =
    (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm") : std::filesystem::temp_directory_path().string()) +
    "/mcap_test_" + std::to_string(::getpid());

std::string bytesOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The format is little-endian, as every machine we build for.
uint64_t le(const std::string& bytes, uint64_t at, std::size_t width)
{
    uint64_t value = 0;
    std::memcpy(&value, bytes.data() + at, width);
    return value;
}

uint32_t crcOf(const std::string& bytes, uint64_t from, uint64_t to)
{
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), uInt(to - from)));
}

struct Record
{
    uint64_t offset;
    uint8_t opcode;
    uint64_t length;  // of the content
};

// The records with `opcode` (all when 0) from the header to the footer, by opcode and length alone.
std::vector<Record> walk(const std::string& bytes, uint8_t opcode = 0)
{
    std::vector<Record> records;
    for (Record r{8, 0, 0}; r.opcode != 0x02 && r.offset + 9 <= bytes.size(); r.offset += 9 + r.length)
    {
        r = {r.offset, static_cast<uint8_t>(bytes[r.offset]), le(bytes, r.offset + 1, 8)};
        if (opcode == 0 || r.opcode == opcode)
        {
            records.push_back(r);
        }
    }
    return records;
}

// `count` messages on two channels over several small chunks, one of them out of log-time order; returned
// in log-time order.
std::vector<Message> writeFile(mcap::Compression compression, uint32_t count = 60)
{
    mcap::Writer writer(kPath, mcap::WriterOptions{compression, 2000, "", "test"});
    const uint16_t schema = writer.addSchema("m::A", "omgidl", "module m { struct A { long x; }; };");
    const uint16_t a = writer.addChannel(schema, "m/A", "cdr", {{"uri", "dds.ps://1/m/A"}});
    const uint16_t b = writer.addChannel(schema, "m/B", "cdr", {});
    std::vector<Message> written;
    for (uint32_t i = 0; i < count; ++i)
    {
        written.emplace_back(i % 3 == 0 ? b : a, 100 + i, 1000000 + 1000 * i + (i == 7 ? 1500 : 0), 5000000 + i,
                             std::string(40 + i, char('a' + i % 26)));
        const auto& [channel, sequence, log, publish, data] = written.back();
        writer.write({channel, sequence, log, publish, reinterpret_cast<const uint8_t*>(data.data()), data.size()});
    }
    writer.close();
    std::stable_sort(written.begin(), written.end(),
                     [](const Message& x, const Message& y) { return std::get<2>(x) < std::get<2>(y); });
    return written;
}

std::vector<Message> readAll(mcap::Reader& reader, const std::set<uint16_t>& channels = {})
{
    std::vector<Message> read;
    reader.readMessages(channels, [&](const mcap::MessageView& m) {
        read.emplace_back(m.channelId, m.sequence, m.logTime, m.publishTime,
                          std::string(reinterpret_cast<const char*>(m.data), m.size));
    });
    return read;
}

// Writes `bytes` as the file and reads all of it: the problems found and the number of messages read.
std::pair<std::vector<mcap::Problem>, std::size_t> reread(const std::string& bytes)
{
    std::ofstream(kPath, std::ios::binary) << bytes;
    mcap::Reader reader(kPath);
    reader.verify();
    const std::size_t messages = readAll(reader).size();
    return {reader.problems(), messages};
}

class McapFormat : public ::testing::TestWithParam<mcap::Compression>
{
};

TEST_P(McapFormat, FileHasMagicRecordsIndexesSummaryAndCrcsAsTheFormatSays)
{
    const auto written = writeFile(GetParam());
    const std::string bytes = bytesOf(kPath);
    const std::string magic("\x89MCAP0\r\n", 8);
    ASSERT_EQ(bytes.substr(0, 8), magic);
    ASSERT_EQ(bytes.substr(bytes.size() - 8), magic);
    const auto records = walk(bytes);
    ASSERT_EQ(records.front().opcode, 0x01) << "no header first";
    const Record footer = records.back();
    ASSERT_EQ(footer.opcode, 0x02) << "the records do not lead to the footer";
    ASSERT_EQ(footer.offset + 9 + footer.length + 8, bytes.size());

    const Record dataEnd = walk(bytes, 0x0F).at(0);
    EXPECT_EQ(le(bytes, dataEnd.offset + 9, 4), crcOf(bytes, 0, dataEnd.offset)) << "data section CRC";
    const uint64_t summaryStart = le(bytes, footer.offset + 9, 8);
    EXPECT_EQ(summaryStart, dataEnd.offset + 9 + 4);
    EXPECT_EQ(le(bytes, footer.offset + 25, 4), crcOf(bytes, summaryStart, footer.offset + 25)) << "summary CRC";
    const auto offsets = walk(bytes, 0x0E);
    EXPECT_EQ(offsets.at(0).offset, le(bytes, footer.offset + 17, 8));
    std::set<uint8_t> groups;
    for (const Record& offset : offsets)  // each group starts at its first record and ends after its last
    {
        const auto group = static_cast<uint8_t>(bytes[offset.offset + 9]);
        const uint64_t start = le(bytes, offset.offset + 10, 8);
        groups.insert(group);
        EXPECT_EQ(bytes[start], group);
        EXPECT_NE(bytes[start + le(bytes, offset.offset + 18, 8)], group);
    }
    EXPECT_EQ(groups, (std::set<uint8_t>{0x03, 0x04, 0x08, 0x0B}));

    // Each chunk is followed by its message indexes, and the chunk indexes in the summary point at both.
    const auto chunks = walk(bytes, 0x06);
    const auto chunkIndexes = walk(bytes, 0x08);
    ASSERT_GT(chunks.size(), 2u);
    ASSERT_EQ(chunkIndexes.size(), chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i)
    {
        const uint64_t at = chunkIndexes[i].offset + 9;
        EXPECT_EQ(le(bytes, at + 16, 8), chunks[i].offset);
        EXPECT_EQ(le(bytes, at + 24, 8), 9 + chunks[i].length);
        const uint64_t firstIndexOffset = le(bytes, at + 38, 8);
        EXPECT_EQ(firstIndexOffset, chunks[i].offset + 9 + chunks[i].length);
        EXPECT_EQ(bytes[firstIndexOffset], 0x07);
    }
    if (GetParam() == mcap::Compression::None)
    {
        // The first chunk's records as they are: their CRC, and the first message's fields in place.
        const uint64_t at = chunks[0].offset + 9;
        ASSERT_EQ(le(bytes, at + 28, 4), 0u) << "compression name";
        const uint64_t recordsAt = at + 40;
        EXPECT_EQ(le(bytes, at + 24, 4), crcOf(bytes, recordsAt, recordsAt + le(bytes, at + 32, 8))) << "chunk CRC";
        ASSERT_EQ(bytes[recordsAt], 0x05);
        EXPECT_EQ(le(bytes, recordsAt + 9, 2), 2u);
        EXPECT_EQ(le(bytes, recordsAt + 11, 4), 100u);
        EXPECT_EQ(le(bytes, recordsAt + 15, 8), 1000000u);
        EXPECT_EQ(le(bytes, recordsAt + 23, 8), 5000000u);
    }

    mcap::Reader reader(kPath);
    reader.verify();
    EXPECT_TRUE(reader.hasSummary());
    EXPECT_TRUE(reader.problems().empty())
        << reader.problems().front().offset << ": " << reader.problems().front().what;
    EXPECT_EQ(reader.statistics().messageCount, 60u);
    EXPECT_EQ(reader.statistics().channelMessageCounts, (std::map<uint16_t, uint64_t>{{1, 40}, {2, 20}}));
    EXPECT_EQ(reader.channels().at(1).metadata.at("uri"), "dds.ps://1/m/A");
    EXPECT_EQ(readAll(reader), written);
    EXPECT_EQ(readAll(reader, {2}).size(), 20u);
    std::filesystem::remove(kPath);
}

INSTANTIATE_TEST_SUITE_P(Compressions, McapFormat,
                         ::testing::Values(mcap::Compression::None, mcap::Compression::Zstd, mcap::Compression::Lz4),
                         [](const auto& test) {
                             const std::string name = mcap::compressionName(test.param);
                             return name.empty() ? std::string("none") : name;
                         });

// A file cut short or with one byte flipped: the damage is reported at the offset of the record it hit,
// every message outside that record is still read, and no flipped byte goes unnoticed or crashes the reader.
TEST(McapDamage, IsReportedAtItsOffsetAndWhatIsWholeIsStillRead)
{
    const std::size_t all = writeFile(mcap::Compression::Zstd).size();
    const std::string good = bytesOf(kPath);
    const auto chunks = walk(good, 0x06);
    const auto indexes = walk(good, 0x07);
    const uint64_t dataEnd = walk(good, 0x0F).at(0).offset;
    const std::size_t first = reread(good.substr(0, chunks[1].offset)).second;  // the first chunk's messages
    ASSERT_GT(first, 0u);
    struct Damage
    {
        const char* name;
        bool cut;         // else flip
        uint64_t at;      // where
        uint64_t offset;  // the problem's
        std::size_t readable;
    };
    const Damage damages[] = {
        {"cut inside the second chunk", true, chunks[1].offset + 30, chunks[1].offset, first},
        {"cut before the data end", true, dataEnd, dataEnd, all},
        {"flip in the first chunk's records", false, chunks[0].offset + 9 + chunks[0].length - 6, chunks[0].offset,
         all - first},
        {"flip in a message index entry", false, indexes[2].offset + 16, indexes[2].offset, all},
        {"flip in the summary", false, dataEnd + 25, dataEnd + 13, all},
        {"flip in the header", false, 26, 0, all},
    };
    for (const Damage& damage : damages)
    {
        std::string bytes = good;
        damage.cut ? bytes.resize(damage.at) : void(bytes[damage.at] = static_cast<char>(bytes[damage.at] ^ 0x10));
        const auto [problems, read] = reread(bytes);
        EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const auto& p) {
            return p.offset == damage.offset;
        })) << damage.name;
        EXPECT_EQ(read, damage.readable) << damage.name;
    }

    writeFile(mcap::Compression::Lz4, 30);
    const std::string small = bytesOf(kPath);
    for (std::size_t at = 0; at < small.size(); ++at)
    {
        std::string bytes = small;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        EXPECT_FALSE(reread(bytes).first.empty()) << "byte " << at << " flipped unnoticed";
    }
    std::filesystem::remove(kPath);
}

}  // namespace
