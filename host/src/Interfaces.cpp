#include <qara/nimb/ps/DataEntity.hpp>
#include <qara/nimb/ps/InstanceState.hpp>
#include <qara/nimb/ps/Subscription.hpp>

namespace qara::nimb::ps {

// Out-of-line destructors keep the vtables and type information in libnimb,
// so dynamic_cast works across plug-ins loaded with RTLD_LOCAL.
DataEntityBase::~DataEntityBase() = default;
Subscription::~Subscription() = default;

std::string to_string(InstanceState state)
{
    switch (state)
    {
        case InstanceState::ALIVE:
            return "ALIVE";
        case InstanceState::NOT_ALIVE:
            return "NOT_ALIVE";
        case InstanceState::ANY:
            return "ANY";
    }
    return "InstanceState(" + std::to_string(static_cast<int32_t>(state)) + ")";
}

std::string to_string(InstanceEvent event)
{
    switch (event)
    {
        case InstanceEvent::CREATED:
            return "CREATED";
        case InstanceEvent::UPDATED:
            return "UPDATED";
        case InstanceEvent::DELETED:
            return "DELETED";
    }
    return "InstanceEvent(" + std::to_string(static_cast<int32_t>(event)) + ")";
}

}  // namespace qara::nimb::ps
