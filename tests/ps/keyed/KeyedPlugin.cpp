// A plug-in of the keyed test structures, made as the production plug-in is made: publishers only.

#include "entry/Factories.hpp"
#include "generated/dds/PluginExport.hpp"
#include "generated/ddsimpl/keyed/LongKey.hpp"
#include "generated/ddsimpl/keyed/ShortKey.hpp"
#include "generated/keyed_types.hpp"

using namespace qara::nimb;

#define KEYED_PUBLISHER_ENTRY(Type)                                                                                \
    NIMB_PLUGIN_EXPORT qara::nimb::ps::Publisher<::keyed::Type>* generated_dds_Publisher_keyed_##Type(             \
        const std::shared_ptr<Nimb>& nimb, const Uri& uri, const entry::QoSList& qos,                              \
        const Nimb::Properties& properties)                                                                        \
    {                                                                                                              \
        return entry::createPublisher<::keyed::Type, generated::ddsimpl::keyed::Type>(nimb, uri, qos, properties); \
    }

extern "C" {
KEYED_TOPIC_TYPES(KEYED_PUBLISHER_ENTRY)
}
