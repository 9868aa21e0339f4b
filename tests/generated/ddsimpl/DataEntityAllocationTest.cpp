#include "AllocationCounter.hpp"
#include "SampleValues.hpp"
#include "TopicTypes.hpp"
#include "ps/DataEntityCreation.hpp"

#include <gtest/gtest.h>

// Allocation counts are deterministic: an entity, its sample and its array views are one block; copying
// through the interface costs nothing.
namespace tarvex_test {
namespace {

template <class T>
class DataEntityAllocationTest : public ::testing::Test
{
};

TYPED_TEST_SUITE(DataEntityAllocationTest, AllTopics, TopicNames);

TYPED_TEST(DataEntityAllocationTest, CreationCostsOneBlockAndCopyingNothing)
{
    using Entity = typename TypeParam::Entity;
    using Interface = typename TypeParam::Interface;
    {
        const std::size_t before = allocations();
        auto created = qara::nimb::ps::createDataEntityInternal<Interface, Entity>();
        EXPECT_EQ(allocations() - before, 1u);
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
