#include "PlainDds.hpp"
#include "Plugin.hpp"
#include "TarvexProcess.hpp"
#include "TopicTypes.hpp"

#include "tools/bridge/Protocol.hpp"
#include "tools/core/CdrFunctions.hpp"
#include "tools/core/Endpoint.hpp"
#include "tools/core/Fields.hpp"
#include "tools/core/Schema.hpp"
#include "tools/core/Topics.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/endian/conversion.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <numeric>
#include <optional>

// A real `tarvex bridge` on domain 198 and a port of its own, `tarvex pub` feeding it, Beast clients here.
namespace {

using namespace qara::nimb::tools;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using Medium = generated::dds_::tarvex::SaMeasurements_medium;
using Fast = generated::dds_::tarvex::SaMeasurements_fast;

constexpr uint32_t kDomain = 198;

struct Bridge
{
    explicit Bridge(const std::string& name, std::vector<std::string> more = {})
        : prefix("bridge" + std::to_string(::getpid()) + name), process([&] {
              more.insert(more.begin(), {"bridge", "--domain", std::to_string(kDomain), "--prefix", prefix, "--port", "0"});
              return more;
          }())
    {
        process.waitForLine([&](const std::string& line) {
            const auto at = line.find("on ws://127.0.0.1:");
            port = at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(line.substr(at + 18)));
            return port != 0;
        });
    }
    std::string topic(const std::string& type) const { return prefix + "/" + type; }
    // Runs `tarvex pub` of `count` samples on topic `type`, each field counting 1, 2, 3, ...
    std::future<tarvex_test::ToolRun> pub(const std::string& type, int count, int rate = 100) const
    {
        return std::async(std::launch::async, tarvex_test::runTool,
                          std::vector<std::string>{"pub", type, "--uri", "dds.ps://198/" + topic(type), "--count",
                                                   std::to_string(count), "--rate", std::to_string(rate)},
                          std::chrono::seconds(120));
    }

    const std::string prefix;
    tarvex_test::TarvexProcess process;
    uint16_t port = 0;
};

struct Message
{
    bool text = false;
    std::string bytes;
    nlohmann::json json() const { return text ? nlohmann::json::parse(bytes) : nlohmann::json(); }
    uint32_t subscription() const { return boost::endian::load_little_u32(data() + 1); }
    uint64_t time() const { return boost::endian::load_little_u64(data() + 5); }
    const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(bytes.data()); }
};

class Client
{
public:
    explicit Client(uint16_t port, const std::string& subprotocol = bridge::kSubprotocol, int receiveBuffer = 1 << 20)
    {
        m_ws.next_layer().open(asio::ip::tcp::v4());
        m_ws.next_layer().set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        m_ws.next_layer().connect({asio::ip::address_v4::loopback(), port});
        m_ws.set_option(websocket::stream_base::decorator([subprotocol](websocket::request_type& request) {
            if (!subprotocol.empty())
            {
                request.set(beast::http::field::sec_websocket_protocol, subprotocol);
            }
        }));
        m_ws.handshake(response, "127.0.0.1", "/");
    }

    void send(const nlohmann::json& message) { send(message.dump(), true); }
    void send(const std::string& bytes, bool text)
    {
        m_ws.text(text);
        m_ws.write(asio::buffer(bytes));
    }

    // The next message; none once the bridge closed the connection, or when a minute passes without one.
    std::optional<Message> read()
    {
        std::optional<Message> message;
        beast::flat_buffer buffer;
        m_ws.async_read(buffer, [&](beast::error_code error, std::size_t) {
            if (!error)
            {
                message = Message{m_ws.got_text(), beast::buffers_to_string(buffer.data())};
            }
        });
        m_io.restart();
        if (m_io.run_for(std::chrono::seconds(60)) == 0 || !m_io.stopped())
        {
            m_ws.next_layer().close();
            m_io.run();
        }
        return message;
    }
    // The next message of a status of `level`, skipping the others.
    std::string status(int level)
    {
        for (auto message = read(); message; message = read())
        {
            if (message->text && message->json()["op"] == "status" && message->json()["level"] == level)
            {
                return message->json()["message"];
            }
        }
        return "(closed)";
    }
    // Server Info, then the other greetings up to the last "no writer" warning.
    nlohmann::json greeted()
    {
        const auto info = read()->json();
        for (int i = 0; i < 5; ++i)
        {
            read();
        }
        return info;
    }

