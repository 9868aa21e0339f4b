// tarvex perf: rate, loss, order and latency of one topic between processes or hosts, through the plug-in
// or through plain Fast DDS.

#include "Commands.hpp"
#include "PerfEndpoint.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"

#include <nlohmann/json.hpp>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

struct PerfOptions
{
    std::string role;
    std::string topic;
    std::string uri;
    std::string path = "plugin";
    std::size_t rounds = 10;
    double rate = 0;
    uint64_t count = 0;
    double seconds = 0;
    double warmUp = 1;
    unsigned readers = 1;
    std::vector<std::string> properties;
    bool json = false;
};

std::atomic<bool> g_interrupted{false};

extern "C" void interrupt(int)
{
    g_interrupted = true;
}

long residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;)
    {
        if (key == "VmRSS:")
        {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// What arrived: counts, order and latencies, from the first sequence number received on.
class Tally
{
public:
    // Samples beyond `limit` (0: none), which may arrive while the run ends, are not counted.
    explicit Tally(uint64_t limit) : m_limit(limit) {}

    // From a listener thread.
    void arrive(uint64_t sequence, double latency)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_limit != 0 && m_received == m_limit)
            {
                return;
            }
            ++m_received;
            m_latencies.push_back(latency);
            m_lastArrival = Clock::now();
            if (m_received == 1)
            {
                m_first = sequence;
                m_firstArrival = m_lastArrival;
            }
            if (sequence < m_first)
            {
                ++m_outOfOrder;
            }
            else
            {
                const std::size_t offset = sequence - m_first;
                if (offset >= m_seen.size())
                {
                    m_seen.resize(std::max(offset + 1, 2 * m_seen.size()));
                }
                if (m_seen[offset])
                {
                    ++m_duplicates;
                }
                else
                {
                    m_seen[offset] = true;
                    ++m_distinct;
                    if (sequence < m_highest)
                    {
                        ++m_outOfOrder;
                    }
                }
                m_highest = std::max(m_highest, sequence);
            }
            m_last = sequence;
        }
        m_arrived.notify_all();
    }

    uint64_t received()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

    // Waits for sample `sequence`, or at most `limit`; true if it is the last one that arrived.
    bool waitFor(uint64_t sequence, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_arrived.wait_for(lock, limit, [&] { return m_received > 0 && m_last == sequence; });
    }

    // The latencies from the n-th arrival on.
    std::vector<double> latenciesFrom(std::size_t n)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return {m_latencies.begin() + static_cast<std::ptrdiff_t>(std::min(n, m_latencies.size())), m_latencies.end()};
    }

    // Samples missing between the first and the highest sequence number received.
    uint64_t lost()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return lostLocked();
    }

    void report(Json& json)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        json["received"] = m_received;
        // Arrivals per second between the first and the last one, not counting a wait after the last.
        const double arriving = std::chrono::duration<double>(m_lastArrival - m_firstArrival).count();
        json["rate"] = arriving > 0 ? (m_received - 1) / arriving : 0;
        json["first"] = m_received > 0 ? Json(m_first) : Json();
        json["lost"] = lostLocked();
        json["out_of_order"] = m_outOfOrder;
        json["duplicates"] = m_duplicates;
        const LatencySummary latency = summarize(m_latencies);
        // Tenths of a microsecond: finer is below what two wall-clock time stamps resolve.
        const auto micro = [&](double seconds) {
            return latency.count > 0 ? Json(std::round(seconds * 1e7) / 10) : Json();
        };
        json["latency_us"] = {{"p50", micro(latency.median)},
                              {"p90", micro(latency.p90)},
                              {"p99", micro(latency.p99)},
                              {"max", micro(latency.max)}};
    }

private:
    uint64_t lostLocked() const { return m_received == 0 ? 0 : m_highest - m_first + 1 - m_distinct; }

    const uint64_t m_limit;
    // Guards every member below; taken on its own, never with another lock.
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    uint64_t m_received = 0;
    uint64_t m_distinct = 0;
    uint64_t m_first = 0;
    uint64_t m_highest = 0;
    uint64_t m_last = 0;
    uint64_t m_outOfOrder = 0;
    uint64_t m_duplicates = 0;
    Clock::time_point m_firstArrival;
    Clock::time_point m_lastArrival;
    std::vector<bool> m_seen;
    std::vector<double> m_latencies;
};

// The clock of one run: when it ends, the resident set after warm-up and the line on stderr each second.
class Clocked
{
public:
    explicit Clocked(const PerfOptions& options) : m_options(options), m_startKilobytes(residentKilobytes()) {}

