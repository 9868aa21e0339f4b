#include "Payloads.hpp"

#include "SampleValues.hpp"

#include <fastcdr/Cdr.h>
#include <fastcdr/CdrSizeCalculator.hpp>
#include <fastcdr/FastBuffer.h>
#include <gtest/gtest.h>

#include <vector>

// Exact bytes on the wire. Fast CDR steps over padding without writing it, so every buffer here starts
// zeroed and the padding bytes below read 0x00 only because of that. The payloads carry the host's byte
// order; these expectations are little-endian, as every machine we build for is.
namespace {

using namespace tarvex_test;
using eprosima::fastcdr::CdrVersion;
using generated::dds_::tarvex::SaCmds_RPC_ForceSetpoint_In;
using generated::dds_::tarvex::SaMeasurements_medium;
using generated::dds_::tarvex::SaMeasurements_mediumPubSubType;

using Medium = WireType<SaMeasurements_medium, SaMeasurements_mediumPubSubType>;
using ForceSetpoint =
    WireType<SaCmds_RPC_ForceSetpoint_In, generated::dds_::tarvex::SaCmds_RPC_ForceSetpoint_InPubSubType>;

template <class W>
Bytes streamBytes(const W& sample, CdrVersion version)
{
    std::vector<char> buffer(2048, 0);
    eprosima::fastcdr::FastBuffer fastBuffer(buffer.data(), buffer.size());
    eprosima::fastcdr::Cdr cdr(fastBuffer, eprosima::fastcdr::Cdr::LITTLE_ENDIANNESS, version);
    cdr << sample;
    return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(cdr.get_serialized_data_length()));
}

template <class W>
W streamDecode(Bytes bytes, CdrVersion version)
{
    eprosima::fastcdr::FastBuffer fastBuffer(reinterpret_cast<char*>(bytes.data()), bytes.size());
    eprosima::fastcdr::Cdr cdr(fastBuffer, eprosima::fastcdr::Cdr::LITTLE_ENDIANNESS, version);
    W sample;
    cdr >> sample;
    EXPECT_EQ(cdr.get_serialized_data_length(), bytes.size());
    return sample;
}

