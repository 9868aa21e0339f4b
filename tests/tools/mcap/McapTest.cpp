#include <qara/nimb/mcap/Reader.hpp>
#include <qara/nimb/mcap/Writer.hpp>

#include <gtest/gtest.h>

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

// The files are checked with a record walker of the test's own and zlib's CRC, not with the library.
namespace {

namespace mcap = qara::nimb::mcap;

using Message = std::tuple<uint16_t, uint32_t, uint64_t, uint64_t, std::string>;

std::string tempPath(const std::string& name)
{
    return (std::filesystem::temp_directory_path() / ("mcap_test_" + std::to_string(::getpid()) + "_" + name)).string();
}

std::string bytesOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void store(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

uint64_t le(const std::string& bytes, uint64_t at, int width)
{
    uint64_t value = 0;
    for (int i = 0; i < width; ++i)
    {
        value |= uint64_t(static_cast<uint8_t>(bytes.at(at + i))) << (8 * i);
    }
    return value;
}

uint32_t crcOf(const std::string& bytes, uint64_t from, uint64_t to)
{
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), static_cast<uInt>(to - from)));
}

struct Record
{
    uint64_t offset;
    uint8_t opcode;
    uint64_t length;  // of the content
};

// Every record from the header to the footer, by opcode and length alone.
std::vector<Record> walk(const std::string& bytes)
{
    std::vector<Record> records;
    for (uint64_t at = 8; at + 9 <= bytes.size();)
    {
        records.push_back({at, static_cast<uint8_t>(bytes[at]), le(bytes, at + 1, 8)});
        at += 9 + records.back().length;
        if (records.back().opcode == 0x02)
        {
            break;
        }
    }
    return records;
}

std::vector<Record> withOpcode(const std::vector<Record>& records, uint8_t opcode)
{
    std::vector<Record> found;
    std::copy_if(records.begin(), records.end(), std::back_inserter(found),
                 [&](const Record& r) { return r.opcode == opcode; });
    return found;
}