    websocket::response_type response;
    websocket::close_reason closed() const { return m_ws.reason(); }

private:
    asio::io_context m_io;
    websocket::stream<asio::ip::tcp::socket> m_ws{m_io};
};

template <class W>
W numberedWire(uint64_t n)
{
    W sample;
    fillCounter(sample, n);
    return sample;
}

// The bytes that `tarvex pub` sends as its n-th sample of topic `type`.
template <class W>
std::string payloadOf(const std::string& type, uint64_t n)
{
    const W sample = numberedWire<W>(n);
    qara::nimb::icd::dds::fastdds::SerializedPayload payload(8 * sizeof(W));
    CdrFunctions<W>(tarvex_test::plugin(), type).encode(sample, eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION, payload);
    return std::string(reinterpret_cast<const char*>(payload.data), payload.length);
}

nlohmann::json subscribe(uint32_t id, uint32_t channel)
{
    return {{"op", "subscribe"}, {"subscriptions", {{{"id", id}, {"channelId", channel}}}}};
}

TEST(Bridge, ServesEveryTopicAsItTravelledAndAnswersBadInputWithAnErrorStatus)
{
    Bridge bridge("serves");
    for (const std::string offered : {"", "foxglove.websocket.v2"})
    {
        EXPECT_THROW(Client(bridge.port, offered), beast::system_error) << offered;
    }
    Client client(bridge.port);
    EXPECT_EQ(client.response[beast::http::field::sec_websocket_protocol], bridge::kSubprotocol);
    auto info = client.read()->json();
    EXPECT_EQ(info["sessionId"].get<std::string>().size(), 36u);
    info.erase("sessionId");
    EXPECT_EQ(info, nlohmann::json({{"op", "serverInfo"}, {"name", "tarvex bridge"}, {"capabilities", nlohmann::json::array()},
                                    {"metadata", nlohmann::json::object()}}));
    const auto advertised = client.read()->json();
    EXPECT_EQ(advertised["op"], "advertise");
    const auto types = topicNames();
    ASSERT_EQ(advertised["channels"].size(), types.size());
    for (std::size_t i = 0; i < types.size(); ++i)
    {
        const Schema schema = schemaOf(types[i]);
        EXPECT_EQ(advertised["channels"][i], nlohmann::json({{"id", i + 1}, {"topic", bridge.topic(types[i])},
                                                             {"encoding", "cdr"}, {"schemaName", schema.name},
                                                             {"schema", schema.text}, {"schemaEncoding", "omgidl"}}));
        EXPECT_EQ(client.status(1), bridge.topic(types[i]) + " has no writer");
    }
    const uint32_t medium = 3;

    client.send(subscribe(1, medium));
    const std::vector<std::tuple<std::string, bool, std::string>> bad = {
        {"{not json", true, "not a JSON object: {not json"},
        {R"({"op":"frobnicate"})", true, "unknown op 'frobnicate'"},
        {subscribe(2, 99).dump(), true, "subscribe: no channel 99"},
        {subscribe(1, 2).dump(), true, "subscribe: subscription id 1 is in use"},
        {R"({"op":"subscribe","subscriptions":[{"id":"x","channelId":1}]})", true, "type must be number"},
        {R"({"op":"unsubscribe","subscriptionIds":[42]})", true, "unsubscribe: no subscription 42"},
        {R"({"op":"advertise","channels":[]})", true, "client publishing is off: start the bridge with --allow-publish"},
        {std::string("\x01\x03\x00\x00", 4), false, "binary message of 4 bytes is too short"},
    };
    for (const auto& [sent, text, expected] : bad)
    {
        client.send(sent, text);
        EXPECT_NE(client.status(2).find(expected), std::string::npos) << sent;
    }

    // Subscribed, then subscribed again under another id: each sample once, under the id in force, its
    // payload the bytes that travelled.
    for (const uint32_t subscription : {1u, 7u})
    {
        if (subscription == 7)
        {
            client.send(R"({"op":"unsubscribe","subscriptionIds":[1]})", true);
            client.send(subscribe(7, medium));
            client.send("{}", true);
            EXPECT_EQ(client.status(2), "unknown op ''");
        }
        const auto before = static_cast<uint64_t>(wallSeconds() * 1e9);
        auto pub = bridge.pub("SaMeasurements_medium", 3);
        EXPECT_EQ(client.status(0), bridge.topic("SaMeasurements_medium") + " has 1 writer(s)");
        for (uint64_t n = 1; n <= 3; ++n)
        {
            const auto frame = client.read();
            ASSERT_TRUE(frame && !frame->text);
            EXPECT_EQ(frame->bytes[0], 1);
            EXPECT_EQ(frame->subscription(), subscription);
            EXPECT_TRUE(frame->time() >= before && frame->time() <= wallSeconds() * 1e9);
            EXPECT_EQ(frame->bytes.substr(13), payloadOf<Medium>("SaMeasurements_medium", n));
        }
        pub.get();
        EXPECT_EQ(client.status(1), bridge.topic("SaMeasurements_medium") + " has no writer");
    }

    bridge.process.signal(SIGINT);
    EXPECT_EQ(client.read(), std::nullopt);
    EXPECT_EQ(client.closed().code, websocket::close_code::going_away);
    EXPECT_EQ(bridge.process.exitCode(std::chrono::seconds(30)), 0);
}

