#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/ProfileType.hpp>
#include <qara/nimb/ps/detail/Uuid.hpp>
#include <qara/nimb/util/Properties.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

namespace qara::nimb {
namespace {

TEST(GetLongProperty, ParsesWholeDecimalValuesAndFallsBackOnAnythingElse)
{
    const Nimb::Properties properties{{"neg", "-42"}, {"zero", "0"}, {"big", "9223372036854775807"}};
    EXPECT_EQ(util::getLongProperty(properties, "neg", 1), -42);
    EXPECT_EQ(util::getLongProperty(properties, "zero", 1), 0);
    EXPECT_EQ(util::getLongProperty(properties, "big", 1), 9223372036854775807L);
    EXPECT_EQ(util::getLongProperty(properties, "absent", 17), 17);
    for (const char* bad : {"", "12x", "5s", " 12", "12 ", "+5", "1.5", "0x10", "-", "9223372036854775808"})
    {
        EXPECT_EQ(util::getLongProperty({{"n", bad}}, "n", 5000), 5000) << '\'' << bad << '\'';
    }
}

TEST(ProfileName, IsLibraryDotKindUnlessOverriddenForThatKind)
{
    const Nimb::Properties properties{{"dds.qos.profile.library", "lib"}, {"dds.qos.profile.datawriter", "w"}};
    const std::pair<ProfileType, const char*> expected[] = {{ProfileType::Topic, "lib.topic"},
                                                            {ProfileType::Publisher, "lib.publisher"},
                                                            {ProfileType::DataWriter, "w"},
                                                            {ProfileType::Subscriber, "lib.subscriber"},
                                                            {ProfileType::DataReader, "lib.datareader"}};
    for (const auto& [type, name] : expected)
    {
        EXPECT_EQ(getProfileNameByProfileType(type, properties), name);
    }
    EXPECT_THAT(
        [] {
            getProfileNameByProfileType(ProfileType::Topic, {{"dds.qos.profile.topic", "t"}});
        },
        ::testing::ThrowsMessage<NimbException>(::testing::StrEq("Property dds.qos.profile.library is not set")));
}

TEST(NewUuid, CanonicalVersion4AndDistinctAcrossThreads)
{
    std::vector<std::string> ids[2];
    const auto make = [&ids](int thread) {
        for (int i = 0; i < 5000; ++i)
        {
            ids[thread].push_back(ps::detail::newUUID());
        }
    };
    std::thread other(make, 1);
    make(0);
    other.join();
    std::set<std::string> distinct(ids[0].begin(), ids[0].end());
    distinct.insert(ids[1].begin(), ids[1].end());
    EXPECT_EQ(distinct.size(), 10000u);
    const std::regex canonical("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (const auto& id : distinct)
    {
        ASSERT_TRUE(std::regex_match(id, canonical)) << id;
    }
}

}  // namespace
}  // namespace qara::nimb
