// DDS Security between `tarvex perf` processes: authorised participants exchange every sample, outsiders
// neither receive nor inject anything, and a participant without permission for a topic cannot subscribe to it.
#include "Plugin.hpp"
#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 227;
constexpr int kSamples = 20;
const std::string kTopic = "PsMeasurements";

// This process's CAs, identities, signed access documents and participant profiles (Participants.xml).
// Made once per process: Fast DDS keeps the profiles it loaded until exit, so a second file could not reuse
// the profile names.
struct Credentials
{
    Credentials() : directory(::testing::TempDir() + "nimb-security-XXXXXX")
    {
        if (::mkdtemp(directory.data()) != nullptr)
        {
            const int status =
                std::system(("sh '" TARVEX_SECURITY_DATA "/make-credentials.sh' '" + directory + "'").c_str());
            made = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
    }
    ~Credentials()
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::string directory;
    bool made = false;
};

const Credentials& credentials()
{
    static const Credentials made;
    return made;
}

class Security : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(credentials().made) << "no credentials in " << credentials().directory; }

    // A perf process whose participant profile the URI names, or with `--property` when `byProperty`.
    static std::unique_ptr<TarvexProcess> start(const std::string& role, const std::string& uri,
                                                const std::string& profile, std::vector<std::string> extra = {},
                                                bool byProperty = false)
    {
        extra.insert(extra.end(), {"--count", std::to_string(kSamples), "--property",
                                   "dds.xml.profiles.file=" + credentials().directory + "/Participants.xml"});
        if (byProperty)
        {
            extra.insert(extra.end(), {"--property", "dds.participant.profile=" + profile});
        }
        return std::make_unique<TarvexProcess>(
            perf(role, kTopic, byProperty ? uri : uri + "?participant=" + profile, extra));
    }

    const std::string uri = uniqueUri(kDomain, "secured");
};

// A participant the authorised ones must not deal with, on the topic while they are. It publishes and
// subscribes too: its subscriber getting its own samples shows it live on the topic all along.
class Outsider : public Security, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(Outsider, GetsNothingAndInjectsNothingWhileTheAuthorisedExchangeEverything)
{
    auto outsiderSubscriber = start("sub", uri, GetParam());
    auto subscriber = start("sub", uri, "AuthorisedSubscriber", {}, true);
    auto outsiderPublisher = start("pub", uri, GetParam(), {"--rate", "100"});
    auto publisher = start("pub", uri, "AuthorisedPublisher", {"--rate", "100"});
    EXPECT_EQ(publisher->result()["readers"], 1) << "the authorised publisher matched more than its subscriber";
    EXPECT_EQ(outsiderPublisher->result()["readers"], 1) << "the outsider's publisher matched more than its own";
    for (auto* process : {subscriber.get(), outsiderSubscriber.get()})
    {
        const auto received = process->result();
        EXPECT_EQ(received["exit"], 0) << received["output"];
        EXPECT_EQ(received["received"], kSamples);
        EXPECT_EQ(received["first"], 1);
        EXPECT_EQ(received["lost"], 0);
        EXPECT_EQ(received["duplicates"], 0) << "samples of another publisher came in";
    }
}

// Unsecured: no security at all. Rogue: identity from a CA the others do not trust. Forger: sound identity,
// governance and permissions signed by a CA the others do not trust.
INSTANTIATE_TEST_SUITE_P(Security, Outsider, ::testing::Values("Unsecured", "Rogue", "Forger"),
                         [](const auto& info) { return std::string(info.param); });

TEST_F(Security, SubscribingNeedsPermissionForTheTopic)
{
    // The bystander's participant publishes where it may, so the refusal below is about the topic.
    const auto allowed = start("pub", "dds.ps://227/unrelated", "Bystander", {"--readers", "0"})->result();
    EXPECT_EQ(allowed["exit"], 0) << allowed["output"];
    const auto refused = start("sub", uri, "Bystander")->result();
    EXPECT_EQ(refused["exit"], 1);
    EXPECT_NE(refused["output"].get<std::string>().find("Failed to create reader"), std::string::npos)
        << refused["output"];
}

}  // namespace
