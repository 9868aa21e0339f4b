#include "Commands.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"
#include "SampleText.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/ps/DataEventFilter.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPublishTimeout{1000};
constexpr milliseconds kPollPeriod{50};

// Each topic at a rate of its own, as the measurement loops that publish them run.
double rateOf(const std::string& type)
{
    static const std::map<std::string, double> rates = {{"SaMeasurements_fast", 500},
                                                        {"PsMeasurements", 100},
                                                        {"SaMeasurements_medium", 20},
                                                        {"SaMeasurements_slow", 5}};
    return rates.at(type);
}

struct Counts
{
    std::size_t total = 0;
    std::size_t sent = 0;
    std::size_t listener = 0;
    std::size_t events = 0;
    std::size_t mostRecent = 0;
};

struct Row
{
    std::string type;
    double rate = 0;
    Counts counts;
    bool latestMatches = false;
    LatencySummary latency;
};

// One topic's publisher and its three kinds of subscriber.
class DemoTopic
{
public:
    virtual ~DemoTopic() = default;
    // True once every path has received a warm-up sample; until then publishes another each call.
    virtual bool warmUp() = 0;
    // Samples stamped from phaseStart on count; they go out at the topic's rate from `begin` for `length`.
    virtual void start(double phaseStart, Clock::time_point begin, std::chrono::duration<double> length) = 0;
    virtual bool published() const = 0;
    // Main thread only.
    virtual void pollMostRecent() = 0;
    virtual Counts counts() const = 0;
    // Joins the threads and rethrows what failed on them.
    virtual void stop() = 0;
    virtual Row row() = 0;
};

template <class T>
class DemoTopicOf final : public DemoTopic
{
public:
    DemoTopicOf(const PluginLibrary& plugin, const char* type, uint32_t domain, const std::shared_ptr<Nimb>& publishing,
                const std::shared_ptr<Nimb>& subscribing)
        : m_type(type), m_rate(rateOf(type))
    {
        const PluginEntries<T> entries(plugin, type);
        const Uri uri("dds.ps://" + std::to_string(domain) + "/tarvex/" + type);
        m_publisher = entries.publisher(publishing, uri);
        m_sample = m_publisher->createDataEntity();
        m_listened = entries.subscriber(subscribing, uri);
        m_read = entries.subscriber(subscribing, uri);
        m_mostRecent = entries.mrvSubscriber(subscribing, uri);
        m_subscription = m_listened->subscribeAsync(ps::DataEventFilter<T>(),
                                                    [this](ps::Subscriber<T>&, const ps::DataEvent<T>& event) {
                                                        m_listener.arrive(event.getSourceTimestamp());
                                                    });
        m_reader = std::thread([this] { readEvents(); });
    }

    ~DemoTopicOf() override
    {
        try
        {
            stop();
        }
        catch (...)
        {
            // Only reached while another failure unwinds; that one is reported.
        }
    }

    DemoTopicOf(const DemoTopicOf&) = delete;
    DemoTopicOf& operator=(const DemoTopicOf&) = delete;

    bool warmUp() override
    {
        pollMostRecent();
        if (m_listener.count() > 0 && m_eventsWarm && !m_latestJson.empty())
        {
            return true;
        }
        fillCounter(*m_sample, 0);
        m_publisher->publish(wallSeconds(), *m_sample, kPublishTimeout);
        return false;
    }

    void start(double phaseStart, Clock::time_point begin, std::chrono::duration<double> length) override
    {
        m_phaseStart = phaseStart;
        m_listener.restart(phaseStart);
        m_total = std::max<std::size_t>(1, static_cast<std::size_t>(std::llround(m_rate * length.count())));
        m_publishing = std::thread([this, begin] { publishAll(begin); });
    }

    bool published() const override { return m_published; }

    void pollMostRecent() override
    {
        const auto latest = m_mostRecent->readMostRecent(milliseconds(0));
        if (latest.empty())
        {
            return;
        }
        std::string json = toJson(*latest.front()).dump();
        if (json != m_latestJson)
        {
            m_latestJson = std::move(json);
            m_mostRecentSeen += counting() ? 1 : 0;
        }
    }

    Counts counts() const override
    {
        return Counts{m_total, m_sent, m_listener.count(), m_eventsCount, m_mostRecentSeen};
    }

    void stop() override
    {
        m_stopping = true;
        for (std::thread* thread : {&m_publishing, &m_reader})
        {
            if (thread->joinable())
            {
                thread->join();
            }
        }
        if (m_subscription)
        {
            m_subscription->close();
            m_subscription.reset();
        }
        if (m_failure)
        {
            std::rethrow_exception(std::exchange(m_failure, nullptr));
        }
    }

