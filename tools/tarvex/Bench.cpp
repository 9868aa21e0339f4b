#include "Commands.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qara::nimb::tools {

namespace {

std::ofstream openOutput(const std::string& file)
{
    std::ofstream out(file);
    if (!out)
    {
        throw std::runtime_error("cannot write " + file);
    }
    return out;
}

void printRow(const Measurement& m, const std::string& topicColumn)
{
    const LatencySummary latency = summarize(m.latencies);
    std::cout << std::left << std::setw(23) << topicColumn << std::setw(9) << to_string(m.path) << std::right
              << std::setw(7) << m.latencySent << std::setw(7) << latency.count << std::fixed << std::setprecision(1)
              << std::setw(11) << latency.median * 1e6 << std::setw(9) << latency.p99 * 1e6 << std::setprecision(0)
              << std::setw(13) << m.throughput() << std::setw(7) << m.throughputSent - m.throughputReceived << '\n';
}

void printRatios(const Measurement& plugin, const Measurement& plain)
{
    const LatencySummary a = summarize(plugin.latencies);
    const LatencySummary b = summarize(plain.latencies);
    const auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
    std::cout << std::left << std::setw(23) << ""
              << "plug-in/plain" << std::right << std::fixed << std::setprecision(2) << std::setw(21)
              << ratio(a.median, b.median) << std::setw(9) << ratio(a.p99, b.p99) << std::setw(13)
              << ratio(plugin.throughput(), plain.throughput()) << '\n';
}

void writeCsv(const std::string& file, const std::vector<Measurement>& results)
{
    auto out = openOutput(file);
    out << "topic,path,latency_sent,latency_received,latency_median_us,latency_p99_us,"
           "throughput_sent,throughput_received,throughput_per_s\n";
    for (const Measurement& m : results)
    {
        const LatencySummary latency = summarize(m.latencies);
        out << m.type << ',' << idOf(m.path) << ',' << m.latencySent << ',' << latency.count << ','
            << latency.median * 1e6 << ',' << latency.p99 * 1e6 << ',' << m.throughputSent << ','
            << m.throughputReceived << ',' << m.throughput() << '\n';
    }
}

std::string decadeLabel(double us)
{
    if (us < 1)
    {
        return "0.1 us";
    }
    return us < 1000 ? std::to_string(std::lround(us)) + " us" : std::to_string(std::lround(us / 1000)) + " ms";
}

// Cumulative distributions of every measurement's latencies on a logarithmic axis: one colour per topic,
// solid through the plug-in, dashed through plain Fast DDS.
void writePlot(const std::string& file, const std::vector<Measurement>& results)
{
    constexpr double width = 960, height = 540, left = 70, right = 260, top = 50, bottom = 60;
    constexpr double plotWidth = width - left - right, plotHeight = height - top - bottom;
    constexpr double floorUs = 0.1;
    const char* colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"};

    double lowest = 1e9;
    double highest = floorUs;
    for (const Measurement& m : results)
    {
        for (const double seconds : m.latencies)
        {
            lowest = std::min(lowest, std::max(seconds * 1e6, floorUs));
            highest = std::max(highest, seconds * 1e6);
        }
    }
    const double low = std::floor(std::log10(std::min(lowest, highest)));
    const double high = std::max(low + 1, std::ceil(std::log10(highest)));
    const auto x = [&](double us) {
        return left + (std::log10(std::max(us, floorUs)) - low) / (high - low) * plotWidth;
    };
    const auto y = [&](double fraction) { return top + (1 - fraction) * plotHeight; };

    std::ostringstream svg;
    svg << std::fixed << std::setprecision(1);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << left << "\" y=\"28\" font-size=\"16\">Latency, source time stamp to listener "
        << "(cumulative)</text>\n";
    for (double decade = low; decade <= high; ++decade)
    {
        const double us = std::pow(10.0, decade);
        svg << "<line x1=\"" << x(us) << "\" y1=\"" << top << "\" x2=\"" << x(us) << "\" y2=\"" << top + plotHeight
            << "\" stroke=\"#ddd\"/>\n<text x=\"" << x(us) << "\" y=\"" << top + plotHeight + 18
            << "\" text-anchor=\"middle\">" << decadeLabel(us) << "</text>\n";
    }
    for (int quarter = 0; quarter <= 4; ++quarter)
    {
        svg << "<line x1=\"" << left << "\" y1=\"" << y(quarter / 4.0) << "\" x2=\"" << left + plotWidth << "\" y2=\""
            << y(quarter / 4.0) << "\" stroke=\"#ddd\"/>\n<text x=\"" << left - 8 << "\" y=\"" << y(quarter / 4.0) + 4
            << "\" text-anchor=\"end\">" << quarter * 25 << "%</text>\n";
    }
    svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << plotWidth << "\" height=\"" << plotHeight
        << "\" fill=\"none\" stroke=\"black\"/>\n";

    std::vector<std::string> types;
    int legendRow = 0;
    for (const Measurement& m : results)
    {
        if (std::find(types.begin(), types.end(), m.type) == types.end())
        {
            types.push_back(m.type);
        }
        const char* colour = colours[(types.size() - 1) % std::size(colours)];
        const char* dash = m.path == Path::Plugin ? "" : " stroke-dasharray=\"6 4\"";
        std::vector<double> sorted = m.latencies;
        std::sort(sorted.begin(), sorted.end());
        if (!sorted.empty())
        {
            // At most a few hundred points: enough for the eye, small for the file.
            const std::size_t steps = std::min<std::size_t>(400, sorted.size());
            svg << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1.5\"" << dash << " points=\"";
            for (std::size_t k = 0; k <= steps; ++k)
            {
                const std::size_t index = k * (sorted.size() - 1) / steps;
                svg << x(sorted[index] * 1e6) << ',' << y(static_cast<double>(index + 1) / sorted.size()) << ' ';
            }
            svg << "\"/>\n";
        }
        const double legendY = top + 10 + 20 * legendRow++;
        svg << "<line x1=\"" << width - right + 15 << "\" y1=\"" << legendY << "\" x2=\"" << width - right + 45
            << "\" y2=\"" << legendY << "\" stroke=\"" << colour << "\" stroke-width=\"1.5\"" << dash
            << "/>\n<text x=\"" << width - right + 52 << "\" y=\"" << legendY + 4 << "\">" << m.type << ' '
            << to_string(m.path) << "</text>\n";
    }
    svg << "</svg>\n";
    openOutput(file) << svg.str();
}

struct BenchOptions
{
    double seconds = 2;
    double rate = 1000;
    uint32_t domain = 0;
    std::string csv = "tarvex-bench.csv";
    std::string plot = "tarvex-bench.svg";
};

int runBench(const PluginLibrary& plugin, const BenchOptions& benchOptions)
{
    MeasureOptions options;
    options.phase = std::chrono::duration<double>(benchOptions.seconds);
    options.latencyRate = benchOptions.rate;
    options.domain = benchOptions.domain;
    options.tag = "bench/" + std::to_string(::getpid());
    const std::string& csv = benchOptions.csv;
    const std::string& plot = benchOptions.plot;
    // Fail on an unwritable file now rather than after the whole run.
    openOutput(csv);
    openOutput(plot);

    std::cout << "tarvex bench: DDS domain " << options.domain << ", " << options.phase.count()
              << " s per phase, latency phase at " << options.latencyRate << " Hz, plug-in " << plugin.path() << "\n\n"
              << std::left << std::setw(23) << "topic" << std::setw(9) << "path" << std::right << std::setw(7) << "sent"
              << std::setw(7) << "recv" << std::setw(11) << "median us" << std::setw(9) << "p99 us" << std::setw(13)
              << "samples/s" << std::setw(7) << "lost" << '\n';
    std::vector<Measurement> results;
    forEachTopic([&](auto topic) {
        for (const Path path : {Path::Plugin, Path::Plain})
        {
            results.push_back(measure(path, topic.name, plugin, options));
            printRow(results.back(), path == Path::Plugin ? topic.name : "");
        }
        printRatios(results[results.size() - 2], results.back());
    });
    std::cout << "\nsent/recv/median/p99: latency phase; samples/s and lost: throughput phase.\n";
    writeCsv(csv, results);
    writePlot(plot, results);
    std::cout << "wrote " << csv << " and " << plot << '\n';
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
        "support and QoS). Each measurement has a latency phase, HZ samples per second timed from the source time\n"
        "stamp to the listener, and a throughput phase, samples published back to back, of S seconds each. Prints\n"
        "the results with the plug-in/plain ratios, writes them to a CSV file and plots the latency distributions\n"
        "as SVG.");
    command->add_option("--seconds", options->seconds, "length of each phase")
        ->capture_default_str()
        ->check(CLI::Range(0.05, 600.0));
    command->add_option("--rate", options->rate, "samples per second in the latency phase")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 100000.0));
    command->add_option("--csv", options->csv, "where the numbers go")->capture_default_str();
    command->add_option("--plot", options->plot, "where the plot goes")->capture_default_str();
    addDomain(*command, options->domain);
    return [options](const PluginLibrary& plugin) { return runBench(plugin, *options); };
}

}  // namespace qara::nimb::tools
