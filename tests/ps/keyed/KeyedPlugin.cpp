// A plug-in of the keyed test structures, made as the production plug-in is made: publishers only.

#include "entry/EntryArguments.hpp"
#include "generated/ddsimpl/keyed/LongKey.hpp"
#include "generated/ddsimpl/keyed/ShortKey.hpp"
#include "generated/keyed_types.hpp"
#include "ps/DdsPublisherDelegator.hpp"

namespace {

using namespace qara::nimb;

template <class T, class ST>
ps::Publisher<T>* createPublisher(const std::shared_ptr<Nimb>& nimb, const Uri& uri, const entry::QoSList& qos,
                                  const Nimb::Properties& properties)
{
    auto participant = entry::ddsNimbOf(nimb).getDomainParticipant(uri, properties);
    return new ps::DdsPublisherDelegator<T, ST>(
        std::make_shared<ps::DdsPublisher<T, ST>>(uri, qos, properties, participant, nimb));
}

}  // namespace

#define KEYED_PUBLISHER_ENTRY(Type)                                                                               \
    qara::nimb::ps::Publisher<::keyed::Type>* generated_dds_Publisher_keyed_##Type(                               \
        const std::shared_ptr<Nimb>& nimb, const Uri& uri, const entry::QoSList& qos,                             \
        const Nimb::Properties& properties)                                                                       \
    {                                                                                                             \
        return createPublisher<::keyed::Type, generated::ddsimpl::keyed::Type>(nimb, uri, qos, properties);       \
    }

extern "C" {
KEYED_TOPIC_TYPES(KEYED_PUBLISHER_ENTRY)
}
