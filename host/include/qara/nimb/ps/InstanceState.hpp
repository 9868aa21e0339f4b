#pragma once

#include <cstdint>
#include <string>

namespace qara::nimb::ps {

// The liveliness of an instance as a filter asks for it.
enum class InstanceState : int32_t
{
    ALIVE = 0,
    NOT_ALIVE = 1,
    ANY = 2
};
// What a sample tells about its instance: first seen, seen again, or gone (disposed or without writers).
enum class InstanceEvent : int32_t
{
    CREATED = 0,
    UPDATED = 1,
    DELETED = 2
};

// The enumerator's name, or "InstanceState(n)" / "InstanceEvent(n)" for a value outside the enumeration.
std::string to_string(InstanceState state);
std::string to_string(InstanceEvent event);

}  // namespace qara::nimb::ps
