#include "DynamicTypes.hpp"
#include "Matching.hpp"
#include "PlainDds.hpp"
#include "SampleValues.hpp"
#include "WireTypes.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

// The type support registered on a real participant (domain 210), read from writers of an older and a
// newer version of the type, published by Fast DDS's own dynamic types. The delimiter header decides where
// an XCDR2 body ends: members an older writer lacks read as zero, members a newer one added are skipped.
// Without a delimiter header (XCDR1) only the newer version can be read.
namespace {

using namespace tarvex_test;
using W = generated::dds_::tarvex::SaMeasurements_medium;
using Support = generated::dds_::tarvex::SaMeasurements_mediumPubSubType;

TEST(TypeEvolution, OlderAndNewerWritersAreRead)
{
    struct Row
    {
        const char* version;
        std::size_t members;
        std::size_t added;
        fdds::DataRepresentationId representation;
    };
    const Row rows[] = {{"older", W::fieldCount - 1, 0, kXcdr2},
                        {"newer", W::fieldCount, 1, kXcdr2},
                        {"newer", W::fieldCount, 1, kXcdr1}};
    for (const Row& row : rows)
    {
        const std::string name = std::string(row.version) + (row.representation == kXcdr1 ? "XCDR1" : "XCDR2");
        SCOPED_TRACE(name);
        auto readerQos = PlainReader<W, Support>::reliableQos();
        readerQos.representation().m_value = {row.representation};
        // A newer version's payload exceeds the type's maximum size; the plug-in's readers grow their
        // history for it, as this one does.
        readerQos.endpoint().history_memory_policy = eprosima::fastdds::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
        PlainReader<W, Support> reader(210, "tarvex/evolution/" + name, readerQos);
        const auto type = dynamicTypeOf<W>(Support::typeName, row.members, row.added);
        DynamicWriter writer(210, "tarvex/evolution/" + name, type, row.representation);
        ASSERT_TRUE(waitUntil([&] { return matchedCount(reader.reader()) == 1 && matchedCount(writer.writer()) == 1; },
                              std::chrono::seconds(10)));

        const W sample = makeDistinctSample<W>(31);
        auto data = dynamicDataOf(type, sample, 77);
        ASSERT_EQ(writer.writer().write(&data), fdds::kOk);
        W expected = sample;
        for (std::size_t id = row.members; id < W::fieldCount; ++id)
        {
            expected.visitField(static_cast<uint32_t>(id), [](auto& field) { field = {}; });
        }
        const auto received = reader.take(1);
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(fieldBytes(received[0].sample), fieldBytes(expected));
    }
}

}  // namespace
