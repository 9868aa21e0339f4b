// tarvex: publishes, prints and measures the tarvex topics through the plug-in, loaded the way any host
// loads it.

#include "Commands.hpp"
#include "DefaultLogConfig.hpp"
#include "PubSubPlugin.hpp"

#include <fastdds/dds/log/Log.hpp>
#include <fastdds/dds/log/StdoutErrConsumer.hpp>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace qara::nimb::tools;

struct Command
{
    const char* name;
    const char* summary;
    const char* help;
    std::vector<CommandLine::Option> options;
    int (*run)(const Context&);
};

const std::vector<CommandLine::Option> kCommonOptions = {{"plugin", true}, {"log-config", true}, {"help", false}};

const std::vector<Command>& commands()
{
    static const std::vector<Command> all = {
        {"demo",
         "publish all four topics on a private domain and report what arrived",
         R"(Usage: tarvex demo [--seconds S] [--domain D]

Publishes the four topics on a DDS domain of their own for S seconds, each at its own rate
(SaMeasurements_fast 500 Hz, PsMeasurements 100 Hz, SaMeasurements_medium 20 Hz, SaMeasurements_slow 5 Hz),
and receives them three ways in the same process: a listener subscription (subscribeAsync), readDataEvents
on a thread of its own, and the most-recent-value subscriber, polled every 50 ms. Before counting, each topic
sends warm-up samples until all three have one. Ends with a table per topic: samples sent, received per path,
lost on the listener path, and the listener's latency from the source time stamp (median, 99th percentile).
Exits with status 1 when the listener path lost anything.

Options:
  --seconds S   how long to publish (default 5)
  --domain D    DDS domain (default: 100 + process id modulo 100)
)",
         {{"seconds", true}, {"domain", true}},
         runDemo},
        {"pub",
         "publish samples of one topic",
         R"(Usage: tarvex pub <topic> [--uri U] [--rate HZ] [--count N] [--set name=value ...]

Waits until a subscriber has matched, then publishes samples of <topic>. A field named with --set keeps the
value given: a number, true or false, and for an array exactly as many comma-separated values as it has
elements (nan and inf are accepted for floating-point fields). Every other numeric field takes the sample's
number 1, 2, 3, ... so that consecutive samples differ.

Options:
  --uri U       where to publish (default dds.ps://0/tarvex/<topic>)
  --rate HZ     samples per second (default 10)
  --count N     stop after N samples (default: until interrupted)
  --set N=V     give field N the value V; repeatable
)",
         {{"uri", true}, {"rate", true}, {"count", true}, {"set", true}},
         runPub},
        {"echo",
         "print received samples of one topic as JSON lines",
         R"(Usage: tarvex echo <topic> [--uri U] [--count N] [--timeout MS]

Prints each sample of <topic> it receives as one line of JSON: every field by name in wire order, arrays as
JSON arrays, flags as true or false, NaN and infinities as null.

Options:
  --uri U        where to listen (default dds.ps://0/tarvex/<topic>)
  --count N      stop after N samples (default: until interrupted)
  --timeout MS   stop after MS milliseconds; with --count, fewer than N samples by then is an error
)",
         {{"uri", true}, {"count", true}, {"timeout", true}},
         runEcho},
        {"bench",
         "latency and throughput through the plug-in and through plain Fast DDS",
         R"(Usage: tarvex bench [--seconds S] [--rate HZ] [--csv FILE] [--plot FILE.svg] [--domain D]

Measures every topic along two paths in one run: through the plug-in (publisher and listener subscription)
and through plain Fast DDS (a DataWriter and a DataReader listener with the plug-in's type support and QoS).
Each measurement has a latency phase, HZ samples per second timed from the source time stamp to the
listener, and a throughput phase, samples published back to back, of S seconds each. Prints the results with
the plug-in/plain ratios, writes them to a CSV file and plots the latency distributions as SVG.

Options:
  --seconds S     length of each phase (default 2)
  --rate HZ       samples per second in the latency phase (default 1000)
  --csv FILE      where the numbers go (default tarvex-bench.csv)
  --plot FILE     where the plot goes (default tarvex-bench.svg)
  --domain D      DDS domain (default: 100 + process id modulo 100)
)",
         {{"seconds", true}, {"rate", true}, {"csv", true}, {"plot", true}, {"domain", true}},
         runBench},
        {"record",
         "record topics to an MCAP file",
         R"(Usage: tarvex record [TOPIC ...] --output FILE.mcap [--domain D] [--duration S] [--count N]

Subscribes to the given topics (all four when none is named) on DDS topics <prefix>/<topic> and writes every
sample as it arrives to an MCAP file: the payload exactly as it travelled (XCDR1 or XCDR2), reception time as
log time, source time stamp as publish time, the writer's sequence number. Each topic's schema is the IDL of
its structure (encoding omgidl), so MCAP viewers show every field by name. Prints one progress line a second
on stderr; stops after S seconds, after N messages or on Ctrl-C, and then writes the file's summary. A recording killed
outright stays readable up to its last second.

The reader keeps every sample until written. Its reliability and durability come from the data-reader
profile of --qos-library, when given (RELIABLE for a recording without loss); readers are best effort
otherwise.

Options:
  --output FILE       the MCAP file to write (required)
  --domain D          DDS domain (default 0)
  --prefix P          topic path before the topic name (default tarvex)
  --duration S        stop after S seconds (default: until interrupted)
  --count N           stop after N messages in all
  --compression C     zstd, lz4 or none (default zstd)
  --profiles FILE     XML profiles file to load (host property dds.xml.profiles.file)
  --qos-library L     XML profile library for the reader (property dds.qos.profile.library)
)",
         {{"output", true}, {"domain", true}, {"prefix", true}, {"duration", true}, {"count", true},
          {"compression", true}, {"profiles", true}, {"qos-library", true}},
         runRecord},
        {"info",
         "describe an MCAP file and check it",
         R"(Usage: tarvex info FILE.mcap

Prints the recording's time span, its message counts and rates per topic, its schemas and compression, then
checks every chunk, index and CRC and prints each fault with its byte offset. Exits with status 1 when the
file has faults; a file cut short is read up to its last whole chunk.
)",
         {},
         runInfo},
        {"replay",
         "publish an MCAP recording again through the plug-in",
         R"(Usage: tarvex replay FILE.mcap [--rate X] [--loop] [--restamp] [--domain D] [--topics T,...]

Waits until every replayed topic has a subscriber, then publishes each recorded message through the
plug-in, on the topic it was recorded from, with the recording's relative timing scaled by X and its
source time stamp.

Options:
  --rate X            speed factor (default 1: as recorded; 2: twice as fast)
  --loop              start again at the end, until interrupted
  --restamp           stamp samples with the time they are sent instead of the recorded one
  --domain D          DDS domain (default: the recorded one)
  --topics T,...      only these topics (topic types or DDS topic names); repeatable
  --profiles FILE     XML profiles file to load (host property dds.xml.profiles.file)
  --qos-library L     XML profile library for the writers (property dds.qos.profile.library)
)",
         {{"rate", true}, {"loop", false}, {"restamp", false}, {"domain", true}, {"topics", true},
          {"profiles", true}, {"qos-library", true}},
         runReplay},
    };
    return all;
}

