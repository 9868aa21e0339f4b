#include "AllocationCounter.hpp"
#include "SampleValues.hpp"
#include "TopicTypes.hpp"
#include "ps/DataEntityCreation.hpp"

#include <gtest/gtest.h>

// Allocation counts are deterministic: an entity costs itself, its sample and one control block per array
// view (scalars are plain pointers into the sample); copying through the interface costs nothing.
namespace tarvex_test {
namespace {

template <class T>
class DataEntityAllocationTest : public ::testing::Test
{
};

TYPED_TEST_SUITE(DataEntityAllocationTest, AllTopics, TopicNames);

TYPED_TEST(DataEntityAllocationTest, CreationCostsEntitySampleAndOneBlockPerArrayAndCopyingNothing)
{
    using Entity = typename TypeParam::Entity;
    using Interface = typename TypeParam::Interface;
    const std::map<std::string, std::size_t> arrays = {
        {"PsMeasurements", 16}, {"SaMeasurements_slow", 6}, {"SaMeasurements_medium", 0}, {"SaMeasurements_fast", 9}};
    const std::size_t expected = 2 + arrays.at(TypeParam::name());
    {
        const std::size_t before = allocations();
        auto created = qara::nimb::ps::createDataEntityInternal<Interface, Entity>();
        EXPECT_EQ(allocations() - before, expected);
    }
    Entity source;
    Entity target;
    source = makeDistinctSample<typename TypeParam::Wire>(1);
    const std::size_t before = allocations();
    static_cast<Interface&>(target) = source;
    EXPECT_EQ(allocations() - before, 0u);
    EXPECT_EQ(fieldBytes(*target.getDdsSample()), fieldBytes(*source.getDdsSample()));
}

}  // namespace
}  // namespace tarvex_test
