#include "entry/Entries.hpp"
#include "entry/Factories.hpp"

using namespace qara::nimb;

#define TARVEX_PUBLISHER_ENTRY(Type)                                                                                 \
    qara::nimb::ps::Publisher<::tarvex::Type>* generated_dds_Publisher_tarvex_##Type(TARVEX_ENTRY_PARAMETERS)        \
    {                                                                                                                \
        return entry::createPublisher<::tarvex::Type, generated::ddsimpl::tarvex::Type>(nimb, uri, qos, properties); \
    }

extern "C" {
TARVEX_TOPIC_TYPES(TARVEX_PUBLISHER_ENTRY)
}
