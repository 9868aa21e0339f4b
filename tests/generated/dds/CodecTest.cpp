#include "TopicTypes.hpp"
#include "WireTypes.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

// Every wire structure through its Fast DDS type support: exact bytes, sizes, either CDR version in either
// byte order, older and newer versions of a type, and payloads that are cut short or delimit their body
// wrongly. The payloads are exactly as large as their bytes, so the sanitizer build catches any read past
// the end.
namespace {

using namespace tarvex_test;
using eprosima::fastcdr::Cdr;

template <class T>
class TypeSupport : public ::testing::Test
{
};

TYPED_TEST_SUITE(TypeSupport, AllTypesIn<::testing::Types>, TopicNames);

// Whole payloads, header included, under XCDR1 and XCDR2, and the maximum. XCDR2 aligns doubles to 4 only,
// which absorbs the DHEADER of the slow and fast topics. Every command carries one octet.
const std::map<std::string, std::array<uint32_t, 3>> kTopicSizes = {{"PsMeasurements", {1120, 1124, 1128}},
                                                                    {"SaMeasurements_slow", {292, 292, 292}},
                                                                    {"SaMeasurements_medium", {24, 28, 28}},
                                                                    {"SaMeasurements_fast", {1014, 1014, 1024}}};

TYPED_TEST(TypeSupport, NameSizesAndNoKey)
{
    typename TypeParam::Support support;
    EXPECT_EQ(support.get_name(), "generated::dds_::tarvex::" + TypeParam::name());
    const auto found = kTopicSizes.find(TypeParam::name());
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

// A payload written by Fast CDR itself: the encapsulation header, then what `body` writes, which may put a
// member of up to 8 bytes before the structure.
template <class T, class Body>
Bytes written(Cdr::Endianness endianness, fdds::DataRepresentationId representation, Body body)
{
    std::vector<char> buffer(T::Support::maxSerializedSize + 8, 0);
    eprosima::fastcdr::FastBuffer fastBuffer(buffer.data(), buffer.size());
    Cdr cdr(fastBuffer, endianness,
            representation == kXcdr1 ? eprosima::fastcdr::CdrVersion::XCDRv1 : eprosima::fastcdr::CdrVersion::XCDRv2);
    cdr.set_encoding_flag(generated::dds_::encodingFor(cdr.get_cdr_version()));
    cdr.serialize_encapsulation();
    body(cdr);
    return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(cdr.get_serialized_data_length()));
}

// A reader takes whatever a writer chose, either version in either byte order; every shorter payload is
// refused.
TYPED_TEST(TypeSupport, DecodesEitherVersionInEitherByteOrderAndRefusesEveryTruncation)
{
    using W = typename TypeParam::Wire;
    const W sample = makeDistinctSample<W>(17);
    for (const Cdr::Endianness endianness : {Cdr::LITTLE_ENDIANNESS, Cdr::BIG_ENDIANNESS})
    {
        for (const fdds::DataRepresentationId representation : {kXcdr1, kXcdr2})
        {
            SCOPED_TRACE(std::to_string(endianness) + " " + std::to_string(representation));
            const Bytes bytes = written<TypeParam>(endianness, representation, [&](Cdr& cdr) { cdr << sample; });
            W decoded = makeDistinctSample<W>(99);  // stale values, so that a field left unread shows
            fdds::SerializedPayload payload = payloadOf(bytes);
            ASSERT_TRUE(typename TypeParam::Support().deserialize(payload, &decoded));
            EXPECT_EQ(fieldBytes(decoded), fieldBytes(sample));
            EXPECT_EQ(payload.encapsulation, endianness == Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE);
            for (std::size_t length = 0; length < bytes.size(); ++length)
            {
                ASSERT_FALSE(decode<TypeParam>(Bytes(bytes.begin(), bytes.begin() + long(length)), decoded)) << length;
            }
        }
    }
}

// The codec writes and reads whole bodies value after value. The reference is the member-by-member way: a
// MemberId before every member when writing, Fast CDR's deserialize_type when reading. Both must agree on
// random samples and on random damage to their bytes.
// Cuts, appends, overwrites a byte (often a boolean's, which then reads as neither 0 nor 1) or sets the
// delimiter header to any length up to a little beyond the body, which makes older and newer versions.
Bytes damaged(Bytes bytes, fdds::DataRepresentationId representation, std::mt19937& random)
{
    const auto below = [&random](std::size_t bound) { return static_cast<std::size_t>(random() % (bound + 1)); };
    switch (below(4))
    {
        case 0:
            bytes.resize(below(bytes.size()));
            break;
        case 1:
            bytes.resize(bytes.size() + below(12), static_cast<unsigned char>(random()));
            break;
        case 2:
            bytes[below(bytes.size() - 1)] = static_cast<unsigned char>(random());
            break;
        default:
            if (representation == kXcdr2)
            {
                const auto dheader = static_cast<uint32_t>(below(bytes.size()));
                std::memcpy(bytes.data() + 4, &dheader, sizeof(dheader));
            }
    }
    return bytes;
}

TYPED_TEST(TypeSupport, DirectCodecAgreesWithTheMemberByMemberAlgorithm)
{
    using W = typename TypeParam::Wire;
    std::mt19937 random(20261206u);
    for (const fdds::DataRepresentationId representation : {kXcdr1, kXcdr2})
    {
        // Each byte of a valid payload set to 2 in turn: where it is a boolean, it reads as neither value.
        const Bytes valid = encode<TypeParam>(makeDistinctSample<W>(1), representation);
        for (std::size_t at = 4; at < valid.size(); ++at)
        {
            Bytes bytes = valid;
            bytes[at] = 2;
            ASSERT_TRUE(readsAgree<TypeParam>(bytes)) << "byte " << at << " set to 2";
        }
        for (int round = 0; round < 300; ++round)
        {
            const W sample = makeDistinctSample<W>(random(), (random() & 1u) != 0);
            const Bytes bytes = encode<TypeParam>(sample, representation);
            ASSERT_EQ(bytes, written<TypeParam>(Cdr::DEFAULT_ENDIAN, representation, [&sample](Cdr& cdr) {
                          Cdr::state state(cdr);
                          cdr.begin_serialize_type(state, generated::dds_::encodingFor(cdr.get_cdr_version()));
                          uint32_t id = 0;
                          sample.visitFields([&](const char*, const auto& field) {
                              cdr << eprosima::fastcdr::MemberId(id++) << field;
                          });
                          cdr.end_serialize_type(state);
                      }));
            ASSERT_TRUE(readsAgree<TypeParam>(damaged(bytes, representation, random))) << "round " << round;
        }
    }
}

// The CDR functions are exported for structures of other components too: a body that starts after a 4-byte
// member of theirs, so 4 bytes off an 8-byte boundary, is written and read as Fast CDR would.
TYPED_TEST(TypeSupport, ABodyBehindAnotherMemberIsWrittenAndReadAsFastCdrWould)
{
    using W = typename TypeParam::Wire;
    const W sample = makeDistinctSample<W>(23);
    for (const fdds::DataRepresentationId representation : {kXcdr1, kXcdr2})
    {
        const Bytes direct = written<TypeParam>(Cdr::DEFAULT_ENDIAN, representation, [&](Cdr& cdr) {
            cdr << uint32_t{7} << sample;
        });
        const Bytes reference = written<TypeParam>(Cdr::DEFAULT_ENDIAN, representation, [&](Cdr& cdr) {
            cdr << uint32_t{7};
            Cdr::state state(cdr);
            cdr.begin_serialize_type(state, generated::dds_::encodingFor(cdr.get_cdr_version()));
            uint32_t id = 0;
            sample.visitFields([&](const char*, const auto& field) { cdr << eprosima::fastcdr::MemberId(id++) << field; });
            cdr.end_serialize_type(state);
        });
        ASSERT_EQ(direct, reference) << representation;
        std::vector<char> buffer(direct.begin(), direct.end());
        eprosima::fastcdr::FastBuffer fastBuffer(buffer.data(), buffer.size());
        Cdr cdr(fastBuffer);
        cdr.read_encapsulation();
        uint32_t prefix = 0;
        W decoded = makeDistinctSample<W>(99);
        cdr >> prefix >> decoded;
        EXPECT_EQ(prefix, 7u);
        EXPECT_EQ(fieldBytes(decoded), fieldBytes(sample));
    }
}

// data/golden.hex: one annotated payload per case. Lines labelled with a field name hold that field's bytes.
struct Golden
{
    std::string type, version, kind;  // kind: empty, older, newer or refused
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
            cases.emplace_back();
            std::istringstream(line.substr(2)) >> cases.back().type >> cases.back().version >> cases.back().kind;
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

// The sample is built field by field from the labelled bytes (a field without any reads as zero), so a field
// written in the wrong place, a padding byte too many or too few, or the other CDR version changes the bytes.
// Older and newer versions of the type decode to the fields they share; malformed payloads are refused.
template <class T>
void expectGolden(const Golden& golden)
{
    typename T::Wire sample;
    sample.visitFields([&](const char* name, auto& field) {
        const Bytes& bytes = golden.labelled.count(name) != 0 ? golden.labelled.at(name) : Bytes(sizeof(field));
        ASSERT_EQ(bytes.size(), sizeof(field)) << name;
        std::memcpy(&field, bytes.data(), sizeof(field));
    });
    auto decoded = makeDistinctSample<typename T::Wire>(5);
    ASSERT_EQ(decode<T>(golden.bytes, decoded), golden.kind != "refused:");
    if (golden.kind == "")
    {
        EXPECT_EQ(encode<T>(sample, golden.version == "XCDR1" ? kXcdr1 : kXcdr2), golden.bytes);
    }
    EXPECT_TRUE(golden.kind == "refused:" || fieldBytes(decoded) == fieldBytes(sample));
}

TEST(GoldenBytes, PayloadsAreExactlyAsAnnotated)
{
    std::size_t checked = 0;
    for (const Golden& golden : readGolden())
    {
        SCOPED_TRACE(golden.type + " " + golden.version + " " + golden.kind);
        forEachType([&](auto entry, std::size_t) {
            if (decltype(entry)::name() == golden.type && ++checked)
            {
                expectGolden<decltype(entry)>(golden);
            }
        });
    }
    EXPECT_EQ(checked, 17u);
}

// The fuzzer's seed corpus: for every type and version one valid payload, behind the byte that selects the
// type. After a change to the IDL, TARVEX_WRITE_FUZZ_CORPUS=1 makes this test rewrite it.
TEST(FuzzCorpus, HoldsACurrentPayloadForEveryTypeAndVersion)
{
    forEachType([&](auto entry, std::size_t index) {
        using T = decltype(entry);
        for (const fdds::DataRepresentationId representation : {kXcdr1, kXcdr2})
        {
            Bytes expected = encode<T>(makeDistinctSample<typename T::Wire>(uint32_t(index) + 1), representation);
            expected.insert(expected.begin(), static_cast<unsigned char>(index));
            const std::string path = std::string(TARVEX_FUZZ_CORPUS_DIR "/") + char('0' + index / 10) +
                                     char('0' + index % 10) + "_" + T::name() +
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