// The installed plug-in relative to the installed tool, else the one this tool was built with.
std::string defaultPlugin()
{
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
    {
        const auto installed = (executable.parent_path() / NIMB_PLUGIN_FROM_BINDIR).lexically_normal();
        if (std::filesystem::exists(installed, error))
        {
            return installed.string();
        }
    }
    return NIMB_PLUGIN_BUILT;
}

std::string commonHelp()
{
    return "\nOptions of every command:\n"
           "  --plugin PATH       the plug-in to load (default " +
           defaultPlugin() +
           ")\n"
           "  --log-config FILE   log4cplus properties file (default: warnings and errors on stderr)\n"
           "  --help              this text\n\n"
           "Topics: " +
           topicList() + "\n";
}

std::string toolHelp()
{
    std::string text =
        "Usage: tarvex [--plugin PATH] [--log-config FILE] <command> [options]\n\n"
        "Publishes, prints and measures the tarvex topics through the plug-in libnimb-dds-tarvex.\n\n"
        "Commands:\n";
    for (const auto& command : commands())
    {
        text += "  " + std::string(command.name) + std::string(8 - std::string(command.name).size(), ' ') +
                command.summary + "\n";
    }
    return text + commonHelp() + "\n'tarvex <command> --help' describes one command.\n";
}

void configureLogging(const CommandLine& args)
{
    if (args.has("log-config"))
    {
        const std::string file = args.value("log-config", {});
        if (!std::ifstream(file))
        {
            throw UsageError("cannot read the log configuration " + file);
        }
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

// The first argument that is neither an option nor the value of a common one names the command.
std::vector<std::string>::const_iterator findCommand(const std::vector<std::string>& args)
{
    for (auto it = args.begin(); it != args.end(); ++it)
    {
        const bool takesValue = std::any_of(kCommonOptions.begin(), kCommonOptions.end(), [&](const auto& option) {
            return option.takesValue && *it == std::string("--") + option.name;
        });
        if (takesValue)
        {
            if (++it == args.end())
            {
                break;
            }
        }
        else if (it->compare(0, 2, "--") != 0)
        {
            return it;
        }
    }
    return args.end();
}

int run(std::vector<std::string> args, std::string& context)
{
    std::replace(args.begin(), args.end(), std::string("-h"), std::string("--help"));
    const auto word = findCommand(args);
    if (word == args.end())
    {
        const CommandLine common(args, kCommonOptions);
        if (!common.has("help"))
        {
            throw UsageError("no command given; 'tarvex --help' lists them");
        }
        std::cout << toolHelp();
        return 0;
    }
    const auto command =
        std::find_if(commands().begin(), commands().end(), [&](const Command& c) { return *word == c.name; });
    if (command == commands().end())
    {
        throw UsageError("unknown command '" + *word + "'; 'tarvex --help' lists them");
    }
    context = std::string("tarvex ") + command->name;

    std::vector<std::string> rest(args.cbegin(), word);
    rest.insert(rest.end(), word + 1, args.cend());
    auto options = kCommonOptions;
    options.insert(options.end(), command->options.begin(), command->options.end());
    const CommandLine commandLine(rest, options);
    if (commandLine.has("help"))
    {
        std::cout << command->help << commonHelp();
        return 0;
    }
    configureLogging(commandLine);
    const qara::nimb::PluginLibrary plugin(commandLine.value("plugin", defaultPlugin()));
    return command->run(Context{plugin, commandLine});
}

}  // namespace

int main(int argc, char** argv)
{
    log4cplus::Initializer logging;
    std::string context = "tarvex";
    try
    {
        return run(std::vector<std::string>(argv + 1, argv + argc), context);
    }
    catch (const UsageError& e)
    {
        std::cerr << context << ": " << e.what() << '\n';
        return 2;
    }
    catch (const std::exception& e)
    {
        std::cerr << context << ": " << e.what() << '\n';
        return 1;
    }
    catch (...)
    {
        std::cerr << context << ": failed for an unknown reason\n";
        return 1;
    }
}
