#include "SampleValues.hpp"
#include "WireTypes.hpp"

#include <fastdds/dds/core/policy/QosPolicies.hpp>

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>

// Writes tarvex_cdr_fuzzer's seed corpus: for every wire type and CDR version one valid payload, behind
// the byte that selects the type, in files named <selector>_<type>_<version>.
int main(int argc, char** argv)
{
    namespace fdds = qara::nimb::icd::dds::fastdds;
    if (argc != 2)
    {
        std::cerr << "usage: " << argv[0] << " <corpus directory>\n";
        return 2;
    }
    bool ok = true;
    for (std::size_t index = 0; index < tarvex_test::typeCount(tarvex_test::AllTypes{}); ++index)
    {
        tarvex_test::withType(tarvex_test::AllTypes{}, index, [&](auto entry) {
            using T = decltype(entry);
            typename T::Support support;
            const std::string typeName = T::Support::typeName;
            const auto sample = tarvex_test::makeDistinctSample<typename T::Wire>(static_cast<uint32_t>(index) + 1);
            for (const auto& [representation, version] :
                 {std::pair{eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION, "xcdr1"},
                  std::pair{eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION, "xcdr2"}})
            {
                fdds::SerializedPayload payload(T::Support::maxSerializedSize);
                std::memset(payload.data, 0, payload.max_size);  // padding is left as the buffer held it
                ok = support.serialize(&sample, payload, representation) && ok;
                const std::string name = std::string(argv[1]) + "/" + (index < 10 ? "0" : "") + std::to_string(index) +
                                         "_" + typeName.substr(typeName.rfind(':') + 1) + "_" + version;
                std::ofstream file(name, std::ios::binary | std::ios::trunc);
                const char selector = static_cast<char>(index);
                file.write(&selector, 1);
                file.write(reinterpret_cast<const char*>(payload.data), payload.length);
                ok = static_cast<bool>(file) && ok;
            }
        });
    }
    return ok ? 0 : 1;
}
