#include "WireTypes.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

// Every wire structure through its Fast DDS type support: exact bytes, sizes, either CDR version in either
// byte order, and payloads that are cut short or delimit their body wrongly. The payloads are exactly as
// large as their bytes, so the sanitizer build catches any read past the end.
namespace {

using namespace tarvex_test;
using eprosima::fastcdr::Cdr;

template <class T>
class TypeSupport : public ::testing::Test
{
};

TYPED_TEST_SUITE(TypeSupport, AllTypesIn<::testing::Types>, TypeNames);

// Whole payloads, header included, under XCDR1 and XCDR2, and the maximum. XCDR2 aligns doubles to 4 only,
// which absorbs the DHEADER of the slow and fast topics. Every command carries one octet.
const std::map<std::string, std::array<uint32_t, 3>> kTopicSizes = {{"PsMeasurements", {1120, 1124, 1128}},
                                                                    {"SaMeasurements_slow", {292, 292, 292}},
                                                                    {"SaMeasurements_medium", {24, 28, 28}},
                                                                    {"SaMeasurements_fast", {1014, 1014, 1024}}};

TYPED_TEST(TypeSupport, NameSizesAndNoKey)
{
    typename TypeParam::Support support;
    EXPECT_EQ(support.get_name(), "generated::dds_::tarvex::" + shortName<TypeParam>());
    const auto found = kTopicSizes.find(shortName<TypeParam>());
    const auto sizes = found == kTopicSizes.end() ? std::array<uint32_t, 3>{5, 9, 12} : found->second;
    EXPECT_EQ(support.max_serialized_type_size, sizes[2]);
    const auto sample = makeDistinctSample<typename TypeParam::Wire>(3);
    for (const fdds::DataRepresentationId representation : {kXcdr1, kXcdr2})
    {
        const uint32_t size = sizes[representation == kXcdr1 ? 0 : 1];
        EXPECT_EQ(support.calculate_serialized_size(&sample, representation), size);
        EXPECT_EQ(encode<TypeParam>(sample, representation).size(), size);
        fdds::SerializedPayload tooSmall(size - 1);
        tooSmall.length = 3;
        EXPECT_FALSE(support.serialize(&sample, tooSmall, representation));
        EXPECT_EQ(tooSmall.length, 3u);
    }
    fdds::InstanceHandle handle;
    EXPECT_FALSE(support.is_compute_key_provided || support.compute_key(&sample, handle, true) || handle.isDefined());
}

// A reader takes whatever a writer chose, either version in either byte order; every shorter payload is
// refused.
TYPED_TEST(TypeSupport, DecodesEitherVersionInEitherByteOrderAndRefusesEveryTruncation)
{
    using W = typename TypeParam::Wire;
    typename TypeParam::Support support;
    const W sample = makeDistinctSample<W>(17);
    for (const Cdr::Endianness endianness : {Cdr::LITTLE_ENDIANNESS, Cdr::BIG_ENDIANNESS})
    {
        for (const auto version : {eprosima::fastcdr::CdrVersion::XCDRv1, eprosima::fastcdr::CdrVersion::XCDRv2})
        {
            SCOPED_TRACE(std::to_string(endianness) + " " + std::to_string(static_cast<int>(version)));
            std::vector<char> buffer(TypeParam::Support::maxSerializedSize, 0);
            eprosima::fastcdr::FastBuffer fastBuffer(buffer.data(), buffer.size());
            Cdr cdr(fastBuffer, endianness, version);
            cdr.set_encoding_flag(generated::dds_::encodingFor(version));
            cdr.serialize_encapsulation();
            cdr << sample;
            const Bytes bytes(buffer.begin(), buffer.begin() + static_cast<long>(cdr.get_serialized_data_length()));

            W decoded = makeDistinctSample<W>(99);  // stale values, so that a field left unread shows
            fdds::SerializedPayload payload = payloadOf(bytes);
            ASSERT_TRUE(support.deserialize(payload, &decoded));
            EXPECT_EQ(fieldBytes(decoded), fieldBytes(sample));
            EXPECT_EQ(payload.encapsulation, endianness == Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE);
            for (std::size_t length = 0; length < bytes.size(); ++length)
            {
                ASSERT_FALSE(decode<TypeParam>(Bytes(bytes.begin(), bytes.begin() + long(length)), decoded)) << length;
            }
        }
    }
}

// data/golden.hex: one annotated payload per case. Lines labelled with a field name hold that field's bytes.
struct Golden
{
    std::string type;
    fdds::DataRepresentationId representation;
    Bytes bytes;
    std::map<std::string, Bytes> labelled;
};

std::vector<Golden> readGolden()
{
    std::vector<Golden> cases;
    std::ifstream in(TARVEX_GOLDEN_FILE);
    for (std::string line; std::getline(in, line);)
    {
        std::istringstream hex(line.substr(0, line.find('#')));
        if (line.rfind("= ", 0) == 0)
        {
            cases.push_back({line.substr(2, line.find(' ', 2) - 2), line.back() == '1' ? kXcdr1 : kXcdr2, {}, {}});
        }
        for (unsigned value = 0; line[0] != '=' && hex >> std::hex >> value;)
        {
            const std::string label = line.substr(line.find('#') + 2);
            cases.back().labelled[label.substr(0, label.find(':'))].push_back(static_cast<unsigned char>(value));
            cases.back().bytes.push_back(static_cast<unsigned char>(value));
        }
    }
    return cases;
}

// The sample is built field by field from the labelled bytes, so a field written in the wrong place, a
// padding byte too many or too few, or the other CDR version changes the bytes.
template <class T>
void expectGolden(const Golden& golden)
{
    typename T::Wire sample;
    sample.visitFields([&](const char* name, auto& field) {
        const Bytes& bytes = golden.labelled.count(name) != 0 ? golden.labelled.at(name) : Bytes{};
        ASSERT_EQ(bytes.size(), sizeof(field)) << name;
        std::memcpy(&field, bytes.data(), sizeof(field));
    });
    EXPECT_EQ(encode<T>(sample, golden.representation), golden.bytes);
    auto decoded = makeDistinctSample<typename T::Wire>(5);
    ASSERT_TRUE(decode<T>(golden.bytes, decoded));
    EXPECT_EQ(fieldBytes(decoded), fieldBytes(sample));
}

TEST(GoldenBytes, PayloadsAreExactlyAsAnnotated)
{
    std::size_t checked = 0;
    for (const Golden& golden : readGolden())
    {
        SCOPED_TRACE(golden.type + (golden.representation == kXcdr1 ? " XCDR1" : " XCDR2"));
        forEachType(AllTypesIn<TypeList>{}, [&](auto entry, std::size_t) {
            if (shortName<decltype(entry)>() == golden.type && ++checked)
            {
                expectGolden<decltype(entry)>(golden);
            }
        });
    }
    EXPECT_EQ(checked, 10u);
}

// The delimiter header of an XCDR2 body says where the body ends. A body that ends after a member is an
// older version of the type (the rest reads as zero) or a newer one (the rest is skipped); one that ends
// inside a member or beyond the payload is malformed.
TEST(Delimiter, DecidesWhereTheBodyEnds)
{
    using Medium = WireType<generated::dds_::tarvex::SaMeasurements_medium,
                            generated::dds_::tarvex::SaMeasurements_mediumPubSubType>;
    struct Row
    {
        const char* name;
        uint8_t dheader;     // 20 for the whole structure
        std::size_t length;  // of the payload, 28 for the whole structure
        bool accepted;
        std::size_t membersRead;  // the others read as zero
    };
    const Row rows[] = {
        {"older version without the last long", 13, 21, true, 4}, {"older version, payload padded", 13, 24, true, 4},
        {"older version without any member", 0, 8, true, 0},      {"newer version with one more long", 24, 32, true, 5},
        {"delimiter beyond the payload", 24, 28, false, 0},       {"body ends inside the last long", 18, 28, false, 0},
    };
    const Medium::Wire sample = makeDistinctSample<Medium::Wire>(13);
    Bytes valid = encode<Medium>(sample, kXcdr2);
    ASSERT_EQ(valid.size(), 28u);
    valid.resize(32, 0x2a);
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        Bytes bytes(valid.begin(), valid.begin() + static_cast<long>(row.length));
        bytes[4] = row.dheader;
        Medium::Wire decoded = makeDistinctSample<Medium::Wire>(14);
        ASSERT_EQ(decode<Medium>(bytes, decoded), row.accepted);
        Medium::Wire expected = row.accepted ? sample : decoded;
        for (std::size_t id = row.membersRead; row.accepted && id < Medium::Wire::fieldCount; ++id)
        {
            expected.visitField(static_cast<uint32_t>(id), [](auto& field) { field = {}; });
        }
        EXPECT_EQ(fieldBytes(decoded), fieldBytes(expected));
    }
}