// Sixty messages (by default) on two channels over several small chunks; two of them arrive out of log-time order.
std::vector<Message> writeFile(const std::string& path, mcap::Compression compression, uint32_t count = 60)
{
    mcap::Writer writer(path, mcap::WriterOptions{compression, 2000, "", "test"});
    const uint16_t schema = writer.addSchema("m::A", "omgidl", "module m { struct A { long x; }; };");
    const uint16_t a = writer.addChannel(schema, "m/A", "cdr", {{"uri", "dds.ps://1/m/A"}});
    const uint16_t b = writer.addChannel(schema, "m/B", "cdr", {});
    std::vector<Message> written;
    for (uint32_t i = 0; i < count; ++i)
    {
        const uint64_t logTime = 1000000 + 1000 * i + (i == 7 ? 1500 : 0);
        written.emplace_back(i % 3 == 0 ? b : a, 100 + i, logTime, 5000000 + i,
                             std::string(40 + i, char('a' + i % 26)));
        const auto& [channel, sequence, log, publish, data] = written.back();
        writer.write({channel, sequence, log, publish, reinterpret_cast<const uint8_t*>(data.data()), data.size()});
    }
    writer.close();
    std::sort(written.begin(), written.end(),
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

class McapFormat : public ::testing::TestWithParam<mcap::Compression>
{
};

TEST_P(McapFormat, FileHasMagicRecordsIndexesSummaryAndCrcsAsTheFormatSays)
{
    const std::string path = tempPath("format" + mcap::compressionName(GetParam()));
    const auto written = writeFile(path, GetParam());
    const std::string bytes = bytesOf(path);
    const std::string magic("\x89MCAP0\r\n", 8);
    ASSERT_EQ(bytes.substr(0, 8), magic);
    ASSERT_EQ(bytes.substr(bytes.size() - 8), magic);

    const auto records = walk(bytes);
    ASSERT_EQ(records.front().opcode, 0x01) << "no header first";
    ASSERT_EQ(records.back().opcode, 0x02) << "the records do not lead to the footer";
    const Record footer = records.back();
    ASSERT_EQ(footer.offset + 9 + footer.length + 8, bytes.size());
    ASSERT_EQ(footer.length, 20u);

    const auto dataEnd = withOpcode(records, 0x0F);
    ASSERT_EQ(dataEnd.size(), 1u);
    EXPECT_EQ(le(bytes, dataEnd[0].offset + 9, 4), crcOf(bytes, 0, dataEnd[0].offset)) << "data section CRC";

    const uint64_t summaryStart = le(bytes, footer.offset + 9, 8);
    const uint64_t summaryOffsetStart = le(bytes, footer.offset + 17, 8);
    EXPECT_EQ(summaryStart, dataEnd[0].offset + 9 + 4);
    EXPECT_EQ(le(bytes, footer.offset + 25, 4), crcOf(bytes, summaryStart, footer.offset + 25)) << "summary CRC";
    const auto offsets = withOpcode(records, 0x0E);
    ASSERT_FALSE(offsets.empty());
    EXPECT_EQ(offsets.front().offset, summaryOffsetStart);
    std::set<uint8_t> groups;
    for (const Record& offset : offsets)
    {
        const auto group = static_cast<uint8_t>(bytes[offset.offset + 9]);
        const uint64_t start = le(bytes, offset.offset + 10, 8);
        const uint64_t end = start + le(bytes, offset.offset + 18, 8);
        groups.insert(group);
        for (const Record& r : records)
        {
            if (r.offset >= start && r.offset < end)
            {
                EXPECT_EQ(r.opcode, group) << "summary offset group " << int(group) << " holds other records";
            }
        }
    }
    EXPECT_EQ(groups, (std::set<uint8_t>{0x03, 0x04, 0x08, 0x0B}));

    // Each chunk is followed by its message indexes, and the chunk indexes in the summary point at both.
    const auto chunks = withOpcode(records, 0x06);
    const auto chunkIndexes = withOpcode(records, 0x08);
    ASSERT_GT(chunks.size(), 2u);
    ASSERT_EQ(chunkIndexes.size(), chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i)
    {
        const uint64_t at = chunkIndexes[i].offset + 9;
        EXPECT_EQ(le(bytes, at + 16, 8), chunks[i].offset);
        EXPECT_EQ(le(bytes, at + 24, 8), 9 + chunks[i].length);
        const uint64_t firstIndexOffset = le(bytes, at + 32 + 4 + 2, 8);
        EXPECT_EQ(firstIndexOffset, chunks[i].offset + 9 + chunks[i].length);
        EXPECT_EQ(bytes[firstIndexOffset], 0x07);
    }

    if (GetParam() == mcap::Compression::None)
    {
        // The first chunk's records as they are: their CRC, and the first message's fields in place.
        const uint64_t at = chunks[0].offset + 9;
        const uint64_t compressionLength = le(bytes, at + 28, 4);
        ASSERT_EQ(compressionLength, 0u);
        const uint64_t recordsSize = le(bytes, at + 32, 8);
        const uint64_t recordsAt = at + 40;
        EXPECT_EQ(le(bytes, at + 24, 4), crcOf(bytes, recordsAt, recordsAt + recordsSize)) << "chunk CRC";
        ASSERT_EQ(bytes[recordsAt], 0x05);
        EXPECT_EQ(le(bytes, recordsAt + 9, 2), 2u);
        EXPECT_EQ(le(bytes, recordsAt + 11, 4), 100u);
        EXPECT_EQ(le(bytes, recordsAt + 15, 8), 1000000u);
        EXPECT_EQ(le(bytes, recordsAt + 23, 8), 5000000u);
    }

    mcap::Reader reader(path);
    reader.verify();
    EXPECT_TRUE(reader.hasSummary());
    EXPECT_TRUE(reader.problems().empty())
        << reader.problems().front().offset << ": " << reader.problems().front().what;
    EXPECT_EQ(reader.statistics().messageCount, 60u);
    EXPECT_EQ(reader.statistics().channelMessageCounts, (std::map<uint16_t, uint64_t>{{1, 40}, {2, 20}}));
    EXPECT_EQ(reader.channels().at(1).metadata.at("uri"), "dds.ps://1/m/A");
    EXPECT_EQ(reader.schemas().at(1).encoding, "omgidl");
    EXPECT_EQ(readAll(reader), written);
    EXPECT_EQ(readAll(reader, {2}).size(), 20u);
    std::filesystem::remove(path);
}

INSTANTIATE_TEST_SUITE_P(Compressions, McapFormat,
                         ::testing::Values(mcap::Compression::None, mcap::Compression::Zstd, mcap::Compression::Lz4),
                         [](const auto& info) {
                             const std::string name = mcap::compressionName(info.param);
                             return name.empty() ? std::string("none") : name;
                         });

struct Damage
{
    const char* name;
    // Changes the file and returns the offset the reader must report.
    std::function<uint64_t(std::string&, const std::vector<Record>&)> apply;
    // Messages still read, given the first chunk's count and the total.
    std::function<std::size_t(std::size_t, std::size_t)> readable;
};

TEST(McapDamage, IsReportedAtItsOffsetAndWhatIsWholeIsStillRead)
{
    const std::string path = tempPath("damage");
    const auto written = writeFile(path, mcap::Compression::Zstd);
    const std::string good = bytesOf(path);
    const auto records = walk(good);
    const auto chunks = withOpcode(records, 0x06);
    const auto indexes = withOpcode(records, 0x07);
    std::size_t firstChunk = 0;
    // How many messages the first chunk holds: read through a file cut right after it.
    store(path, good.substr(0, chunks[1].offset));
    {
        mcap::Reader reader(path);
        firstChunk = readAll(reader).size();
    }
    ASSERT_GT(firstChunk, 0u);
    const auto flip = [](std::string& bytes, uint64_t at) { bytes[at] = static_cast<char>(bytes[at] ^ 0x10); };
    const std::vector<Damage> damages = {
        {"cut inside the second chunk",
         [&](std::string& b, const auto&) {
             b.resize(chunks[1].offset + 30);
             return chunks[1].offset;
         },
         [](std::size_t first, std::size_t) { return first; }},
        {"cut before the data end",
         [&](std::string& b, const auto& r) {
             b.resize(withOpcode(r, 0x0F)[0].offset);
             return b.size();
         },
         [](std::size_t, std::size_t all) { return all; }},
        {"byte flipped in the first chunk's compressed records",
         [&](std::string& b, const auto&) {
             flip(b, chunks[0].offset + 9 + chunks[0].length - 6);
             return chunks[0].offset;
         },
         [](std::size_t first, std::size_t all) { return all - first; }},
        {"byte flipped in a message index entry",
         [&](std::string& b, const auto&) {
             flip(b, indexes[2].offset + 9 + 2 + 4 + 1);
             return indexes[2].offset;
         },
         [](std::size_t, std::size_t all) { return all; }},
        {"byte flipped in the summary",
         [&](std::string& b, const auto& r) {
             const uint64_t summary = withOpcode(r, 0x0F)[0].offset + 13;
             flip(b, summary + 12);
             return summary;
         },
         [](std::size_t, std::size_t all) { return all; }},
        {"byte flipped in the header",
         [&](std::string& b, const auto&) {
             flip(b, 8 + 9 + 4 + 4 + 1);
             return uint64_t(0);
         },
         [](std::size_t, std::size_t all) { return all; }},
    };
    for (const Damage& damage : damages)
    {
        SCOPED_TRACE(damage.name);
        std::string bytes = good;
        const uint64_t offset = damage.apply(bytes, records);
        store(path, bytes);
        mcap::Reader reader(path);
        reader.verify();
        const auto& problems = reader.problems();
        const bool reported =
            std::any_of(problems.begin(), problems.end(), [&](const mcap::Problem& p) { return p.offset == offset; });
        std::string all;
        for (const auto& p : problems)
        {
            all += std::to_string(p.offset) + ": " + p.what + "\n";
        }
        EXPECT_TRUE(reported) << "expected a problem at offset " << offset << ", got:\n" << all;
        EXPECT_EQ(readAll(reader).size(), damage.readable(firstChunk, written.size()));
    }
    std::filesystem::remove(path);
}

TEST(McapDamage, EveryFlippedByteIsReportedAndNoneCrashesTheReader)
{
    // Small, in memory where there is a memory file system: the file is written once per byte.
    const std::string path = (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm/") : tempPath("")) +
                             "mcap_sweep" + std::to_string(::getpid());
    writeFile(path, mcap::Compression::Lz4, 30);
    const std::string good = bytesOf(path);
    for (std::size_t at = 0; at < good.size(); ++at)
    {
        std::string bytes = good;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        store(path, bytes);
        mcap::Reader reader(path);
        reader.verify();
        readAll(reader);
        EXPECT_FALSE(reader.problems().empty()) << "byte " << at << " flipped unnoticed";
    }
    std::filesystem::remove(path);
}

}  // namespace
