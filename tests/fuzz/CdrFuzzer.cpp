#include "SampleValues.hpp"
#include "WireTypes.hpp"

#include "generated/dds/CdrCodec.hpp"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>
#include <fastdds/dds/core/policy/QosPolicies.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

// Input: one byte that selects the wire type, then a serialized payload with its encapsulation header.
// The direct read and the member-by-member read must agree on acceptance and on every field, also after a
// failure; whatever decodes must encode again under both CDR versions and decode to the same field bits.
namespace {

namespace fdds = qara::nimb::icd::dds::fastdds;

template <class W, class Read>
std::pair<bool, std::vector<unsigned char>> readWith(const uint8_t* bytes, std::size_t size, Read read)
{
    std::vector<char> copy(bytes, bytes + size);
    eprosima::fastcdr::FastBuffer buffer(copy.data(), copy.size());
    eprosima::fastcdr::Cdr cdr(buffer);
    W sample = tarvex_test::makeDistinctSample<W>(3);
    bool accepted = true;
    try
    {
        cdr.read_encapsulation();
        read(cdr, sample);
    }
    catch (const eprosima::fastcdr::exception::Exception&)
    {
        accepted = false;
    }
    return {accepted, tarvex_test::fieldBytes(sample)};
}

template <class T>
void check(const uint8_t* bytes, std::size_t size)
{
    static typename T::Support support;
    using W = typename T::Wire;
    if (readWith<W>(bytes, size, [](auto& cdr, W& sample) { generated::dds_::deserializeStruct(cdr, sample); }) !=
        readWith<W>(bytes, size, [](auto& cdr, W& sample) { generated::dds_::deserializeMembers(cdr, sample); }))
    {
        std::abort();
    }
    // Exactly as large as the input, so AddressSanitizer catches any read past its end.
    fdds::SerializedPayload input(static_cast<uint32_t>(size));
    if (size != 0)
    {
        std::memcpy(input.data, bytes, size);
    }
    input.length = static_cast<uint32_t>(size);
    typename T::Wire first;
    if (!support.deserialize(input, &first))
    {
        return;
    }
    const auto expected = tarvex_test::fieldBytes(first);
    for (const fdds::DataRepresentationId representation :
         {eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION, eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION})
    {
        fdds::SerializedPayload payload(T::Support::maxSerializedSize);
        typename T::Wire second;
        if (!support.serialize(&first, payload, representation) || !support.deserialize(payload, &second) ||
            tarvex_test::fieldBytes(second) != expected)
        {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    using tarvex_test::AllTypes;
    tarvex_test::withType(AllTypes{}, data[0] % tarvex_test::typeCount(AllTypes{}),
                          [&](auto entry) { check<decltype(entry)>(data + 1, size - 1); });
    return 0;
}
