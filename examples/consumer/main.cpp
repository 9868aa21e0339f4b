// Loads the installed tarvex plug-in by path, publishes one PsMeasurements sample and reads it back, using
// nothing but the host interfaces and the plug-in's exported functions.

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/Uri.hpp>
#include <qara/nimb/ps/DataEventFilter.hpp>
#include <qara/nimb/ps/Publisher.hpp>
#include <qara/nimb/ps/Subscriber.hpp>
#include <qara/nimb/ps/qos/QoS.hpp>
#include <tarvex/PsMeasurements.hpp>

#include <unistd.h>

#include <chrono>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qara::nimb;
using tarvex::PsMeasurements;
using QoSList = std::vector<std::shared_ptr<ps::qos::QoS>>;
template <class R>
using Factory = R*(const std::shared_ptr<Nimb>&, const Uri&, const QoSList&, const Nimb::Properties&);

int run()
{
    PluginLibrary plugin(NIMB_TARVEX_PLUGIN);
    auto createPublisher =
        plugin.function<Factory<ps::Publisher<PsMeasurements>>>("generated_dds_Publisher_tarvex_PsMeasurements");
    auto createSubscriber =
        plugin.function<Factory<ps::Subscriber<PsMeasurements>>>("generated_dds_Subscriber_tarvex_PsMeasurements");

    // A topic of its own on a domain of its own, so nothing else hears it.
    const Uri uri("dds.ps://196/consumer/PsMeasurements/" + std::to_string(::getpid()));
    std::unique_ptr<ps::Subscriber<PsMeasurements>> subscriber(
        createSubscriber(std::make_shared<DdsNimb>(), uri, {}, {}));
    std::unique_ptr<ps::Publisher<PsMeasurements>> publisher(createPublisher(std::make_shared<DdsNimb>(), uri, {}, {}));

    auto sample = publisher->createDataEntity();
    sample->setImplementations_fb_main_cell_sttlm_epspowerstate(3);
    // The writer drops samples for readers it has not matched yet: publish until one arrives.
    std::vector<std::shared_ptr<ps::DataEvent<PsMeasurements>>> events;
    for (int attempt = 0; attempt < 100 && events.empty(); ++attempt)
    {
        publisher->publish(*sample, std::chrono::milliseconds(1000));
        subscriber->readDataEvents(ps::DataEventFilter<PsMeasurements>(), events, 1, std::chrono::milliseconds(100));
    }
    if (events.empty())
    {
        std::cerr << "consumer: nothing received on " << uri << '\n';
        return 1;
    }
    const auto state = events.front()->getData()->getImplementations_fb_main_cell_sttlm_epspowerstate();
    std::cout << "consumer: received PsMeasurements with epspowerstate " << state << " through " << plugin.path()
              << '\n';
    return state == 3 ? 0 : 1;
}

}  // namespace

int main()
{
    try
    {
        return run();
    }
    catch (const std::exception& e)
    {
        std::cerr << "consumer: " << e.what() << '\n';
        return 1;
    }
}
