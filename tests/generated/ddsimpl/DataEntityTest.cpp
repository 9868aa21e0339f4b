#include "SampleValues.hpp"
#include "TopicTypes.hpp"
#include "ps/DataEntityCreation.hpp"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// The data entities of the four topics: who owns the wire sample, what copies, and the array views into it.
namespace tarvex_test {
namespace {

using Bytes = std::vector<unsigned char>;

template <class T>
class DataEntityTest : public ::testing::Test
{
protected:
    using Impl = typename T::Entity;
    using Api = typename T::Interface;
    using Wire = typename T::Wire;

    // Releases like the owning deleter but counts, so a test sees which holder let a sample go.
    static inline int released = 0;
    static typename Impl::SampleHolder held(uint32_t seed)
    {
        return typename Impl::SampleHolder(new Wire(makeDistinctSample<Wire>(seed)), [](Wire* sample) {
            ++released;
            delete sample;
        });
    }

    static Bytes bytes(uint32_t seed) { return fieldBytes(makeDistinctSample<Wire>(seed)); }
    static Bytes bytes(const Api& entity)
    {
        return fieldBytes(*dynamic_cast<const Impl&>(entity).getDdsSample());
    }

    // Each field's bytes by name.
    static std::map<std::string, Bytes> byName(const Wire& sample)
    {
        std::map<std::string, Bytes> fields;
        sample.visitFields([&](const char* name, const auto& field) {
            const auto* begin = reinterpret_cast<const unsigned char*>(&field);
            fields[name] = Bytes(begin, begin + sizeof(field));
        });
        return fields;
    }
};

TYPED_TEST_SUITE(DataEntityTest, AllTopics, TopicNames);

TYPED_TEST(DataEntityTest, StartsZeroedHasNoKeyAndCopiesDeeply)
{
    using Entity = typename TestFixture::Impl;
    using Interface = typename TestFixture::Api;
    Entity entity;
    EXPECT_EQ(this->bytes(entity), fieldBytes(typename TestFixture::Wire{}));
    EXPECT_EQ(this->bytes(*qara::nimb::ps::createDataEntityInternal<Interface, Entity>()),
              fieldBytes(typename TestFixture::Wire{}));

    entity = makeDistinctSample<typename TestFixture::Wire>(1);
    const auto key = entity.cloneKey();
    EXPECT_EQ(this->bytes(*key), fieldBytes(typename TestFixture::Wire{}));
    EXPECT_FALSE(entity.hasKey());
    EXPECT_FALSE(entity.keyEquals(entity));

    const auto copy = entity.clone();
    auto source = makeDistinctSample<typename TestFixture::Wire>(2);
    const auto fromSample = qara::nimb::ps::createDataEntityFrom<Interface, Entity>(source);
    entity = makeDistinctSample<typename TestFixture::Wire>(3);
    source = makeDistinctSample<typename TestFixture::Wire>(4);
    EXPECT_EQ(this->bytes(*copy), this->bytes(1));
    EXPECT_EQ(this->bytes(*fromSample), this->bytes(2));

    // Through the interface every field is copied by value, also from a borrowed sample and onto itself.
    const Entity borrowing(&source);
    Interface& target = entity;
    target = borrowing;
    source = makeDistinctSample<typename TestFixture::Wire>(5);
    target = static_cast<const Interface&>(entity);
    EXPECT_EQ(this->bytes(entity), this->bytes(4));
}

TYPED_TEST(DataEntityTest, SampleIsReleasedByItsOwnerOnly)
{
    using Entity = typename TestFixture::Impl;
    auto borrowed = makeDistinctSample<typename TestFixture::Wire>(1);
    this->released = 0;
    {
        Entity borrowing(&borrowed);
        Entity owning(this->held(2));
        auto* heldSample = owning.getDdsSample();
        borrowing = std::move(owning);  // owning into borrowing: the held sample moves along
        EXPECT_EQ(borrowing.getDdsSample(), heldSample);
        EXPECT_EQ(this->bytes(borrowing), this->bytes(2));

        Entity other(this->held(3));
        other = Entity(&borrowed);  // borrowing into owning: the held sample goes at once
        EXPECT_EQ(this->released, 1);
        other = makeDistinctSample<typename TestFixture::Wire>(4);
        EXPECT_EQ(this->released, 1);
    }
    EXPECT_EQ(this->released, 2);
    EXPECT_EQ(fieldBytes(borrowed), this->bytes(4));
}

// Every array field: its view is the field in the sample, showing what is set later; setting copies exactly
// the view's elements, wherever they start; a view of the wrong size is refused and changes nothing, unless it starts at the field itself.
TYPED_TEST(DataEntityTest, ArrayViewsAreTheSampleAndRefuseAWrongSize)
{
    typename TestFixture::Impl entity;
    entity = makeDistinctSample<typename TestFixture::Wire>(6, false);
    const auto* sample = entity.getDdsSample();
    auto expected = this->byName(*sample);
    entity.visitFields([&](const char* name, const auto& view, const auto& set) {
        using V = std::decay_t<decltype(view)>;
        if constexpr (!std::is_arithmetic_v<V>)  // an array's view
        {
            SCOPED_TRACE(name);
            using E = typename V::value_type;
            const std::size_t n = view.size();
            const auto* at = reinterpret_cast<const unsigned char*>(view.data());
            // `count` of the field's values rotated by one, three elements into their storage.
            const auto rotated = [&](std::size_t count) {
                qara::nimb::shared_vector<E> storage(3 + count);
                for (std::size_t i = 0; i < count; ++i)
                {
                    storage[3 + i] = view[(i + 1) % n];
                }
                return freeze(std::move(storage.slice(3, count)));
            };
            const auto values = rotated(n);
            for (const std::size_t wrong : {n - 1, n + 1})
            {
                EXPECT_THROW(set(rotated(wrong)), std::out_of_range);
            }
            V own = view;
            set(own.slice(0, n - 1));
            EXPECT_EQ(this->byName(*sample), expected);

            set(values);
            const auto* begin = reinterpret_cast<const unsigned char*>(values.data());
            expected[name] = Bytes(begin, begin + n * sizeof(E));
            EXPECT_EQ(this->byName(*sample), expected);
            EXPECT_EQ(Bytes(at, at + n * sizeof(E)), expected[name]) << "the view taken before is not the field";
        }
    });
}

}  // namespace
}  // namespace tarvex_test
