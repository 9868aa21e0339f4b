// One end of the soak test: SaMeasurements_fast and PsMeasurements at steady rates between two processes.
//   publish <domain> <name> <fast-hz> <ps-hz>   prints "matched" once both writers have matched a reader,
//                                               waits for a line on stdin, then publishes until stdin ends
//                                               and prints "sent <fast> <ps>".
//   subscribe <domain> <name>                   prints "matched" once both readers have matched a writer,
//                                               then counts until stdin ends and prints
//                                               "received <fast> <ps> bad <count>".
// The topics are <name>_fast and <name>_ps. Sample n carries n as its source time stamp and the values of
// one of a few distinct samples, so the subscriber can tell a lost, repeated, reordered or damaged sample.
#include "Matching.hpp"
#include "PubSubPair.hpp"
#include "SampleCheck.hpp"
#include "SampleValues.hpp"

#include <atomic>
#include <iostream>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

using Ps = Topic<generated::ddsimpl::tarvex::PsMeasurements>;

constexpr uint32_t kDistinct = 64;

template <class W>
const W& valuesOf(uint64_t number)
{
    static const std::vector<W> samples = [] {
        std::vector<W> made;
        for (uint32_t seed = 1; seed <= kDistinct; ++seed)
        {
            made.push_back(makeDistinctSample<W>(seed));
        }
        return made;
    }();
    return samples[(number - 1) % kDistinct];
}

void waitForInputToEnd()
{
    std::string ignored;
    while (std::getline(std::cin, ignored))
    {
    }
}

// Discovery takes a moment, more on a loaded machine.
constexpr auto kMatchLimit = 30s;

// Publishes at `hz` until `stop`, catching up after a late wake-up rather than drifting.
template <class TopicType>
uint64_t publishAtRate(qara::nimb::ps::Publisher<typename TopicType::Interface>& publisher, double hz,
                       const std::atomic<bool>& stop)
{
    const auto period =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / hz));
    auto entity = publisher.createDataEntity();
    auto next = std::chrono::steady_clock::now();
    uint64_t number = 0;
    while (!stop)
    {
        ++number;
        static_cast<typename TopicType::Entity&>(*entity) = valuesOf<typename TopicType::Wire>(number);
        publisher.publish(static_cast<double>(number), *entity, 0ms);
        next += period;
        std::this_thread::sleep_until(next);
    }
    return number;
}

// Counts the samples of one topic, in a listener subscription, and the ones out of line.
template <class TopicType>
class Counter
{
public:
    using T = typename TopicType::Interface;

    void operator()(qara::nimb::ps::Subscriber<T>&, const qara::nimb::ps::DataEvent<T>& event)
    {
        const auto number = static_cast<uint64_t>(event.getSourceTimestamp());
        const auto& wire = PubSubPair<TopicType>::wireOf(*event.getData());
        if (number != m_last + 1 || checksum(wire) != expected(number))
        {
            ++bad;
        }
        m_last = number;
        ++received;
    }

    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> bad{0};

private:
    uint64_t m_last = 0;

    static const std::string& expected(uint64_t number)
    {
        static const std::vector<std::string> sums = [] {
            std::vector<std::string> made;
            for (uint64_t n = 1; n <= kDistinct; ++n)
            {
                made.push_back(checksum(valuesOf<typename TopicType::Wire>(n)));
            }
            return made;
        }();
        return sums[(number - 1) % kDistinct];
    }
};

std::string uriOf(const std::string& domain, const std::string& name, const char* suffix)
{
    return "dds.ps://" + domain + "/" + name + suffix;
}

int publish(const std::string& domain, const std::string& name, double fastHz, double psHz)
{
    PubSubPair<Fast> fast(uriOf(domain, name, "_fast"));
    PubSubPair<Ps> ps(uriOf(domain, name, "_ps"));
    ps.publishingHost = fast.publishingHost;
    auto fastPublisher = fast.makePublisher();
    auto psPublisher = ps.makePublisher();
    if (!waitUntil([&] { return matchedCount(PubSubPair<Fast>::writerOf(*fastPublisher)) > 0; }, kMatchLimit) ||
        !waitUntil([&] { return matchedCount(PubSubPair<Ps>::writerOf(*psPublisher)) > 0; }, kMatchLimit))
    {
        std::cerr << "soak publisher: no reader matched\n";
        return 2;
    }
    std::cout << "matched" << std::endl;
    std::string go;
    if (!std::getline(std::cin, go))
    {
        return 3;
    }
    std::atomic<bool> stop{false};
    uint64_t psSent = 0;
    std::thread psThread([&] { psSent = publishAtRate<Ps>(*psPublisher, psHz, stop); });
    std::thread stopper([&] {
        waitForInputToEnd();
        stop = true;
    });
    const uint64_t fastSent = publishAtRate<Fast>(*fastPublisher, fastHz, stop);
    psThread.join();
    stopper.join();
    std::cout << "sent " << fastSent << ' ' << psSent << std::endl;
    fastPublisher->close();
    psPublisher->close();
    return 0;
}

int subscribe(const std::string& domain, const std::string& name)
{
    PubSubPair<Fast> fast(uriOf(domain, name, "_fast"));
    PubSubPair<Ps> ps(uriOf(domain, name, "_ps"));
    ps.subscribingHost = fast.subscribingHost;
    auto fastSubscriber = fast.makeSubscriber();
    auto psSubscriber = ps.makeSubscriber();
    Counter<Fast> fastCounter;
    Counter<Ps> psCounter;
    auto fastSubscription =
        fastSubscriber->subscribeAsync(qara::nimb::ps::DataEventFilter<Fast::Interface>(), std::ref(fastCounter));
    auto psSubscription =
        psSubscriber->subscribeAsync(qara::nimb::ps::DataEventFilter<Ps::Interface>(), std::ref(psCounter));
    if (!waitUntil([&] { return matchedCount(PubSubPair<Fast>::readerOf(*fastSubscriber)) > 0; }, kMatchLimit) ||
        !waitUntil([&] { return matchedCount(PubSubPair<Ps>::readerOf(*psSubscriber)) > 0; }, kMatchLimit))
    {
        std::cerr << "soak subscriber: no writer matched\n";
        return 2;
    }
    std::cout << "matched" << std::endl;
    waitForInputToEnd();
    fastSubscription->close();
    psSubscription->close();
    std::cout << "received " << fastCounter.received << ' ' << psCounter.received << " bad "
              << fastCounter.bad + psCounter.bad << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
try
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "publish" && argc == 6)
    {
        return publish(argv[2], argv[3], std::stod(argv[4]), std::stod(argv[5]));
    }
    if (mode == "subscribe" && argc == 4)
    {
        return subscribe(argv[2], argv[3]);
    }
    std::cerr << "usage: " << argv[0] << " publish <domain> <name> <fast-hz> <ps-hz> | subscribe <domain> <name>\n";
    return 64;
}
catch (const std::exception& e)
{
    std::cerr << "soak " << (argc > 1 ? argv[1] : "") << ": " << e.what() << "\n";
    return 70;
}
