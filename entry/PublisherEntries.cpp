#include "entry/Entries.hpp"
#include "entry/EntryArguments.hpp"
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

#define TARVEX_PUBLISHER_ENTRY(Type)                                                                          \
    qara::nimb::ps::Publisher<::tarvex::Type>* generated_dds_Publisher_tarvex_##Type(TARVEX_ENTRY_PARAMETERS) \
    {                                                                                                         \
        return createPublisher<::tarvex::Type, generated::ddsimpl::tarvex::Type>(nimb, uri, qos, properties); \
    }

extern "C" {
TARVEX_TOPIC_TYPES(TARVEX_PUBLISHER_ENTRY)
}