    Row row() override
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return Row{m_type, m_rate, counts(), m_latestJson == m_lastSentJson, summarize(m_listener.latencies())};
    }

private:
    bool counting() const { return m_phaseStart < std::numeric_limits<double>::infinity(); }

    void readEvents()
    {
        std::vector<std::shared_ptr<ps::DataEvent<T>>> events;
        try
        {
            while (!m_stopping)
            {
                events.clear();
                m_read->readDataEvents(ps::DataEventFilter<T>(), events, 0, kPollPeriod);
                for (const auto& event : events)
                {
                    if (event->getSourceTimestamp() < m_phaseStart)
                    {
                        m_eventsWarm = true;
                    }
                    else
                    {
                        ++m_eventsCount;
                    }
                }
            }
        }
        catch (...)
        {
            fail();
        }
    }

    void publishAll(Clock::time_point begin)
    {
        try
        {
            const std::chrono::duration<double> period(1.0 / m_rate);
            for (std::size_t n = 1; n <= m_total && !m_stopping; ++n)
            {
                std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(period * (n - 1)));
                fillCounter(*m_sample, n);
                m_publisher->publish(wallSeconds(), *m_sample, kPublishTimeout);
                ++m_sent;
            }
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_lastSentJson = toJson(*m_sample).dump();
        }
        catch (...)
        {
            fail();
        }
        m_published = true;
    }

    void fail()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_failure)
        {
            m_failure = std::current_exception();
        }
    }

    const std::string m_type;
    const double m_rate;
    std::unique_ptr<ps::Publisher<T>> m_publisher;
    std::shared_ptr<T> m_sample;
    std::unique_ptr<ps::Subscriber<T>> m_listened;
    std::unique_ptr<ps::Subscriber<T>> m_read;
    std::unique_ptr<ps::MrvSubscriber<T>> m_mostRecent;
    // Counts everything until the counted phase starts, then only what is stamped from then on.
    mutable Arrivals m_listener;
    std::unique_ptr<ps::Subscription> m_subscription;

    // Samples stamped before this are warm-ups; infinite until the counted phase starts.
    std::atomic<double> m_phaseStart{std::numeric_limits<double>::infinity()};
    std::atomic<bool> m_eventsWarm{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_published{false};
    std::size_t m_total = 0;
    std::atomic<std::size_t> m_sent{0};
    std::atomic<std::size_t> m_eventsCount{0};
    std::size_t m_mostRecentSeen = 0;
    std::string m_latestJson;

    // Guards the last sent sample's text and the first failure.
    std::mutex m_mutex;
    std::string m_lastSentJson;
    std::exception_ptr m_failure;

    std::thread m_publishing;
    std::thread m_reader;
};

// Rewrites one terminal line; silent when standard output is not a terminal.
void showProgress(const std::vector<std::unique_ptr<DemoTopic>>& topics, double elapsed, double seconds)
{
    Counts sum;
    for (const auto& topic : topics)
    {
        const Counts counts = topic->counts();
        sum.total += counts.total;
        sum.sent += counts.sent;
        sum.listener += counts.listener;
        sum.events += counts.events;
        sum.mostRecent += counts.mostRecent;
    }
    std::cout << "\r  " << std::fixed << std::setprecision(1) << std::min(elapsed, seconds) << " of " << seconds
              << " s   sent " << sum.sent << " of " << sum.total << "   listener " << sum.listener << "   events "
              << sum.events << "   mrv " << sum.mostRecent << "\x1b[K" << std::flush;
}

void printTable(const std::vector<Row>& rows)
{
    std::cout << std::left << std::setw(23) << "topic" << std::right << std::setw(5) << "Hz" << std::setw(7) << "sent"
              << std::setw(10) << "listener" << std::setw(8) << "events" << std::setw(6) << "mrv" << std::setw(8)
              << "latest" << std::setw(6) << "lost" << std::setw(11) << "median us" << std::setw(9) << "p99 us" << '\n';
    for (const Row& row : rows)
    {
        std::cout << std::left << std::setw(23) << row.type << std::right << std::setw(5) << std::lround(row.rate)
                  << std::setw(7) << row.counts.sent << std::setw(10) << row.counts.listener << std::setw(8)
                  << row.counts.events << std::setw(6) << row.counts.mostRecent << std::setw(8)
                  << (row.latestMatches ? "yes" : "no") << std::setw(6) << row.counts.sent - row.counts.listener
                  << std::fixed << std::setprecision(1) << std::setw(11) << row.latency.median * 1e6 << std::setw(9)
                  << row.latency.p99 * 1e6 << '\n';
    }
    std::cout << "\nlistener: subscribeAsync callback; events: readDataEvents on its own thread; mrv: distinct\n"
                 "samples the most-recent-value subscriber showed, latest: whether its last one is the last sent;\n"
                 "lost: sent but not received by the listener; latency: source time stamp to listener callback.\n";
}

