#pragma once

// A WebSocket server that speaks the Foxglove WebSocket protocol to any number of clients: Server Info and
// Advertise on connection, subscriptions by the clients' ids, Message Data for every sample of a subscribed
// channel, Status for bad input and for topics without a writer, and, when allowed, the clients' own channels.

#include "tools/bridge/Protocol.hpp"
#include "tools/core/RawReader.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qara::nimb::tools::bridge {

class Server
{
public:
    // What clients may publish through, channel by index into Options::channels; both run on the server's
    // thread and throw std::exception saying why when they fail.
    struct Publishing
    {
        // A client advertised a channel on this one (again, maybe).
        std::function<void(std::size_t channel)> open;
        // A payload as it travels, encapsulation header first.
        std::function<void(std::size_t channel, const uint8_t* data, std::size_t size)> write;
    };

    struct Options
    {
        std::string address = "127.0.0.1";
        uint16_t port = 8765;  // 0: any free port
        std::vector<Channel> channels;
        std::size_t queueLimit = 1000;  // data frames waiting for one client
    };

    // Listens at once; std::system_error when the address cannot be bound. Clients may publish only when
    // `publishing` has both functions.
    Server(Options options, Publishing publishing = {});
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    uint16_t port() const { return m_port; }

    // From any thread: a sample of channel `channel` (an index) for every client subscribed to it.
    void publish(std::size_t channel, const RawSample& sample);
    // From any thread: channel `channel` has `count` writers now.
    void writers(std::size_t channel, int32_t count);

    struct Counts
    {
        std::size_t clients = 0;
        uint64_t sent = 0;     // data frames written to sockets
        uint64_t dropped = 0;  // data frames dropped for clients that did not keep up
    };
    Counts counts();

    // Closes every connection with a close frame (a client that does not answer within two seconds is cut
    // off) and returns when the server's thread has ended; publish() does nothing from then on.
    void stop();
    // Once stopped: seconds from a sample's arrival to its frame leaving the socket, for the latest frames.
    std::vector<double> latencies() const;

private:
    class Connection;
    using Clock = std::chrono::steady_clock;

    void accept();
    void joined(const std::shared_ptr<Connection>& connection);
    void left(const std::shared_ptr<Connection>& connection);
    void sent(Clock::time_point arrival);
    std::string noWriter(std::size_t channel) const;

    const Options m_options;
    const Publishing m_publishing;
    const std::string m_sessionId;
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    uint16_t m_port = 0;
    std::atomic<uint64_t> m_sent{0};
    std::atomic<uint64_t> m_dropped{0};
    // Server thread only, then read once it has ended.
    std::vector<double> m_latencies;
    std::size_t m_nextLatency = 0;
    // Guards the members below. Taken before a connection's lock, never after it; Connection keeps no lock
    // of its own while it calls the server.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<std::shared_ptr<Connection>> m_connections;  // from acceptance to the end
    std::vector<int32_t> m_writers;                        // per channel
    bool m_stopped = false;
    std::thread m_thread;
};

}  // namespace qara::nimb::tools::bridge
