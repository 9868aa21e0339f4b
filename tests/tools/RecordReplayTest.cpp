#include "Matching.hpp"
#include "PlainDds.hpp"
#include "TarvexProcess.hpp"
#include "TopicTypes.hpp"

#include "tools/core/Endpoint.hpp"
#include "tools/core/SampleText.hpp"

#include "icd/qos/CodeQos.hpp"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

// pub -> record -> info, replay -> echo through the tool's processes, on domain 199 under topic paths of their
// own: three recorders at once, each with a compression of its own, ended by their count, by SIGINT and by
// SIGKILL.
namespace {

using tarvex_test::linesOf;
using tarvex_test::runTool;
using tarvex_test::TarvexProcess;
using tarvex_test::ToolRun;

namespace dds = eprosima::fastdds::dds;
namespace fdds = qara::nimb::icd::dds::fastdds;

constexpr uint32_t kDomain = 199;
constexpr uint64_t kSamples = 5;

// The plug-in's own writers always send XCDR1: these topics come from plain writers as XCDR2.
bool sentAsXcdr2(const std::string& type)
{
    return type == "SaMeasurements_medium" || type == "SaMeasurements_fast";
}

// The n-th sample as perf pub makes it: its sequence field n, every other number 1, flags false.
template <class W>
W numbered(uint64_t n)
{
    W sample;
    qara::nimb::tools::fillWire(sample, 1);
    qara::nimb::tools::setWireSequence(sample, n);
    return sample;
}

// Publishes kSamples of E as XCDR2 through a plain Fast DDS writer with the plug-in's type support, once
// `readers` recorders have matched, and waits until they have acknowledged everything.
template <class E>
bool publishXcdr2(dds::DomainParticipant& participant, const std::string& topicName, int readers)
{
    dds::TypeSupport type(new typename E::PubSubType());
    type.register_type(&participant);
    auto* topic = participant.create_topic(topicName, type.get_type_name(), dds::TOPIC_QOS_DEFAULT);
    dds::DataWriterQos qos = qara::nimb::icd::qos::codeWriterQos();
    qos.representation().m_value = {dds::XCDR2_DATA_REPRESENTATION};
    dds::DataWriter* writer = participant.create_publisher(dds::PUBLISHER_QOS_DEFAULT)->create_datawriter(topic, qos);
    if (writer == nullptr || !tarvex_test::waitUntil([&] { return tarvex_test::matchedCount(*writer) >= readers; },
                                                     std::chrono::seconds(60)))
    {
        return false;
    }
    // As pub does: the recorders' readers learn of this writer a little after it learnt of them.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (uint64_t n = 1; n <= kSamples; ++n)
    {
        // Paced, so that the recording has a time span to replay at another pace.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto sample = numbered<typename E::DdsType>(n);
        if (writer->write(&sample) != fdds::kOk)
        {
            return false;
        }
    }
    return writer->wait_for_acknowledgments(fdds::Duration(60, 0)) == fdds::kOk;
}

// Calls f(E*, type name) once per topic, E the topic's data entity class.
template <class F>
void forEachEntity(F&& f)
{
#define TARVEX_TEST_CALL(Type) f(static_cast<generated::ddsimpl::tarvex::Type*>(nullptr), std::string(#Type));
    TARVEX_TOPIC_TYPES(TARVEX_TEST_CALL)
#undef TARVEX_TEST_CALL
}

std::string counts(const std::string& type, uint64_t n)
{
    return " " + type + " " + std::to_string(n) + " (";
}

TEST(RecordReplay, RecordingsOfEveryEndingDescribeAndReplayEverySample)
{
    const std::string prefix = "recordreplay" + std::to_string(::getpid());
    const auto directory = std::filesystem::temp_directory_path();
    const auto fileOf = [&](const std::string& name) { return (directory / (prefix + name)).string(); };
    const std::string profiles = fileOf(".xml");
    std::ofstream(profiles) << R"(<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns="http://www.eprosima.com"><profiles>
  <data_reader profile_name="reliable.datareader"><qos><reliability><kind>RELIABLE</kind></reliability></qos></data_reader>
</profiles></dds>
)";
    const auto uriOf = [&](const std::string& type) {
        return "dds.ps://" + std::to_string(kDomain) + "/" + prefix + "/" + type;
    };
    const auto topics = qara::nimb::tools::topicNames();
    const auto recorder = [&](const std::string& compression, std::vector<std::string> more) {
        more.insert(more.end(), {"--output", fileOf(compression + ".mcap"), "--compression", compression, "--domain",
                                 std::to_string(kDomain), "--prefix", prefix, "--profiles", profiles,
                                 "--qos-library", "reliable"});
        more.insert(more.begin(), "record");
        return more;
    };
    auto counted = std::async(std::launch::async, runTool,
                              recorder("none", {"--count", std::to_string(kSamples * topics.size())}),
                              std::chrono::seconds(120));
    TarvexProcess interrupted(recorder("lz4", {}));
    TarvexProcess killed(recorder("zstd", {}));
    std::vector<std::future<ToolRun>> pubs;
    for (const auto& type : topics)
    {
        if (!sentAsXcdr2(type))
        {
            pubs.push_back(std::async(std::launch::async, runTool,
                                      std::vector<std::string>{"perf", "pub", type, "--uri", uriOf(type), "--readers",
                                                               "3", "--count", std::to_string(kSamples)},
                                      std::chrono::seconds(120)));
        }
    }
    auto* factory = dds::DomainParticipantFactory::get_instance();
    dds::DomainParticipant* participant = factory->create_participant(kDomain, dds::PARTICIPANT_QOS_DEFAULT);
    forEachEntity([&](auto* entity, const std::string& type) {
        EXPECT_TRUE(!sentAsXcdr2(type) ||
                    publishXcdr2<std::remove_pointer_t<decltype(entity)>>(*participant, prefix + "/" + type, 3))
            << type;
    });
    participant->delete_contained_entities();
    factory->delete_participant(participant);
    for (auto& pub : pubs)
    {
        EXPECT_EQ(pub.get().status, 0);
    }
    ASSERT_EQ(counted.get().status, 0);
    // A progress line comes after the file got what it counts.
    for (TarvexProcess* process : {&interrupted, &killed})
    {
        ASSERT_TRUE(process->waitForLine([&](const std::string& line) {
            return std::all_of(topics.begin(), topics.end(), [&](auto& t) { return line.find(counts(t, kSamples)) != std::string::npos; });
        })) << process->output();
    }
    interrupted.signal(SIGINT);
    killed.signal(SIGKILL);
    EXPECT_EQ(interrupted.exitCode(std::chrono::seconds(30)), 0);