struct DemoOptions
{
    double seconds = 5;
    uint32_t domain = 0;
};

int runDemo(const PluginLibrary& plugin, const DemoOptions& options)
{
    const double seconds = options.seconds;
    const uint32_t domain = options.domain;

    // Two hosts, so publishers and subscribers sit on participants of their own.
    const auto publishing = std::make_shared<DdsNimb>();
    const auto subscribing = std::make_shared<DdsNimb>();
    std::vector<std::unique_ptr<DemoTopic>> topics;
    forEachTopic([&](auto topic) {
        topics.push_back(std::make_unique<DemoTopicOf<typename decltype(topic)::Type>>(plugin, topic.name, domain,
                                                                                       publishing, subscribing));
    });
    std::cout << "tarvex demo: " << topics.size() << " topics on DDS domain " << domain << " for " << seconds
              << " s, plug-in " << plugin.path() << "\n"
              << std::flush;

    const auto warmUpLimit = Clock::now() + std::chrono::seconds(15);
    for (;;)
    {
        bool ready = true;
        for (const auto& topic : topics)
        {
            ready = topic->warmUp() && ready;
        }
        if (ready)
        {
            break;
        }
        if (Clock::now() > warmUpLimit)
        {
            throw std::runtime_error("the subscribers received no warm-up sample within 15 s");
        }
        std::this_thread::sleep_for(milliseconds(20));
    }

    const double phaseStart = wallSeconds();
    const auto begin = Clock::now();
    for (const auto& topic : topics)
    {
        topic->start(phaseStart, begin, std::chrono::duration<double>(seconds));
    }
    const bool progress = interactive();
    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - begin).count(); };
    const auto allPublished = [&] {
        return std::all_of(topics.begin(), topics.end(), [](const auto& topic) { return topic->published(); });
    };
    while (!allPublished())
    {
        for (const auto& topic : topics)
        {
            topic->pollMostRecent();
        }
        if (progress)
        {
            showProgress(topics, elapsed(), seconds);
        }
        std::this_thread::sleep_for(kPollPeriod);
    }

    // What is still in flight gets a moment to land before it counts as lost.
    const auto drainLimit = Clock::now() + std::chrono::seconds(2);
    const auto settled = [&] {
        return std::all_of(topics.begin(), topics.end(), [](const auto& topic) {
            const Counts counts = topic->counts();
            return counts.listener >= counts.sent && counts.events >= counts.sent;
        });
    };
    while (!settled() && Clock::now() < drainLimit)
    {
        std::this_thread::sleep_for(milliseconds(20));
    }
    std::vector<Row> rows;
    std::size_t lost = 0;
    for (const auto& topic : topics)
    {
        topic->pollMostRecent();
        topic->stop();
        rows.push_back(topic->row());
        lost += rows.back().counts.sent - rows.back().counts.listener;
    }
    if (progress)
    {
        std::cout << "\r\x1b[K";
    }
    printTable(rows);
    if (lost != 0)
    {
        std::cerr << "tarvex demo: " << lost << " samples lost on the listener path\n";
        return 1;
    }
    return 0;
}

}  // namespace

Run addDemo(CLI::App& tool)
{
    auto options = std::make_shared<DemoOptions>();
    CLI::App* command =
        tool.add_subcommand("demo", "publish all four topics on a private domain and report what arrived");
    command->footer(
        "Publishes the four topics on a DDS domain of their own for S seconds, each at its own rate\n"
        "(SaMeasurements_fast 500 Hz, PsMeasurements 100 Hz, SaMeasurements_medium 20 Hz, SaMeasurements_slow 5 Hz),\n"
        "and receives them three ways in the same process: a listener subscription (subscribeAsync), readDataEvents\n"
        "on a thread of its own, and the most-recent-value subscriber, polled every 50 ms. Before counting, each\n"
        "topic sends warm-up samples until all three have one. Ends with a table per topic: samples sent, received\n"
        "per path, lost on the listener path, and the listener's latency from the source time stamp (median, 99th\n"
        "percentile). Exits with status 1 when the listener path lost anything.");
    command->add_option("--seconds", options->seconds, "how long to publish")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    addDomain(*command, options->domain);
    return [options](const PluginLibrary& plugin) { return runDemo(plugin, *options); };
}

}  // namespace qara::nimb::tools
