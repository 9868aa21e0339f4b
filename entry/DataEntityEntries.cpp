#include "entry/Entries.hpp"

#include "generated/tarvex_types.hpp"

#define TARVEX_DATA_ENTITY_ENTRY(Type)                       \
    ::tarvex::Type* generated_dds_DataEntity_tarvex_##Type() \
    {                                                        \
        return new generated::ddsimpl::tarvex::Type();       \
    }

extern "C" {
TARVEX_TOPIC_TYPES(TARVEX_DATA_ENTITY_ENTRY)
}
