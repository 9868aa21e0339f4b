#pragma once

#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/ps/DataEvent.hpp>
#include <qara/nimb/ps/Publisher.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace tarvex_test {

// Publishes samples numbered first..last, the number carried as the source time stamp in seconds, so that
// whoever receives them can tell which ones arrived and in what order.
template <class T>
void publishNumbered(qara::nimb::ps::Publisher<T>& publisher, uint32_t first, uint32_t last,
                     std::chrono::milliseconds pace = std::chrono::milliseconds(0))
{
    const auto entity = publisher.createDataEntity();
    for (uint32_t number = first; number <= last; ++number)
    {
        publisher.publish(static_cast<double>(number), *entity, std::chrono::milliseconds(0));
        std::this_thread::sleep_for(pace);
    }
}

template <class T>
uint32_t numberOf(const qara::nimb::ps::DataEvent<T>& event)
{
    return static_cast<uint32_t>(event.getSourceTimestamp());
}

// What callbacks handed over, from any thread, in the order they did.
template <class V>
class Collected
{
public:
    void add(const V& value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values.push_back(value);
        m_changed.notify_all();
    }

    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_values.size() >= count; });
    }

    std::vector<V> values() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<V> m_values;
};

// The numbers of publishNumbered's samples, as callbacks saw them.
using Deliveries = Collected<uint32_t>;

// What a call threw, its kind and its message ("IllegalState ...", "Nimb ...", "runtime ..."); "" for nothing.
template <class Call>
std::string thrown(Call&& call)
{
    try
    {
        call();
    }
    catch (const std::exception& e)
    {
        return (dynamic_cast<const qara::nimb::IllegalStateException*>(&e) ? "IllegalState "
                : dynamic_cast<const qara::nimb::NimbException*>(&e)       ? "Nimb "
                                                                           : "runtime ") +
               std::string(e.what());
    }
    return "";
}

// Runs `other` on a second thread, both calls starting together.
template <class Mine, class Other>
void together(Mine&& mine, Other&& other)
{
    std::atomic<int> waiting{2};
    auto start = [&] {
        for (--waiting; waiting.load() > 0;)
        {
            std::this_thread::yield();
        }
    };
    std::thread thread([&] { start(), other(); });
    start();
    mine();
    thread.join();
}

// 1..last
inline std::vector<uint32_t> numbersUpTo(uint32_t last)
{
    std::vector<uint32_t> numbers(last);
    std::iota(numbers.begin(), numbers.end(), 1u);
    return numbers;
}

}  // namespace tarvex_test
