#include <qara/nimb/util/Properties.hpp>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <charconv>
#include <system_error>

namespace qara::nimb::util {

long getLongProperty(const Nimb::Properties& properties, const std::string& key, long defaultValue)
{
    const auto found = properties.find(key);
    if (found == properties.end())
    {
        return defaultValue;
    }
    const std::string& text = found->second;
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
    {
        LOG4CPLUS_WARN(log4cplus::Logger::getInstance("nimbProperties"),
                       "Property " << key << " is not an integer: '" << text << "', using " << defaultValue);
        return defaultValue;
    }
    return value;
}

}  // namespace qara::nimb::util
