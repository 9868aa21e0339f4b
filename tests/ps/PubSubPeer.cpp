// One end of an exchange between processes, driven by the tests that need discovery and transport between
// processes or hosts. Trailing key=value arguments are host properties: they configure the host (an XML
// profiles file, a participant profile) and are handed to the entry functions.
//   publish <type> <uri> <count>                  waits for its writer to match, then for a line on stdin,
//                                                 then publishes samples of seeds 1..count.
//   subscribe <type> <uri> <count> <timeout-ms>   prints "matched" once its reader has matched a writer, then
//                                                 one checksum line per sample received; exits 0 with all.
//   stream <type> <uri> <period-ms>               publishes seeds 1, 2, ... one a period, matched or not, each
//                                                 with its seed as source time stamp, until its stdin ends.
//   listen <type> <uri>                           prints "matched" once matched, then "<time stamp> <checksum>"
//                                                 for each sample its listener subscription gets, until its
//                                                 stdin ends.
#include "Matching.hpp"
#include "PubSubPair.hpp"
#include "SampleCheck.hpp"
#include "SampleValues.hpp"

#include <atomic>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

// The number of positional arguments of each mode, the mode itself included.
std::size_t positionalCount(const std::string& mode)
{
    if (mode == "publish" || mode == "stream")
    {
        return 4;
    }
    if (mode == "subscribe")
    {
        return 5;
    }
    return mode == "listen" ? 3 : 0;
}

struct Arguments
{
    std::vector<std::string> positional;
    qara::nimb::Nimb::Properties properties;
    bool valid = false;
};

Arguments split(int argc, char** argv)
{
    Arguments arguments;
    const std::size_t count = argc > 0 ? positionalCount(argv[0]) : 0;
    if (count == 0 || static_cast<std::size_t>(argc) < count)
    {
        return arguments;
    }
    arguments.positional.assign(argv, argv + count);
    for (int i = static_cast<int>(count); i < argc; ++i)
    {
        const std::string arg = argv[i];
        const auto equals = arg.find('=');
        if (equals == std::string::npos || equals == 0)
        {
            return arguments;
        }
        arguments.properties[arg.substr(0, equals)] = arg.substr(equals + 1);
    }
    arguments.valid = true;
    return arguments;
}

// Discovery over UDP takes a few seconds, more under sanitizers.
constexpr auto kMatchLimit = 30s;

template <class TopicType>
class Peer
{
public:
    using Pair = PubSubPair<TopicType>;
    using T = typename Pair::T;
    using W = typename Pair::W;
    using ST = typename Pair::ST;

    Peer(const std::string& uri, qara::nimb::Nimb::Properties properties)
        : m_pair(uri), m_properties(std::move(properties))
    {
        m_pair.publishingHost = std::make_shared<qara::nimb::DdsNimb>(m_properties);
        m_pair.subscribingHost = m_pair.publishingHost;
    }

    int publish(uint32_t count)
    {
        auto publisher = m_pair.makePublisher({}, m_properties);
        if (!waitUntil([&] { return matchedCount(Pair::writerOf(*publisher)) > 0; }, kMatchLimit))
        {
            std::cerr << "publisher: no reader matched\n";
            return 2;
        }
        std::string go;
        if (!std::getline(std::cin, go))
        {
            std::cerr << "publisher: no go\n";
            return 3;
        }
        auto entity = publisher->createDataEntity();
        for (uint32_t seed = 1; seed <= count; ++seed)
        {
            static_cast<ST&>(*entity) = makeDistinctSample<W>(seed);
            publisher->publish(*entity, 0ms);
            // Readers are best effort by default: a little pacing keeps a slow, sanitized one from falling
            // behind.
            std::this_thread::sleep_for(2ms);
        }
        publisher->close();
        return 0;
    }

    int subscribe(std::size_t count, std::chrono::milliseconds timeout)
    {
        auto subscriber = m_pair.makeSubscriber({}, m_properties);
        if (!waitUntil([&] { return matchedCount(Pair::readerOf(*subscriber)) > 0; }, kMatchLimit))
        {
            std::cerr << "subscriber: no writer matched\n";
            return 2;
        }
        std::cout << "matched" << std::endl;

        std::vector<std::shared_ptr<qara::nimb::ps::DataEvent<T>>> events;
        subscriber->readDataEvents(qara::nimb::ps::DataEventFilter<T>(), events, count, timeout);
        for (const auto& event : events)
        {
            std::cout << checksum(Pair::wireOf(*event->getData())) << std::endl;
        }
        subscriber->close();
        return events.size() == count ? 0 : 1;
    }

