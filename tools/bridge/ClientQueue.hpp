#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qara::nimb::tools::bridge {

// What waits to be sent to one client, and whether a write is under way. Messages of the protocol go before
// data; data is bounded: when full, the oldest is dropped, counted, and a warning goes to the client, so that
// a client that does not keep up never holds back DDS or the other clients. Filled from any thread.
class ClientQueue
{
public:
    using Clock = std::chrono::steady_clock;

    struct Frame
    {
        std::vector<uint8_t> bytes;
        bool text = false;
        // Data only: when its sample arrived from DDS.
        std::optional<Clock::time_point> arrival;
    };

    // `limit` data frames at most; every drop is also added to `dropped`.
    ClientQueue(std::size_t limit, std::atomic<uint64_t>& dropped) : m_limit(limit), m_totalDropped(dropped) {}

    // Each returns true when no write is under way: the caller then starts one, which calls next().
    bool pushData(std::vector<uint8_t> frame, Clock::time_point arrival);
    bool pushText(const std::string& message);

    // The frame to write next; none when nothing waits, and the write ends.
    std::optional<Frame> next();

    uint64_t dropped();

private:
    bool startWriting();

    const std::size_t m_limit;
    std::atomic<uint64_t>& m_totalDropped;
    // Guards every member below; the innermost lock of the bridge.
    std::mutex m_mutex;
    // Protocol messages; an empty one stands for the drop warning, written with the count at the time it leaves.
    std::deque<std::string> m_messages;
    std::deque<Frame> m_data;
    bool m_writing = false;
    bool m_warningWaits = false;
    uint64_t m_dropped = 0;
};

}  // namespace qara::nimb::tools::bridge