// Sequence numbers of the samples `client` receives until the last one of `count`, and the drops it is told of.
std::vector<uint64_t> sequences(Client& client, uint64_t count, uint64_t& dropped)
{
    const CdrFunctions<Fast> cdr(tarvex_test::plugin(), "SaMeasurements_fast");
    std::vector<uint64_t> received;
    for (auto message = client.read(); message;
         message = !received.empty() && received.back() == count ? std::nullopt : client.read())
    {
        const std::string warning = "this client does not keep up: ";
        if (message->text)
        {
            const std::string text = message->json().value("message", "");
            dropped = text.rfind(warning, 0) == 0 ? std::stoull(text.substr(warning.size())) : dropped;
        }
        else
        {
            Fast sample;
            cdr.decode(message->data() + 13, message->bytes.size() - 13, sample);
            received.push_back(sequenceOf(sample));
        }
    }
    return received;
}

TEST(Bridge, AClientThatStopsReadingLosesItsOldestMessagesAndHoldsUpNoOther)
{
    const std::string profiles = std::filesystem::temp_directory_path() / ("bridge" + std::to_string(::getpid()) + ".xml");
    std::ofstream(profiles) << R"(<dds xmlns="http://www.eprosima.com"><profiles><data_reader profile_name="reliable.datareader">
<qos><reliability><kind>RELIABLE</kind></reliability></qos></data_reader></profiles></dds>)";
    Bridge bridge("slow", {"--profiles", profiles, "--qos-library", "reliable"});
    Client slow(bridge.port, bridge::kSubprotocol, 4096);
    Client fast(bridge.port);
    for (Client* client : {&slow, &fast})
    {
        client->greeted();
        client->send(subscribe(3, 4));
        client->send("{}", true);
        EXPECT_EQ(client->status(2), "unknown op ''");
    }
    constexpr uint64_t kCount = 3000;
    auto pub = bridge.pub("SaMeasurements_fast", kCount, 1000);
    std::vector<uint64_t> every(kCount);
    std::iota(every.begin(), every.end(), 1);
    uint64_t dropped = 0;
    EXPECT_EQ(sequences(fast, kCount, dropped), every);
    EXPECT_EQ(dropped, 0u);
    pub.get();
    // What the kernel held, then the newest from the queue of 1000.
    const auto newest = sequences(slow, kCount, dropped);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(newest.size() + dropped, kCount);
    ASSERT_GE(newest.size(), 100u);
    EXPECT_TRUE(std::is_sorted(newest.begin(), newest.end()));
    EXPECT_EQ(std::vector<uint64_t>(newest.end() - 100, newest.end()), std::vector<uint64_t>(every.end() - 100, every.end()));
    std::filesystem::remove(profiles);
}

