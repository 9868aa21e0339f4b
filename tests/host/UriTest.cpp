#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/Uri.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace qara::nimb {
namespace {

using ::testing::StartsWith;
using ::testing::ThrowsMessage;

TEST(Uri, SplitsAndDecodesComponents)
{
    const Uri uri("dds.ps://7/a%20b/c%2Fd?participant=p%26q&flag&x=1+2");
    EXPECT_EQ(uri.scheme(), "dds.ps");
    EXPECT_EQ(uri.host(), "7");
    EXPECT_EQ(uri.path(), "/a b/c/d");
    EXPECT_EQ(uri.query("participant"), "p&q");
    EXPECT_EQ(uri.query("x"), "1+2");
    EXPECT_TRUE(uri.hasQuery("flag"));
    EXPECT_EQ(uri.query("flag"), "");
    EXPECT_FALSE(uri.hasQuery("participan"));
    EXPECT_EQ(uri.query("missing"), "");
}

TEST(Uri, KeepsTheTextAsGiven)
{
    const std::string text = "DDS.PS://7/%7ETopic?participant=x";
    const Uri uri(text);
    EXPECT_EQ(uri.string(), text);
    std::ostringstream out;
    out << uri;
    EXPECT_EQ(out.str(), text);
}

TEST(Uri, EqualityIgnoresMeaninglessDifferences)
{
    EXPECT_EQ(Uri("DDS.PS://7/%7ETopic"), Uri("dds.ps://7/~Topic"));
    EXPECT_NE(Uri("dds.ps://7/Topic"), Uri("dds.ps://7/topic"));
    EXPECT_NE(Uri("dds.ps://7/Topic"), Uri("dds.ps://8/Topic"));
}

TEST(Uri, RejectsTextThatIsNoUri)
{
    for (const char* bad : {"", "no scheme", "/relative/path", "dds.ps://7/a b", "dds.ps://7/%zz", "1dds://7/t"})
    {
        EXPECT_THAT([&] { Uri uri(bad); },
                    ThrowsMessage<NimbException>(StartsWith("Invalid URI '" + std::string(bad) + "': ")));
    }
}

}  // namespace
}  // namespace qara::nimb
