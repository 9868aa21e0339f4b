#pragma once

// The history memory modes under their Fast DDS 3.x names (2.x has them in eprosima::fastrtps::rtps): the
// version shim's part for QoS, beside icd/dds/FastDdsCompat.hpp.

#include <fastdds/rtps/attributes/ResourceManagement.hpp>

namespace qara::nimb::icd::qos {

using MemoryMode = eprosima::fastdds::rtps::MemoryManagementPolicy_t;
constexpr MemoryMode kDynamicReserve = eprosima::fastdds::rtps::DYNAMIC_RESERVE_MEMORY_MODE;
constexpr MemoryMode kDynamicReusable = eprosima::fastdds::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;

}  // namespace qara::nimb::icd::qos
