#include "entry/Entries.hpp"
#include "entry/Factories.hpp"

using namespace qara::nimb;

#define TARVEX_SUBSCRIBER_ENTRIES(Type)                                                                               \
    qara::nimb::ps::Subscriber<::tarvex::Type>* generated_dds_Subscriber_tarvex_##Type(TARVEX_ENTRY_PARAMETERS)       \
    {                                                                                                                 \
        return entry::createSubscriber<::tarvex::Type, generated::ddsimpl::tarvex::Type>(nimb, uri, qos, properties); \
    }                                                                                                                 \
    qara::nimb::ps::MrvSubscriber<::tarvex::Type>* generated_dds_MrvSubscriber_tarvex_##Type(TARVEX_ENTRY_PARAMETERS) \
    {                                                                                                                 \
        return entry::createMrvSubscriber<::tarvex::Type, generated::ddsimpl::tarvex::Type>(nimb, uri, qos,           \
                                                                                            properties);              \
    }

extern "C" {
TARVEX_TOPIC_TYPES(TARVEX_SUBSCRIBER_ENTRIES)
}
