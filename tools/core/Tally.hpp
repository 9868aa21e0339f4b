#pragma once

#include "tools/core/Statistics.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qara::nimb::tools {

// What arrived at a reader: counts, order, repeats, gaps and latencies, numbered from the first sequence
// number received on. Fed from listener threads, read from any.
class Tally
{
public:
    using Clock = std::chrono::steady_clock;

    struct Counts
    {
        uint64_t received = 0;  // repeats included
        uint64_t first = 0;     // the first sequence number received
        uint64_t lost = 0;      // missing between the first and the highest received
        uint64_t outOfOrder = 0;
        uint64_t duplicates = 0;
        Clock::time_point firstArrival;
        Clock::time_point lastArrival;
        // Arrivals per second between the first and the last one.
        double rate() const;
    };

    // Samples beyond `limit` (0: none), which may arrive while a run ends, are not counted.
    explicit Tally(uint64_t limit = 0) : m_limit(limit) {}

    // One valid sample, its latency in seconds.
    void arrive(uint64_t sequence, double sourceTimestamp, double latency);
    // Forgets every arrival and from now on counts only samples stamped from `since` on.
    void restart(double since);
    // Waits until `count` samples are counted, or `limit` has passed; returns how many are.
    uint64_t waitForCount(uint64_t count, std::chrono::duration<double> limit);
    // Waits until sample `sequence` is the last one that arrived, or `limit` has passed.
    bool waitForSequence(uint64_t sequence, std::chrono::duration<double> limit);

    uint64_t received();
    Counts counts();
    // Latencies in arrival order, from the n-th arrival on.
    std::vector<double> latencies(std::size_t from = 0);

private:
    const uint64_t m_limit;
    // Guards every member below; taken on its own, never with another lock.
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    double m_since = 0;
    Counts m_counts;
    uint64_t m_distinct = 0;
    uint64_t m_highest = 0;
    uint64_t m_last = 0;
    std::vector<bool> m_seen;  // by sequence number from the first on
    std::vector<double> m_latencies;
};

}  // namespace qara::nimb::tools
