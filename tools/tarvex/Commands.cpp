#include "Commands.hpp"
#include "PubSubPlugin.hpp"

#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <unistd.h>

namespace qara::nimb::tools {

Uri pubSubUri(const std::string& text)
{
    try
    {
        const Uri uri(text);
        DdsUriHelper::checkUri(uri, true);
        if (!DdsUriHelper::isPubSubUri(uri))
        {
            throw NimbException("URI '" + text + "' is not a publish-subscribe URI");
        }
        return uri;
    }
    catch (const NimbException& e)
    {
        throw NimbException(std::string(e.what()) +
                            " (expected dds.ps://<domain>/<topic path>[?participant=<profile>])");
    }
}

CLI::Option* addDomain(CLI::App& command, uint32_t& domain)
{
    domain = 100 + static_cast<uint32_t>(::getpid() % 100);
    return command.add_option("--domain", domain, "DDS domain (default: 100 + process id modulo 100)")
        ->check(CLI::Range(0u, DdsUriHelper::maxDomainId));
}

CLI::Option* addTopic(CLI::App& command, std::string& topic)
{
    return command.add_option("topic", topic, "one of " + topicList())->required()->check(CLI::IsMember(topicNames()));
}

bool interactive()
{
    return ::isatty(STDOUT_FILENO) != 0;
}

}  // namespace qara::nimb::tools
