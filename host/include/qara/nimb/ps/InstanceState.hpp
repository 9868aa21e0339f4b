#pragma once

#include <cstdint>
#include <string>

namespace qara::nimb::ps {

enum class InstanceState : int32_t
{
    ALIVE = 0,
    NOT_ALIVE = 1,
    ANY = 2
};
enum class InstanceEvent : int32_t
{
    CREATED = 0,
    UPDATED = 1,
    DELETED = 2
};

std::string to_string(InstanceState state);
std::string to_string(InstanceEvent event);

}  // namespace qara::nimb::ps
