#include <qara/nimb/ps/detail/Uuid.hpp>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace qara::nimb::ps::detail {

std::string newUUID()
{
    // The generator is not thread-safe; one per thread avoids a lock.
    thread_local boost::uuids::random_generator generator;
    return boost::uuids::to_string(generator());
}

}  // namespace qara::nimb::ps::detail
