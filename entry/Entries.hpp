#pragma once

// The plug-in's exported functions, one per kind and topic type. A host finds them by name.

#include "generated/tarvex_types.hpp"

#include "generated/ddsimpl/tarvex/PsMeasurements.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_fast.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_medium.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_slow.hpp"



#define TARVEX_DECLARE_ENTRIES(Type) ::tarvex::Type* generated_dds_DataEntity_tarvex_##Type();

extern "C" {
TARVEX_TOPIC_TYPES(TARVEX_DECLARE_ENTRIES)
}

#undef TARVEX_DECLARE_ENTRIES
