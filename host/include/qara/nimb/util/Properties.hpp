#pragma once

#include <qara/nimb/Nimb.hpp>

#include <string>

namespace qara::nimb::util {

// The whole value as a decimal long; defaultValue when the key is absent or its value is not such a
// number (logged at WARN on "nimbProperties").
long getLongProperty(const Nimb::Properties& properties, const std::string& key, long defaultValue);

}  // namespace qara::nimb::util
