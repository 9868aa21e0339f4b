#include "AllocationCounter.hpp"

#include <qara/nimb/shared_vector.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <stdexcept>
#include <tuple>

namespace qara::nimb {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr std::size_t maxSize = std::numeric_limits<std::size_t>::max();

// Offset, size and total of a view, and its first element (-1 for none).
template <class E>
std::tuple<std::size_t, std::size_t, std::size_t, int> shape(const shared_vector<E>& v)
{
    EXPECT_EQ(v.end() - v.begin(), static_cast<std::ptrdiff_t>(v.size()));
    return {v.dataOffset(), v.size(), v.dataTotal(), v.data() == nullptr ? -1 : v.empty() ? -2 : v[0]};
}

std::shared_ptr<int> iota(std::size_t count)
{
    std::shared_ptr<int> storage(new int[count], std::default_delete<int[]>());
    std::iota(storage.get(), storage.get() + count, 0);
    return storage;
}

TEST(SharedVector, ViewsAndSlicesStayWithinTheirStorageAndSizeT)
{
    EXPECT_EQ(shape(shared_vector<int>(3)), std::make_tuple(0u, 3u, 3u, 0));
    EXPECT_EQ(shape(shared_vector<int>(2, 7)), std::make_tuple(0u, 2u, 2u, 7));
    EXPECT_EQ(shared_vector<int>({4, 5, 6}).at(2), 6);
    EXPECT_THROW(shared_vector<int>({4, 5, 6}).at(3), std::out_of_range);
    EXPECT_EQ(shape(shared_vector<int>()), std::make_tuple(0u, 0u, 0u, -1));
    EXPECT_EQ(shape(shared_vector<int>(nullptr, maxSize, maxSize)), std::make_tuple(0u, 0u, 0u, -1));
    auto storage = iota(10);
    EXPECT_EQ(shape(shared_vector<int>(storage, 4, 3)), std::make_tuple(4u, 3u, 7u, 4));
    EXPECT_THROW(shared_vector<int>(storage, maxSize, 1), std::length_error);
    EXPECT_THROW(shared_vector<int>(storage, 1, maxSize), std::length_error);
    EXPECT_THROW(shared_vector<int>(storage, maxSize / 2 + 1, 0), std::length_error);
    EXPECT_EQ(storage.use_count(), 1);

    shared_vector<int> v(iota(10), 2, 6);
    EXPECT_EQ(shape(v.slice(1, 4).slice(2, 2)), std::make_tuple(5u, 2u, 8u, 5));
    EXPECT_THROW(v.slice(3, 0), std::out_of_range);
    EXPECT_THROW(v.slice(1, 2), std::out_of_range);
    EXPECT_THROW(v.slice(1, maxSize), std::out_of_range);
    EXPECT_EQ(shape(v.slice(2, 0)), std::make_tuple(7u, 0u, 8u, -2));
}

TEST(SharedVector, CopiesShareWithoutAllocatingAndMovesLeaveAnEmptyView)
{
    shared_vector<int> original(iota(8), 2, 4);
    const std::size_t before = tarvex_test::allocations();
    shared_vector<int> copy(original);
    shared_vector<int> assigned;
    assigned = copy;
    shared_vector<int> moved(std::move(assigned));
    EXPECT_EQ(tarvex_test::allocations() - before, 0u);
    copy[0] = 42;
    EXPECT_EQ(original.use_count(), 3);
    EXPECT_FALSE(original.unique());
    EXPECT_EQ(shape(assigned), std::make_tuple(0u, 0u, 0u, -1));
    copy = std::move(moved);
    EXPECT_EQ(shape(moved), std::make_tuple(0u, 0u, 0u, -1));
    EXPECT_EQ(shape(copy), std::make_tuple(2u, 4u, 6u, 42));
}

TEST(SharedVector, FreezeAndThawTakeOverAUniqueViewAndRefuseASharedOne)
{
    shared_vector<int> v(iota(6), 1, 3);
    v.slice(1, 1);
    shared_vector<const int> frozen = freeze(std::move(v));
    EXPECT_EQ(shape(frozen), std::make_tuple(2u, 1u, 4u, 2));
    EXPECT_EQ(shape(v), std::make_tuple(0u, 0u, 0u, -1));
    auto copy = frozen;
    EXPECT_THAT([&] { thaw(std::move(frozen)); },
                ThrowsMessage<std::runtime_error>(StrEq("Can't thaw non-unique vector")));
    EXPECT_EQ(shape(frozen), std::make_tuple(2u, 1u, 4u, 2));
    frozen = shared_vector<const int>();
    EXPECT_EQ(shape(thaw(std::move(copy))), std::make_tuple(2u, 1u, 4u, 2));
    shared_vector<int> other{1, 2, 3};
    const shared_vector<int> sharer = other;
    EXPECT_THAT([&] { freeze(std::move(other)); },
                ThrowsMessage<std::runtime_error>(StrEq("Can't freeze non-unique vector")));
    EXPECT_EQ(shape(other), std::make_tuple(0u, 3u, 3u, 1));
}

}  // namespace
}  // namespace qara::nimb
