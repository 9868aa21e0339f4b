#include "WireTypes.hpp"

#include <cstdlib>

// Input: one byte that selects the wire type, then a serialized payload with its encapsulation header.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    tarvex_test::forEachType([&](auto entry, std::size_t index) {
        if (size != 0 && index == data[0] % std::tuple_size_v<tarvex_test::AllTypesIn<std::tuple>> &&
            !tarvex_test::readsAgree<decltype(entry)>(tarvex_test::Bytes(data + 1, data + size)))
        {
            std::abort();
        }
    });
    return 0;
}
