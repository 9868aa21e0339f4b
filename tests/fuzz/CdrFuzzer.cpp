#include "WireTypes.hpp"

#include <cstdlib>

// Input: one byte that selects the wire type, then a serialized payload with its encapsulation header.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    using List = tarvex_test::AllTypesIn<tarvex_test::TypeList>;
    std::size_t types = 0;
    tarvex_test::forEachType(List{}, [&types](auto, std::size_t) { ++types; });
    tarvex_test::forEachType(List{}, [&](auto entry, std::size_t index) {
        if (size != 0 && index == data[0] % types &&
            !tarvex_test::readDisagreement<decltype(entry)>(tarvex_test::Bytes(data + 1, data + size)).empty())
        {
            std::abort();
        }
    });
    return 0;
}
