#include "tools/core/Tally.hpp"

#include <algorithm>

namespace qara::nimb::tools {

double Tally::Counts::rate() const
{
    const double seconds = std::chrono::duration<double>(lastArrival - firstArrival).count();
    return seconds > 0 ? static_cast<double>(received - 1) / seconds : 0;
}

void Tally::arrive(uint64_t sequence, double sourceTimestamp, double latency)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (sourceTimestamp < m_since || (m_limit != 0 && m_counts.received == m_limit))
        {
            return;
        }
        m_counts.lastArrival = Clock::now();
        if (m_counts.received++ == 0)
        {
            m_counts.first = sequence;
            m_counts.firstArrival = m_counts.lastArrival;
        }
        m_latencies.push_back(latency);
        if (sequence < m_counts.first)
        {
            ++m_counts.outOfOrder;
        }
        else
        {
            const std::size_t offset = sequence - m_counts.first;
            if (offset >= m_seen.size())
            {
                m_seen.resize(std::max(offset + 1, 2 * m_seen.size()));
            }
            if (m_seen[offset])
            {
                ++m_counts.duplicates;
            }
            else
            {
                m_seen[offset] = true;
                ++m_distinct;
                m_counts.outOfOrder += sequence < m_highest ? 1 : 0;
            }
            m_highest = std::max(m_highest, sequence);
        }
        m_last = sequence;
        m_counts.lost = m_highest - m_counts.first + 1 - m_distinct;
    }
    m_arrived.notify_all();
}

void Tally::restart(double since)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_since = since;
    m_counts = Counts();
    m_distinct = m_highest = m_last = 0;
    m_seen.clear();
    m_latencies.clear();
}

uint64_t Tally::waitForCount(uint64_t count, std::chrono::duration<double> limit)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_arrived.wait_for(lock, limit, [&] { return m_counts.received >= count; });
    return m_counts.received;
}

bool Tally::waitForSequence(uint64_t sequence, std::chrono::duration<double> limit)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, limit, [&] { return m_counts.received > 0 && m_last == sequence; });
}

uint64_t Tally::received()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts.received;
}

Tally::Counts Tally::counts()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

std::vector<double> Tally::latencies(std::size_t from)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return {m_latencies.begin() + static_cast<std::ptrdiff_t>(std::min(from, m_latencies.size())), m_latencies.end()};
}

}  // namespace qara::nimb::tools
