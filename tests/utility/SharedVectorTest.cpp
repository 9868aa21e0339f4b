#include "AllocationCounter.hpp"

#include <qara/nimb/shared_vector.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace qara::nimb {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr std::size_t maxSize = std::numeric_limits<std::size_t>::max();

template <class E>
void expectEmptyView(const shared_vector<E>& v)
{
    EXPECT_EQ(v.dataPtr(), nullptr);
    EXPECT_EQ(v.data(), nullptr);
    EXPECT_EQ(v.size(), 0u);
    EXPECT_EQ(v.dataOffset(), 0u);
    EXPECT_EQ(v.dataTotal(), 0u);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(v.begin(), v.end());
}

std::shared_ptr<int> iota(std::size_t count)
{
    std::shared_ptr<int> storage(new int[count], std::default_delete<int[]>());
    for (std::size_t i = 0; i < count; ++i)
    {
        storage.get()[i] = static_cast<int>(i);
    }
    return storage;
}

static_assert(std::is_same_v<decltype(std::declval<const shared_vector<const int>&>().data()), const int*>);
static_assert(std::is_same_v<decltype(std::declval<const shared_vector<const int>&>()[0]), const int&>);
static_assert(!std::is_constructible_v<shared_vector<const int>, const shared_vector<int>&>,
              "only freeze() may turn a mutable view into a frozen one");

TEST(SharedVectorConstruction, OwnsValueInitialisedOrGivenElements)
{
    shared_vector<int> zeros(3);
    EXPECT_EQ(zeros.size(), 3u);
    EXPECT_EQ(zeros.dataTotal(), 3u);
    EXPECT_TRUE(zeros.unique());
    for (int x : zeros)
    {
        EXPECT_EQ(x, 0);
    }

    const shared_vector<int> sevens(2, 7);
    EXPECT_EQ(sevens[0], 7);
    EXPECT_EQ(sevens[1], 7);

    const shared_vector<int> listed{4, 5, 6};
    EXPECT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed.at(2), 6);
    EXPECT_THROW(listed.at(3), std::out_of_range);

    expectEmptyView(shared_vector<double>());
}

TEST(SharedVectorConstruction, ViewsStorageFromAnOffset)
{
    auto storage = iota(10);
    const shared_vector<int> v(storage, 4, 3);
    EXPECT_EQ(v.data(), storage.get() + 4);
    EXPECT_EQ(v.dataOffset(), 4u);
    EXPECT_EQ(v.dataTotal(), 7u);
    EXPECT_EQ(v[0], 4);
    EXPECT_EQ(*(v.end() - 1), 6);
    EXPECT_EQ(v.use_count(), 2);
}

TEST(SharedVectorConstruction, NullStorageYieldsAnEmptyView)
{
    expectEmptyView(shared_vector<int>(nullptr, 5, 3));
    expectEmptyView(shared_vector<int>(nullptr, maxSize, maxSize));
}

TEST(SharedVectorConstruction, RejectsBoundsBeyondSizeT)
{
    auto storage = iota(1);
    EXPECT_THROW(shared_vector<int>(storage, maxSize, 1), std::length_error);
    EXPECT_THROW(shared_vector<int>(storage, 1, maxSize), std::length_error);
    EXPECT_THROW(shared_vector<int>(storage, maxSize / 2 + 1, 0), std::length_error);
    EXPECT_EQ(storage.use_count(), 1);
}

TEST(SharedVectorSharing, CopiesShareStorageWithoutAllocating)
{
    shared_vector<int> original(iota(8), 2, 4);
    shared_vector<int> lone{5, 6, 7};
    const tarvex_test::AllocationScope scope;

    shared_vector<int> copy(original);
    shared_vector<int> assigned;
    assigned = copy;
    shared_vector<int> moved(std::move(assigned));
    moved.slice(1, 2);
    const auto frozen = freeze(std::move(lone));
    const auto frozenCopy = frozen;

    EXPECT_EQ(scope.allocations(), 0u);
    copy[0] = 42;
    EXPECT_EQ(original[0], 42);
    EXPECT_EQ(moved[0], 3);
    EXPECT_EQ(original.use_count(), 3);
    EXPECT_FALSE(original.unique());
    EXPECT_EQ(frozenCopy.data(), frozen.data());
}

