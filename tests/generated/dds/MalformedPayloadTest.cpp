#include "Payloads.hpp"

#include "SampleValues.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <utility>
#include <vector>

// What a reader does with bytes it cannot trust. The payloads are exactly as large as their bytes, so
// the sanitizer build catches any read past the end.
namespace {

using namespace tarvex_test;

template <class T>
class MalformedPayload : public ::testing::Test
{
};

TYPED_TEST_SUITE(MalformedPayload, GtestTypes<AllTypes>::type, TypeNames);

TYPED_TEST(MalformedPayload, EveryTruncationIsRefused)
{
    using W = typename TypeParam::Wire;
    typename TypeParam::Support support;
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        const Bytes valid = encode<TypeParam>(makeDistinctSample<W>(11), representation);
        std::vector<std::size_t> acceptedLengths;
        for (std::size_t length = 0; length < valid.size(); ++length)
        {
            fdds::SerializedPayload payload = payloadOf(valid.data(), length);
            W decoded;
            if (support.deserialize(payload, &decoded))
            {
                acceptedLengths.push_back(length);
            }
        }
        EXPECT_EQ(acceptedLengths, std::vector<std::size_t>{}) << nameOf(representation) << " of " << valid.size();
    }
}

// The delimiter header of an XCDR2 body says where the body ends. A body that ends after a member is an
// older version of the type (the rest reads as zero) or a newer one (the rest is skipped); one that ends
// inside a member or beyond the payload is malformed.
TEST(MalformedPayloadDelimiter, DelimiterHeaderDecidesWhereTheBodyEnds)
{
    using Medium = WireType<generated::dds_::tarvex::SaMeasurements_medium,
                            generated::dds_::tarvex::SaMeasurements_mediumPubSubType>;
    struct Row
    {
        const char* name;
        uint8_t dheader;          // 20 for the whole structure
        std::size_t length;       // of the payload, 28 for the whole structure
        bool accepted;
        std::size_t membersRead;  // the others read as zero
    };
    const Row rows[] = {
        {"older version without the last long", 13, 21, true, 4},
        {"older version, payload padded", 13, 24, true, 4},
        {"older version without any member", 0, 8, true, 0},
        {"newer version with one more long", 24, 32, true, 5},
        {"delimiter beyond the payload", 24, 28, false, 0},
        {"body ends inside the last long", 18, 28, false, 0},
    };
    const Medium::Wire sample = makeDistinctSample<Medium::Wire>(13);
    Bytes valid = encode<Medium>(sample, kXcdr2);
    ASSERT_EQ(valid.size(), 28u);
    ASSERT_EQ(valid[4], 20);
    valid.resize(32, 0x2a);
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        Bytes bytes(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(row.length));
        bytes[4] = row.dheader;
        Medium::Wire decoded = makeDistinctSample<Medium::Wire>(14);
        ASSERT_EQ(decode<Medium>(bytes, decoded), row.accepted);
        if (row.accepted)
        {
            Medium::Wire expected = sample;
            for (std::size_t id = row.membersRead; id < Medium::Wire::fieldCount; ++id)
            {
                expected.visitField(static_cast<uint32_t>(id), [](auto& field) { field = {}; });
            }
            EXPECT_EQ(decoded, expected);
        }
    }
}

// A decoded sample, however odd, must encode again under both versions and decode to the same fields.
template <class T>
void expectStable(const typename T::Wire& decoded)
{
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        typename T::Wire again;
        ASSERT_TRUE(decode<T>(encode<T>(decoded, representation), again)) << nameOf(representation);
        ASSERT_EQ(fieldBytes(again), fieldBytes(decoded)) << nameOf(representation);
    }
}

// The deterministic counterpart of tarvex_cdr_fuzzer: bit flips, overwritten bytes (often in the
// encapsulation header and DHEADER), truncation and trailing garbage.
TYPED_TEST(MalformedPayload, SeededCorruptionIsDecodedOrRefusedCleanly)
{
    using W = typename TypeParam::Wire;
    typename TypeParam::Support support;
    std::mt19937 random(20240611u);
    const auto below = [&random](std::size_t bound) {
        return bound == 0 ? std::size_t{0} : std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    };
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        SCOPED_TRACE(nameOf(representation));
        const Bytes valid = encode<TypeParam>(makeDistinctSample<W>(12), representation);
        int accepted = 0;
        int refused = 0;
        for (int iteration = 0; iteration < 2000; ++iteration)
        {
            Bytes bytes = valid;
            const std::size_t mutations = 1 + below(3);
            for (std::size_t m = 0; m < mutations && !bytes.empty(); ++m)
            {
                switch (below(5))
                {
                    case 0:
                        bytes[below(bytes.size())] ^= static_cast<unsigned char>(1u << below(8));
                        break;
                    case 1:
                        bytes[below(bytes.size())] = static_cast<unsigned char>(below(256));
                        break;
                    case 2:
                        bytes[below(std::min<std::size_t>(bytes.size(), 8))] = static_cast<unsigned char>(below(256));
                        break;
                    case 3:
                        bytes.resize(below(bytes.size() + 1));
                        break;
                    default:
                        for (std::size_t extra = 1 + below(16); extra > 0; --extra)
                        {
                            bytes.push_back(static_cast<unsigned char>(below(256)));
                        }
                        break;
                }
            }
            fdds::SerializedPayload payload = payloadOf(bytes);
            W decoded;
            if (support.deserialize(payload, &decoded))
            {
                ++accepted;
                expectStable<TypeParam>(decoded);
            }
            else
            {
                ++refused;
            }
        }
        // Both outcomes occur, so neither path went untried.
        EXPECT_GT(accepted, 0);
        EXPECT_GT(refused, 0);
    }
}

// The fuzzer's seed corpus: one valid payload per type and version, behind the byte that selects the
// type. After a change to the IDL, rewrite it with tarvex_fuzz_corpus.
TEST(FuzzCorpus, HoldsACurrentPayloadForEveryTypeAndVersion)
{
    std::set<std::pair<unsigned, unsigned>> seen;
    for (const auto& entry : std::filesystem::directory_iterator(TARVEX_FUZZ_CORPUS_DIR))
    {
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream file(entry.path(), std::ios::binary);
        const Bytes input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        ASSERT_GE(input.size(), 5u);
        const Bytes payload(input.begin() + 1, input.end());
        const bool known = withType(AllTypes{}, input[0], [&](auto entryType) {
            using T = decltype(entryType);
            const fdds::DataRepresentationId representation = payload[1] == 0x01 ? kXcdr1 : kXcdr2;
            typename T::Wire decoded;
            ASSERT_TRUE(decode<T>(payload, decoded));
            EXPECT_EQ(encode<T>(decoded, representation), payload);
        });
        EXPECT_TRUE(known);
        seen.emplace(input[0], payload[1]);
    }
    EXPECT_EQ(seen.size(), 2 * typeCount(AllTypes{}));
}

}  // namespace
