// tarvex: publishes, prints and measures the tarvex topics through the plug-in, loaded the way any host
// loads it.

#include "Commands.hpp"
#include "DefaultLogConfig.hpp"

#include <fastdds/dds/log/Log.hpp>
#include <fastdds/dds/log/StdoutErrConsumer.hpp>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>

#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

using namespace qara::nimb::tools;

void configureLogging(const std::string& file)
{
    if (!file.empty())
    {
        log4cplus::PropertyConfigurator(file).configure();
    }
    else
    {
        std::istringstream text(kDefaultLogConfig);
        log4cplus::PropertyConfigurator(text).configure();
    }
    // Standard output carries data (echo prints JSON lines), so Fast DDS's own messages go to stderr too.
    auto fastDds = std::make_unique<eprosima::fastdds::dds::StdoutErrConsumer>();
    fastDds->stderr_threshold(eprosima::fastdds::dds::Log::Kind::Info);
    eprosima::fastdds::dds::Log::ClearConsumers();
    eprosima::fastdds::dds::Log::RegisterConsumer(std::move(fastDds));
}

// "tarvex <command>" for the command the arguments chose, for the start of an error line.
std::string contextOf(const CLI::App& tool)
{
    const auto chosen = tool.get_subcommands();
    return chosen.empty() ? "tarvex" : "tarvex " + chosen.front()->get_name();
}

}  // namespace

int main(int argc, char** argv)
{
    log4cplus::Initializer logging;
    CLI::App tool(
        "Publishes, prints and measures the tarvex topics through the plug-in libnimb-dds-tarvex.\n"
        "'tarvex <command> --help' describes one command.",
        "tarvex");
    // The common options may also follow the command.
    tool.fallthrough();
    tool.require_subcommand(0, 1);
    // The installed plug-in relative to the installed tool, else the one this tool was built with.
    std::string pluginPath = installedOrBuilt(NIMB_PLUGIN_FROM_BINDIR, NIMB_PLUGIN_BUILT);
    std::string logConfig;
    tool.add_option("--plugin", pluginPath, "the plug-in to load")->capture_default_str();
    tool.add_option("--log-config", logConfig, "log4cplus properties file (default: warnings and errors on stderr)")
        ->check(CLI::ExistingFile);
    const std::map<std::string, Run> commands = {{"demo", addDemo(tool)},
                                                 {"pub", addPub(tool)},
                                                 {"echo", addEcho(tool)},
                                                 {"bench", addBench(tool)},
                                                 {"perf", addPerf(tool)},
                                                 {"record", addRecord(tool)},
                                                 {"info", addInfo(tool)},
                                                 {"replay", addReplay(tool)},
                                                 {"bridge", addBridge(tool)}};
    // Set after the commands, which would inherit it: what no command takes is reported below, in one line.
    tool.allow_extras();

    try
    {
        try
        {
            tool.parse(argc, argv);
        }
        catch (const CLI::Success& help)
        {
            return tool.exit(help);
        }
        const auto chosen = tool.get_subcommands();
        if (chosen.empty())
        {
            throw CLI::ParseError(tool.remaining().empty() ? "no command given; 'tarvex --help' lists them"
                                                           : "unknown command '" + tool.remaining().front() +
                                                                 "'; 'tarvex --help' lists them",
                                  2);
        }
        if (!tool.remaining().empty())
        {
            throw CLI::ParseError("unexpected argument '" + tool.remaining().front() + "'", 2);
        }
        configureLogging(logConfig);
        return commands.at(chosen.front()->get_name())(LazyPlugin(pluginPath));
    }
    catch (const CLI::ParseError& e)
    {
        std::cerr << contextOf(tool) << ": " << e.what() << '\n';
        return 2;
    }
    catch (const std::exception& e)
    {
        std::cerr << contextOf(tool) << ": " << e.what() << '\n';
        return 1;
    }
    catch (...)
    {
        std::cerr << contextOf(tool) << ": failed for an unknown reason\n";
        return 1;
    }
}
