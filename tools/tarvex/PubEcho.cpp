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

template <class T>
int publish(const Context& context, const char* type)
{
    const CommandLine& args = context.args;
    const Uri uri = pubSubUri(args.value("uri", defaultUri(type)));
    const double rate = args.number("rate", 10, 0.001, 1e6);
    const auto count = static_cast<uint64_t>(args.integer("count", 0, 0, std::numeric_limits<long long>::max()));
    const auto assignments = args.values("set");

    const PluginEntries<T> entries(context.plugin, type);
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

template <class T>
int echo(const Context& context, const char* type)
{
    const CommandLine& args = context.args;
    const Uri uri = pubSubUri(args.value("uri", defaultUri(type)));
    const auto count = static_cast<std::size_t>(args.integer("count", 0, 0, std::numeric_limits<long long>::max()));
    const auto timeout = milliseconds(args.integer("timeout", 0, 0, std::numeric_limits<int32_t>::max()));
    const auto deadline = timeout.count() == 0 ? Clock::time_point::max() : Clock::now() + timeout;

    const PluginEntries<T> entries(context.plugin, type);
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
                std::cout << toJson(*event->getData()) << std::endl;
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

int runPub(const Context& context)
{
    int status = 1;
    withTopic(topicArgument(context.args),
              [&](auto topic) { status = publish<typename decltype(topic)::Type>(context, topic.name); });
    return status;
}

int runEcho(const Context& context)
{
    int status = 1;
    withTopic(topicArgument(context.args),
              [&](auto topic) { status = echo<typename decltype(topic)::Type>(context, topic.name); });
    return status;
}

}  // namespace qara::nimb::tools
