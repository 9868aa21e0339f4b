#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/ProfileType.hpp>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

namespace qara::nimb {

namespace {

const char* kindName(ProfileType type)
{
    switch (type)
    {
        case ProfileType::Topic:
            return "topic";
        case ProfileType::DataWriter:
            return "datawriter";
        case ProfileType::Publisher:
            return "publisher";
        case ProfileType::DataReader:
            return "datareader";
        case ProfileType::Subscriber:
            return "subscriber";
    }
    throw NimbException("Unknown profile type " + std::to_string(static_cast<int32_t>(type)));
}

}  // namespace

std::string getProfileNameByProfileType(ProfileType type, const Nimb::Properties& properties)
{
    static const log4cplus::Logger logger = log4cplus::Logger::getInstance("nimbProfiles");
    const auto library = properties.find("dds.qos.profile.library");
    if (library == properties.end())
    {
        throw NimbException("Property dds.qos.profile.library is not set");
    }
    const std::string kind = kindName(type);
    const auto override = properties.find("dds.qos.profile." + kind);
    const std::string name = override != properties.end() ? override->second : library->second + "." + kind;
    LOG4CPLUS_TRACE(logger, "Profile for " << kind << ": " << name);
    return name;
}

}  // namespace qara::nimb