    int stream(std::chrono::milliseconds period)
    {
        auto publisher = m_pair.makePublisher({}, m_properties);
        auto entity = publisher->createDataEntity();
        std::atomic<bool> finished{false};
        std::thread input(untilInputEnds, std::ref(finished));
        auto next = std::chrono::steady_clock::now();
        for (uint32_t seed = 1; !finished; ++seed)
        {
            static_cast<ST&>(*entity) = makeDistinctSample<W>(seed);
            publisher->publish(static_cast<double>(seed), *entity, 0ms);
            next += period;
            std::this_thread::sleep_until(next);
        }
        input.join();
        publisher->close();
        return 0;
    }

    int listen()
    {
        auto subscriber = m_pair.makeSubscriber({}, m_properties);
        std::mutex output;
        auto subscription = subscriber->subscribeAsync(
            qara::nimb::ps::DataEventFilter<T>(),
            [&output](qara::nimb::ps::Subscriber<T>&, const qara::nimb::ps::DataEvent<T>& event) {
                const std::lock_guard<std::mutex> lock(output);
                std::cout << event.getSourceTimestamp() << ' ' << checksum(Pair::wireOf(*event.getData())) << std::endl;
            });
        if (!waitUntil([&] { return matchedCount(Pair::readerOf(*subscriber)) > 0; }, kMatchLimit))
        {
            std::cerr << "listener: no writer matched\n";
            return 2;
        }
        {
            const std::lock_guard<std::mutex> lock(output);
            std::cout << "matched" << std::endl;
        }
        std::atomic<bool> finished{false};
        untilInputEnds(finished);
        subscription->close();
        subscriber->close();
        return 0;
    }

private:
    static void untilInputEnds(std::atomic<bool>& finished)
    {
        std::string ignored;
        while (std::getline(std::cin, ignored))
        {
        }
        finished = true;
    }

    Pair m_pair;
    qara::nimb::Nimb::Properties m_properties;
};

template <class TopicType>
int run(const std::vector<std::string>& args, const qara::nimb::Nimb::Properties& properties)
{
    const std::string& mode = args[0];
    Peer<TopicType> peer(args[2], properties);
    if (mode == "publish")
    {
        return peer.publish(static_cast<uint32_t>(std::stoul(args.at(3))));
    }
    if (mode == "subscribe")
    {
        return peer.subscribe(std::stoul(args.at(3)), std::chrono::milliseconds(std::stol(args.at(4))));
    }
    if (mode == "stream")
    {
        return peer.stream(std::chrono::milliseconds(std::stol(args.at(3))));
    }
    return peer.listen();
}

}  // namespace

int main(int argc, char** argv)
try
{
    const Arguments arguments = split(argc - 1, argv + 1);
    const auto& args = arguments.positional;
    if (!arguments.valid)
    {
        std::cerr << "usage: " << argv[0]
                  << " publish <type> <uri> <count> | subscribe <type> <uri> <count> <timeout-ms>"
                     " | stream <type> <uri> <period-ms> | listen <type> <uri>   [key=value ...]\n";
        return 64;
    }
    const std::string& type = args[1];
    using namespace generated::ddsimpl::tarvex;
    if (type == Topic<PsMeasurements>::name())
    {
        return run<Topic<PsMeasurements>>(args, arguments.properties);
    }
    if (type == Topic<SaMeasurements_slow>::name())
    {
        return run<Topic<SaMeasurements_slow>>(args, arguments.properties);
    }
    if (type == Topic<SaMeasurements_medium>::name())
    {
        return run<Topic<SaMeasurements_medium>>(args, arguments.properties);
    }
    if (type == Topic<SaMeasurements_fast>::name())
    {
        return run<Topic<SaMeasurements_fast>>(args, arguments.properties);
    }
    std::cerr << "unknown type " << type << "\n";
    return 64;
}
catch (const std::exception& e)
{
    std::cerr << (argc > 1 ? argv[1] : "peer") << ": " << e.what() << "\n";
    return 70;
}
