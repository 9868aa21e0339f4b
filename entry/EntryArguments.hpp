#pragma once

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/Uri.hpp>
#include <qara/nimb/ps/qos/QoS.hpp>

#include <memory>

namespace qara::nimb::entry {

using QoSList = std::vector<std::shared_ptr<ps::qos::QoS>>;

// The host must hand in its DDS middleware; anything else is refused instead of being misused.
inline DdsNimb& ddsNimbOf(const std::shared_ptr<Nimb>& nimb)
{
    auto* dds = dynamic_cast<DdsNimb*>(nimb.get());
    if (dds == nullptr)
    {
        throw NimbException("The host object is not a DDS middleware (qara::nimb::DdsNimb)");
    }
    return *dds;
}

}  // namespace qara::nimb::entry
