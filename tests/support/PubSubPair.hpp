#pragma once

#include "Matching.hpp"
#include "Plugin.hpp"
#include "TopicTypes.hpp"

#include "ps/DdsPublisherDelegator.hpp"
#include "ps/DdsSubscriberDelegator.hpp"
#include "ps/MrvDdsSubscriber.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/ps/MrvSubscriber.hpp>
#include <qara/nimb/ps/Subscriber.hpp>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace tarvex_test {

// Publishers and subscribers of one topic made through the plug-in's exported functions, each side on a
// participant of its own. Within one process Fast DDS still hands samples over inside write(), on the
// writer's thread, unless intra-process delivery is turned off.
template <class TopicType>
class PubSubPair
{
public:
    using T = typename TopicType::Interface;
    using ST = typename TopicType::Entity;
    using W = typename TopicType::Wire;
    using QoSList = std::vector<std::shared_ptr<qara::nimb::ps::qos::QoS>>;

    explicit PubSubPair(std::string topicUri) : uri(std::move(topicUri)) {}

    std::unique_ptr<qara::nimb::ps::Publisher<T>> makePublisher(const QoSList& qos = {},
                                                                const qara::nimb::Nimb::Properties& properties = {})
    {
        return make<qara::nimb::ps::Publisher>("Publisher", publishingHost, qos, properties);
    }

    std::unique_ptr<qara::nimb::ps::Subscriber<T>> makeSubscriber(const QoSList& qos = {},
                                                                  const qara::nimb::Nimb::Properties& properties = {})
    {
        return make<qara::nimb::ps::Subscriber>("Subscriber", subscribingHost, qos, properties);
    }

    std::unique_ptr<qara::nimb::ps::MrvSubscriber<T>> makeMrvSubscriber()
    {
        return make<qara::nimb::ps::MrvSubscriber>("MrvSubscriber", subscribingHost, {}, {});
    }

    static eprosima::fastdds::dds::DataWriter& writerOf(qara::nimb::ps::Publisher<T>& publisher)
    {
        return *dynamic_cast<qara::nimb::ps::DdsPublisherDelegator<T, ST>&>(publisher).publisher()->writer();
    }

    static const std::shared_ptr<qara::nimb::ps::DdsSubscriber<T, ST>>& implOf(
        qara::nimb::ps::Subscriber<T>& subscriber)
    {
        return dynamic_cast<qara::nimb::ps::DdsSubscriberDelegator<T, ST>&>(subscriber).subscriber();
    }

    static eprosima::fastdds::dds::DataReader& readerOf(qara::nimb::ps::Subscriber<T>& subscriber)
    {
        return *implOf(subscriber)->reader();
    }

    static eprosima::fastdds::dds::DataReader& readerOf(qara::nimb::ps::MrvSubscriber<T>& subscriber)
    {
        return *dynamic_cast<qara::nimb::ps::MrvDdsSubscriber<T, ST>&>(subscriber).reader();
    }

    // A volatile writer only sends to readers it has matched; wait for both ends.
    template <class Subscriber>
    static void waitUntilMatched(qara::nimb::ps::Publisher<T>& publisher, Subscriber& subscriber, int readers = 1)
    {
        if (!waitUntil(
                [&] { return matchedCount(writerOf(publisher)) >= readers && matchedCount(readerOf(subscriber)); },
                std::chrono::seconds(30)))
        {
            throw std::runtime_error("publisher and subscriber never matched");
        }
    }

    // Waits until the reader holds `count` unread samples.
    template <class Subscriber>
    static bool waitForUnread(Subscriber& subscriber, uint64_t count)
    {
        return waitUntil([&] { return readerOf(subscriber).get_unread_count() >= count; }, std::chrono::seconds(10));
    }

    static std::shared_ptr<T> entity(qara::nimb::ps::Publisher<T>& publisher, const W& sample)
    {
        auto result = publisher.createDataEntity();
        static_cast<ST&>(*result) = sample;
        return result;
    }

    static const W& wireOf(const T& entity) { return *dynamic_cast<const ST&>(entity).getDdsSample(); }

    std::string topicName() const { return qara::nimb::DdsUriHelper::topic(qara::nimb::Uri(uri), true); }

    std::string uri;
    std::shared_ptr<qara::nimb::Nimb> publishingHost = std::make_shared<qara::nimb::DdsNimb>();
    std::shared_ptr<qara::nimb::Nimb> subscribingHost = std::make_shared<qara::nimb::DdsNimb>();

private:
    // Through the plug-in's exported function generated_dds_<kind>_tarvex_<type>.
    template <template <class> class Product>
    std::unique_ptr<Product<T>> make(const std::string& kind, const std::shared_ptr<qara::nimb::Nimb>& host,
                                     const QoSList& qos, const qara::nimb::Nimb::Properties& properties)
    {
        using Entry = Product<T>*(const std::shared_ptr<qara::nimb::Nimb>&, const qara::nimb::Uri&, const QoSList&,
                                  const qara::nimb::Nimb::Properties&);
        auto* entry = plugin().function<Entry>(entryName(kind, TopicType::name()));
        return std::unique_ptr<Product<T>>(entry(host, qara::nimb::Uri(uri), qos, properties));
    }
};

}  // namespace tarvex_test
