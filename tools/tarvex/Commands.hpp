#pragma once

#include "CommandLine.hpp"

#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/Uri.hpp>

#include <cstdint>
#include <string>

namespace qara::nimb::tools {

// What every command gets: the loaded plug-in and its own arguments. Returns the exit status.
struct Context
{
    const PluginLibrary& plugin;
    const CommandLine& args;
};

int runDemo(const Context& context);
int runPub(const Context& context);
int runEcho(const Context& context);
int runBench(const Context& context);
int runRecord(const Context& context);
int runInfo(const Context& context);
int runReplay(const Context& context);

// A publish-subscribe DDS URI, or NimbException saying what is wrong with the text.
Uri pubSubUri(const std::string& text);

// --domain, or else one derived from the process id in 100..199, so that two runs rarely meet.
uint32_t privateDomain(const CommandLine& args);

// The single positional argument naming a topic; UsageError otherwise.
std::string topicArgument(const CommandLine& args);

// True when standard output is a terminal, where a progress line may overwrite itself.
bool interactive();

}  // namespace qara::nimb::tools
