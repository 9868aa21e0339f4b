#include "Commands.hpp"

#include "tools/core/Endpoint.hpp"
#include "tools/core/Fields.hpp"
#include "tools/core/Tally.hpp"
#include "tools/core/Topics.hpp"

#include <qara/nimb/ps/DataEventFilter.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <thread>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPollPeriod{50};

struct Counts
{
    std::size_t total = 0;
    std::size_t sent = 0;
    std::size_t listener = 0;
    std::size_t events = 0;
    std::size_t mostRecent = 0;
};

// The subscriber kinds that only this command shows, which are the plug-in's own per topic type: events read
// with readDataEvents on a thread of its own, and the most-recent-value subscriber.
struct Views
{
    // Waits up to a poll period for events; gives the source time stamps of those that came.
    std::function<std::vector<double>()> readEvents;
    // The sequence number of the most recent value, if there is one.
    std::function<std::optional<uint64_t>()> latest;
};

template <class T>
Views viewsOf(const PluginLibrary& plugin, const std::string& type, const Session& session, const Uri& uri)
{
    const PluginEntries<T> entries(plugin, type);
    std::shared_ptr<ps::Subscriber<T>> events = entries.subscriber(session.host(), uri);
    std::shared_ptr<ps::MrvSubscriber<T>> mostRecent = entries.mrvSubscriber(session.host(), uri);
    return {[events] {
                std::vector<std::shared_ptr<ps::DataEvent<T>>> read;
                events->readDataEvents(ps::DataEventFilter<T>(), read, 0, kPollPeriod);
                std::vector<double> stamps;
                for (const auto& event : read)
                {
                    stamps.push_back(event->getSourceTimestamp());
                }
                return stamps;
            },
            [mostRecent] {
                const auto latest = mostRecent->readMostRecent(milliseconds(0));
                return latest.empty() ? std::nullopt : std::optional<uint64_t>(sequenceOf(*latest.front()));
            }};
}

// Each topic at a rate of its own, as the measurement loops that publish them run.
double rateOf(const std::string& type)
{
    static const std::map<std::string, double> rates = {
        {"SaMeasurements_fast", 500}, {"PsMeasurements", 100}, {"SaMeasurements_medium", 20}, {"SaMeasurements_slow", 5}};
    return rates.at(type);
}

// One topic's publisher and its three kinds of subscriber.
class DemoTopic
{
public:
    DemoTopic(const PluginLibrary& plugin, const std::string& name, uint32_t domain,
              const std::shared_ptr<Session>& publishing, const std::shared_ptr<Session>& subscribing)
        : type(name), rate(rateOf(name))
    {
        const Uri uri = pubSubUri(domain, "tarvex/" + type);
        m_publisher = openWriter(publishing, Path::Plugin, type, uri, Numbering::EveryField);
        m_listened = openReader(subscribing, Path::Plugin, type, uri, [this](const Received& sample) {
            const double stamp = sample.sourceTimestamp();
            m_listener.arrive(sample.sequence(), stamp, wallSeconds() - stamp);
        });
        withTopic(type, [&](auto topic) {
            m_views = viewsOf<typename decltype(topic)::Type>(plugin, type, *subscribing, uri);
        });
        m_reading = std::async(std::launch::async, [this] { readEvents(); });
    }

    ~DemoTopic()
    {
        m_stopping = true;
    }

    // True once every kind has received a warm-up sample; until then publishes another each call.
    bool warmUp()
    {
        pollMostRecent();
        if (m_listener.received() > 0 && m_eventsWarm && m_latest.has_value())
        {
            return true;
        }
        m_publisher->write(0, wallSeconds());
        return false;
    }

    // Samples stamped from phaseStart on count; they go out at the topic's rate from `begin` for `length`.
    void start(double phaseStart, Clock::time_point begin, std::chrono::duration<double> length)
    {
        m_listener.restart(phaseStart);
        m_phaseStart = phaseStart;
        m_total = std::max<std::size_t>(1, static_cast<std::size_t>(std::llround(rate * length.count())));
        m_publishing = std::async(std::launch::async, [this, begin] {
            const std::chrono::duration<double> period(1.0 / rate);
            for (std::size_t n = 1; n <= m_total && !m_stopping; ++n, ++m_sent)
            {
                std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(period * (n - 1)));
                m_publisher->write(n, wallSeconds());
            }
        });
    }

    bool published() const { return m_publishing.wait_for(milliseconds(0)) == std::future_status::ready; }

    void pollMostRecent()
    {
        const auto latest = m_views.latest();
        if (latest && latest != m_latest)
        {
            // Warm-up samples are numbered 0, counted ones from 1.
            m_mostRecentSeen += *latest > 0 ? 1 : 0;
            m_latest = latest;
        }
    }

    Counts counts() { return Counts{m_total, m_sent, m_listener.received(), m_events, m_mostRecentSeen}; }

    // Ends the reading and rethrows what failed on either thread.
    void stop()
    {
        m_stopping = true;
        m_publishing.get();
        m_reading.get();
    }

    const std::string type;
    const double rate;
    // The listener's tally; it counts everything until the counted phase starts, then only what is stamped
    // from then on.
    Tally& listener() { return m_listener; }
    bool latestIsLastSent() const { return m_latest == m_total; }

