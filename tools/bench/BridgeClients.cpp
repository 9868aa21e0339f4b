// Clients of `tarvex bridge` that keep up: each subscribes to every channel and reads until the bridge closes
// the connection, then the counts of all of them go to stdout as one JSON object. scripts/bridge-bench.sh
// runs it against a bridge fed by `tarvex pub`.

#include "tools/bridge/Protocol.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/endian/conversion.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

struct Counts
{
    std::map<std::string, uint64_t> frames;  // per topic
    std::vector<std::string> warnings;  // of messages dropped
};

// Connects, subscribes to every advertised channel, then calls `subscribed` and reads to the end.
Counts serve(uint16_t port, const std::function<void()>& subscribed)
{
    asio::io_context io;
    websocket::stream<asio::ip::tcp::socket> ws(io);
    ws.next_layer().connect({asio::ip::address_v4::loopback(), port});
    ws.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
        request.set(beast::http::field::sec_websocket_protocol, qara::nimb::tools::bridge::kSubprotocol);
    }));
    ws.handshake("127.0.0.1", "/");
    Counts counts;
    std::map<uint32_t, std::string> topics;  // subscription id: topic
    beast::flat_buffer buffer;
    for (beast::error_code error; ws.read(buffer, error), !error; buffer.consume(buffer.size()))
    {
        const auto* data = static_cast<const unsigned char*>(buffer.cdata().data());
        if (!ws.got_text())
        {
            ++counts.frames[topics.at(boost::endian::load_little_u32(data + 1))];
            continue;
        }
        const auto message = nlohmann::json::parse(beast::buffers_to_string(buffer.cdata()));
        if (message["op"] == "advertise")
        {
            nlohmann::json subscriptions = nlohmann::json::array();
            for (const auto& channel : message["channels"])
            {
                subscriptions.push_back(nlohmann::json{{"id", channel["id"]}, {"channelId", channel["id"]}});
                topics[channel["id"].get<uint32_t>()] = channel["topic"];
            }
            ws.text(true);
            ws.write(asio::buffer(nlohmann::json{{"op", "subscribe"}, {"subscriptions", subscriptions}}.dump()));
            subscribed();
        }
        else if (message["op"] == "status" && message["message"].get<std::string>().find("keep up") != std::string::npos)
        {
            counts.warnings.push_back(message["message"]);
        }
    }
    return counts;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::cerr << "usage: tarvex_bridge_clients PORT CLIENTS\n";
        return 2;
    }
    const auto port = static_cast<uint16_t>(std::stoi(argv[1]));
    const int clients = std::stoi(argv[2]);
    std::mutex mutex;
    int ready = 0;
    nlohmann::json result = {{"clients", nlohmann::json::array()}};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
    {
        threads.emplace_back([&] {
            const Counts counts = serve(port, [&] {
                const std::lock_guard<std::mutex> lock(mutex);
                if (++ready == clients)
                {
                    std::cout << "subscribed" << std::endl;
                }
            });
            const std::lock_guard<std::mutex> lock(mutex);
            result["clients"].push_back({{"frames", counts.frames}, {"warnings", counts.warnings}});
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    std::cout << result.dump() << std::endl;
    return 0;
}
