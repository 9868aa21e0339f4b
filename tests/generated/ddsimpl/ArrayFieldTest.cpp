#include "EntityTypes.hpp"
#include "SampleValues.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace tarvex_test {
namespace {

template <class Entity>
class ArrayFieldTest : public ::testing::Test
{
protected:
    using Field = ArrayField<Entity>;
    using DdsType = typename Entity::DdsType;
    using Array = std::decay_t<decltype(Field::wire(std::declval<DdsType&>()))>;
    using E = typename Array::value_type;
    using View = qara::nimb::shared_vector<const E>;
    static constexpr std::size_t N = std::tuple_size_v<Array>;

    View get() const { return (entity.*Field::get)(); }
    void set(const View& values) { (entity.*Field::set)(values); }
    void swap(View& values) { (entity.*Field::swap)(values); }
    Array& wire() { return Field::wire(*entity.getDdsSample()); }
    std::vector<unsigned char> bytes() const { return fieldBytes(*entity.getDdsSample()); }

    // A whole sample, and the same sample with only the tested field replaced.
    static DdsType sample(uint32_t seed) { return makeDistinctSample<DdsType>(seed, false); }
    static DdsType withField(DdsType sample, const Array& values)
    {
        Field::wire(sample) = values;
        return sample;
    }
    static Array values(uint32_t seed)
    {
        auto source = sample(seed);
        return Field::wire(source);
    }

    // `count` elements repeating `values`, placed `offset` elements into the view's storage.
    static View viewOf(const Array& values, std::size_t count, std::size_t offset = 0)
    {
        qara::nimb::shared_vector<E> storage(offset + count);
        for (std::size_t i = 0; i < count; ++i)
        {
            storage[offset + i] = values[i % N];
        }
        storage.slice(offset, count);
        return freeze(std::move(storage));
    }

    static std::vector<E> elements(const View& view) { return std::vector<E>(view.begin(), view.end()); }
    static std::vector<E> elements(const Array& array) { return std::vector<E>(array.begin(), array.end()); }

    template <class F>
    static std::string outOfRangeMessage(F&& call)
    {
        try
        {
            call();
        }
        catch (const std::out_of_range& e)
        {
            return e.what();
        }
        return "nothing thrown";
    }

    Entity entity;
};

TYPED_TEST_SUITE(ArrayFieldTest, ArrayEntities);

TYPED_TEST(ArrayFieldTest, ViewsShareTheSampleStorage)
{
    using View = typename TestFixture::View;
    const View view = this->get();
    ASSERT_EQ(view.size(), TestFixture::N);
    EXPECT_EQ(view.data(), this->wire().data());

    const auto written = this->values(1);
    this->wire() = written;
    EXPECT_EQ(this->elements(view), this->elements(written));

    const auto set = this->values(2);
    this->set(this->viewOf(set, TestFixture::N));
    EXPECT_EQ(this->elements(view), this->elements(set));
}

TYPED_TEST(ArrayFieldTest, SetAndSwapCopyExactlyTheViewsElements)
{
    using View = typename TestFixture::View;
    constexpr std::size_t N = TestFixture::N;
    for (std::size_t offset : {0u, 3u})
    {
        SCOPED_TRACE("offset " + std::to_string(offset));
        const auto around = this->sample(3);
        const auto first = this->values(4 + offset);
        this->entity = around;
        this->set(this->viewOf(first, N, offset));
        EXPECT_EQ(this->bytes(), fieldBytes(this->withField(around, first)));

        const auto second = this->values(5 + offset);
        View argument = this->viewOf(second, N, offset);
        const auto* argumentData = argument.data();
        this->swap(argument);
        EXPECT_EQ(this->bytes(), fieldBytes(this->withField(around, second)));
        EXPECT_EQ(argument.data(), argumentData);
        EXPECT_EQ(this->elements(argument), this->elements(second));
    }
}

TYPED_TEST(ArrayFieldTest, WrongSizeIsRejectedAndLeavesTheFieldAlone)
{
    using View = typename TestFixture::View;
    constexpr std::size_t N = TestFixture::N;
    const auto before = this->sample(6);
    this->entity = before;
    const auto other = this->values(7);

    const std::pair<const char*, View> cases[] = {{"one short", this->viewOf(other, N - 1)},
                                                  {"one long", this->viewOf(other, N + 1)}};
    for (const auto& [name, view] : cases)
    {
        SCOPED_TRACE(name);
        View argument = view;
        EXPECT_EQ(this->outOfRangeMessage([&] { this->set(argument); }), "invalid size for fixed size array");
        EXPECT_EQ(this->outOfRangeMessage([&] { this->swap(argument); }), "invalid size for fixed size array");
        EXPECT_EQ(this->bytes(), fieldBytes(before));
    }
}

TYPED_TEST(ArrayFieldTest, OwnViewChangesNothing)
{
    using View = typename TestFixture::View;
    const auto before = this->sample(8);
    this->entity = before;
    View own = this->get();
    EXPECT_NO_THROW(this->set(own));
    EXPECT_NO_THROW(this->swap(own));
    EXPECT_EQ(own.data(), this->wire().data());
    EXPECT_EQ(this->bytes(), fieldBytes(before));
    // A view that starts at the field is the field itself, whatever its length: nothing to copy, no size check.
    own.slice(0, TestFixture::N - 1);
    EXPECT_NO_THROW(this->set(own));
    EXPECT_EQ(this->bytes(), fieldBytes(before));
}

}  // namespace
}  // namespace tarvex_test
