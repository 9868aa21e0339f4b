#pragma once

#include "generated/ddsimpl/tarvex/PsMeasurements.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_fast.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_medium.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_slow.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

namespace tarvex_test {

namespace impl = generated::ddsimpl::tarvex;

using Entities = ::testing::Types<impl::PsMeasurements, impl::SaMeasurements_slow, impl::SaMeasurements_medium,
                                  impl::SaMeasurements_fast>;

// SaMeasurements_medium has no array field.
using ArrayEntities = ::testing::Types<impl::PsMeasurements, impl::SaMeasurements_slow, impl::SaMeasurements_fast>;

template <class Entity>
using InterfaceOf = typename decltype(std::declval<const Entity&>().clone())::element_type;

// One array field per type for the view tests; their element types differ on purpose (double, bool, uint16_t).
template <class Entity>
struct ArrayField;

#define TARVEX_TEST_ARRAY_FIELD(Type, Accessor, field)                            \
    template <>                                                                   \
    struct ArrayField<impl::Type>                                                 \
    {                                                                             \
        static constexpr auto get = &::tarvex::Type::get##Accessor;               \
        static constexpr auto set = &::tarvex::Type::set##Accessor;               \
        static constexpr auto swap = &::tarvex::Type::swap##Accessor;             \
        static auto& wire(impl::Type::DdsType& sample) { return sample.field(); } \
    };

TARVEX_TEST_ARRAY_FIELD(PsMeasurements, Implementations_fb_main_ps_sttlm_lrmirrorpos,
                        implementations_fb_main_ps_sttlm_lrmirrorpos)
TARVEX_TEST_ARRAY_FIELD(SaMeasurements_slow, Implementations_fb_main_sa_sttlm_stglobalhealth_nallbits,
                        implementations_fb_main_sa_sttlm_stglobalhealth_nallbits)
TARVEX_TEST_ARRAY_FIELD(SaMeasurements_fast, Implementations_fb_main_sa_sttlm_nfielddeviceshealth,
                        implementations_fb_main_sa_sttlm_nfielddeviceshealth)

#undef TARVEX_TEST_ARRAY_FIELD

}  // namespace tarvex_test
