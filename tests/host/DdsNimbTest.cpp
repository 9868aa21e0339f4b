#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

// Real participants on domains 200..206.
namespace qara::nimb {
namespace {

using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

bool participantExists(uint32_t domain)
{
    return eprosima::fastdds::dds::DomainParticipantFactory::get_instance()->lookup_participant(domain) != nullptr;
}

TEST(DdsNimb, SharesOneParticipantPerDomainUntilTheLastRelease)
{
    DdsNimb nimb;
    auto a = nimb.getDomainParticipant(Uri("dds.ps://200/topicA"), {});
    const auto c = nimb.getDomainParticipant(Uri("dds.ps://201/topicA"), {});
    EXPECT_EQ(nimb.getDomainParticipant(Uri("dds.ps://200/other/topicB"), {}), a);
    EXPECT_NE(a, c);
    EXPECT_EQ(c->get_domain_id(), 201u);
    EXPECT_NE(DdsNimb().getDomainParticipant(Uri("dds.ps://200/topicA"), {}), a) << "shared within one host only";

    const auto firstGuid = a->guid();
    a.reset();
    EXPECT_FALSE(participantExists(200));
    EXPECT_NE(nimb.getDomainParticipant(Uri("dds.ps://200/t"), {})->guid(), firstGuid);
}

// The URI's profile wins over the property; the hook sees the profile's QoS, and what it changes is what
// the participant gets.
TEST(DdsNimb, ParticipantProfileFromUriOrPropertyAdjustedByTheHook)
{
    DdsNimb nimb(Nimb::Properties{{"dds.xml.profiles.file", NIMB_TEST_PROFILES}},
                 [](eprosima::fastdds::dds::DomainParticipantQos& qos) { qos.name(qos.name().to_string() + "+"); });
    const auto byUri = nimb.getDomainParticipant(Uri("dds.ps://203/t?participant=nimb_test_participant"), {});
    EXPECT_EQ(byUri->get_qos().name().to_string(), "nimbTestParticipant+");
    EXPECT_EQ(nimb.getDomainParticipant(Uri("dds.ps://203/u"), {{"dds.participant.profile", "nimb_test_participant"}}),
              byUri);
    EXPECT_EQ(nimb.getDomainParticipant(Uri("dds.ps://203/v?participant=nimb_test_participant"),
                                        {{"dds.participant.profile", "nimb_no_such_profile"}}),
              byUri);
    const auto plain = nimb.getDomainParticipant(Uri("dds.ps://203/t"), {});
    EXPECT_NE(plain, byUri);
    EXPECT_EQ(plain->get_qos().name().to_string().back(), '+');
    EXPECT_NO_THROW(DdsNimb(Nimb::Properties{{"dds.xml.profiles.file", NIMB_TEST_PROFILES}})) << "loading a file again";
}

TEST(DdsNimb, FailuresNameTheirCauseAndCreateNothing)
{
    DdsNimb nimb;
    const std::string uri = "dds.ps://204/t?participant=nimb_no_such_profile";
    EXPECT_THAT([&] { nimb.getDomainParticipant(Uri(uri), {}); },
                ThrowsMessage<std::runtime_error>(StrEq(
                    "Failed to create DDS participant for domain 204 with profile:nimb_no_such_profile Uri: " + uri)));
    EXPECT_FALSE(participantExists(204));
    EXPECT_THROW(nimb.getDomainParticipant(Uri("dds.ps://205/"), {}), NimbException);
    EXPECT_FALSE(participantExists(205));
    EXPECT_THAT(
        [] {
            DdsNimb(Nimb::Properties{{"dds.xml.profiles.file", "/nonexistent/p.xml"}});
        },
        ThrowsMessage<NimbException>(HasSubstr("Failed to load DDS XML profiles file /nonexistent/p.xml code:")));
}

}  // namespace
}  // namespace qara::nimb
