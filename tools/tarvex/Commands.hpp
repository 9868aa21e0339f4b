#pragma once

#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/Uri.hpp>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qara::nimb::tools {

// What runs once the command line is parsed and the plug-in loaded; returns the exit status.
using Run = std::function<int(const PluginLibrary&)>;

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

// A publish-subscribe DDS URI, or NimbException saying what is wrong with the text.
Uri pubSubUri(const std::string& text);

// --domain D, 0..232; unset, a domain derived from the process id in 100..199, so that two runs rarely meet.
CLI::Option* addDomain(CLI::App& command, uint32_t& domain);

// The one positional argument that names a topic.
CLI::Option* addTopic(CLI::App& command, std::string& topic);

// True when standard output is a terminal, where a progress line may overwrite itself.
bool interactive();

}  // namespace qara::nimb::tools
