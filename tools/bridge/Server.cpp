#include "tools/bridge/Server.hpp"

#include "tools/bridge/ClientQueue.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

namespace qara::nimb::tools::bridge {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// Frames whose latency is kept for the summary: the latest quarter million, about half a minute at full load.
constexpr std::size_t kLatencies = 1 << 18;
constexpr auto kClosingLimit = std::chrono::seconds(2);
// What the kernel holds for one client (it doubles the figure): about half a second of all four topics at
// their full rates, plenty for a distant client that keeps up. Beyond it the client's queue decides what is
// dropped, so that a slow client gets recent frames rather than megabytes of the past.
constexpr int kSendBuffer = 256 * 1024;

// True when the comma-separated list `offered` holds `wanted`.
bool offers(const std::string& offered, const std::string& wanted)
{
    std::istringstream list(offered);
    for (std::string item; std::getline(list, item, ',');)
    {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (item == wanted)
        {
            return true;
        }
    }
    return false;
}

// Calls `each` for every element of the array `key` of `message`; one that fails is reported and the others
// are still done.
template <class F>
void forEach(const nlohmann::json& message, const char* key, std::vector<std::string>& errors, F&& each)
{
    for (const auto& item : message.at(key))
    {
        try
        {
            each(item);
        }
        catch (const std::exception& e)
        {
            errors.push_back(e.what());
        }
    }
}

}  // namespace

class Server::Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(Server& server, tcp::socket socket)
        : m_server(server), m_ws(std::move(socket)), m_queue(server.m_options.queueLimit, server.m_dropped)
    {
    }

    void start()
    {
        beast::get_lowest_layer(m_ws).expires_after(std::chrono::seconds(10));
        http::async_read(m_ws.next_layer(), m_buffer, m_request,
                         [self = shared_from_this()](beast::error_code error, std::size_t) { self->upgrade(error); });
    }

    // DDS threads, under the server's lock.
    void offer(std::size_t channel, const RawSample& sample, Clock::time_point arrival)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [subscription, subscribed] : m_subscriptions)
        {
            if (subscribed == channel &&
                m_queue.pushData(messageData(subscription, sample.receptionTime, sample.data, sample.size), arrival))
            {
                asio::post(m_server.m_io, [self = shared_from_this()] { self->writeNext(); });
            }
        }
    }

    void send(const std::string& message)
    {
        if (m_queue.pushText(message))
        {
            asio::post(m_server.m_io, [self = shared_from_this()] { self->writeNext(); });
        }
    }

    // Server thread.
    void close()
    {
        m_closing = true;
        if (!m_accepted)
        {
            beast::get_lowest_layer(m_ws).close();
        }
        else if (!m_inFlight)
        {
            closeSocket();
        }
    }

    void cut() { beast::get_lowest_layer(m_ws).close(); }

    bool accepted() const { return m_accepted; }
    uint64_t dropped() { return m_queue.dropped(); }

