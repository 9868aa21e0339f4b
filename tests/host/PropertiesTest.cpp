#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/ProfileType.hpp>
#include <qara/nimb/util/Properties.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qara::nimb
