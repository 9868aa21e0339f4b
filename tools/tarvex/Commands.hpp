#pragma once

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/Uri.hpp>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qara::nimb::tools {

// The plug-in, loaded when a command first asks for it: commands that do not use DDS never do.
class LazyPlugin
{
public:
    explicit LazyPlugin(std::string path) : m_path(std::move(path)) {}
    const PluginLibrary& get() const;

private:
    std::string m_path;
    mutable std::unique_ptr<PluginLibrary> m_plugin;
};

// A file installed with the tool, `fromBindir` relative to the tool's own directory, else the one in the
// build tree.
std::string installedOrBuilt(const std::string& fromBindir, const std::string& built);

// What runs once the command line is parsed; returns the exit status.
using Run = std::function<int(const LazyPlugin&)>;

// Each command adds its sub-command to the tool and returns what runs it. The options it parses land in
// state that the returned function shares.
Run addDemo(CLI::App& tool);
Run addPub(CLI::App& tool);
Run addEcho(CLI::App& tool);
Run addBench(CLI::App& tool);
Run addPerf(CLI::App& tool);
Run addRecord(CLI::App& tool);
Run addInfo(CLI::App& tool);
Run addReplay(CLI::App& tool);
Run addBridge(CLI::App& tool);

// A publish-subscribe DDS URI, or NimbException saying what is wrong with the text.
Uri pubSubUri(const std::string& text);

// "dds.ps://<domain>/<path>"
Uri pubSubUri(uint32_t domain, const std::string& path);

// --domain D, 0..232; unset, a domain derived from the process id in 100..199, so that two runs rarely meet.
CLI::Option* addDomain(CLI::App& command, uint32_t& domain);

// The one positional argument that names a topic.
CLI::Option* addTopic(CLI::App& command, std::string& topic);

// An option whose default the help shows and whose values `check` accepts.
template <class T>
CLI::Option* addChecked(CLI::App& command, const std::string& name, T& value, const std::string& help,
                        const CLI::Validator& check)
{
    return command.add_option(name, value, help)->capture_default_str()->check(check);
}

// Host properties from NAME=VALUE texts; CLI::ValidationError naming `option` for one without '='.
Nimb::Properties propertiesOf(const std::vector<std::string>& assignments, const std::string& option);

// --profiles FILE and --qos-library LIB, the host properties dds.xml.profiles.file and dds.qos.profile.library.
void addProfiles(CLI::App& command, std::vector<std::string>& properties, const std::string& forWhat);

// True when standard output is a terminal, where a progress line may overwrite itself.
bool interactive();

// From now on SIGINT and SIGTERM set a flag instead of ending the process.
void stopOnSignals();
bool stopRequested();

}  // namespace qara::nimb::tools