private:
    // A WebSocket upgrade that offers the protocol is accepted; anything else is answered 400 and closed.
    void upgrade(beast::error_code error)
    {
        if (error || m_closing)
        {
            return;
        }
        beast::get_lowest_layer(m_ws).expires_never();
        if (!websocket::is_upgrade(m_request) ||
            !offers(std::string(m_request[http::field::sec_websocket_protocol]), kSubprotocol))
        {
            auto response = std::make_shared<http::response<http::string_body>>(http::status::bad_request,
                                                                                m_request.version());
            response->set(http::field::content_type, "text/plain");
            response->body() = std::string("expected a WebSocket upgrade offering subprotocol ") + kSubprotocol + "\n";
            response->keep_alive(false);
            response->prepare_payload();
            http::async_write(m_ws.next_layer(), *response,
                              [self = shared_from_this(), response](beast::error_code, std::size_t) {
                                  beast::error_code ignored;
                                  beast::get_lowest_layer(self->m_ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
                              });
            return;
        }
        m_ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::sec_websocket_protocol, kSubprotocol);
            response.set(http::field::server, "tarvex bridge");
        }));
        websocket::stream_base::timeout timeout = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeout.handshake_timeout = kClosingLimit;
        m_ws.set_option(timeout);
        m_ws.read_message_max(1 << 20);
        m_ws.async_accept(m_request, [self = shared_from_this()](beast::error_code acceptError) {
            if (!acceptError && !self->m_closing)
            {
                self->m_accepted = true;
                self->m_server.joined(self);
                self->read();
            }
        });
    }

    void read()
    {
        m_buffer.consume(m_buffer.size());
        m_ws.async_read(m_buffer, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error)
            {
                self->m_server.left(self);
                return;
            }
            std::vector<std::string> errors;
            try
            {
                if (self->m_ws.got_text())
                {
                    self->take(beast::buffers_to_string(self->m_buffer.data()), errors);
                }
                else
                {
                    const auto data = self->m_buffer.cdata();
                    self->take(static_cast<const uint8_t*>(data.data()), data.size());
                }
            }
            catch (const std::exception& e)
            {
                errors.push_back(e.what());
            }
            for (const auto& message : errors)
            {
                self->send(status(StatusLevel::Error, message));
            }
            self->read();
        });
    }

    void take(const std::string& text, std::vector<std::string>& errors)
    {
        const auto message = nlohmann::json::parse(text, nullptr, false);
        if (message.is_discarded() || !message.is_object())
        {
            throw std::invalid_argument("not a JSON object: " + text.substr(0, 80));
        }
        const std::string op = message.value("op", "");
        if (op == "subscribe")
        {
            forEach(message, "subscriptions", errors, [&](const nlohmann::json& item) {
                subscribe(item.at("id").get<uint32_t>(), item.at("channelId").get<uint32_t>());
            });
        }
        else if (op == "unsubscribe")
        {
            forEach(message, "subscriptionIds", errors, [&](const nlohmann::json& item) {
                const std::lock_guard<std::mutex> lock(m_mutex);
                if (m_subscriptions.erase(item.get<uint32_t>()) == 0)
                {
                    throw std::invalid_argument("unsubscribe: no subscription " + item.dump());
                }
            });
        }
        else if (op == "advertise")
        {
            if (!m_server.m_publishing.write)
            {
                throw std::invalid_argument("client publishing is off: start the bridge with --allow-publish");
            }
            forEach(message, "channels", errors, [&](const nlohmann::json& item) { advertised(item); });
        }
        else if (op == "unadvertise")
        {
            forEach(message, "channelIds", errors, [&](const nlohmann::json& item) {
                if (m_clientChannels.erase(item.get<uint32_t>()) == 0)
                {
                    throw std::invalid_argument("unadvertise: no client channel " + item.dump());
                }
            });
        }
        else
        {
            throw std::invalid_argument("unknown op '" + op + "'");
        }
    }

    void take(const uint8_t* data, std::size_t size)
    {
        const ClientFrame frame = clientFrame(data, size);
        if (frame.opcode != kClientMessageData)
        {
            throw std::invalid_argument("unknown binary opcode " + std::to_string(frame.opcode));
        }
        const auto channel = m_clientChannels.find(frame.channel);
        if (channel == m_clientChannels.end())
        {
            throw std::invalid_argument("no client channel " + std::to_string(frame.channel) + " advertised");
        }
        try
        {
            m_server.m_publishing.write(channel->second, frame.payload, frame.size);
        }
        catch (const std::exception& e)
        {
            throw std::runtime_error("client channel " + std::to_string(frame.channel) + ": nothing published: " +
                                     e.what());
        }
    }

    void subscribe(uint32_t id, uint32_t channelId)
    {
        const auto& channels = m_server.m_options.channels;
        const auto channel = std::find_if(channels.begin(), channels.end(),
                                          [&](const Channel& c) { return c.id == channelId; });
        if (channel == channels.end())
        {
            throw std::invalid_argument("subscribe: no channel " + std::to_string(channelId));
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_subscriptions.emplace(id, channel - channels.begin()).second)
        {
            throw std::invalid_argument("subscribe: subscription id " + std::to_string(id) + " is in use");
        }
    }

    void advertised(const nlohmann::json& item)
    {
        const auto id = item.at("id").get<uint32_t>();
        const auto topic = item.at("topic").get<std::string>();
        const auto& channels = m_server.m_options.channels;
        const auto channel =
            std::find_if(channels.begin(), channels.end(), [&](const Channel& c) { return c.topic == topic; });
        if (channel == channels.end())
        {
            throw std::invalid_argument("advertise: topic '" + topic + "' is not served here");
        }
        if (item.at("encoding") != "cdr")
        {
            throw std::invalid_argument("advertise: encoding " + item.at("encoding").dump() + " instead of \"cdr\"");
        }
        if (m_clientChannels.count(id) != 0)
        {
            throw std::invalid_argument("advertise: client channel " + std::to_string(id) + " is in use");
        }
        const auto index = static_cast<std::size_t>(channel - channels.begin());
        m_server.m_publishing.open(index);
        m_clientChannels.emplace(id, index);
    }

    // Once closing, no write starts: the close frame is the last.
    void writeNext()
    {
        if (m_closing || !(m_inFlight = m_queue.next()))
        {
            return;
        }
        m_ws.text(m_inFlight->text);
        m_ws.async_write(asio::buffer(m_inFlight->bytes), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error)
            {
                return;
            }
            if (self->m_inFlight->arrival)
            {
                self->m_server.sent(*self->m_inFlight->arrival);
            }
            self->m_inFlight.reset();
            if (self->m_closing)
            {
                self->closeSocket();
                return;
            }
            self->writeNext();
        });
    }

    void closeSocket()
    {
        m_ws.async_close(websocket::close_code::going_away, [self = shared_from_this()](beast::error_code) {});
    }

    Server& m_server;
    websocket::stream<beast::tcp_stream> m_ws;
    beast::flat_buffer m_buffer;
    http::request<http::string_body> m_request;
    ClientQueue m_queue;
    // Set on the server's thread, read by any under the server's lock.
    std::atomic<bool> m_accepted{false};
    // Server thread only.
    bool m_closing = false;
    std::optional<ClientQueue::Frame> m_inFlight;
    std::map<uint32_t, std::size_t> m_clientChannels;  // client channel id: channel index
    // Guards m_subscriptions, written on the server's thread and read by DDS threads; taken after the
    // server's lock and before the queue's.
    std::mutex m_mutex;
    std::map<uint32_t, std::size_t> m_subscriptions;  // subscription id: channel index
};

