#include "Matching.hpp"
#include "PlainDds.hpp"
#include "PlainTypeSupport.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"
#include "SampleText.hpp"
#include "TarvexProcess.hpp"

#include "TopicTypes.hpp"

#include <qara/nimb/mcap/Reader.hpp>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
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

// The plug-in's own writers always send XCDR1: these topics come from plain writers as XCDR2.
bool sentAsXcdr2(const std::string& type)
{
    return type == "SaMeasurements_medium" || type == "SaMeasurements_fast";
}

// The n-th sample as pub makes it: every numeric field n, flags false.
template <class E>
std::unique_ptr<E> counted(uint64_t n)
{
    auto entity = std::make_unique<E>();
    qara::nimb::tools::fillCounter(*entity, n);
    return entity;
}

// Publishes kSamples of E as XCDR2 through a plain Fast DDS writer with the plug-in's type support, once the
// recorder has matched.
template <class E>
bool publishXcdr2(dds::DomainParticipant& participant, const std::string& topicName)
{
    dds::TypeSupport type(new typename E::PubSubType());
    type.register_type(&participant);
    auto* topic = participant.create_topic(topicName, type.get_type_name(), dds::TOPIC_QOS_DEFAULT);
    dds::DataWriterQos qos = qara::nimb::tools::plainWriterQos();
    qos.representation().m_value = {dds::XCDR2_DATA_REPRESENTATION};
    dds::DataWriter* writer = participant.create_publisher(dds::PUBLISHER_QOS_DEFAULT)->create_datawriter(topic, qos);
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

// Calls f(E*, type name) once per topic, E the topic's data entity class.
template <class F>
void forEachEntity(F&& f)
{
#define TARVEX_TEST_CALL(Type) f(static_cast<generated::ddsimpl::tarvex::Type*>(nullptr), std::string(#Type));
    TARVEX_TOPIC_TYPES(TARVEX_TEST_CALL)
#undef TARVEX_TEST_CALL
}

// One recording of every topic, XCDR1 and XCDR2 payloads: echo of its replay shows every sample in order,
// replay keeps the recorded source time stamps unless told to restamp, and info finds the file cut short.
TEST(RecordReplay, EchoOfTheReplayShowsEverySampleRecordedAndInfoFindsACut)
{
    const std::string prefix = "recordreplay" + std::to_string(::getpid());
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
    std::vector<std::future<ToolRun>> pubs;
    for (const auto& type : topics)
    {
        if (!sentAsXcdr2(type))
        {
            pubs.push_back(std::async(std::launch::async, runTool,
                                      std::vector<std::string>{"pub", type, "--uri", uriOf(type), "--count",
                                                               std::to_string(kSamples), "--rate", "20"},
                                      std::chrono::seconds(120)));
        }
    }
    auto* factory = dds::DomainParticipantFactory::get_instance();
    dds::DomainParticipant* participant = factory->create_participant(kDomain, dds::PARTICIPANT_QOS_DEFAULT);
    forEachEntity([&](auto* entity, const std::string& type) {
        EXPECT_TRUE(!sentAsXcdr2(type) ||
                    publishXcdr2<std::remove_pointer_t<decltype(entity)>>(*participant, prefix + "/" + type))
            << type;
    });
    participant->delete_contained_entities();
    factory->delete_participant(participant);
    for (auto& pub : pubs)
    {
        const ToolRun run = pub.get();
        EXPECT_EQ(run.status, 0) << run.err;
    }
    const ToolRun recorded = recording.get();
    ASSERT_EQ(recorded.status, 0) << recorded.err;

    // The file: one omgidl schema and one cdr channel per topic, the payloads as they travelled, compressed
    // with zstd unless told otherwise.
    std::vector<double> mediumStamps;
    {
        qara::nimb::mcap::Reader reader(file);
        reader.verify();
        ASSERT_TRUE(reader.problems().empty()) << reader.problems().front().what;
        ASSERT_EQ(reader.channels().size(), topics.size());
        for (const auto& chunk : reader.chunkIndexes())
        {
            EXPECT_EQ(chunk.compression, "zstd");
        }
        std::map<uint16_t, std::vector<uint32_t>> sequences;
        reader.readMessages({}, [&](const qara::nimb::mcap::MessageView& message) {
            const std::string type = reader.channels().at(message.channelId).topic.substr(prefix.size() + 1);
            ASSERT_GE(message.size, 4u);
            EXPECT_EQ(message.data[0], 0x00);
            EXPECT_EQ(message.data[1], sentAsXcdr2(type) ? 0x09 : 0x01) << "encapsulation kind of " << type;
            EXPECT_GE(message.logTime, message.publishTime) << "received before it was sent";
            sequences[message.channelId].push_back(message.sequence);
            if (type == "SaMeasurements_medium")
            {
                mediumStamps.push_back(message.publishTime / 1e9);
            }
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

    using Medium = generated::ddsimpl::tarvex::SaMeasurements_medium;
    tarvex_test::PlainReader<Medium::DdsType, Medium::PubSubType> reader(kDomain, prefix + "/SaMeasurements_medium");
    for (const bool restamp : {false, true})
    {
        SCOPED_TRACE(restamp ? "restamped" : "as recorded");
        const double before = qara::nimb::tools::wallSeconds();
        const ToolRun medium =
            runTool({"replay", file, "--topics", "SaMeasurements_medium", restamp ? "--restamp" : "--rate=1"});
        EXPECT_EQ(medium.status, 0) << medium.err;
        const auto received = reader.take(kSamples, std::chrono::seconds(30));
        ASSERT_EQ(received.size(), mediumStamps.size());
        for (std::size_t i = 0; i < received.size(); ++i)
        {
            const double stamp = qara::nimb::tools::sourceSecondsOf(received[i].info);
            EXPECT_TRUE(restamp ? stamp >= before : std::abs(stamp - mediumStamps[i]) < 1e-6) << stamp;
        }
    }

    const auto size = std::filesystem::file_size(file);
    std::filesystem::resize_file(file, size - 20);
    const ToolRun info = runTool({"info", file});
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("messages     " + std::to_string(kSamples * topics.size()) + "\n"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("error        at offset " + std::to_string(size - 20) + ": "), std::string::npos)
        << info.out;
    std::filesystem::remove(file);
    std::filesystem::remove(profiles);
}

}  // namespace
