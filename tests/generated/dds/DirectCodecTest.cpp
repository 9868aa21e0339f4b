#include "WireTypes.hpp"

#include <gtest/gtest.h>

#include <random>

// The codec writes and reads whole bodies value after value. The reference is the member-by-member way: a
// MemberId before every member when writing, Fast CDR's deserialize_type when reading. Both must agree on
// random samples and on random damage to their bytes.
namespace {

using namespace tarvex_test;
using eprosima::fastcdr::Cdr;

template <class T>
Bytes writtenByMember(const typename T::Wire& sample, fdds::DataRepresentationId representation)
{
    std::vector<char> buffer(T::Support::maxSerializedSize, 0);
    eprosima::fastcdr::FastBuffer fastBuffer(buffer.data(), buffer.size());
    Cdr cdr(fastBuffer, Cdr::DEFAULT_ENDIAN,
            representation == kXcdr1 ? eprosima::fastcdr::CdrVersion::XCDRv1 : eprosima::fastcdr::CdrVersion::XCDRv2);
    cdr.set_encoding_flag(generated::dds_::encodingFor(cdr.get_cdr_version()));
    cdr.serialize_encapsulation();
    Cdr::state state(cdr);
    cdr.begin_serialize_type(state, generated::dds_::encodingFor(cdr.get_cdr_version()));
    uint32_t id = 0;
    sample.visitFields([&](const char*, const auto& field) { cdr << eprosima::fastcdr::MemberId(id++) << field; });
    cdr.end_serialize_type(state);
    return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(cdr.get_serialized_data_length()));
}

// Cuts, appends, overwrites a byte (often a boolean's, which then reads as neither 0 nor 1) or sets the
// delimiter header to any length up to a little beyond the body, which makes older and newer versions.
Bytes damaged(Bytes bytes, fdds::DataRepresentationId representation, std::mt19937& random)
{
    const auto below = [&random](std::size_t bound) { return static_cast<std::size_t>(random() % (bound + 1)); };
    switch (below(4))
    {
        case 0:
            bytes.resize(below(bytes.size()));
            break;
        case 1:
            bytes.resize(bytes.size() + below(12), static_cast<unsigned char>(random()));
            break;
        case 2:
            bytes[below(bytes.size() - 1)] = static_cast<unsigned char>(random());
            break;
        default:
            if (representation == kXcdr2)
            {
                const auto dheader = static_cast<uint32_t>(below(bytes.size()));
                std::memcpy(bytes.data() + 4, &dheader, sizeof(dheader));
            }
    }
    return bytes;
}

template <class T>
class DirectCodec : public ::testing::Test
{
};

TYPED_TEST_SUITE(DirectCodec, AllTypesIn<::testing::Types>, TypeNames);

TYPED_TEST(DirectCodec, AgreesWithTheMemberByMemberAlgorithm)
{
    using W = typename TypeParam::Wire;
    std::mt19937 random(20261206u);
    for (const fdds::DataRepresentationId representation : {kXcdr1, kXcdr2})
    {
        for (int round = 0; round < 300; ++round)
        {
            const W sample = makeDistinctSample<W>(random(), (random() & 1u) != 0);
            const Bytes bytes = encode<TypeParam>(sample, representation);
            ASSERT_EQ(bytes, writtenByMember<TypeParam>(sample, representation));
            ASSERT_EQ(readDisagreement<TypeParam>(damaged(bytes, representation, random)), "") << "round " << round;
        }
    }
}

}  // namespace
