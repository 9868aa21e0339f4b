#include "Payloads.hpp"

#include "SampleValues.hpp"

#include "generated/dds/CdrCodec.hpp"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

// The codec writes and reads whole bodies value after value. The reference is the member-by-member way:
// a MemberId before every member when writing, Fast CDR's deserialize_type when reading. On random samples
// and random damage to their bytes both must agree on the bytes, on acceptance, on the error and on every
// field afterwards, including after a failed read.
namespace {

using namespace tarvex_test;
using eprosima::fastcdr::Cdr;
using eprosima::fastcdr::CdrVersion;

template <class W>
W randomSample(std::mt19937& random)
{
    W sample;
    const auto randomize = [&random](auto& value) {
        using E = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<E, bool>)
        {
            value = (random() & 1u) != 0;
        }
        else
        {
            const uint64_t bits = (uint64_t{random()} << 32) | random();
            std::memcpy(&value, &bits, sizeof(value));
        }
    };
    sample.visitFields([&](const char*, auto& field) {
        if constexpr (detail::IsArray<std::decay_t<decltype(field)>>::value)
        {
            for (auto& element : field)
            {
                randomize(element);
            }
        }
        else
        {
            randomize(field);
        }
    });
    return sample;
}

template <class W, class Write>
Bytes written(CdrVersion version, Write write)
{
    std::vector<char> buffer(2048, 0);
    eprosima::fastcdr::FastBuffer fastBuffer(buffer.data(), buffer.size());
    Cdr cdr(fastBuffer, Cdr::DEFAULT_ENDIAN, version);
    write(cdr);
    return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(cdr.get_serialized_data_length()));
}

template <class W>
Bytes writtenByMember(const W& sample, CdrVersion version)
{
    return written<W>(version, [&sample, version](Cdr& cdr) {
        Cdr::state state(cdr);
        cdr.begin_serialize_type(state, generated::dds_::encodingFor(version));
        uint32_t id = 0;
        sample.visitFields([&](const char*, const auto& field) { cdr << eprosima::fastcdr::MemberId(id++) << field; });
        cdr.end_serialize_type(state);
    });
}

struct ReadResult
{
    std::string error;  // the exception's type, empty when the read succeeded
    std::size_t position = 0;
    Bytes fields;
};

template <class W, class Read>
ReadResult readBack(Bytes bytes, CdrVersion version, const W& before, Read read)
{
    eprosima::fastcdr::FastBuffer fastBuffer(reinterpret_cast<char*>(bytes.data()), bytes.size());
    Cdr cdr(fastBuffer, Cdr::DEFAULT_ENDIAN, version);
    W sample = before;
    ReadResult result;
    try
    {
        read(cdr, sample);
    }
    catch (const eprosima::fastcdr::exception::Exception& error)
    {
        result.error = typeid(error).name();
    }
    result.position = cdr.get_serialized_data_length();
    result.fields = fieldBytes(sample);
    return result;
}

// Cuts, appends, overwrites a byte (often a boolean's, which then reads as neither 0 nor 1) or sets the
// delimiter header to any length up to a little beyond the body, which makes older and newer versions.
Bytes damaged(Bytes bytes, CdrVersion version, std::mt19937& random)
{
    const auto below = [&random](std::size_t bound) { return static_cast<std::size_t>(random() % (bound + 1)); };
    switch (below(4))
    {
        case 0:
            bytes.resize(below(bytes.size()));
            break;
        case 1:
            for (std::size_t extra = below(12); extra > 0; --extra)
            {
                bytes.push_back(static_cast<unsigned char>(random()));
            }
            break;
        case 2:
            bytes[below(bytes.size() - 1)] = static_cast<unsigned char>(random());
            break;
        case 3:
            if (version == CdrVersion::XCDRv2)
            {
                const auto dheader = static_cast<uint32_t>(below(bytes.size() + 8));
                std::memcpy(bytes.data(), &dheader, sizeof(dheader));
            }
            break;
        default:
            break;
    }
    return bytes;
}

template <class T>
class DirectCodec : public ::testing::Test
{
};

TYPED_TEST_SUITE(DirectCodec, GtestTypes<AllTypes>::type, TypeNames);

TYPED_TEST(DirectCodec, AgreesWithTheMemberByMemberAlgorithm)
{
    using W = typename TypeParam::Wire;
    std::mt19937 random(20261206u);
    for (const CdrVersion version : {CdrVersion::XCDRv1, CdrVersion::XCDRv2})
    {
        SCOPED_TRACE(version == CdrVersion::XCDRv1 ? "XCDR1" : "XCDR2");
        for (int round = 0; round < 300; ++round)
        {
            const W sample = randomSample<W>(random);
            const Bytes bytes = written<W>(version, [&sample](Cdr& cdr) { cdr << sample; });
            ASSERT_EQ(bytes, writtenByMember(sample, version));

            const W before = randomSample<W>(random);
            const Bytes input = damaged(bytes, version, random);
            const ReadResult direct = readBack(input, version, before, [](Cdr& cdr, W& out) { cdr >> out; });
            const ReadResult byMember = readBack(input, version, before, [](Cdr& cdr, W& out) {
                generated::dds_::deserializeMembers(cdr, out);
            });
            ASSERT_EQ(direct.error, byMember.error) << "round " << round;
            ASSERT_EQ(direct.fields, byMember.fields) << "round " << round;
            if (direct.error.empty())
            {
                ASSERT_EQ(direct.position, byMember.position) << "round " << round;
            }
        }
    }
}

}  // namespace
