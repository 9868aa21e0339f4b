#include "EntityTypes.hpp"
#include "SampleValues.hpp"
#include "ps/DataEntityCreation.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tarvex_test {
namespace {

using Bytes = std::vector<unsigned char>;

// Releases like the owning deleter but counts, so a test sees which holder let a sample go.
template <class W>
struct CountingDeleter
{
    static inline int calls = 0;

    static void release(W* sample)
    {
        ++calls;
        delete sample;
    }
};

template <class Entity>
class DataEntityTest : public ::testing::Test
{
protected:
    using DdsType = typename Entity::DdsType;
    using Interface = InterfaceOf<Entity>;
    using Deleter = CountingDeleter<DdsType>;

    void SetUp() override { Deleter::calls = 0; }

    static DdsType sample(uint32_t seed) { return makeDistinctSample<DdsType>(seed); }
    static Bytes bytes(const DdsType& sample) { return fieldBytes(sample); }
    static Bytes bytes(const Entity& entity) { return fieldBytes(*entity.getDdsSample()); }
    static Bytes zeros() { return Bytes(bytes(DdsType{}).size(), 0); }

    // What `entity` reports through its accessors, read by copying it into a fresh entity.
    static Bytes readBack(const Interface& entity)
    {
        Entity probe;
        static_cast<Interface&>(probe) = entity;
        return bytes(probe);
    }

    static Entity& impl(Interface& entity) { return dynamic_cast<Entity&>(entity); }
};

TYPED_TEST_SUITE(DataEntityTest, Entities);

TYPED_TEST(DataEntityTest, NewEntitiesStartZeroed)
{
    using Interface = typename TestFixture::Interface;
    TypeParam entity;
    EXPECT_EQ(this->bytes(entity), this->zeros());

    auto created = qara::nimb::ps::createDataEntityInternal<Interface, TypeParam>();
    EXPECT_EQ(this->bytes(this->impl(*created)), this->zeros());

    entity = this->sample(1);
    auto key = entity.cloneKey();
    EXPECT_NE(this->impl(*key).getDdsSample(), entity.getDdsSample());
    EXPECT_EQ(this->bytes(this->impl(*key)), this->zeros());
}

TYPED_TEST(DataEntityTest, HasNoKey)
{
    TypeParam entity;
    auto copy = entity.clone();
    EXPECT_FALSE(entity.hasKey());
    EXPECT_FALSE(entity.keyEquals(entity));
    EXPECT_FALSE(entity.keyEquals(*copy));
}

TYPED_TEST(DataEntityTest, BorrowedSampleOutlivesTheEntity)
{
    const auto expected = this->sample(3);
    auto borrowed = this->sample(2);
    {
        TypeParam entity(&borrowed);
        EXPECT_EQ(entity.getDdsSample(), &borrowed);
        entity = expected;
    }
    EXPECT_EQ(this->bytes(borrowed), this->bytes(expected));
}

TYPED_TEST(DataEntityTest, HeldSampleIsReleasedThroughItsDeleter)
{
    using DdsType = typename TestFixture::DdsType;
    using Deleter = typename TestFixture::Deleter;
    {
        TypeParam entity(typename TypeParam::SampleHolder(new DdsType(this->sample(4)), &Deleter::release));
        EXPECT_EQ(this->readBack(entity), this->bytes(this->sample(4)));
        EXPECT_EQ(Deleter::calls, 0);
    }
    EXPECT_EQ(Deleter::calls, 1);
}

TYPED_TEST(DataEntityTest, CloneIsAnIndependentDeepCopy)
{
    TypeParam entity;
    entity = this->sample(5);
    auto copy = entity.clone();
    EXPECT_NE(this->impl(*copy).getDdsSample(), entity.getDdsSample());

    entity = this->sample(6);
    EXPECT_EQ(this->readBack(*copy), this->bytes(this->sample(5)));
}

TYPED_TEST(DataEntityTest, CreatedFromASampleCopiesIt)
{
    using Interface = typename TestFixture::Interface;
    auto source = this->sample(7);
    auto entity = qara::nimb::ps::createDataEntityFrom<Interface, TypeParam>(source);
    EXPECT_EQ(this->readBack(*entity), this->bytes(this->sample(7)));

    this->impl(*entity) = this->sample(8);
    EXPECT_EQ(this->bytes(source), this->bytes(this->sample(7)));
}

TYPED_TEST(DataEntityTest, InterfaceAssignmentCopiesEveryFieldByValue)
{
    using Interface = typename TestFixture::Interface;
    TypeParam target;
    target = this->sample(9);
    auto borrowed = this->sample(10);
    const TypeParam source(&borrowed);

    Interface& targetRef = target;
    targetRef = source;
    EXPECT_EQ(this->bytes(target), this->bytes(this->sample(10)));

    borrowed = this->sample(11);
    EXPECT_EQ(this->bytes(target), this->bytes(this->sample(10)));

    const Interface& self = target;
    targetRef = self;
    EXPECT_EQ(this->bytes(target), this->bytes(this->sample(10)));
}

TYPED_TEST(DataEntityTest, MoveFromOwningIntoBorrowing)
{
    using DdsType = typename TestFixture::DdsType;
    using Deleter = typename TestFixture::Deleter;
    auto borrowed = this->sample(12);
    {
        TypeParam target(&borrowed);
        TypeParam source(typename TypeParam::SampleHolder(new DdsType(this->sample(13)), &Deleter::release));
        DdsType* moved = source.getDdsSample();

        target = std::move(source);
        EXPECT_EQ(target.getDdsSample(), moved);
        EXPECT_EQ(this->readBack(target), this->bytes(this->sample(13)));
        target = this->sample(14);
        EXPECT_EQ(this->bytes(*moved), this->bytes(this->sample(14)));
        EXPECT_EQ(Deleter::calls, 0);
    }
    EXPECT_EQ(Deleter::calls, 1);
    EXPECT_EQ(this->bytes(borrowed), this->bytes(this->sample(12)));
}

TYPED_TEST(DataEntityTest, MoveFromBorrowingIntoOwning)
{
    using DdsType = typename TestFixture::DdsType;
    using Deleter = typename TestFixture::Deleter;
    auto borrowed = this->sample(15);
    {
        TypeParam target(typename TypeParam::SampleHolder(new DdsType(this->sample(16)), &Deleter::release));
        TypeParam source(&borrowed);

        target = std::move(source);
        EXPECT_EQ(Deleter::calls, 1);
        EXPECT_EQ(target.getDdsSample(), &borrowed);
        EXPECT_EQ(this->readBack(target), this->bytes(this->sample(15)));
        target = this->sample(17);
    }
    EXPECT_EQ(Deleter::calls, 1);
    EXPECT_EQ(this->bytes(borrowed), this->bytes(this->sample(17)));
}

}  // namespace
}  // namespace tarvex_test
