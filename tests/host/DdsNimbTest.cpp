#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qara::nimb {
namespace {

using eprosima::fastdds::dds::DomainParticipantFactory;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr const char* profilesXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns="http://www.eprosima.com">
  <profiles>
    <participant profile_name="nimb_test_participant">
      <rtps><name>nimbTestParticipant</name></rtps>
    </participant>
  </profiles>
</dds>
)";

class DdsNimbTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        profilesFile =
            std::filesystem::temp_directory_path() / ("nimb_dds_test_profiles_" + std::to_string(getpid()) + ".xml");
        std::ofstream(profilesFile) << profilesXml;
    }

    static void TearDownTestSuite() { std::filesystem::remove(profilesFile); }

    static bool participantExists(uint32_t domain)
    {
        return DomainParticipantFactory::get_instance()->lookup_participant(domain) != nullptr;
    }

    static inline std::filesystem::path profilesFile;
};

TEST_F(DdsNimbTest, SharesOneParticipantPerDomain)
{
    DdsNimb nimb;
    const auto a = nimb.getDomainParticipant(Uri("dds.ps://200/topicA"), {});
    const auto b = nimb.getDomainParticipant(Uri("dds.ps://200/other/topicB"), {});
    const auto c = nimb.getDomainParticipant(Uri("dds.ps://201/topicA"), {});
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a->get_domain_id(), 200u);
    EXPECT_EQ(c->get_domain_id(), 201u);

    EXPECT_NE(DdsNimb().getDomainParticipant(Uri("dds.ps://200/topicA"), {}), a)
        << "participants are shared within one DdsNimb only";
}

TEST_F(DdsNimbTest, LastReleaseDeletesAndNextCallCreatesAfresh)
{
    DdsNimb nimb;
    auto first = nimb.getDomainParticipant(Uri("dds.ps://202/t"), {});
    const auto firstGuid = first->guid();
    std::weak_ptr<eprosima::fastdds::dds::DomainParticipant> watcher = first;
    first.reset();
    EXPECT_TRUE(watcher.expired());
    EXPECT_FALSE(participantExists(202));

    const auto second = nimb.getDomainParticipant(Uri("dds.ps://202/t"), {});
    EXPECT_NE(second->guid(), firstGuid);
    EXPECT_TRUE(participantExists(202));
}

TEST_F(DdsNimbTest, ParticipantProfileFromUriOrProperty)
{
    DdsNimb nimb({{"dds.xml.profiles.file", profilesFile.string()}});
    const auto byUri = nimb.getDomainParticipant(Uri("dds.ps://203/t?participant=nimb_test_participant"), {});
    EXPECT_EQ(byUri->get_qos().name().to_string(), "nimbTestParticipant");

    const auto byProperty =
        nimb.getDomainParticipant(Uri("dds.ps://203/u"), {{"dds.participant.profile", "nimb_test_participant"}});
    EXPECT_EQ(byProperty, byUri);
    EXPECT_EQ(nimb.getDomainParticipant(Uri("dds.ps://203/v?participant=nimb_test_participant"),
                                        {{"dds.participant.profile", "nimb_no_such_profile"}}),
              byUri)
        << "the URI's profile wins over the property";

    const auto plain = nimb.getDomainParticipant(Uri("dds.ps://203/t"), {});
    EXPECT_NE(plain, byUri);
    EXPECT_NE(plain->get_qos().name().to_string(), "nimbTestParticipant");

    EXPECT_NO_THROW(DdsNimb({{"dds.xml.profiles.file", profilesFile.string()}})) << "loading a file again";
}

// The hook sees the profile's QoS, and what it changes is what the participant gets.
TEST_F(DdsNimbTest, ParticipantQosHookAdjustsTheProfilesQos)
{
    std::vector<std::string> seen;
    DdsNimb nimb({{"dds.xml.profiles.file", profilesFile.string()}},
                 [&seen](eprosima::fastdds::dds::DomainParticipantQos& qos) {
                     seen.push_back(qos.name().to_string());
                     qos.name(qos.name().to_string() + "Adjusted");
                 });
    const auto byProfile = nimb.getDomainParticipant(Uri("dds.ps://206/t?participant=nimb_test_participant"), {});
    EXPECT_EQ(byProfile->get_qos().name().to_string(), "nimbTestParticipantAdjusted");
    const auto plain = nimb.getDomainParticipant(Uri("dds.ps://206/t"), {});
    EXPECT_EQ(plain->get_qos().name().to_string(), seen.back() + "Adjusted");
    EXPECT_EQ(nimb.getDomainParticipant(Uri("dds.ps://206/u"), {}), plain);
    ASSERT_EQ(seen.size(), 2u) << "called once for each participant created";
    EXPECT_EQ(seen.front(), "nimbTestParticipant");
}

TEST_F(DdsNimbTest, UnknownProfileIsNamedInTheError)
{
    DdsNimb nimb;
    const std::string uri = "dds.ps://204/t?participant=nimb_no_such_profile";
    EXPECT_THAT([&] { nimb.getDomainParticipant(Uri(uri), {}); },
                ThrowsMessage<std::runtime_error>(StrEq(
                    "Failed to create DDS participant for domain 204 with profile:nimb_no_such_profile Uri: " + uri)));
    EXPECT_FALSE(participantExists(204));
}

TEST_F(DdsNimbTest, MissingProfilesFileFails)
{
    const std::string path = "/nonexistent/nimb_profiles.xml";
    EXPECT_THAT(
        [&] {
            DdsNimb nimb({{"dds.xml.profiles.file", path}});
        },
        ThrowsMessage<NimbException>(HasSubstr("Failed to load DDS XML profiles file " + path + " code:")));
}

TEST_F(DdsNimbTest, InvalidUriIsRejectedBeforeAnyParticipant)
{
    DdsNimb nimb;
    EXPECT_THROW(nimb.getDomainParticipant(Uri("dds.ps://233/t"), {}), NimbException);
    EXPECT_THROW(nimb.getDomainParticipant(Uri("dds.ps://205/"), {}), NimbException);
    EXPECT_FALSE(participantExists(205));
}

}  // namespace
}  // namespace qara::nimb
