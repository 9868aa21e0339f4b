#pragma once

// What every publisher and subscriber entry does, for any topic type: the participant of the URI from the
// host, the entity on it, behind the interface the host holds.

#include "entry/EntryArguments.hpp"
#include "ps/DdsPublisherDelegator.hpp"
#include "ps/DdsSubscriberDelegator.hpp"
#include "ps/MrvDdsSubscriber.hpp"

namespace qara::nimb::entry {

template <class T, class ST>
ps::Publisher<T>* createPublisher(const std::shared_ptr<Nimb>& nimb, const Uri& uri, const QoSList& qos,
                                  const Nimb::Properties& properties)
{
    auto participant = ddsNimbOf(nimb).getDomainParticipant(uri, properties);
    return new ps::DdsPublisherDelegator<T, ST>(
        std::make_shared<ps::DdsPublisher<T, ST>>(uri, qos, properties, participant, nimb));
}

template <class T, class ST>
ps::Subscriber<T>* createSubscriber(const std::shared_ptr<Nimb>& nimb, const Uri& uri, const QoSList& qos,
                                    const Nimb::Properties& properties)
{
    auto participant = ddsNimbOf(nimb).getDomainParticipant(uri, properties);
    return new ps::DdsSubscriberDelegator<T, ST>(ps::DdsSubscriber<T, ST>::create(uri, qos, properties, participant));
}

template <class T, class ST>
ps::MrvSubscriber<T>* createMrvSubscriber(const std::shared_ptr<Nimb>& nimb, const Uri& uri, const QoSList& qos,
                                          const Nimb::Properties& properties)
{
    auto participant = ddsNimbOf(nimb).getDomainParticipant(uri, properties);
    return new ps::MrvDdsSubscriber<T, ST>(uri, qos, properties, participant);
}

}  // namespace qara::nimb::entry
