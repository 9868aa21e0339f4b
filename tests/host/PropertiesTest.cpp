#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/util/Properties.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qara::nimb::util {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(GetLongProperty, ParsesWholeDecimalValues)
{
    const Nimb::Properties properties{{"neg", "-42"}, {"zero", "0"}, {"big", "9223372036854775807"}};
    EXPECT_EQ(getLongProperty(properties, "neg", 1), -42);
    EXPECT_EQ(getLongProperty(properties, "zero", 1), 0);
    EXPECT_EQ(getLongProperty(properties, "big", 1), 9223372036854775807L);
    EXPECT_EQ(getLongProperty(properties, "absent", 17), 17);
}

TEST(GetLongProperty, RejectsAnythingElse)
{
    for (const char* bad : {"", "12x", " 12", "12 ", "+5", "1.5", "0x10", "-", "9223372036854775808"})
    {
        EXPECT_THROW(getLongProperty({{"n", bad}}, "n", 0), NimbException) << '\'' << bad << '\'';
    }
    EXPECT_THAT(
        [] {
            getLongProperty({{"timeout", "ten"}}, "timeout", 0);
        },
        ThrowsMessage<NimbException>(StrEq("Property timeout is not an integer: 'ten'")));
}

}  // namespace
}  // namespace qara::nimb::util
