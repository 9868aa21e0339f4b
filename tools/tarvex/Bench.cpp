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

// One path of one topic over every round: latencies pooled, throughput over the phases' total time.
struct Pooled
{
    std::size_t latencySent = 0;
    std::vector<double> latencies;
    std::size_t throughputSent = 0;
    std::size_t throughputReceived = 0;
    double throughputSeconds = 0;
};

Pooled pool(const std::vector<Measurement>& results, const std::string& type, Path path)
{
    Pooled pooled;
    for (const Measurement& m : results)
    {
        if (m.type == type && m.path == path)
        {
            pooled.latencySent += m.latencySent;
            pooled.latencies.insert(pooled.latencies.end(), m.latencies.begin(), m.latencies.end());
            pooled.throughputSent += m.throughputSent;
            pooled.throughputReceived += m.throughputReceived;
            pooled.throughputSeconds += m.throughputSeconds;
        }
    }
    return pooled;
}

void printRow(const Pooled& p, Path path, const std::string& topicColumn)
{
    const LatencySummary latency = summarize(p.latencies);
    const double throughput = p.throughputSeconds > 0 ? p.throughputReceived / p.throughputSeconds : 0;
    std::cout << std::left << std::setw(23) << topicColumn << std::setw(9) << to_string(path) << std::right
              << std::setw(8) << p.latencySent << std::setw(8) << latency.count << std::fixed << std::setprecision(1)
              << std::setw(11) << latency.median * 1e6 << std::setw(9) << latency.p99 * 1e6 << std::setprecision(0)
              << std::setw(13) << throughput << std::setw(7) << p.throughputSent - p.throughputReceived << '\n';
}

// Plug-in/plain of one topic: the median of the per-round ratios of each quantity with its 95 % interval.
struct TopicRatios
{
    std::string type;
    RatioSummary median;
    RatioSummary p99;
    RatioSummary throughput;
};

TopicRatios ratiosOf(const std::vector<Measurement>& results, const std::string& type)
{
    std::vector<double> median, p99, throughput;
    const auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
    for (const Measurement& a : results)
    {
        for (const Measurement& b : results)
        {
            if (a.type == type && b.type == type && a.round == b.round && a.path == Path::Plugin &&
                b.path == Path::Plain)
            {
                const LatencySummary x = summarize(a.latencies);
                const LatencySummary y = summarize(b.latencies);
                median.push_back(ratio(x.median, y.median));
                p99.push_back(ratio(x.p99, y.p99));
                throughput.push_back(ratio(a.throughput(), b.throughput()));
            }
        }
    }
    return {type, summarizeRatios(median), summarizeRatios(p99), summarizeRatios(throughput)};
}

std::string interval(const RatioSummary& r)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << r.median << " [" << r.low << ", " << r.high << "]";
    return text.str();
}

