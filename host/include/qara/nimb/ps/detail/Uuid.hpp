#pragma once

#include <string>

namespace qara::nimb::ps::detail {

// Random (version 4) UUID in the canonical 36-character form.
std::string newUUID();

}  // namespace qara::nimb::ps::detail
