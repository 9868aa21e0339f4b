#include "Payloads.hpp"

#include "SampleValues.hpp"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <gtest/gtest.h>

#include <limits>
#include <type_traits>
#include <vector>

namespace {

using namespace tarvex_test;

template <class T>
class RoundTrip : public ::testing::Test
{
};

TYPED_TEST_SUITE(RoundTrip, GtestTypes<AllTypes>::type, TypeNames);

TYPED_TEST(RoundTrip, EveryFieldSurvivesBothVersionsBitForBit)
{
    using W = typename TypeParam::Wire;
    const W sample = makeDistinctSample<W>(17);
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        SCOPED_TRACE(nameOf(representation));
        // Decoding over another distinct sample shows that every field is written, not left over.
        W decoded = makeDistinctSample<W>(99);
        ASSERT_TRUE(decode<TypeParam>(encode<TypeParam>(sample, representation), decoded));
        EXPECT_EQ(fieldBytes(decoded), fieldBytes(sample));
    }
}

// The decoder asks the structure for member id after member id until one is refused; an id that reaches
// the wrong field, or a refusal too early or too late, misreads the stream.
TYPED_TEST(RoundTrip, MemberIdsReachTheFieldsInWireOrder)
{
    using W = typename TypeParam::Wire;
    W sample;
    std::vector<const void*> inOrder;
    sample.visitFields([&](const char*, auto& field) { inOrder.push_back(&field); });
    ASSERT_EQ(inOrder.size(), W::fieldCount);
    for (uint32_t id = 0; id < W::fieldCount; ++id)
    {
        const void* reached = nullptr;
        EXPECT_TRUE(sample.visitField(id, [&](auto& field) { reached = &field; })) << id;
        EXPECT_EQ(reached, inOrder[id]) << id;
    }
    const auto unreachable = [](auto&) { ADD_FAILURE() << "visited a field past the end"; };
    EXPECT_FALSE(sample.visitField(static_cast<uint32_t>(W::fieldCount), unreachable));
    EXPECT_FALSE(sample.visitField(std::numeric_limits<uint32_t>::max(), unreachable));
}

TYPED_TEST(RoundTrip, SerializeKeyWritesNothing)
{
    using W = typename TypeParam::Wire;
    const W sample = makeDistinctSample<W>(5);
    char buffer[16] = {};
    eprosima::fastcdr::FastBuffer fastBuffer(buffer, sizeof(buffer));
    eprosima::fastcdr::Cdr cdr(fastBuffer, eprosima::fastcdr::Cdr::BIG_ENDIANNESS,
                               eprosima::fastcdr::CdrVersion::XCDRv1);
    cdr << uint8_t{7};  // a key written after other data must not move the stream either
    const std::size_t before = cdr.get_serialized_data_length();
    eprosima::fastcdr::serialize_key(cdr, sample);
    EXPECT_EQ(cdr.get_serialized_data_length(), before);
}

TEST(RoundTripFieldCount, DecoderStopsAtTheLastMember)
{
    using namespace generated::dds_::tarvex;
    const auto any = [](auto&) {};
    SaMeasurements_fast fast;
    EXPECT_EQ(SaMeasurements_fast::fieldCount, 119u);
    EXPECT_TRUE(fast.visitField(0, any));
    EXPECT_TRUE(fast.visitField(118, any));
    EXPECT_FALSE(fast.visitField(119, any));

    PsMeasurements ps;
    EXPECT_EQ(PsMeasurements::fieldCount, 30u);
    EXPECT_TRUE(ps.visitField(29, any));
    EXPECT_FALSE(ps.visitField(30, any));

    EXPECT_EQ(SaMeasurements_slow::fieldCount, 6u);
    EXPECT_EQ(SaMeasurements_medium::fieldCount, 5u);

    PsCmds_RPC_Stop_In stop;
    EXPECT_TRUE(stop.visitField(0, any));
    EXPECT_FALSE(stop.visitField(1, any));
}

template <class T>
class CommandRoundTrip : public ::testing::Test
{
};

TYPED_TEST_SUITE(CommandRoundTrip, GtestTypes<CommandTypes>::type, TypeNames);

TYPED_TEST(CommandRoundTrip, EveryDummyValueSurvives)
{
    using W = typename TypeParam::Wire;
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        for (unsigned value = 0; value <= 255; ++value)
        {
            W sample;
            sample.dummy(static_cast<uint8_t>(value));
            W decoded;
            decoded.dummy(static_cast<uint8_t>(value + 1));
            ASSERT_TRUE(decode<TypeParam>(encode<TypeParam>(sample, representation), decoded));
            ASSERT_EQ(decoded.dummy(), value) << nameOf(representation);
        }
    }
}

// The topics that carry floating-point arrays; operator== compares values, so NaN and -0.0 behave as
// numbers do, while the wire must still carry their exact bits.
using FloatingTopics = TypeList<
    WireType<generated::dds_::tarvex::PsMeasurements, generated::dds_::tarvex::PsMeasurementsPubSubType>,
    WireType<generated::dds_::tarvex::SaMeasurements_slow, generated::dds_::tarvex::SaMeasurements_slowPubSubType>,
    WireType<generated::dds_::tarvex::SaMeasurements_fast, generated::dds_::tarvex::SaMeasurements_fastPubSubType>>;

template <class T>
class FloatingEquality : public ::testing::Test
{
};

TYPED_TEST_SUITE(FloatingEquality, GtestTypes<FloatingTopics>::type, TypeNames);

// Sets element 1 of every floating-point array.
template <class W>
void setSecondFloats(W& sample, double value)
{
    sample.visitFields([value](const char*, auto& field) {
        using F = std::decay_t<decltype(field)>;
        if constexpr (detail::IsArray<F>::value)
        {
            if constexpr (std::is_floating_point_v<typename F::value_type>)
            {
                field[1] = static_cast<typename F::value_type>(value);
            }
        }
    });
}

TYPED_TEST(FloatingEquality, NaNIsUnequalToItselfAndNegativeZeroEqualsZero)
{
    using W = typename TypeParam::Wire;
    const W withNaN = makeDistinctSample<W>(8);
    EXPECT_FALSE(withNaN == withNaN);

    W positive = makeDistinctSample<W>(8, false);
    W negative = positive;
    setSecondFloats(positive, 0.0);
    setSecondFloats(negative, -0.0);
    EXPECT_TRUE(positive == negative);
    EXPECT_NE(fieldBytes(positive), fieldBytes(negative));

    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        W decoded;
        ASSERT_TRUE(decode<TypeParam>(encode<TypeParam>(negative, representation), decoded));
        EXPECT_EQ(fieldBytes(decoded), fieldBytes(negative)) << nameOf(representation);
    }
}

}  // namespace
