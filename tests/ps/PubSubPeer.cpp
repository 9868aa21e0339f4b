// One end of a two-process exchange, driven by ps_two_process_test:
//   publish <type> <uri> <count>                  waits for its writer to match, then for a line on stdin,
//                                                 then publishes samples of seeds 1..count.
//   subscribe <type> <uri> <count> <timeout-ms>   prints "matched" once its reader has matched a writer, then
//                                                 one checksum line per sample received; exits 0 with all.
#include "PubSubPair.hpp"
#include "SampleCheck.hpp"
#include "SampleValues.hpp"

#include <iostream>
#include <string>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

template <class TopicType>
int publish(const std::string& uri, uint32_t count)
{
    using Pair = PubSubPair<TopicType>;
    Pair pair(uri);
    auto publisher = pair.makePublisher();
    auto& writer = Pair::writerOf(*publisher);
    eprosima::fastdds::dds::PublicationMatchedStatus status;
    for (int i = 0; i < 3000 && (writer.get_publication_matched_status(status), status.current_count < 1); ++i)
    {
        std::this_thread::sleep_for(10ms);
    }
    if (status.current_count < 1)
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
        static_cast<typename Pair::ST&>(*entity) = makeDistinctSample<typename Pair::W>(seed);
        publisher->publish(*entity, 0ms);
        // The reader is best effort: a little pacing keeps a slow, sanitized reader from falling behind.
        std::this_thread::sleep_for(2ms);
    }
    publisher->close();
    return 0;
}

template <class TopicType>
int subscribe(const std::string& uri, std::size_t count, std::chrono::milliseconds timeout)
{
    using Pair = PubSubPair<TopicType>;
    using T = typename Pair::T;
    Pair pair(uri);
    auto subscriber = pair.makeSubscriber();
    auto& reader = Pair::readerOf(*subscriber);
    eprosima::fastdds::dds::SubscriptionMatchedStatus status;
    for (int i = 0; i < 3000 && (reader.get_subscription_matched_status(status), status.current_count < 1); ++i)
    {
        std::this_thread::sleep_for(10ms);
    }
    if (status.current_count < 1)
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

template <class TopicType>
int run(const std::string& mode, char** args)
{
    if (mode == "publish")
    {
        return publish<TopicType>(args[0], static_cast<uint32_t>(std::stoul(args[1])));
    }
    return subscribe<TopicType>(args[0], std::stoul(args[1]), std::chrono::milliseconds(std::stol(args[2])));
}

}  // namespace

int main(int argc, char** argv)
try
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!((mode == "publish" && argc == 5) || (mode == "subscribe" && argc == 6)))
    {
        std::cerr << "usage: " << argv[0]
                  << " publish <type> <uri> <count> | subscribe <type> <uri> <count> <timeout-ms>\n";
        return 64;
    }
    const std::string type = argv[2];
    using namespace generated::ddsimpl::tarvex;
    if (type == Topic<PsMeasurements>::name())
    {
        return run<Topic<PsMeasurements>>(mode, argv + 3);
    }
    if (type == Topic<SaMeasurements_slow>::name())
    {
        return run<Topic<SaMeasurements_slow>>(mode, argv + 3);
    }
    if (type == Topic<SaMeasurements_medium>::name())
    {
        return run<Topic<SaMeasurements_medium>>(mode, argv + 3);
    }
    if (type == Topic<SaMeasurements_fast>::name())
    {
        return run<Topic<SaMeasurements_fast>>(mode, argv + 3);
    }
    std::cerr << "unknown type " << type << "\n";
    return 64;
}
catch (const std::exception& e)
{
    std::cerr << argv[1] << ": " << e.what() << "\n";
    return 70;
}