    // Closed files describe themselves, the killed one is read by scanning up to where it ends; info needs no
    // plug-in.
    for (const std::string compression : {"none", "lz4", "zstd"})
    {
        SCOPED_TRACE(compression);
        const std::string file = fileOf(compression + ".mcap");
        const ToolRun info = runTool({"--plugin", "/nonexistent", "info", file});
        const bool closed = compression != "zstd";
        EXPECT_EQ(info.status, closed ? 0 : 1) << info.out << info.err;
        EXPECT_NE(info.out.find(std::string("summary      ") + (closed ? "yes\n" : "no (read by scanning")),
                  std::string::npos) << info.out;
        EXPECT_NE(info.out.find("compression  " + compression + ", "), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("messages     " + std::to_string(kSamples * topics.size()) + "\n"), std::string::npos);
        EXPECT_EQ(info.out.find("duration     0.000 s"), std::string::npos) << "no time span";
        for (const auto& type : topics)
        {
            const auto row = info.out.find(prefix + "/" + type + " ");
            ASSERT_NE(row, std::string::npos) << info.out;
            std::istringstream columns(info.out.substr(row));
            std::string topic, schema;
            double messages = 0, rate = 0;
            columns >> topic >> schema >> messages >> rate;
            EXPECT_EQ(schema, "tarvex::" + type);
            EXPECT_EQ(messages, kSamples);
            EXPECT_GT(rate, 0);
        }
        const auto size = std::to_string(std::filesystem::file_size(file));
        EXPECT_NE(info.out.find(closed ? "errors       none\n" : "error        at offset " + size + ": "),
                  std::string::npos) << info.out;
    }

