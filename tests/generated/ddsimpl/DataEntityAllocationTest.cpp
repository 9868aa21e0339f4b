#include "AllocationCounter.hpp"
#include "EntityTypes.hpp"
#include "SampleValues.hpp"
#include "ps/DataEntityCreation.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace tarvex_test {
namespace {

// Each array view owns one control block; scalars are plain pointers into the sample.
template <class Entity>
constexpr std::size_t arrayFields = 0;
template <>
constexpr std::size_t arrayFields<impl::PsMeasurements> = 16;
template <>
constexpr std::size_t arrayFields<impl::SaMeasurements_slow> = 6;
template <>
constexpr std::size_t arrayFields<impl::SaMeasurements_fast> = 9;

template <class Entity>
class DataEntityAllocationTest : public ::testing::Test
{
protected:
    using Interface = InterfaceOf<Entity>;
};

TYPED_TEST_SUITE(DataEntityAllocationTest, Entities);

TYPED_TEST(DataEntityAllocationTest, CreationCostsEntitySampleAndOneBlockPerArray)
{
    using Interface = typename TestFixture::Interface;
    const std::size_t expected = 2 + arrayFields<TypeParam>;
    {
        AllocationScope scope;
        auto entity = qara::nimb::ps::createDataEntityInternal<Interface, TypeParam>();
        EXPECT_EQ(scope.allocations(), expected);
    }
    {
        AllocationScope scope;
        std::unique_ptr<TypeParam> entity(new TypeParam());
        EXPECT_EQ(scope.allocations(), expected);
    }
}

// Copying through the interface gets and sets every field, arrays through their views.
TYPED_TEST(DataEntityAllocationTest, GettingAndSettingFieldsAllocatesNothing)
{
    using Interface = typename TestFixture::Interface;
    TypeParam source;
    source = makeDistinctSample<typename TypeParam::DdsType>(1);
    TypeParam target;
    Interface& targetRef = target;

    AllocationScope scope;
    targetRef = source;
    const std::size_t allocations = scope.allocations();
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(fieldBytes(*target.getDdsSample()), fieldBytes(*source.getDdsSample()));
}

}  // namespace
}  // namespace tarvex_test
