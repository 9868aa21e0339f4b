#pragma once

// The plug-in's exported functions, one per kind and topic type. A host finds them by name.

#include "generated/dds/PluginExport.hpp"
#include "generated/tarvex_types.hpp"

#include "generated/ddsimpl/tarvex/PsMeasurements.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_fast.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_medium.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_slow.hpp"

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/Uri.hpp>
#include <qara/nimb/ps/MrvSubscriber.hpp>
#include <qara/nimb/ps/Publisher.hpp>
#include <qara/nimb/ps/Subscriber.hpp>
#include <qara/nimb/ps/qos/QoS.hpp>

#include <memory>
#include <vector>

// What the host passes to every publisher and subscriber entry, in order.
// clang-format off
#define TARVEX_ENTRY_PARAMETERS                                                     \
    const std::shared_ptr<qara::nimb::Nimb>& nimb, const qara::nimb::Uri& uri,     \
    const std::vector<std::shared_ptr<qara::nimb::ps::qos::QoS>>& qos,             \
    const qara::nimb::Nimb::Properties& properties
// clang-format on

#define TARVEX_DECLARE_ENTRIES(Type)                                                                             \
    NIMB_PLUGIN_EXPORT ::tarvex::Type* generated_dds_DataEntity_tarvex_##Type();                                 \
    NIMB_PLUGIN_EXPORT qara::nimb::ps::Publisher<::tarvex::Type>* generated_dds_Publisher_tarvex_##Type(         \
        TARVEX_ENTRY_PARAMETERS);                                                                                \
    NIMB_PLUGIN_EXPORT qara::nimb::ps::Subscriber<::tarvex::Type>* generated_dds_Subscriber_tarvex_##Type(       \
        TARVEX_ENTRY_PARAMETERS);                                                                                \
    NIMB_PLUGIN_EXPORT qara::nimb::ps::MrvSubscriber<::tarvex::Type>* generated_dds_MrvSubscriber_tarvex_##Type( \
        TARVEX_ENTRY_PARAMETERS);

extern "C" {
TARVEX_TOPIC_TYPES(TARVEX_DECLARE_ENTRIES)
}

#undef TARVEX_DECLARE_ENTRIES
