#include "Matching.hpp"
#include "PlainDds.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"
#include "SampleText.hpp"
#include "TarvexProcess.hpp"

#include "generated/ddsimpl/tarvex/PsMeasurements.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_fast.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_medium.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_slow.hpp"

#include <qara/nimb/mcap/Reader.hpp>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// pub -> record -> replay -> echo through the tool's processes, on domain 199 under topic paths of their own.
namespace {

using tarvex_test::linesOf;
using tarvex_test::runTool;
using tarvex_test::ToolRun;

namespace dds = eprosima::fastdds::dds;

constexpr uint32_t kDomain = 199;
constexpr uint64_t kSamples = 5;

// The n-th sample as pub makes it: every numeric field n, flags false.
template <class E>
std::unique_ptr<E> counted(uint64_t n)
{
    auto entity = std::make_unique<E>();
    qara::nimb::tools::fillCounter(*entity, n);
    return entity;
}

// Publishes kSamples of each topic as XCDR2 through plain Fast DDS writers with the plug-in's type support,
// once the recorder has matched; the plug-in's own writers always send XCDR1.
class Xcdr2Publisher
{
public:
    Xcdr2Publisher()
        : m_participant(
              dds::DomainParticipantFactory::get_instance()->create_participant(kDomain, dds::PARTICIPANT_QOS_DEFAULT)),
          m_publisher(m_participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT))
    {
    }

    ~Xcdr2Publisher()
    {
        m_participant->delete_contained_entities();
        dds::DomainParticipantFactory::get_instance()->delete_participant(m_participant);
    }

    Xcdr2Publisher(const Xcdr2Publisher&) = delete;
    Xcdr2Publisher& operator=(const Xcdr2Publisher&) = delete;

    template <class E>
    bool publish(const std::string& topicName)
    {
        dds::TypeSupport type(new typename E::PubSubType());
        type.register_type(m_participant);
        auto* topic = m_participant->create_topic(topicName, type.get_type_name(), dds::TOPIC_QOS_DEFAULT);
        dds::DataWriterQos qos;
        qos.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
        qos.history().kind = dds::KEEP_ALL_HISTORY_QOS;
        qos.representation().m_value = {dds::XCDR2_DATA_REPRESENTATION};
        dds::DataWriter* writer = m_publisher->create_datawriter(topic, qos);
        if (writer == nullptr ||
            !tarvex_test::waitUntil([&] { return tarvex_test::matchedCount(*writer) > 0; }, std::chrono::seconds(60)))
        {
            return false;
        }
        // As pub does: the recorder's reader learns of this writer a little after the writer learnt of it, and
        // samples it gets only as repairs would be recorded after later ones.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (uint64_t n = 1; n <= kSamples; ++n)
        {
            if (writer->write(counted<E>(n)->getDdsSample()) != dds::RETCODE_OK)
            {
                return false;
            }
        }
        // Deleting the writer does not wait for the recorder to have everything.
        return writer->wait_for_acknowledgments(dds::Duration_t(60, 0)) == dds::RETCODE_OK;
    }

private:
    dds::DomainParticipant* m_participant;
    dds::Publisher* m_publisher;
};

// Calls f(E*, type name) once per topic, E the topic's data entity class.
template <class F>
void forEachEntity(F&& f)
{
#define TARVEX_TEST_CALL(Type) f(static_cast<generated::ddsimpl::tarvex::Type*>(nullptr), std::string(#Type));
    TARVEX_TOPIC_TYPES(TARVEX_TEST_CALL)
#undef TARVEX_TEST_CALL
}

class RecordReplay : public ::testing::TestWithParam<bool>
{
protected:
    bool xcdr2() const { return GetParam(); }
};

