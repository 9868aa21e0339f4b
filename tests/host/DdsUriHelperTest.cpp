#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qara::nimb {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

TEST(DdsUriHelper, AcceptsWellFormedUris)
{
    for (const char* good :
         {"dds.ps://7/tarvex/PsMeasurements", "dds.ps://0/t", "dds.ps://232/t?participant=p", "dds.rpc://3/service"})
    {
        EXPECT_TRUE(DdsUriHelper::checkUri(Uri(good), true)) << good;
    }
    EXPECT_EQ(DdsUriHelper::domainId(Uri("dds.ps://232/t")), 232u);
    EXPECT_EQ(DdsUriHelper::domainId(Uri("dds.ps://0/t")), 0u);
}

TEST(DdsUriHelper, OnlyDdsPsIsPublishSubscribe)
{
    EXPECT_TRUE(DdsUriHelper::isPubSubUri(Uri("dds.ps://7/t")));
    EXPECT_FALSE(DdsUriHelper::isPubSubUri(Uri("dds.rpc://7/t")));
    EXPECT_FALSE(DdsUriHelper::isPubSubUri(Uri("dds.psx://7/t")));
}

TEST(DdsUriHelper, RejectsMalformedUrisSayingWhy)
{
    const std::pair<const char*, const char*> cases[] = {
        {"http://7/t", "scheme"},
        {"dds://7/t", "scheme"},
        {"dds.://7/t", "scheme"},
        {"dds.ps:/7/t", "domain"},
        {"dds.ps://233/t", "domain '233'"},
        {"dds.ps://-1/t", "domain '-1'"},
        {"dds.ps://seven/t", "domain"},
        {"dds.ps://7a/t", "domain"},
        {"dds.ps:///t", "domain ''"},
        {"dds.ps://99999999999/t", "domain"},
        {"dds.ps://7", "topic"},
        {"dds.ps://7/", "topic"},
        {"dds.ps://7:7400/t", "port"},
        {"dds.ps://user@7/t", "user"},
        {"dds.ps://7/t#f", "fragment"},
    };
    for (const auto& [text, why] : cases)
    {
        const Uri uri(text);
        EXPECT_FALSE(DdsUriHelper::checkUri(uri, false)) << text;
        EXPECT_THAT([&] { DdsUriHelper::checkUri(uri, true); },
                    ThrowsMessage<NimbException>(AllOf(HasSubstr(std::string("'") + text + "'"), HasSubstr(why))));
    }
}

TEST(DdsUriHelper, DomainIdRejectsInvalidDomains)
{
    EXPECT_THROW(DdsUriHelper::domainId(Uri("dds.ps://233/t")), NimbException);
    EXPECT_THROW(DdsUriHelper::domainId(Uri("dds.ps://x/t")), NimbException);
}

TEST(DdsUriHelper, TopicIsTheDecodedPath)
{
    const Uri uri("dds.ps://7/tarvex/Ps%20Measurements?participant=p");
    EXPECT_EQ(DdsUriHelper::topic(uri, true), "tarvex/Ps Measurements");
    EXPECT_EQ(DdsUriHelper::topic(uri, false), "/tarvex/Ps Measurements");
}

}  // namespace
}  // namespace qara::nimb
