#include <qara/nimb/util/Properties.hpp>

#include <gtest/gtest.h>

namespace qara::nimb::util {
namespace {

TEST(GetLongProperty, ParsesWholeDecimalValuesAndFallsBackOnAnythingElse)
{
    const Nimb::Properties properties{{"neg", "-42"}, {"zero", "0"}, {"big", "9223372036854775807"}};
    EXPECT_EQ(getLongProperty(properties, "neg", 1), -42);
    EXPECT_EQ(getLongProperty(properties, "zero", 1), 0);
    EXPECT_EQ(getLongProperty(properties, "big", 1), 9223372036854775807L);
    EXPECT_EQ(getLongProperty(properties, "absent", 17), 17);
    for (const char* bad : {"", "12x", "5s", " 12", "12 ", "+5", "1.5", "0x10", "-", "9223372036854775808"})
    {
        EXPECT_EQ(getLongProperty({{"n", bad}}, "n", 5000), 5000) << '\'' << bad << '\'';
    }
}

}  // namespace
}  // namespace qara::nimb::util
