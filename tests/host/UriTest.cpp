#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/Uri.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

namespace qara::nimb {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

TEST(Uri, SplitsDecodesAndKeepsTheTextAsGiven)
{
    const std::string text = "dds.ps://7/a%20b/c%2Fd?participant=p%26q&flag&x=1+2";
    const Uri uri(text);
    EXPECT_EQ(uri.scheme(), "dds.ps");
    EXPECT_EQ(uri.host(), "7");
    EXPECT_EQ(uri.path(), "/a b/c/d");
    EXPECT_EQ(uri.query("participant"), "p&q");
    EXPECT_EQ(uri.query("x"), "1+2");
    EXPECT_TRUE(uri.hasQuery("flag"));
    EXPECT_FALSE(uri.hasQuery("participan"));
    EXPECT_EQ(uri.query("missing"), "");
    EXPECT_EQ(uri.string(), text);
    EXPECT_EQ(Uri("DDS.PS://7/%7ETopic"), Uri("dds.ps://7/~Topic"));
    EXPECT_NE(Uri("dds.ps://7/Topic"), Uri("dds.ps://7/topic"));
    for (const char* bad : {"", "no scheme", "/relative/path", "dds.ps://7/a b", "dds.ps://7/%zz", "1dds://7/t"})
    {
        EXPECT_THAT([&] { Uri{bad}; }, ThrowsMessage<NimbException>(StartsWith("Invalid URI '" + std::string(bad))));
    }
}

// The error names the URI and what is wrong with it.
TEST(DdsUriHelper, ChecksSchemeDomainAndTopicSayingWhy)
{
    std::ifstream table(NIMB_TEST_DDS_URIS);
    int rows = 0;
    for (std::string text, why; table >> text && std::getline(table >> std::ws, why);)
    {
        if (text[0] == '#')
        {
            continue;
        }
        ++rows;
        EXPECT_EQ(DdsUriHelper::checkUri(Uri(text), false), why == "-") << text;
        if (why != "-")
        {
            EXPECT_THAT([&] { DdsUriHelper::checkUri(Uri(text), true); },
                        ThrowsMessage<NimbException>(AllOf(HasSubstr("'" + text + "'"), HasSubstr(why))));
        }
    }
    EXPECT_EQ(rows, 19);
    EXPECT_EQ(DdsUriHelper::domainId(Uri("dds.ps://232/t")), 232u);
    EXPECT_THROW(DdsUriHelper::domainId(Uri("dds.ps://233/t")), NimbException);
    EXPECT_TRUE(DdsUriHelper::isPubSubUri(Uri("dds.ps://7/t")));
    EXPECT_FALSE(DdsUriHelper::isPubSubUri(Uri("dds.rpc://7/t")));
    EXPECT_FALSE(DdsUriHelper::isPubSubUri(Uri("dds.psx://7/t")));
    const Uri uri("dds.ps://7/tarvex/Ps%20Measurements?participant=p");
    EXPECT_EQ(DdsUriHelper::topic(uri, true), "tarvex/Ps Measurements");
    EXPECT_EQ(DdsUriHelper::topic(uri, false), "/tarvex/Ps Measurements");
}

}  // namespace
}  // namespace qara::nimb
