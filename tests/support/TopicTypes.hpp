#pragma once

#include "generated/ddsimpl/tarvex/PsMeasurements.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_fast.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_medium.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_slow.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarvex_test {

// Everything a test needs about one measurement topic, from its data entity class.
template <class ST>
struct Topic
{
    using Entity = ST;
    using Interface = typename decltype(std::declval<const ST&>().clone())::element_type;
    using Wire = typename ST::DdsType;
    using PubSub = typename ST::PubSubType;

    // "PsMeasurements" and so on.
    static std::string name()
    {
        const std::string full = PubSub::typeName;
        return full.substr(full.rfind(':') + 1);
    }
};

// What tests of a single topic pick: a small topic of scalars, and a large one with arrays.
using Medium = Topic<generated::ddsimpl::tarvex::SaMeasurements_medium>;
using Fast = Topic<generated::ddsimpl::tarvex::SaMeasurements_fast>;

using AllTopics = ::testing::Types<Topic<generated::ddsimpl::tarvex::PsMeasurements>,
                                   Topic<generated::ddsimpl::tarvex::SaMeasurements_slow>, Medium, Fast>;

struct TopicNames
{
    template <class TopicType>
    static std::string GetName(int)
    {
        return TopicType::name();
    }
};

}  // namespace tarvex_test