TEST_P(RecordReplay, EchoOfTheReplayShowsEverySampleRecordedFromEachTopicInOrder)
{
    const std::string prefix = "recordreplay" + std::to_string(::getpid()) + (xcdr2() ? "x2" : "x1");
    const auto directory = std::filesystem::temp_directory_path();
    const std::string file = (directory / (prefix + ".mcap")).string();
    const std::string profiles = (directory / (prefix + ".xml")).string();
    std::ofstream(profiles) << R"(<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns="http://www.eprosima.com"><profiles>
  <data_reader profile_name="reliable.datareader"><qos><reliability><kind>RELIABLE</kind></reliability></qos></data_reader>
</profiles></dds>
)";
    const auto uriOf = [&](const std::string& type) {
        return "dds.ps://" + std::to_string(kDomain) + "/" + prefix + "/" + type;
    };
    const auto topics = qara::nimb::tools::topicNames();

    auto recording =
        std::async(std::launch::async, runTool,
                   std::vector<std::string>{"record", "--output", file, "--domain", std::to_string(kDomain), "--prefix",
                                            prefix, "--count", std::to_string(kSamples * topics.size()), "--profiles",
                                            profiles, "--qos-library", "reliable"},
                   std::chrono::seconds(120));
    if (xcdr2())
    {
        Xcdr2Publisher publisher;
        forEachEntity([&](auto* entity, const std::string& type) {
            EXPECT_TRUE(publisher.publish<std::remove_pointer_t<decltype(entity)>>(prefix + "/" + type)) << type;
        });
    }
    else
    {
        std::vector<std::future<ToolRun>> pubs;
        for (const auto& type : topics)
        {
            pubs.push_back(std::async(std::launch::async, runTool,
                                      std::vector<std::string>{"pub", type, "--uri", uriOf(type), "--count",
                                                               std::to_string(kSamples), "--rate", "20"},
                                      std::chrono::seconds(120)));
        }
        for (auto& pub : pubs)
        {
            const ToolRun run = pub.get();
            EXPECT_EQ(run.status, 0) << run.err;
        }
    }
    const ToolRun recorded = recording.get();
    ASSERT_EQ(recorded.status, 0) << recorded.err;

    // The file: one omgidl schema and one cdr channel per topic, the payloads as they travelled.
    {
        qara::nimb::mcap::Reader reader(file);
        reader.verify();
        ASSERT_TRUE(reader.problems().empty()) << reader.problems().front().what;
        ASSERT_EQ(reader.channels().size(), topics.size());
        std::map<uint16_t, std::vector<uint32_t>> sequences;
        reader.readMessages({}, [&](const qara::nimb::mcap::MessageView& message) {
            ASSERT_GE(message.size, 4u);
            EXPECT_EQ(message.data[0], 0x00);
            EXPECT_EQ(message.data[1], xcdr2() ? 0x09 : 0x01) << "encapsulation kind";
            EXPECT_GE(message.logTime, message.publishTime) << "received before it was sent";
            sequences[message.channelId].push_back(message.sequence);
        });
        for (const auto& [id, channel] : reader.channels())
        {
            const std::string type = channel.topic.substr(prefix.size() + 1);
            SCOPED_TRACE(type);
            const auto& schema = reader.schemas().at(channel.schemaId);
            EXPECT_EQ(schema.name, "tarvex::" + type);
            EXPECT_EQ(schema.encoding, "omgidl");
            EXPECT_NE(schema.data.find("module tarvex {\n@appendable\nstruct " + type + " {"), std::string::npos);
            EXPECT_EQ(channel.messageEncoding, "cdr");
            EXPECT_EQ(channel.metadata.at("dds_type_name"), "generated::dds_::tarvex::" + type);
            EXPECT_EQ(channel.metadata.at("uri"), uriOf(type));
            EXPECT_EQ(sequences[id], (std::vector<uint32_t>{1, 2, 3, 4, 5})) << "writer sequence numbers";
        }
    }

    std::map<std::string, std::future<ToolRun>> echoes;
    for (const auto& type : topics)
    {
        echoes[type] = std::async(std::launch::async, runTool,
                                  std::vector<std::string>{"echo", type, "--uri", uriOf(type), "--count",
                                                           std::to_string(kSamples), "--timeout", "90000"},
                                  std::chrono::seconds(120));
    }
    const ToolRun replayed = runTool({"replay", file, "--rate", "5"});
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    forEachEntity([&](auto* entity, const std::string& type) {
        SCOPED_TRACE(type);
        const ToolRun echo = echoes.at(type).get();
        ASSERT_EQ(echo.status, 0) << echo.err;
        std::vector<std::string> expected;
        for (uint64_t n = 1; n <= kSamples; ++n)
        {
            expected.push_back(qara::nimb::tools::toJson(*counted<std::remove_pointer_t<decltype(entity)>>(n)).dump());
        }
        EXPECT_EQ(linesOf(echo.out), expected);
    });
    std::filesystem::remove(file);
    std::filesystem::remove(profiles);
}

