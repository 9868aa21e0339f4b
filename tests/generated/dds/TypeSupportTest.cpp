#include "Payloads.hpp"

#include "SampleValues.hpp"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

namespace {

using namespace tarvex_test;
using eprosima::fastcdr::Cdr;

template <class T>
class TypeSupport : public ::testing::Test
{
protected:
    using W = typename T::Wire;
    typename T::Support support;
};

TYPED_TEST_SUITE(TypeSupport, GtestTypes<AllTypes>::type, TypeNames);

template <class W>
uint32_t expectedMaxSerializedSize()
{
    using namespace generated::dds_::tarvex;
    if constexpr (std::is_same_v<W, PsMeasurements>)
    {
        return 1128;
    }
    else if constexpr (std::is_same_v<W, SaMeasurements_slow>)
    {
        return 292;
    }
    else if constexpr (std::is_same_v<W, SaMeasurements_medium>)
    {
        return 28;
    }
    else if constexpr (std::is_same_v<W, SaMeasurements_fast>)
    {
        return 1024;
    }
    else
    {
        return 12;
    }
}

TYPED_TEST(TypeSupport, NameAndMaximumSizeCoverEveryPayload)
{
    using W = typename TestFixture::W;
    EXPECT_EQ(this->support.get_name(), "generated::dds_::tarvex::" + shortName<TypeParam>());
    EXPECT_EQ(this->support.get_name(), TypeParam::Support::typeName);
    EXPECT_EQ(this->support.max_serialized_type_size, expectedMaxSerializedSize<W>());
    EXPECT_EQ(this->support.max_serialized_type_size, TypeParam::Support::maxSerializedSize);
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        EXPECT_LE(encode<TypeParam>(makeDistinctSample<W>(1), representation).size(),
                  this->support.max_serialized_type_size)
            << nameOf(representation);
    }
}

TYPED_TEST(TypeSupport, HeaderTellsVersionAndHostByteOrder)
{
    using W = typename TestFixture::W;
    const W sample = makeDistinctSample<W>(2);
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        SCOPED_TRACE(nameOf(representation));
        fdds::SerializedPayload payload(TypeParam::Support::maxSerializedSize);
        payload.encapsulation = CDR_BE;
        ASSERT_TRUE(this->support.serialize(&sample, payload, representation));
        EXPECT_EQ(payload.encapsulation, CDR_LE);
        const Bytes header(payload.data, payload.data + 4);
        EXPECT_EQ(header, (Bytes{0x00, representation == kXcdr1 ? uint8_t{0x01} : uint8_t{0x09}, 0x00, 0x00}));
        if (representation == kXcdr2)
        {
            uint32_t dheader = 0;
            std::memcpy(&dheader, payload.data + 4, sizeof(dheader));
            EXPECT_EQ(dheader, payload.length - 8);
        }
    }
}

TYPED_TEST(TypeSupport, PayloadOneByteShortIsRefusedAndLeftUnchanged)
{
    using W = typename TestFixture::W;
    const W sample = makeDistinctSample<W>(3);
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        SCOPED_TRACE(nameOf(representation));
        const uint32_t needed = this->support.calculate_serialized_size(&sample, representation);

        fdds::SerializedPayload tight(needed);
        ASSERT_TRUE(this->support.serialize(&sample, tight, representation));
        EXPECT_EQ(tight.length, needed);

        fdds::SerializedPayload tooSmall(needed - 1);
        tooSmall.length = 3;
        EXPECT_FALSE(this->support.serialize(&sample, tooSmall, representation));
        EXPECT_EQ(tooSmall.length, 3u);
    }
}

// A reader must take whatever a writer chose: either CDR version, either byte order.
TYPED_TEST(TypeSupport, DecodesEitherVersionInEitherByteOrder)
{
    using W = typename TestFixture::W;
    const W sample = makeDistinctSample<W>(4);
    for (const Cdr::Endianness endianness : {Cdr::LITTLE_ENDIANNESS, Cdr::BIG_ENDIANNESS})
    {
        for (const fdds::DataRepresentationId representation : kRepresentations)
        {
            SCOPED_TRACE(std::string(nameOf(representation)) +
                         (endianness == Cdr::BIG_ENDIANNESS ? " big-endian" : " little-endian"));
            const bool xcdr1 = representation == kXcdr1;
            std::vector<char> buffer(TypeParam::Support::maxSerializedSize, 0);
            eprosima::fastcdr::FastBuffer fastBuffer(buffer.data(), buffer.size());
            Cdr cdr(fastBuffer, endianness,
                    xcdr1 ? eprosima::fastcdr::CdrVersion::XCDRv1 : eprosima::fastcdr::CdrVersion::XCDRv2);
            cdr.set_encoding_flag(xcdr1 ? eprosima::fastcdr::EncodingAlgorithmFlag::PLAIN_CDR
                                        : eprosima::fastcdr::EncodingAlgorithmFlag::DELIMIT_CDR2);
            cdr.serialize_encapsulation();
            cdr << sample;

            fdds::SerializedPayload payload =
                payloadOf(reinterpret_cast<const unsigned char*>(buffer.data()), cdr.get_serialized_data_length());
            W decoded = makeDistinctSample<W>(5);
            ASSERT_TRUE(this->support.deserialize(payload, &decoded));
            EXPECT_EQ(fieldBytes(decoded), fieldBytes(sample));
            EXPECT_EQ(payload.encapsulation, endianness == Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE);
        }
    }
}

TYPED_TEST(TypeSupport, IsKeyless)
{
    using W = typename TestFixture::W;
    const W sample = makeDistinctSample<W>(6);
    EXPECT_FALSE(this->support.is_compute_key_provided);
    for (const bool forceMd5 : {false, true})
    {
        fdds::InstanceHandle fromData;
        EXPECT_FALSE(this->support.compute_key(&sample, fromData, forceMd5));
        EXPECT_FALSE(fromData.isDefined());

        fdds::SerializedPayload payload = payloadOf(encode<TypeParam>(sample, kXcdr2));
        fdds::InstanceHandle fromPayload;
        EXPECT_FALSE(this->support.compute_key(payload, fromPayload, forceMd5));
        EXPECT_FALSE(fromPayload.isDefined());
    }
}

TYPED_TEST(TypeSupport, CreatesDefaultSamplesAndDeletesThem)
{
    using W = typename TestFixture::W;
    void* data = this->support.create_data();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(fieldBytes(*static_cast<W*>(data)), fieldBytes(W{}));
    this->support.delete_data(data);
    this->support.delete_data(nullptr);
}

TYPED_TEST(TypeSupport, IsBoundedNotPlainAndNotConstructedInPlace)
{
    using W = typename TestFixture::W;
    EXPECT_TRUE(this->support.is_bounded());
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        EXPECT_FALSE(this->support.is_plain(representation)) << nameOf(representation);
    }
    alignas(W) unsigned char storage[sizeof(W)];
    EXPECT_FALSE(this->support.construct_sample(storage));
}

}  // namespace
