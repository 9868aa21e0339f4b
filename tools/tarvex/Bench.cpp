#include "Commands.hpp"

#include "tools/core/Loopback.hpp"
#include "tools/core/Topics.hpp"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;

struct BenchOptions
{
    std::size_t rounds = 6;
    double seconds = 0.5;
    double rate = 1000;
    uint32_t domain = 0;
    std::string csv = "tarvex-bench.csv";
    std::string plot = "tarvex-bench.svg";
};

// One turn of one path of one topic: a paced latency phase and a back-to-back throughput phase.
struct Measurement
{
    std::string type;
    Path path = Path::Plugin;
    std::size_t round = 0;
    std::size_t latencySent = 0;
    std::vector<double> latencies;  // seconds, one per sample received
    std::size_t throughputSent = 0;
    std::size_t throughputReceived = 0;
    double throughputSeconds = 0;  // from the first publication to the last arrival

    double throughput() const { return throughputSeconds > 0 ? throughputReceived / throughputSeconds : 0; }
};

Measurement measure(Loopback& loop, const BenchOptions& options)
{
    // Whatever a phase still has in flight after this long is lost.
    const auto drain = std::chrono::seconds(2);
    const auto phase = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    Measurement m;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / options.rate));
    loop.tally().restart(wallSeconds());
    const auto start = Clock::now();
    for (auto next = start; next < start + phase; next += period, ++m.latencySent)
    {
        std::this_thread::sleep_until(next);
        loop.publish();
    }
    loop.tally().waitForCount(m.latencySent, drain);
    m.latencies = loop.tally().latencies();

    loop.tally().restart(wallSeconds());
    const auto first = Clock::now();
    for (; Clock::now() < first + phase; ++m.throughputSent)
    {
        loop.publish();
    }
    m.throughputReceived = loop.tally().waitForCount(m.throughputSent, drain);
    m.throughputSeconds = std::chrono::duration<double>(loop.tally().counts().lastArrival - first).count();
    return m;
}

// Another turn of the same path: latencies pooled, throughput over the phases' total time.
void pool(Measurement& pooled, const Measurement& m)
{
    pooled.latencySent += m.latencySent;
    pooled.latencies.insert(pooled.latencies.end(), m.latencies.begin(), m.latencies.end());
    pooled.throughputSent += m.throughputSent;
    pooled.throughputReceived += m.throughputReceived;
    pooled.throughputSeconds += m.throughputSeconds;
}

std::string interval(const RatioSummary& r)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << r.median << " [" << r.low << ", " << r.high << "]";
    return text.str();
}

void printRow(const Measurement& p, const std::string& topicColumn)
{
    const LatencySummary latency = summarize(p.latencies);
    std::cout << std::left << std::setw(23) << topicColumn << std::setw(9) << nameOf(p.path) << std::right
              << std::setw(8) << p.latencySent << std::setw(8) << latency.count << std::fixed << std::setprecision(1)
              << std::setw(11) << latency.median * 1e6 << std::setw(9) << latency.p99 * 1e6 << std::setprecision(0)
              << std::setw(13) << p.throughput() << std::setw(7) << p.throughputSent - p.throughputReceived << '\n';
}

std::ofstream openOutput(const std::string& file)
{
    std::ofstream out(file);
    if (!out)
    {
        throw std::runtime_error("cannot write " + file);
    }
    return out;
}

void writeCsv(const std::string& file, const std::vector<Measurement>& results)
{
    auto out = openOutput(file);
    out << "topic,path,round,latency_sent,latency_received,latency_median_us,latency_p99_us,"
           "throughput_sent,throughput_received,throughput_per_s\n";
    for (const Measurement& m : results)
    {
        const LatencySummary latency = summarize(m.latencies);
        out << m.type << ',' << idOf(m.path) << ',' << m.round << ',' << m.latencySent << ',' << latency.count << ','
            << latency.median * 1e6 << ',' << latency.p99 * 1e6 << ',' << m.throughputSent << ','
            << m.throughputReceived << ',' << m.throughput() << '\n';
    }
}

// The plotting script with Debian's Python, which scripts/install-deps.sh gives matplotlib.
std::string plotCommand(const std::string& plot)
{
    const auto quoted = [](std::string text) {
        for (auto at = text.find('\''); at != std::string::npos; at = text.find('\'', at + 4))
        {
            text.replace(at, 1, "'\\''");
        }
        return "'" + text + "'";
    };
    return "/usr/bin/python3 " + quoted(installedOrBuilt(NIMB_PLOT_SCRIPT_FROM_BINDIR, NIMB_PLOT_SCRIPT_BUILT)) + " " +
           quoted(plot);
}

// Latency distributions and ratio intervals, drawn by the plotting script from what it reads on its input.
void writePlot(const std::string& plot, const nlohmann::json& data)
{
    FILE* script = ::popen(plotCommand(plot).c_str(), "w");
    const std::string text = data.dump();
    const bool written = script != nullptr && std::fwrite(text.data(), 1, text.size(), script) == text.size();
    if (script == nullptr || ::pclose(script) != 0 || !written)
    {
        throw std::runtime_error("cannot plot to " + plot + " (needs python3 with matplotlib)");
    }
}