INSTANTIATE_TEST_SUITE_P(Payloads, RecordReplay, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Xcdr2" : "Xcdr1"; });

// Three samples of SaMeasurements_medium from pub, recorded with lz4: replay keeps their source time stamps
// unless told to restamp, and info reports the file cut short with the offset where it ends.
TEST(TarvexReplay, KeepsTheRecordedSourceTimeStampsUnlessRestampedAndInfoFindsACut)
{
    using Medium = generated::ddsimpl::tarvex::SaMeasurements_medium;
    const std::string prefix = "replaystamps" + std::to_string(::getpid());
    const std::string file = (std::filesystem::temp_directory_path() / (prefix + ".mcap")).string();
    auto recording = std::async(
        std::launch::async, runTool,
        std::vector<std::string>{"record", "SaMeasurements_medium", "--output", file, "--domain",
                                 std::to_string(kDomain), "--prefix", prefix, "--count", "3", "--compression", "lz4"},
        std::chrono::seconds(120));
    const ToolRun pub = runTool({"pub", "SaMeasurements_medium", "--uri",
                                 "dds.ps://199/" + prefix + "/SaMeasurements_medium", "--count", "3", "--rate", "20"});
    ASSERT_EQ(pub.status, 0) << pub.err;
    ASSERT_EQ(recording.get().status, 0);
    std::vector<double> recorded;
    qara::nimb::mcap::Reader(file).readMessages(
        {}, [&](const qara::nimb::mcap::MessageView& m) { recorded.push_back(m.publishTime / 1e9); });
    ASSERT_EQ(recorded.size(), 3u);

    tarvex_test::PlainReader<Medium::DdsType, Medium::PubSubType> reader(kDomain, prefix + "/SaMeasurements_medium");
    const auto replayStamps = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"replay", file};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(runTool(args).status, 0);
        std::vector<double> stamps;
        for (const auto& received : reader.take(recorded.size(), std::chrono::seconds(30)))
        {
            const auto& stamp = received.info.source_timestamp;
            stamps.push_back(stamp.seconds() + stamp.nanosec() / 1e9);
        }
        return stamps;
    };
    const auto kept = replayStamps({});
    ASSERT_EQ(kept.size(), recorded.size());
    for (std::size_t i = 0; i < kept.size(); ++i)
    {
        EXPECT_NEAR(kept[i], recorded[i], 1e-6);
    }
    const double beforeRestamped = qara::nimb::tools::wallSeconds();
    const auto restamped = replayStamps({"--restamp"});
    ASSERT_EQ(restamped.size(), recorded.size());
    for (const double stamp : restamped)
    {
        EXPECT_GE(stamp, beforeRestamped);
    }

    const auto size = std::filesystem::file_size(file);
    std::filesystem::resize_file(file, size - 20);
    const ToolRun info = runTool({"info", file});
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("messages     3\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("error        at offset " + std::to_string(size - 20) + ": "), std::string::npos)
        << info.out;
    std::filesystem::remove(file);
}

}  // namespace