    // The measurement begins: the first sample is about to be sent or has arrived.
    void begin()
    {
        if (!m_begun)
        {
            m_begun = Clock::now();
            m_nextProgress = *m_begun + std::chrono::seconds(1);
        }
    }

    bool over(uint64_t done) const
    {
        if (g_interrupted || (m_options.count != 0 && done >= m_options.count))
        {
            return true;
        }
        const auto since = m_begun.value_or(m_created);
        return m_options.seconds > 0 &&
               std::chrono::duration<double>(Clock::now() - since).count() >= m_options.seconds;
    }

    // Call often: takes the warm resident set when due and prints the progress line once a second.
    void tick(uint64_t done, uint64_t received, uint64_t lost)
    {
        if (!m_begun)
        {
            return;
        }
        const auto now = Clock::now();
        if (!m_warmKilobytes && elapsed() >= m_options.warmUp)
        {
            m_warmKilobytes = residentKilobytes();
        }
        if (now >= m_nextProgress)
        {
            const double seconds = std::chrono::duration<double>(now - m_lastProgress.value_or(*m_begun)).count();
            const std::string counts =
                m_options.role == "pub" ? ", sent " + std::to_string(done)
                                        : ", received " + std::to_string(received) + ", lost " + std::to_string(lost);
            std::cerr << "tarvex perf " + m_options.role + ": " +
                             std::to_string(std::lround((done - m_lastDone) / seconds)) + " samples/s" + counts + "\n"
                      << std::flush;
            m_lastDone = done;
            m_lastProgress = now;
            m_nextProgress += std::chrono::seconds(1);
        }
    }

    double elapsed() const { return m_begun ? std::chrono::duration<double>(Clock::now() - *m_begun).count() : 0; }

    void report(Json& json, uint64_t done)
    {
        const double seconds = elapsed();
        json["seconds"] = seconds;
        // A receiving role has given its rate already.
        if (!json.contains("rate"))
        {
            json["rate"] = seconds > 0 ? done / seconds : 0;
        }
        json["rss_kb"] = {{"start", m_startKilobytes},
                          {"warm", m_warmKilobytes ? Json(*m_warmKilobytes) : Json()},
                          {"end", residentKilobytes()}};
        json["cpu_s"] = cpuSeconds();
    }

private:
    const PerfOptions& m_options;
    const Clock::time_point m_created = Clock::now();
    long m_startKilobytes;
    std::optional<long> m_warmKilobytes;
    std::optional<Clock::time_point> m_begun;
    std::optional<Clock::time_point> m_lastProgress;
    Clock::time_point m_nextProgress;
    uint64_t m_lastDone = 0;
};

struct Setup
{
    const PluginLibrary& plugin;
    const PerfOptions& options;
    Path path;
    Uri uri;
    Nimb::Properties properties;
};

// The topic path of `uri` with `suffix` appended.
Uri withSuffix(const Uri& uri, const std::string& suffix)
{
    std::string text = uri.string();
    text.insert(std::min(text.find('?'), text.size()), suffix);
    return pubSubUri(text);
}

// The reply direction of ping and pong.
Uri pongUri(const Uri& uri)
{
    return withSuffix(uri, "_pong");
}

