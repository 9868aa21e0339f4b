#include "entry/Entries.hpp"
#include "entry/EntryArguments.hpp"
#include "ps/DdsSubscriberDelegator.hpp"
#include "ps/MrvDdsSubscriber.hpp"

namespace {

using namespace qara::nimb;

template <class T, class ST>
ps::Subscriber<T>* createSubscriber(const std::shared_ptr<Nimb>& nimb, const Uri& uri, const entry::QoSList& qos,
                                    const Nimb::Properties& properties)
{
    auto participant = entry::ddsNimbOf(nimb).getDomainParticipant(uri, properties);
    return new ps::DdsSubscriberDelegator<T, ST>(
        ps::DdsSubscriber<T, ST>::create(uri, qos, properties, participant));
}

template <class T, class ST>
ps::MrvSubscriber<T>* createMrvSubscriber(const std::shared_ptr<Nimb>& nimb, const Uri& uri, const entry::QoSList& qos,
                                          const Nimb::Properties& properties)
{
    auto participant = entry::ddsNimbOf(nimb).getDomainParticipant(uri, properties);
    return new ps::MrvDdsSubscriber<T, ST>(uri, qos, properties, participant);
}

}  // namespace

#define TARVEX_SUBSCRIBER_ENTRIES(Type)                                                                               \
    qara::nimb::ps::Subscriber<::tarvex::Type>* generated_dds_Subscriber_tarvex_##Type(TARVEX_ENTRY_PARAMETERS)       \
    {                                                                                                                 \
        return createSubscriber<::tarvex::Type, generated::ddsimpl::tarvex::Type>(nimb, uri, qos, properties);        \
    }                                                                                                                 \
    qara::nimb::ps::MrvSubscriber<::tarvex::Type>* generated_dds_MrvSubscriber_tarvex_##Type(TARVEX_ENTRY_PARAMETERS) \
    {                                                                                                                 \
        return createMrvSubscriber<::tarvex::Type, generated::ddsimpl::tarvex::Type>(nimb, uri, qos, properties);     \
    }

extern "C" {
TARVEX_TOPIC_TYPES(TARVEX_SUBSCRIBER_ENTRIES)
}