int runBench(const PluginLibrary& plugin, const BenchOptions& options)
{
    const std::string tag = "bench/" + std::to_string(::getpid());
    // Fail on an unwritable file now rather than after the whole run.
    openOutput(options.csv);
    writePlot(options.plot, nullptr);

    std::cout << "tarvex bench: DDS domain " << options.domain << ", " << options.rounds
              << " rounds of plug-in and plain in turn, " << options.seconds << " s per phase, latency phase at "
              << options.rate << " Hz, plug-in " << plugin.path() << "\n\n"
              << std::left << std::setw(23) << "topic" << std::setw(9) << "path" << std::right << std::setw(8) << "sent"
              << std::setw(8) << "recv" << std::setw(11) << "median us" << std::setw(9) << "p99 us" << std::setw(13)
              << "samples/s" << std::setw(7) << "lost" << '\n';
    std::vector<Measurement> results;
    nlohmann::json plotted = {{"latencies_us", nlohmann::json::array()}, {"ratios", nlohmann::json::array()}};
    forEachTopic([&](auto topic) {
        // Both paths stay open for the whole topic, so that each round costs no discovery.
        Loopback loops[2] = {{plugin, Path::Plugin, topic.name, options.domain, tag},
                             {plugin, Path::Plain, topic.name, options.domain, tag}};
        for (Loopback& loop : loops)
        {
            loop.warmUp();
        }
        Measurement pooled[2];
        pooled[1].path = Path::Plain;
        // Plug-in/plain of each round.
        std::pair<const char*, std::vector<double>> ratios[] = {{"p50", {}}, {"p99", {}}, {"samples/s", {}}};
        const auto divided = [](double x, double y) { return y > 0 ? x / y : 0.0; };
        for (std::size_t round = 0; round < options.rounds; ++round)
        {
            Measurement turn[2];
            // Which path goes first alternates, so that neither always follows the other.
            for (const std::size_t i : {round % 2, 1 - round % 2})
            {
                turn[i] = measure(loops[i], options);
                turn[i].type = topic.name;
                turn[i].path = pooled[i].path;
                turn[i].round = round;
                pool(pooled[i], turn[i]);
                results.push_back(turn[i]);
            }
            const LatencySummary x = summarize(turn[0].latencies);
            const LatencySummary y = summarize(turn[1].latencies);
            ratios[0].second.push_back(divided(x.median, y.median));
            ratios[1].second.push_back(divided(x.p99, y.p99));
            ratios[2].second.push_back(divided(turn[0].throughput(), turn[1].throughput()));
        }
        for (const Measurement& path : pooled)
        {
            printRow(path, path.path == Path::Plugin ? topic.name : "");
            std::vector<double> micro;
            for (const double seconds : path.latencies)
            {
                micro.push_back(seconds * 1e6);
            }
            plotted["latencies_us"].push_back({{"topic", topic.name}, {"path", nameOf(path.path)}, {"values", micro}});
        }
        std::cout << std::left << std::setw(23) << "" << "plug-in/plain ";
        for (const auto& [quantity, perRound] : ratios)
        {
            const RatioSummary ratio = summarizeRatios(perRound);
            std::cout << ' ' << quantity << ' ' << std::setw(20) << interval(ratio);
            plotted["ratios"].push_back({{"topic", topic.name},
                                         {"quantity", quantity},
                                         {"median", ratio.median},
                                         {"low", ratio.low},
                                         {"high", ratio.high}});
        }
        std::cout << '\n';
    });
    std::cout << "\nsent/recv/median/p99: latency phases; samples/s and lost: throughput phases; all rounds pooled.\n"
                 "plug-in/plain: the median of the per-round ratios [95 % interval, rounds resampled].\n";
    writeCsv(options.csv, results);
    writePlot(options.plot, plotted);
    std::cout << "wrote " << options.csv << " and " << options.plot << '\n';
    return 0;
}

}  // namespace

Run addBench(CLI::App& tool)
{
    auto options = std::make_shared<BenchOptions>();
    CLI::App* command =
        tool.add_subcommand("bench", "latency and throughput through the plug-in and through plain Fast DDS");
    command->footer(
        "Measures every topic along two paths in one run: through the plug-in (publisher and listener\n"
        "subscription) and through plain Fast DDS (a DataWriter and a DataReader listener with the plug-in's type\n"
        "support and QoS). The paths take turns in N rounds; each turn has a latency phase, HZ samples per second\n"
        "timed from the source time stamp to the listener, and a throughput phase, samples published back to back,\n"
        "of S seconds each. Prints each path's results and, per topic, the median of the per-round plug-in/plain\n"
        "ratios with a 95 % bootstrap interval; writes every round to a CSV file and plots the latency\n"
        "distributions and the ratio intervals as SVG (with python3 and matplotlib).");
    addChecked(*command, "--rounds", options->rounds, "rounds of plug-in and plain in turn", CLI::Range(1, 1000));
    addChecked(*command, "--seconds", options->seconds, "length of each phase of each turn", CLI::Range(0.05, 600.0));
    addChecked(*command, "--rate", options->rate, "samples per second in the latency phase", CLI::Range(1.0, 100000.0));
    command->add_option("--csv", options->csv, "where the numbers go")->capture_default_str();
    command->add_option("--plot", options->plot, "where the plot goes")->capture_default_str();
    addDomain(*command, options->domain);
    return [options](const LazyPlugin& plugin) { return runBench(plugin.get(), *options); };
}

}  // namespace qara::nimb::tools