// Waits for the given number of matched readers, then for the readers to have matched the writer too.
void waitForReaders(PerfEndpoint& writer, const Setup& setup, Clocked& run)
{
    if (setup.options.readers == 0)
    {
        return;
    }
    bool told = false;
    while (writer.matchedReaders() < static_cast<int32_t>(setup.options.readers))
    {
        if (g_interrupted)
        {
            return;
        }
        if (!told && run.elapsed() == 0)
        {
            std::cerr << "tarvex perf " << setup.options.role << ": waiting for " << setup.options.readers
                      << " reader(s) on " << setup.uri.string() << '\n';
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // A reader takes nothing from a writer it has not matched yet, and it may learn of this one later.
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

// Sleeps until sample n is due at the given rate; back to back when the rate is 0.
void pace(const PerfOptions& options, Clock::time_point start, uint64_t n)
{
    if (options.rate > 0)
    {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>((n - 1) / options.rate)));
    }
}

Json publish(const Setup& setup, Clocked& run)
{
    const auto writer = openWriter(setup.path, setup.options.topic, setup.plugin, setup.uri, setup.properties);
    waitForReaders(*writer, setup, run);
    int32_t readers = writer->matchedReaders();
    run.begin();
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (!run.over(sent))
    {
        pace(setup.options, start, sent + 1);
        writer->write(sent + 1, wallSeconds());
        ++sent;
        run.tick(sent, 0, 0);
        readers = std::max(readers, writer->matchedReaders());
    }
    Json json;
    json["sent"] = sent;
    json["readers"] = readers;
    run.report(json, sent);
    // Best-effort readers acknowledge nothing: what is still on its way gets a moment before the writer goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return json;
}

// sub counts what arrives; pong also sends each sample back on the reply topic.
Json receive(const Setup& setup, Clocked& run, bool reply)
{
    Tally tally(setup.options.count);
    const std::unique_ptr<PerfEndpoint> writer =
        reply ? openWriter(setup.path, setup.options.topic, setup.plugin, pongUri(setup.uri), setup.properties)
              : nullptr;
    std::atomic<bool> arrived{false};
    const auto reader = openReader(setup.path, setup.options.topic, setup.plugin, setup.uri, setup.properties,
                                   [&](uint64_t sequence, double stamp) {
                                       if (writer)
                                       {
                                           writer->write(sequence, stamp);
                                       }
                                       tally.arrive(sequence, wallSeconds() - stamp);
                                       arrived = true;
                                   });
    while (!run.over(tally.received()))
    {
        if (arrived)
        {
            run.begin();
        }
        run.tick(tally.received(), tally.received(), tally.lost());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Json json;
    tally.report(json);
    json["latency_us"]["kind"] = "one-way from the source time stamp";
    run.report(json, json["received"]);
    return json;
}

Json ping(const Setup& setup, Clocked& run)
{
    Tally tally(setup.options.count);
    const auto writer = openWriter(setup.path, setup.options.topic, setup.plugin, setup.uri, setup.properties);
    // The reply carries the time stamp of the ping, which this clock alone compares.
    const auto reader =
        openReader(setup.path, setup.options.topic, setup.plugin, pongUri(setup.uri), setup.properties,
                   [&](uint64_t sequence, double stamp) { tally.arrive(sequence, (wallSeconds() - stamp) / 2); });
    waitForReaders(*writer, setup, run);
    run.begin();
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (!run.over(sent))
    {
        pace(setup.options, start, sent + 1);
        writer->write(++sent, wallSeconds());
        tally.waitFor(sent, std::chrono::seconds(1));
        run.tick(sent, tally.received(), tally.lost());
    }
    Json json;
    json["sent"] = sent;
    json["readers"] = writer->matchedReaders();
    tally.report(json);
    // A reply that never came is lost too, also after the last one received.
    json["lost"] = sent - tally.received() + json["duplicates"].get<uint64_t>();
    json["latency_us"]["kind"] = "round trip / 2";
    run.report(json, sent);
    return json;
}


// With --path both, ping and pong run each path on a topic of its own: <topic path>/plugin and /plain.
struct Lane
{
    Path path;
    std::unique_ptr<PerfEndpoint> writer;
    std::unique_ptr<PerfEndpoint> reader;
};

Json ratioJson(const RatioSummary& r)
{
    return {{"median", r.median}, {"low", r.low}, {"high", r.high}};
}

// Both paths in turns: each round sends --count pings along each, which path goes first alternating, and
// the per-round ratios of the plug-in's round-trip percentiles to plain Fast DDS's give a median and a 95 %
// interval that slow drift of the machine does not bias.
Json pingBoth(const Setup& setup, Clocked& run)
{
    const PerfOptions& options = setup.options;
    const uint64_t perTurn = options.count == 0 ? 100 : options.count;
    std::vector<std::unique_ptr<Tally>> tallies;
    std::vector<Lane> lanes;
    for (const Path path : {Path::Plugin, Path::Plain})
    {
        const Uri uri = withSuffix(setup.uri, std::string("/") + idOf(path));
        Tally& tally = *tallies.emplace_back(std::make_unique<Tally>(perTurn * options.rounds));
        lanes.push_back({path, openWriter(path, options.topic, setup.plugin, uri, setup.properties),
                         openReader(path, options.topic, setup.plugin, pongUri(uri), setup.properties,
                                    [&tally](uint64_t sequence, double stamp) {
                                        tally.arrive(sequence, (wallSeconds() - stamp) / 2);
                                    })});
    }
    for (Lane& lane : lanes)
    {
        waitForReaders(*lane.writer, setup, run);
    }
    run.begin();
    uint64_t sent[2] = {0, 0};
    std::vector<double> p50, p99;
    Json rounds = Json::array();
    for (std::size_t round = 0; round < options.rounds && !g_interrupted; ++round)
    {
        LatencySummary turn[2];
        for (const std::size_t i : {round % 2, 1 - round % 2})
        {
            const std::size_t before = tallies[i]->latenciesFrom(0).size();
            const auto start = Clock::now();
            for (uint64_t n = 1; n <= perTurn && !g_interrupted; ++n)
            {
                pace(options, start, n);
                lanes[i].writer->write(++sent[i], wallSeconds());
                tallies[i]->waitFor(sent[i], std::chrono::seconds(1));
                run.tick(sent[0] + sent[1], tallies[0]->received() + tallies[1]->received(),
                         tallies[0]->lost() + tallies[1]->lost());
            }
            turn[i] = summarize(tallies[i]->latenciesFrom(before));
        }
        if (turn[1].median > 0 && turn[1].p99 > 0)
        {
            p50.push_back(turn[0].median / turn[1].median);
            p99.push_back(turn[0].p99 / turn[1].p99);
        }
        rounds.push_back({{"plugin_p50_us", turn[0].median * 1e6},
                          {"plain_p50_us", turn[1].median * 1e6},
                          {"plugin_p99_us", turn[0].p99 * 1e6},
                          {"plain_p99_us", turn[1].p99 * 1e6}});
    }
    Json json;
    json["sent"] = sent[0] + sent[1];
    for (std::size_t i = 0; i < lanes.size(); ++i)
    {
        Json& lane = json["paths"][idOf(lanes[i].path)];
        lane["sent"] = sent[i];
        lane["readers"] = lanes[i].writer->matchedReaders();
        tallies[i]->report(lane);
        lane["lost"] = sent[i] - lane["received"].get<uint64_t>() + lane["duplicates"].get<uint64_t>();
    }
    json["received"] = json["paths"]["plugin"]["received"].get<uint64_t>() +
                       json["paths"]["plain"]["received"].get<uint64_t>();
    json["lost"] = json["paths"]["plugin"]["lost"].get<uint64_t>() + json["paths"]["plain"]["lost"].get<uint64_t>();
    json["ratios"] = {{"kind", "plug-in / plain, round trip / 2, median of rounds [95 % interval]"},
                      {"p50", ratioJson(summarizeRatios(p50))},
                      {"p99", ratioJson(summarizeRatios(p99))}};
    json["rounds"] = rounds;
    run.report(json, sent[0] + sent[1]);
    return json;
}

// Answers pings on both paths' topics; --count counts the samples of both.
Json pongBoth(const Setup& setup, Clocked& run)
{
    std::atomic<uint64_t> received{0};
    std::vector<Lane> lanes;
    for (const Path path : {Path::Plugin, Path::Plain})
    {
        const Uri uri = withSuffix(setup.uri, std::string("/") + idOf(path));
        auto writer = openWriter(path, setup.options.topic, setup.plugin, pongUri(uri), setup.properties);
        auto* replying = writer.get();
        lanes.push_back({path, std::move(writer),
                         openReader(path, setup.options.topic, setup.plugin, uri, setup.properties,
                                    [replying, &received](uint64_t sequence, double stamp) {
                                        replying->write(sequence, stamp);
                                        ++received;
                                    })});
    }
    while (!run.over(received))
    {
        if (received > 0)
        {
            run.begin();
        }
        run.tick(received, received, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Json json;
    json["received"] = received.load();
    run.report(json, received.load());
    return json;
}

Nimb::Properties propertiesOf(const std::vector<std::string>& assignments)
{
    Nimb::Properties properties;
    for (const auto& assignment : assignments)
    {
        const auto equals = assignment.find('=');
        if (equals == std::string::npos || equals == 0)
        {
            throw CLI::ValidationError("--property", "expects name=value, not '" + assignment + "'");
        }
        properties[assignment.substr(0, equals)] = assignment.substr(equals + 1);
    }
    return properties;
}

void printSummary(const Json& json)
{
    for (const auto& [key, value] : json.items())
    {
        std::cout << key << ": " << (value.is_string() ? value.get<std::string>() : value.dump()) << '\n';
    }
}

// "\n  <topic>  <field>" per topic.
std::string sequenceFields()
{
    std::string list;
    for (const auto& topic : topicNames())
    {
        list += "\n  " + topic + std::string(23 - topic.size(), ' ') + sequenceField(topic);
    }
    return list;
}

int runPerf(const PluginLibrary& plugin, const PerfOptions& options)
{
    const Setup setup{plugin, options, options.path == "plain" ? Path::Plain : Path::Plugin,
                      pubSubUri(options.uri.empty() ? "dds.ps://0/tarvex/perf/" + options.topic : options.uri),
                      propertiesOf(options.properties)};
    std::signal(SIGINT, interrupt);
    std::signal(SIGTERM, interrupt);
    Clocked run(options);
    Json json;
    json["role"] = options.role;
    json["path"] = options.path;
    json["topic"] = options.topic;
    json["sequence_field"] = sequenceField(options.topic);
    const bool both = options.path == "both";
    if (both && (options.role == "pub" || options.role == "sub"))
    {
        throw CLI::ValidationError("--path", "both is for ping and pong");
    }
    Json measured = options.role == "pub"    ? publish(setup, run)
                    : options.role == "sub"  ? receive(setup, run, false)
                    : options.role == "ping" ? (both ? pingBoth(setup, run) : ping(setup, run))
                                             : (both ? pongBoth(setup, run) : receive(setup, run, true));
    json.update(measured);
    if (options.json)
    {
        std::cout << json.dump() << std::endl;
    }
    else
    {
        printSummary(json);
    }
    // A subscriber told to wait for N samples that saw fewer fails.
    const bool counting = options.count != 0 && (options.role == "sub" || options.role == "pong");
    return counting && json["received"].get<uint64_t>() < options.count ? 1 : 0;
}

}  // namespace

Run addPerf(CLI::App& tool)
{
    auto options = std::make_shared<PerfOptions>();
    CLI::App* command = tool.add_subcommand("perf", "rate, loss, order and latency of one topic between processes");
    command->footer(
        "Roles, each in a process of its own, on one host or several:\n"
        "  pub   waits for --readers readers, then publishes at --rate (0: back to back)\n"
        "  sub   receives and counts\n"
        "  ping  publishes one sample at a time and waits up to 1 s for pong to send it back on <topic path>_pong\n"
        "  pong  sends back every sample it receives\n"
        "A run ends after --count samples (sent by pub and ping, received by sub and pong), --seconds after the\n"
        "first sample (after the start for a sub or pong that receives nothing), or on SIGINT or SIGTERM.\n"
        "Each second a line on stderr gives the rate, the samples received and those lost; at the end a summary,\n"
        "or with --json one JSON object on stdout: sent, received, first (the first sequence number received), lost\n"
        "(missing between the first and the highest received; for ping, replies that never came), out_of_order,\n"
        "duplicates, seconds, rate (samples per second sent by pub, received from the first to the last by the\n"
        "others), latency_us (p50, p90, p99, max: ping the round trip / 2, sub and pong from the source time\n"
        "stamp, which needs one clock on both ends), rss_kb (resident memory at start, after --warm-up and at the\n"
        "end), cpu_s (CPU time of the process) and, for pub and ping, readers (matched readers).\n"
        "--path plain uses plain Fast DDS (a DataWriter, a DataReader listener) with the plug-in's wire types and\n"
        "code QoS, so either end may use either path. --path both, for ping and pong, runs the two paths in turns\n"
        "on <topic path>/plugin and /plain: --rounds rounds of --count pings (default 100) along each, and reports\n"
        "per path and, under ratios, the median of the per-round plug-in/plain round trips with a 95 % interval.\n"
        "Host properties (--property) configure both paths: an XML\n"
        "profiles file, a participant profile, a QoS profile library for reliability and history.\n"
        "Each sample carries its sequence number in one numeric field (every other numeric field is 1), which the\n"
        "JSON names as sequence_field:" +
        sequenceFields());
    command->add_option("role", options->role, "pub, sub, ping or pong")
        ->required()
        ->check(CLI::IsMember({"pub", "sub", "ping", "pong"}));
    addTopic(*command, options->topic);
    command->add_option("--uri", options->uri, "the topic (default dds.ps://0/tarvex/perf/<topic>)");
    command->add_option("--path", options->path, "plugin, plain, or both in turns (ping and pong)")
        ->capture_default_str()
        ->check(CLI::IsMember({"plugin", "plain", "both"}));
    command->add_option("--rounds", options->rounds, "turns of each path of ping --path both")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    command->add_option("--rate", options->rate, "samples per second of pub and ping; 0: back to back")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1e7));
    command->add_option("--count", options->count, "samples to send (pub, ping) or receive (sub, pong); 0: no limit")
        ->capture_default_str();
    command->add_option("--seconds", options->seconds, "length from the first sample on; 0: no limit")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    command->add_option("--warm-up", options->warmUp, "seconds from the first sample to the warm memory reading")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    command->add_option("--readers", options->readers, "readers pub and ping wait for before the first sample")
        ->capture_default_str();
    command->add_option("--property", options->properties,
                        "host property NAME=VALUE, e.g. dds.xml.profiles.file=FILE, dds.qos.profile.library=LIB");
    command->add_flag("--json", options->json, "the result as one JSON object on stdout");
    return [options](const PluginLibrary& plugin) { return runPerf(plugin, *options); };
}

}  // namespace qara::nimb::tools
