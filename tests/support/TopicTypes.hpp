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

using AllTopics = ::testing::Types<
    Topic<generated::ddsimpl::tarvex::PsMeasurements>, Topic<generated::ddsimpl::tarvex::SaMeasurements_slow>,
    Topic<generated::ddsimpl::tarvex::SaMeasurements_medium>, Topic<generated::ddsimpl::tarvex::SaMeasurements_fast>>;

struct TopicNames
{
    template <class TopicType>
    static std::string GetName(int)
    {
        return TopicType::name();
    }
};

}  // namespace tarvex_test
