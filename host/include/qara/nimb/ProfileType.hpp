#pragma once

#include <qara/nimb/Nimb.hpp>

#include <cstdint>
#include <string>

namespace qara::nimb {

enum class ProfileType : int32_t
{
    Topic = 1,
    DataWriter = 2,
    Publisher = 3,
    DataReader = 4,
    Subscriber = 5
};

// "dds.qos.profile.<kind>" if set, else "<dds.qos.profile.library>.<kind>".
// Throws NimbException when dds.qos.profile.library is not set.
std::string getProfileNameByProfileType(ProfileType type, const Nimb::Properties& properties);

}  // namespace qara::nimb