void printRatios(const TopicRatios& r)
{
    std::cout << std::left << std::setw(23) << "" << "plug-in/plain  p50 " << std::setw(20) << interval(r.median)
              << "p99 " << std::setw(20) << interval(r.p99) << "samples/s " << interval(r.throughput) << '\n';
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

std::string decadeLabel(double us)
{
    if (us < 1)
    {
        return "0.1 us";
    }
    return us < 1000 ? std::to_string(std::lround(us)) + " us" : std::to_string(std::lround(us / 1000)) + " ms";
}

struct Curve
{
    std::string type;
    Path path;
    std::vector<double> latencies;
};

// Above: cumulative distributions of the latencies on a logarithmic axis, one colour per topic, solid through
// the plug-in, dashed through plain Fast DDS. Below: each topic's plug-in/plain ratios, a dot at the median of
// the rounds and a bar over its 95 % interval, against a line at 1.
void writePlot(const std::string& file, const std::vector<Curve>& curves, const std::vector<TopicRatios>& ratios)
{
    constexpr double width = 960, left = 70, right = 260, top = 50, bottom = 60, plotHeight = 430;
    constexpr double plotWidth = width - left - right;
    constexpr double ratioTop = top + plotHeight + bottom, rowHeight = 16;
    const double height = ratioTop + rowHeight * (3 * ratios.size() + 2) + 20;
    constexpr double floorUs = 0.1;
    const char* colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"};

    double lowest = 1e9;
    double highest = floorUs;
    for (const Curve& c : curves)
    {
        for (const double seconds : c.latencies)
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
    const auto colourOf = [&](const std::string& type) {
        if (std::find(types.begin(), types.end(), type) == types.end())
        {
            types.push_back(type);
        }
        return colours[(std::find(types.begin(), types.end(), type) - types.begin()) % std::size(colours)];
    };
    int legendRow = 0;
    for (const Curve& c : curves)
    {
        const char* colour = colourOf(c.type);
        const char* dash = c.path == Path::Plugin ? "" : " stroke-dasharray=\"6 4\"";
        std::vector<double> sorted = c.latencies;
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
            << "/>\n<text x=\"" << width - right + 52 << "\" y=\"" << legendY + 4 << "\">" << c.type << ' '
            << to_string(c.path) << "</text>\n";
    }

    double ratioLow = 0.8, ratioHigh = 1.2;
    for (const TopicRatios& r : ratios)
    {
        for (const RatioSummary& q : {r.median, r.p99, r.throughput})
        {
            ratioLow = std::min(ratioLow, q.low);
            ratioHigh = std::max(ratioHigh, q.high);
        }
    }
    const auto rx = [&](double ratio) { return left + (ratio - ratioLow) / (ratioHigh - ratioLow) * plotWidth; };
    svg << "<text x=\"" << left << "\" y=\"" << ratioTop - 12 << "\" font-size=\"16\">Plug-in / plain per round: "
        << "median and 95 % interval</text>\n<line x1=\"" << rx(1) << "\" y1=\"" << ratioTop << "\" x2=\"" << rx(1)
        << "\" y2=\"" << height - 30 << "\" stroke=\"#888\"/>\n<text x=\"" << rx(1) << "\" y=\"" << height - 16
        << "\" text-anchor=\"middle\">1</text>\n";
    double rowY = ratioTop + rowHeight;
    for (const TopicRatios& r : ratios)
    {
        const char* colour = colourOf(r.type);
        const std::pair<const char*, RatioSummary> rows[] = {
            {"p50", r.median}, {"p99", r.p99}, {"samples/s", r.throughput}};
        for (const auto& [name, q] : rows)
        {
            svg << "<line class=\"ratio\" x1=\"" << rx(q.low) << "\" y1=\"" << rowY << "\" x2=\"" << rx(q.high)
                << "\" y2=\"" << rowY << "\" stroke=\"" << colour << "\" stroke-width=\"3\"/>\n<circle cx=\""
                << rx(q.median) << "\" cy=\"" << rowY << "\" r=\"4\" fill=\"" << colour << "\"/>\n<text x=\""
                << width - right + 15 << "\" y=\"" << rowY + 4 << "\">" << r.type << ' ' << name << ' '
                << interval(q) << "</text>\n";
            rowY += rowHeight;
        }
    }
    svg << "</svg>\n";
    openOutput(file) << svg.str();
}

struct BenchOptions
{
    std::size_t rounds = 6;
    double seconds = 0.5;
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
    const std::string tag = "bench/" + std::to_string(::getpid());
    const std::string& csv = benchOptions.csv;
    const std::string& plot = benchOptions.plot;
    // Fail on an unwritable file now rather than after the whole run.
    openOutput(csv);
    openOutput(plot);

    std::cout << "tarvex bench: DDS domain " << benchOptions.domain << ", " << benchOptions.rounds
              << " rounds of plug-in and plain in turn, " << options.phase.count()
              << " s per phase, latency phase at " << options.latencyRate << " Hz, plug-in " << plugin.path() << "\n\n"
              << std::left << std::setw(23) << "topic" << std::setw(9) << "path" << std::right << std::setw(8) << "sent"
              << std::setw(8) << "recv" << std::setw(11) << "median us" << std::setw(9) << "p99 us" << std::setw(13)
              << "samples/s" << std::setw(7) << "lost" << '\n';
    std::vector<Measurement> results;
    std::vector<Curve> curves;
    std::vector<TopicRatios> ratios;
    forEachTopic([&](auto topic) {
        // Both paths stay open for the whole topic, so that each round costs no discovery.
        Arrivals arrivals[2];
        const std::unique_ptr<Channel> channels[2] = {
            openCounted(Path::Plugin, topic.name, plugin, benchOptions.domain, tag, arrivals[0]),
            openCounted(Path::Plain, topic.name, plugin, benchOptions.domain, tag, arrivals[1])};
        for (std::size_t round = 0; round < benchOptions.rounds; ++round)
        {
            // Which path goes first alternates, so that neither always follows the other.
            for (const std::size_t i : {round % 2, 1 - round % 2})
            {
                results.push_back(measure(*channels[i], arrivals[i], options));
                results.back().type = topic.name;
                results.back().path = i == 0 ? Path::Plugin : Path::Plain;
                results.back().round = round;
            }
        }
        for (const Path path : {Path::Plugin, Path::Plain})
        {
            Pooled pooled = pool(results, topic.name, path);
            printRow(pooled, path, path == Path::Plugin ? topic.name : "");
            curves.push_back({topic.name, path, std::move(pooled.latencies)});
        }
        ratios.push_back(ratiosOf(results, topic.name));
        printRatios(ratios.back());
    });
    std::cout << "\nsent/recv/median/p99: latency phases; samples/s and lost: throughput phases; all rounds pooled.\n"
                 "plug-in/plain: the median of the per-round ratios [95 % interval, rounds resampled].\n";
    writeCsv(csv, results);
    writePlot(plot, curves, ratios);
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
        "support and QoS). The paths take turns in N rounds; each turn has a latency phase, HZ samples per second\n"
        "timed from the source time stamp to the listener, and a throughput phase, samples published back to back,\n"
        "of S seconds each. Prints each path's results and, per topic, the median of the per-round plug-in/plain\n"
        "ratios with a 95 % bootstrap interval; writes every round to a CSV file and plots the latency\n"
        "distributions and the ratio intervals as SVG.");
    command->add_option("--rounds", options->rounds, "rounds of plug-in and plain in turn")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    command->add_option("--seconds", options->seconds, "length of each phase of each turn")
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