    // Every sample of every topic replayed, XCDR1 and XCDR2 alike, in order.
    std::map<std::string, std::future<ToolRun>> echoes;
    for (const auto& type : topics)
    {
        echoes[type] = std::async(std::launch::async, runTool,
                                  std::vector<std::string>{"echo", type, "--uri", uriOf(type), "--count",
                                                           std::to_string(kSamples), "--timeout", "90000"},
                                  std::chrono::seconds(120));
    }
    const ToolRun replayed = runTool({"replay", fileOf("none.mcap"), "--rate", "5"});
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    std::map<std::string, std::vector<std::string>> expected;
    forEachEntity([&](auto* entity, const std::string& type) {
        for (uint64_t n = 1; n <= 2 * kSamples; ++n)
        {
            using W = typename std::remove_pointer_t<decltype(entity)>::DdsType;
            expected[type].push_back(qara::nimb::tools::toJson(numbered<W>((n - 1) % kSamples + 1)).dump());
        }
        const ToolRun echo = echoes.at(type).get();
        EXPECT_EQ(linesOf(echo.out), std::vector<std::string>(expected[type].begin(), expected[type].begin() + kSamples))
            << type << echo.err;
    });

    // One topic, picked by its DDS topic name, twice over from the killed recording.
    TarvexProcess loop({"replay", fileOf("zstd.mcap"), "--loop", "--topics", prefix + "/SaMeasurements_slow"});
    const ToolRun twice = runTool({"echo", "SaMeasurements_slow", "--uri", uriOf("SaMeasurements_slow"), "--count",
                                   std::to_string(2 * kSamples), "--timeout", "90000"});
    EXPECT_EQ(linesOf(twice.out), expected["SaMeasurements_slow"]) << twice.err;

    // The recorded source time stamps, or the time of sending at half the recorded pace.
    using Medium = generated::ddsimpl::tarvex::SaMeasurements_medium;
    tarvex_test::PlainReader<Medium::DdsType, Medium::PubSubType> reader(kDomain, prefix + "/SaMeasurements_medium");
    std::vector<double> recorded;
    for (const bool restamp : {false, true})
    {
        SCOPED_TRACE(restamp ? "restamped" : "as recorded");
        const double before = qara::nimb::tools::wallSeconds();
        std::vector<std::string> args = {"replay", fileOf("lz4.mcap"), "--topics", "SaMeasurements_medium"};
        args.insert(args.end(), {"--rate", restamp ? "0.5" : "1"});
        if (restamp)
        {
            args.push_back("--restamp");
        }
        const ToolRun medium = runTool(args);
        EXPECT_EQ(medium.status, 0) << medium.err;
        std::vector<double> stamps;
        for (const auto& received : reader.take(kSamples, std::chrono::seconds(30)))
        {
            const auto& stamp = received.info.source_timestamp;
            stamps.push_back(fdds::secondsOf(stamp) + fdds::nanosecondsOf(stamp) / 1e9);
        }
        ASSERT_EQ(stamps.size(), kSamples);
        EXPECT_EQ(stamps.front() >= before, restamp);
        if (!restamp)
        {
            recorded = stamps;
            continue;
        }
        EXPECT_GT(stamps.back() - stamps.front(), 1.5 * (recorded.back() - recorded.front())) << "not at half the pace";
    }
    for (const std::string name : {"none.mcap", "lz4.mcap", "zstd.mcap", ".xml"})
    {
        std::filesystem::remove(fileOf(name));
    }
}

}  // namespace