// The fuzzer's seed corpus: for every type and version one valid payload, behind the byte that selects the
// type. After a change to the IDL, TARVEX_WRITE_FUZZ_CORPUS=1 makes this test rewrite it.
TEST(FuzzCorpus, HoldsACurrentPayloadForEveryTypeAndVersion)
{
    forEachType(AllTypesIn<TypeList>{}, [&](auto entry, std::size_t index) {
        using T = decltype(entry);
        for (const fdds::DataRepresentationId representation : {kXcdr1, kXcdr2})
        {
            Bytes expected = encode<T>(makeDistinctSample<typename T::Wire>(uint32_t(index) + 1), representation);
            expected.insert(expected.begin(), static_cast<unsigned char>(index));
            const std::string path = std::string(TARVEX_FUZZ_CORPUS_DIR "/") + char('0' + index / 10) +
                                     char('0' + index % 10) + "_" + shortName<T>() +
                                     (representation == kXcdr1 ? "_xcdr1" : "_xcdr2");
            if (std::getenv("TARVEX_WRITE_FUZZ_CORPUS") != nullptr)
            {
                std::ofstream(path, std::ios::binary) << std::string(expected.begin(), expected.end());
            }
            std::ifstream file(path, std::ios::binary);
            EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), {}), expected) << path;
        }
    });
}

}  // namespace