private:
    void readEvents()
    {
        while (!m_stopping)
        {
            for (const double stamp : m_views.readEvents())
            {
                if (stamp < m_phaseStart)
                {
                    m_eventsWarm = true;
                }
                else
                {
                    ++m_events;
                }
            }
        }
    }

    Tally m_listener;
    std::unique_ptr<Endpoint> m_publisher;
    std::unique_ptr<Endpoint> m_listened;
    Views m_views;
    // Samples stamped before this are warm-ups; infinite until the counted phase starts.
    std::atomic<double> m_phaseStart{std::numeric_limits<double>::infinity()};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_eventsWarm{false};
    std::atomic<std::size_t> m_events{0};
    std::atomic<std::size_t> m_sent{0};
    std::size_t m_total = 0;
    // Main thread only.
    std::size_t m_mostRecentSeen = 0;
    std::optional<uint64_t> m_latest;
    // Declared last, so that they finish first.
    std::future<void> m_publishing;
    std::future<void> m_reading;
};

// Rewrites one terminal line.
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

// Prints the table; returns the samples the listener path lost.
std::size_t printTable(const std::vector<std::unique_ptr<DemoTopic>>& topics)
{
    std::cout << std::left << std::setw(23) << "topic" << std::right << std::setw(5) << "Hz" << std::setw(7) << "sent"
              << std::setw(10) << "listener" << std::setw(8) << "events" << std::setw(6) << "mrv" << std::setw(8)
              << "latest" << std::setw(6) << "lost" << std::setw(11) << "median us" << std::setw(9) << "p99 us" << '\n';
    std::size_t lost = 0;
    for (const auto& topic : topics)
    {
        const Counts counts = topic->counts();
        const LatencySummary latency = summarize(topic->listener().latencies());
        lost += counts.sent - counts.listener;
        std::cout << std::left << std::setw(23) << topic->type << std::right << std::setw(5) << std::lround(topic->rate)
                  << std::setw(7) << counts.sent << std::setw(10) << counts.listener << std::setw(8) << counts.events
                  << std::setw(6) << counts.mostRecent << std::setw(8) << (topic->latestIsLastSent() ? "yes" : "no")
                  << std::setw(6) << counts.sent - counts.listener << std::fixed << std::setprecision(1)
                  << std::setw(11) << latency.median * 1e6 << std::setw(9) << latency.p99 * 1e6 << '\n';
    }
    std::cout << "\nlistener: subscribeAsync callback; events: readDataEvents on its own thread; mrv: distinct\n"
                 "samples the most-recent-value subscriber showed, latest: whether its last one is the last sent;\n"
                 "lost: sent but not received by the listener; latency: source time stamp to listener callback.\n";
    return lost;
}

struct DemoOptions
{
    double seconds = 5;
    uint32_t domain = 0;
};

int runDemo(const PluginLibrary& plugin, const DemoOptions& options)
{
    // Two sessions, so that publishers and subscribers sit on participants of their own.
    const auto publishing = std::make_shared<Session>(&plugin);
    const auto subscribing = std::make_shared<Session>(&plugin);
    std::vector<std::unique_ptr<DemoTopic>> topics;
    for (const auto& type : topicNames())
    {
        topics.push_back(std::make_unique<DemoTopic>(plugin, type, options.domain, publishing, subscribing));
    }
    std::cout << "tarvex demo: " << topics.size() << " topics on DDS domain " << options.domain << " for "
              << options.seconds << " s, plug-in " << plugin.path() << "\n"
              << std::flush;

    const auto warmUpLimit = Clock::now() + std::chrono::seconds(15);
    while (!std::all_of(topics.begin(), topics.end(), [](const auto& topic) { return topic->warmUp(); }))
    {
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
        topic->start(phaseStart, begin, std::chrono::duration<double>(options.seconds));
    }
    const bool progress = interactive();
    while (!std::all_of(topics.begin(), topics.end(), [](const auto& topic) { return topic->published(); }))
    {
        for (const auto& topic : topics)
        {
            topic->pollMostRecent();
        }
        if (progress)
        {
            showProgress(topics, std::chrono::duration<double>(Clock::now() - begin).count(), options.seconds);
        }
        std::this_thread::sleep_for(kPollPeriod);
    }

    // What is still in flight gets a moment to land before it counts as lost.
    const auto drainLimit = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < drainLimit && !std::all_of(topics.begin(), topics.end(), [](const auto& topic) {
        const Counts counts = topic->counts();
        return counts.listener >= counts.sent && counts.events >= counts.sent;
    }))
    {
        std::this_thread::sleep_for(milliseconds(20));
    }
    for (const auto& topic : topics)
    {
        topic->pollMostRecent();
        topic->stop();
    }
    if (progress)
    {
        std::cout << "\r\x1b[K";
    }
    if (const std::size_t lost = printTable(topics); lost != 0)
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
    addChecked(*command, "--seconds", options->seconds, "how long to publish", CLI::Range(0.1, 3600.0));
    addDomain(*command, options->domain);
    return [options](const LazyPlugin& plugin) { return runDemo(plugin.get(), *options); };
}

}  // namespace qara::nimb::tools