Bytes concat(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

SaMeasurements_medium mediumSample()
{
    SaMeasurements_medium sample;
    sample.implementations_fb_main_cell_sttlm_esaactuatorstate(0x11223344);
    sample.implementations_fb_main_cell_sttlm_esapowerstate(2);
    sample.implementations_fb_main_cell_sttlm_econtrolstate(-1);
    sample.implementations_fb_main_cell_sttlm_stdegradedmode_bsa_degradedmodeenable(true);
    sample.implementations_fb_main_cell_sttlm_stsimulationmode_esasimulationmode(0x0a0b0c0d);
    return sample;
}

// The members of SaMeasurements_medium, the same under both versions: no member is wider than 4 bytes.
const Bytes kMediumMembers = {
    0x44, 0x33, 0x22, 0x11,  // esaactuatorstate 0x11223344
    0x02, 0x00, 0x00, 0x00,  // esapowerstate 2
    0xff, 0xff, 0xff, 0xff,  // econtrolstate -1
    0x01,                    // stdegradedmode_bsa_degradedmodeenable true
    0x00,                    // padding 1 of 3, aligns the next long to 4
    0x00,                    // padding 2 of 3
    0x00,                    // padding 3 of 3
    0x0d, 0x0c, 0x0b, 0x0a,  // stsimulationmode_esasimulationmode 0x0a0b0c0d
};

const Bytes kXcdr1Header = {
    0x00, 0x01,  // CDR_LE
    0x00, 0x00,  // options
};

const Bytes kXcdr2Header = {
    0x00, 0x09,  // D_CDR2_LE: delimited, little-endian
    0x00, 0x00,  // options
};

// `body` is what Fast CDR writes of `sample` under the version that goes with `representation`, and what
// the type support writes after the encapsulation header; both read back as `sample`.
template <class WT>
void expectGolden(const typename WT::Wire& sample, fdds::DataRepresentationId representation, const Bytes& body)
{
    SCOPED_TRACE(nameOf(representation));
    const CdrVersion version = representation == kXcdr1 ? CdrVersion::XCDRv1 : CdrVersion::XCDRv2;
    const Bytes payload = concat(representation == kXcdr1 ? kXcdr1Header : kXcdr2Header, body);
    EXPECT_EQ(streamBytes(sample, version), body);
    EXPECT_EQ(encode<WT>(sample, representation), payload);

    EXPECT_EQ(streamDecode<typename WT::Wire>(body, version), sample);
    typename WT::Wire decoded;
    ASSERT_TRUE(decode<WT>(payload, decoded));
    EXPECT_EQ(decoded, sample);
}

TEST(GoldenBytes, MediumUnderXcdr1HasNoDelimiter)
{
    expectGolden<Medium>(mediumSample(), kXcdr1, kMediumMembers);
}

TEST(GoldenBytes, MediumUnderXcdr2IsDelimited)
{
    const Bytes dheader = {
        0x14, 0x00, 0x00, 0x00,  // DHEADER: 20 bytes of members follow
    };
    expectGolden<Medium>(mediumSample(), kXcdr2, concat(dheader, kMediumMembers));
}

TEST(GoldenBytes, CommandUnderBothVersions)
{
    SaCmds_RPC_ForceSetpoint_In sample;
    sample.dummy(0x2a);
    const Bytes xcdr1 = {
        0x2a,  // dummy
    };
    const Bytes xcdr2 = {
        0x01, 0x00, 0x00, 0x00,  // DHEADER: 1 byte of members follows
        0x2a,                    // dummy
    };
    expectGolden<ForceSetpoint>(sample, kXcdr1, xcdr1);
    expectGolden<ForceSetpoint>(sample, kXcdr2, xcdr2);
}

// Bytes after the encapsulation header; under XCDR2 they include the DHEADER.
struct BodySizes
{
    std::size_t xcdr1;
    std::size_t xcdr2;
};

template <class W>
BodySizes expectedBodySizes()
{
    using namespace generated::dds_::tarvex;
    if constexpr (std::is_same_v<W, PsMeasurements>)
    {
        return {1116, 1120};
    }
    else if constexpr (std::is_same_v<W, SaMeasurements_slow>)
    {
        // XCDR2 aligns doubles to 4 only, which absorbs the DHEADER.
        return {288, 288};
    }
    else if constexpr (std::is_same_v<W, SaMeasurements_medium>)
    {
        return {20, 24};
    }
    else if constexpr (std::is_same_v<W, SaMeasurements_fast>)
    {
        return {1010, 1010};
    }
    else
    {
        static_assert(W::fieldCount == 1, "every command carries one octet");
        return {1, 5};
    }
}

template <class T>
class EncodedSize : public ::testing::Test
{
};

TYPED_TEST_SUITE(EncodedSize, GtestTypes<AllTypes>::type, TypeNames);

TYPED_TEST(EncodedSize, IsTheSameComputedOrWrittenWhateverTheValues)
{
    using W = typename TypeParam::Wire;
    const BodySizes expected = expectedBodySizes<W>();
    const std::vector<W> samples = {W{}, makeDistinctSample<W>(3), makeDistinctSample<W>(40, false)};
    typename TypeParam::Support support;
    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        SCOPED_TRACE(nameOf(representation));
        const bool xcdr1 = representation == kXcdr1;
        const CdrVersion version = xcdr1 ? CdrVersion::XCDRv1 : CdrVersion::XCDRv2;
        const std::size_t body = xcdr1 ? expected.xcdr1 : expected.xcdr2;
        for (const W& sample : samples)
        {
            eprosima::fastcdr::CdrSizeCalculator calculator(version);
            std::size_t alignment = 0;
            EXPECT_EQ(calculator.calculate_serialized_size(sample, alignment), body);
            EXPECT_EQ(streamBytes(sample, version).size(), body);
            EXPECT_EQ(support.calculate_serialized_size(&sample, representation), body + 4);
            EXPECT_EQ(encode<TypeParam>(sample, representation).size(), body + 4);
        }
    }
}

}  // namespace
