#include "Commands.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"
#include "SampleText.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/ps/DataEventFilter.hpp>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string defaultUri(const std::string& type)
{
    return "dds.ps://0/tarvex/" + type;
}

// Tells when a writer on the host's participant has matched a reader. The plug-in's writer has no listener
// of its own, so Fast DDS reports its matches to the participant's.
class MatchWatcher : public eprosima::fastdds::dds::DomainParticipantListener
{
public:
    explicit MatchWatcher(std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> participant)
        : m_participant(std::move(participant))
    {
        m_participant->set_listener(this, eprosima::fastdds::dds::StatusMask::publication_matched());
    }

    ~MatchWatcher() override { m_participant->set_listener(nullptr); }

    MatchWatcher(const MatchWatcher&) = delete;
    MatchWatcher& operator=(const MatchWatcher&) = delete;

    void on_publication_matched(eprosima::fastdds::dds::DataWriter*,
                                const eprosima::fastdds::dds::PublicationMatchedStatus& status) override
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_matched = status.current_count;
        }
        m_changed.notify_all();
    }

    bool matchedWithin(milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_matched > 0; });
    }

    void waitForReader()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_matched > 0; });
    }

private:
    std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> m_participant;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int32_t m_matched = 0;
};

struct PubOptions
{
    std::string topic;
    std::string uri;
    double rate = 10;
    uint64_t count = 0;
    std::vector<std::string> assignments;
};

template <class T>
int publish(const PluginLibrary& plugin, const PubOptions& options, const char* type)
{
    const Uri uri = pubSubUri(options.uri.empty() ? defaultUri(type) : options.uri);
    const double rate = options.rate;
    const uint64_t count = options.count;
    const auto& assignments = options.assignments;

    const PluginEntries<T> entries(plugin, type);
    const auto sample = entries.entity();
    // Every --set is checked before anything joins the domain, and the fields it sets keep their values.
    std::set<std::string> assigned;
    for (const auto& assignment : assignments)
    {
        assigned.insert(setField(*sample, type, assignment));
    }

    const auto host = std::make_shared<DdsNimb>();
    MatchWatcher matches(host->getDomainParticipant(uri, {}));
    const auto publisher = entries.publisher(host, uri);
    // A volatile writer sends nothing to readers it has not matched yet, so samples wait for one.
    if (!matches.matchedWithin(milliseconds(1000)))
    {
        std::cerr << "tarvex pub: waiting for a subscriber on " << uri.string() << '\n';
        matches.waitForReader();
    }
    // The subscriber in turn takes nothing from a writer it has not matched yet, and it may learn of this
    // one a little later than the writer learnt of it.
    std::this_thread::sleep_for(milliseconds(500));

    const std::chrono::duration<double> period(1.0 / rate);
    const auto begin = Clock::now();
    uint64_t n = 1;
    for (; count == 0 || n <= count; ++n)
    {
        std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(period * (n - 1)));
        fillCounter(*sample, n, assigned);
        publisher->publish(wallSeconds(), *sample, milliseconds(1000));
    }
    // Subscribers are best effort and acknowledge nothing, and a sample still on its way when the writer
    // leaves is dropped: the last ones get a moment to arrive.
    std::this_thread::sleep_for(milliseconds(500));
    std::cout << "published " << n - 1 << " samples of " << type << " to " << uri.string() << '\n';
    return 0;
}

struct EchoOptions
{
    std::string topic;
    std::string uri;
    std::size_t count = 0;
    int32_t timeoutMs = 0;
};

template <class T>
int echo(const PluginLibrary& plugin, const EchoOptions& options, const char* type)
{
    const Uri uri = pubSubUri(options.uri.empty() ? defaultUri(type) : options.uri);
    const std::size_t count = options.count;
    const auto timeout = milliseconds(options.timeoutMs);
    const auto deadline = timeout.count() == 0 ? Clock::time_point::max() : Clock::now() + timeout;

    const PluginEntries<T> entries(plugin, type);
    const auto subscriber = entries.subscriber(std::make_shared<DdsNimb>(), uri);
    std::vector<std::shared_ptr<ps::DataEvent<T>>> events;
    std::size_t printed = 0;
    while ((count == 0 || printed < count) && Clock::now() < deadline)
    {
        // A zero timeout would wait for ever, so the wait is cut into short slices that see the deadline.
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        events.clear();
        subscriber->readDataEvents(ps::DataEventFilter<T>(), events, 1,
                                   std::clamp(left, milliseconds(1), milliseconds(200)));
        for (const auto& event : events)
        {
            if (event->hasValidData())
            {
                std::cout << toJson(*event->getData()).dump() << std::endl;
                ++printed;
            }
        }
    }
    if (count != 0 && printed < count)
    {
        throw std::runtime_error("received " + std::to_string(printed) + " of " + std::to_string(count) +
                                 " samples within " + std::to_string(timeout.count()) + " ms");
    }
    return 0;
}

}  // namespace

Run addPub(CLI::App& tool)
{
    auto options = std::make_shared<PubOptions>();
    CLI::App* command = tool.add_subcommand("pub", "publish samples of one topic");
    command->footer(
        "Waits until a subscriber has matched, then publishes samples of <topic>. A field named with --set keeps\n"
        "the value given: a number, true or false, and for an array exactly as many comma-separated values as it\n"
        "has elements (nan and inf are accepted for floating-point fields). Every other numeric field takes the\n"
        "sample's number 1, 2, 3, ... so that consecutive samples differ.");
    addTopic(*command, options->topic);
    command->add_option("--uri", options->uri, "where to publish (default dds.ps://0/tarvex/<topic>)");
    command->add_option("--rate", options->rate, "samples per second")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 1e6));
    command->add_option("--count", options->count, "stop after N samples (default: until interrupted)");
    command->add_option("--set", options->assignments, "give field N the value V (N=V); repeatable");
    return [options](const PluginLibrary& plugin) {
        int status = 1;
        withTopic(options->topic,
                  [&](auto topic) { status = publish<typename decltype(topic)::Type>(plugin, *options, topic.name); });
        return status;
    };
}

Run addEcho(CLI::App& tool)
{
    auto options = std::make_shared<EchoOptions>();
    CLI::App* command = tool.add_subcommand("echo", "print received samples of one topic as JSON lines");
    command->footer(
        "Prints each sample of <topic> it receives as one line of JSON: every field by name in wire order, arrays\n"
        "as JSON arrays, flags as true or false, NaN and infinities as null.");
    addTopic(*command, options->topic);
    command->add_option("--uri", options->uri, "where to listen (default dds.ps://0/tarvex/<topic>)");
    command->add_option("--count", options->count, "stop after N samples (default: until interrupted)");
    command
        ->add_option("--timeout", options->timeoutMs,
                     "stop after MS milliseconds; with --count, fewer than N samples by then is an error")
        ->check(CLI::NonNegativeNumber);
    return [options](const PluginLibrary& plugin) {
        int status = 1;
        withTopic(options->topic,
                  [&](auto topic) { status = echo<typename decltype(topic)::Type>(plugin, *options, topic.name); });
        return status;
    };
}

}  // namespace qara::nimb::tools