TEST(Bridge, PublishesAClientsPayloadOnlyWhenItDecodes)
{
    Bridge bridge("publish", {"--allow-publish"});
    Client client(bridge.port);
    const auto info = client.greeted();
    EXPECT_EQ(info["capabilities"], nlohmann::json({"clientPublish"}));
    EXPECT_EQ(info["supportedEncodings"], nlohmann::json({"cdr"}));
    using Plain = generated::ddsimpl::tarvex::SaMeasurements_medium;
    tarvex_test::PlainReader<Plain::DdsType, Plain::PubSubType> reader(kDomain, bridge.topic("SaMeasurements_medium"));
    const auto channel = [&](const std::string& topic, const std::string& encoding) {
        return nlohmann::json{{"op", "advertise"},
                              {"channels", {{{"id", 5}, {"topic", topic}, {"encoding", encoding}, {"schemaName", ""}}}}};
    };
    const auto frame = [](uint32_t id, const std::string& payload) {
        return std::string("\x01", 1) + std::string(reinterpret_cast<const char*>(&id), 4) + payload;
    };
    const std::string three = payloadOf<Medium>("SaMeasurements_medium", 3);
    const std::vector<std::tuple<std::string, bool, std::string>> refused = {
        {channel("elsewhere/SaMeasurements_medium", "cdr").dump(), true, "'elsewhere/SaMeasurements_medium' is not served"},
        {channel(bridge.topic("SaMeasurements_medium"), "json").dump(), true, "encoding \"json\" instead of \"cdr\""},
        {frame(6, "x"), false, "no client channel 6"},
    };
    for (const auto& [sent, text, expected] : refused)
    {
        client.send(sent, text);
        EXPECT_NE(client.status(2).find(expected), std::string::npos) << sent;
    }
    client.send(channel(bridge.topic("SaMeasurements_medium"), "cdr"));
    // Repeated until the reader has matched the bridge's new writer.
    std::vector<tarvex_test::PlainReader<Plain::DdsType, Plain::PubSubType>::Received> received;
    for (int attempt = 0; attempt < 100 && received.empty(); ++attempt)
    {
        client.send(frame(5, payloadOf<Medium>("SaMeasurements_medium", 1)), false);
        received = reader.take(1, std::chrono::milliseconds(200));
    }
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received[0].sample == numberedWire<Medium>(1));
    // Sample 3 cut short decodes up to its last field, and must not go out.
    client.send(frame(5, three.substr(0, three.size() - 4)), false);
    EXPECT_NE(client.status(2).find("client channel 5: nothing published"), std::string::npos);
    client.send(frame(5, payloadOf<Medium>("SaMeasurements_medium", 2)), false);
    for (received = reader.take(1); !received.empty() && !(received[0].sample == numberedWire<Medium>(2));
         received = reader.take(1))
    {
        EXPECT_TRUE(received[0].sample == numberedWire<Medium>(1)) << "a payload that does not decode went out";
    }
    EXPECT_FALSE(received.empty());
}

}  // namespace
