#include "tools/bridge/ClientQueue.hpp"

#include "tools/bridge/Protocol.hpp"

namespace qara::nimb::tools::bridge {

namespace {

// Protocol messages answer what the client sent; a client that sends without reading loses the oldest answers.
constexpr std::size_t kMessageLimit = 1024;

}  // namespace

bool ClientQueue::pushData(std::vector<uint8_t> frame, Clock::time_point arrival)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_data.size() >= m_limit)
    {
        m_data.pop_front();
        ++m_dropped;
        ++m_totalDropped;
        if (!m_warningWaits)
        {
            m_warningWaits = true;
            m_messages.emplace_back();
        }
    }
    m_data.push_back({std::move(frame), false, arrival});
    return startWriting();
}

bool ClientQueue::pushText(const std::string& message)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_messages.size() >= kMessageLimit)
    {
        m_warningWaits = m_warningWaits && !m_messages.front().empty();
        m_messages.pop_front();
    }
    m_messages.push_back(message);
    return startWriting();
}

std::optional<ClientQueue::Frame> ClientQueue::next()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_messages.empty())
    {
        std::string message = std::move(m_messages.front());
        m_messages.pop_front();
        if (message.empty())
        {
            m_warningWaits = false;
            message = status(StatusLevel::Warning, "this client does not keep up: " + std::to_string(m_dropped) +
                                                       " messages dropped so far, the oldest first (queue of " +
                                                       std::to_string(m_limit) + ")");
        }
        return Frame{std::vector<uint8_t>(message.begin(), message.end()), true, std::nullopt};
    }
    if (!m_data.empty())
    {
        Frame frame = std::move(m_data.front());
        m_data.pop_front();
        return frame;
    }
    m_writing = false;
    return std::nullopt;
}

uint64_t ClientQueue::dropped()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

bool ClientQueue::startWriting()
{
    const bool start = !m_writing;
    m_writing = true;
    return start;
}

}  // namespace qara::nimb::tools::bridge