Server::Server(Options options, Publishing publishing)
    : m_options(std::move(options)),
      m_publishing(publishing.open && publishing.write ? std::move(publishing) : Publishing{}),
      m_sessionId(boost::uuids::to_string(boost::uuids::random_generator()())),
      m_acceptor(m_io, tcp::endpoint(asio::ip::make_address(m_options.address), m_options.port)),
      m_latencies(kLatencies),
      m_writers(m_options.channels.size(), 0)
{
    m_port = m_acceptor.local_endpoint().port();
    accept();
    m_thread = std::thread([this] { m_io.run(); });
}

Server::~Server()
{
    stop();
}

void Server::accept()
{
    m_acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error)
        {
            return;
        }
        socket.set_option(tcp::no_delay(true));
        socket.set_option(asio::socket_base::send_buffer_size(kSendBuffer));
        const auto connection = std::make_shared<Connection>(*this, std::move(socket));
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_connections.insert(connection);
        }
        connection->start();
        accept();
    });
}

void Server::joined(const std::shared_ptr<Connection>& connection)
{
    connection->send(serverInfo("tarvex bridge", static_cast<bool>(m_publishing.write), m_sessionId));
    connection->send(advertise(m_options.channels));
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t channel = 0; channel < m_writers.size(); ++channel)
    {
        if (m_writers[channel] == 0)
        {
            connection->send(noWriter(channel));
        }
    }
}

void Server::left(const std::shared_ptr<Connection>& connection)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.erase(connection);
    m_changed.notify_all();
}

void Server::sent(Clock::time_point arrival)
{
    ++m_sent;
    m_latencies[m_nextLatency++ % kLatencies] = std::chrono::duration<double>(Clock::now() - arrival).count();
}

std::string Server::noWriter(std::size_t channel) const
{
    return status(StatusLevel::Warning, m_options.channels[channel].topic + " has no writer");
}

void Server::publish(std::size_t channel, const RawSample& sample)
{
    const auto arrival = Clock::now();
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped)
    {
        return;
    }
    for (const auto& connection : m_connections)
    {
        connection->offer(channel, sample, arrival);
    }
}

void Server::writers(std::size_t channel, int32_t count)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const bool had = m_writers[channel] > 0;
    m_writers[channel] = count;
    if (m_stopped || had == (count > 0))
    {
        return;
    }
    const std::string message = count > 0 ? status(StatusLevel::Info, m_options.channels[channel].topic + " has " +
                                                                          std::to_string(count) + " writer(s)")
                                          : noWriter(channel);
    for (const auto& connection : m_connections)
    {
        if (connection->accepted())
        {
            connection->send(message);
        }
    }
}

Server::Counts Server::counts()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return {static_cast<std::size_t>(std::count_if(m_connections.begin(), m_connections.end(),
                                                   [](const auto& connection) { return connection->accepted(); })),
            m_sent, m_dropped};
}

void Server::stop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopped)
    {
        return;
    }
    m_stopped = true;
    lock.unlock();
    asio::post(m_io, [this] {
        m_acceptor.close();
        const std::lock_guard<std::mutex> connections(m_mutex);
        for (const auto& connection : m_connections)
        {
            connection->close();
        }
    });
    lock.lock();
    m_changed.wait_for(lock, kClosingLimit + std::chrono::seconds(1), [this] { return m_connections.empty(); });
    // Those that did not answer the close frame, or never finished their handshake.
    asio::post(m_io, [remaining = m_connections] {
        for (const auto& connection : remaining)
        {
            connection->cut();
        }
    });
    m_connections.clear();
    lock.unlock();
    m_thread.join();
}

std::vector<double> Server::latencies() const
{
    return std::vector<double>(m_latencies.begin(), m_latencies.begin() + std::min(m_nextLatency, kLatencies));
}

}  // namespace qara::nimb::tools::bridge