TEST(SharedVectorSharing, MovingLeavesAnEmptyView)
{
    shared_vector<int> source{1, 2, 3};
    const int* data = source.data();
    shared_vector<int> constructed(std::move(source));
    EXPECT_EQ(constructed.data(), data);
    expectEmptyView(source);

    shared_vector<int> assigned;
    assigned = std::move(constructed);
    EXPECT_EQ(assigned.data(), data);
    EXPECT_EQ(assigned.size(), 3u);
    expectEmptyView(constructed);
}

TEST(SharedVectorSlice, NarrowsWithinTheCurrentView)
{
    auto storage = iota(10);
    shared_vector<int> v(storage, 2, 6);
    v.slice(1, 4).slice(2, 2);
    EXPECT_EQ(v.data(), storage.get() + 5);
    EXPECT_EQ(v.dataOffset(), 5u);
    EXPECT_EQ(v.size(), 2u);
    EXPECT_EQ(v.dataTotal(), 8u);
    EXPECT_EQ(v[1], 6);

    v.slice(2, 0);
    EXPECT_TRUE(v.empty());
}

TEST(SharedVectorSlice, RejectsRangesBeyondTheView)
{
    shared_vector<int> v(iota(10), 2, 4);
    EXPECT_THROW(v.slice(5, 0), std::out_of_range);
    EXPECT_THROW(v.slice(2, 3), std::out_of_range);
    EXPECT_THROW(v.slice(1, maxSize), std::out_of_range);
    EXPECT_EQ(v.dataOffset(), 2u);
    EXPECT_EQ(v.size(), 4u);
}

TEST(SharedVectorFreeze, UniqueViewIsTakenOver)
{
    auto storage = iota(6);
    shared_vector<int> v(storage, 1, 3);
    v.slice(1, 1);
    storage.reset();
    const int* data = v.data();

    const shared_vector<const int> frozen = freeze(std::move(v));
    EXPECT_EQ(frozen.data(), data);
    EXPECT_EQ(frozen.dataOffset(), 2u);
    EXPECT_EQ(frozen.size(), 1u);
    EXPECT_EQ(frozen.dataTotal(), 4u);
    EXPECT_TRUE(frozen.unique());
    expectEmptyView(v);

    expectEmptyView(freeze(shared_vector<int>()));
}

TEST(SharedVectorFreeze, SharedViewIsRefusedAndKept)
{
    shared_vector<int> v{1, 2, 3};
    const shared_vector<int> other = v;
    EXPECT_THAT([&] { freeze(std::move(v)); },
                ThrowsMessage<std::runtime_error>(StrEq("Can't freeze non-unique vector")));
    EXPECT_EQ(v.data(), other.data());
    EXPECT_EQ(v.size(), 3u);
    EXPECT_EQ(v.use_count(), 2);
}

TEST(SharedVectorFreeze, ThawFollowsTheSameRule)
{
    auto frozen = freeze(shared_vector<int>{1, 2});
    auto copy = frozen;
    EXPECT_THAT([&] { thaw(std::move(frozen)); },
                ThrowsMessage<std::runtime_error>(StrEq("Can't thaw non-unique vector")));
    EXPECT_EQ(frozen.size(), 2u);

    frozen = shared_vector<const int>();
    shared_vector<int> thawed = thaw(std::move(copy));
    thawed[1] = 9;
    EXPECT_EQ(thawed[1], 9);
    expectEmptyView(copy);
}

}  // namespace
}  // namespace qara::nimb
