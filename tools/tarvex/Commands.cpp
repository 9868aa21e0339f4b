#include "Commands.hpp"

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

uint32_t privateDomain(const CommandLine& args)
{
    return static_cast<uint32_t>(
        args.integer("domain", 100 + ::getpid() % 100, 0, static_cast<long long>(DdsUriHelper::maxDomainId)));
}

std::string topicArgument(const CommandLine& args)
{
    if (args.positionals().size() != 1)
    {
        throw UsageError("expects exactly one topic, got " + std::to_string(args.positionals().size()) + " arguments");
    }
    return args.positionals().front();
}

bool interactive()
{
    return ::isatty(STDOUT_FILENO) != 0;
}

}  // namespace qara::nimb::tools
