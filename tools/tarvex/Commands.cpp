#include "Commands.hpp"

#include "tools/core/Topics.hpp"

#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <csignal>

namespace qara::nimb::tools {

namespace {

std::atomic<bool> g_stop{false};

extern "C" void requestStop(int)
{
    g_stop = true;
}

}  // namespace

const PluginLibrary& LazyPlugin::get() const
{
    if (!m_plugin)
    {
        m_plugin = std::make_unique<PluginLibrary>(m_path);
    }
    return *m_plugin;
}

std::string installedOrBuilt(const std::string& fromBindir, const std::string& built)
{
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    const auto installed = (executable.parent_path() / fromBindir).lexically_normal();
    return !error && std::filesystem::exists(installed, error) ? installed.string() : built;
}

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

Uri pubSubUri(uint32_t domain, const std::string& path)
{
    return pubSubUri("dds.ps://" + std::to_string(domain) + "/" + path);
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

Nimb::Properties propertiesOf(const std::vector<std::string>& assignments, const std::string& option)
{
    Nimb::Properties properties;
    for (const auto& assignment : assignments)
    {
        const auto equals = assignment.find('=');
        if (equals == std::string::npos || equals == 0)
        {
            throw CLI::ValidationError(option, "expects name=value, not '" + assignment + "'");
        }
        properties[assignment.substr(0, equals)] = assignment.substr(equals + 1);
    }
    return properties;
}

void addProfiles(CLI::App& command, std::vector<std::string>& properties, const std::string& forWhat)
{
    command
        .add_option_function<std::string>(
            "--profiles", [&](const std::string& file) { properties.push_back("dds.xml.profiles.file=" + file); },
            "XML profiles file to load (host property dds.xml.profiles.file)")
        ->check(CLI::ExistingFile);
    command.add_option_function<std::string>(
        "--qos-library", [&](const std::string& library) { properties.push_back("dds.qos.profile.library=" + library); },
        "XML profile library for " + forWhat + " (property dds.qos.profile.library)");
}

bool interactive()
{
    return ::isatty(STDOUT_FILENO) != 0;
}

void stopOnSignals()
{
    g_stop = false;
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
}

bool stopRequested()
{
    return g_stop;
}

}  // namespace qara::nimb::tools
