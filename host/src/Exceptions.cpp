#include <qara/nimb/Exceptions.hpp>

namespace qara::nimb {

// Out of line so the type information lives in libnimb only.
NimbException::~NimbException() = default;
IllegalStateException::~IllegalStateException() = default;

}  // namespace qara::nimb
