// tarvex perf: rate, loss, order and latency of one topic between processes or hosts, through the plug-in
// or through plain Fast DDS.

#include "Commands.hpp"

#include "tools/core/Endpoint.hpp"
#include "tools/core/Fields.hpp"
#include "tools/core/ProcessUsage.hpp"
#include "tools/core/Tally.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <iostream>
#include <numeric>
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
        return stopRequested() || (m_options.count != 0 && done >= m_options.count) ||
               (m_options.seconds > 0 &&
                std::chrono::duration<double>(Clock::now() - m_begun.value_or(m_created)).count() >= m_options.seconds);
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

    void report(Json& json, uint64_t done) const
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

// What every role starts from.
struct Setup
{
    const PluginLibrary& plugin;
    const PerfOptions& options;
    Uri uri;
    Nimb::Properties properties;
};

// The topic path of `uri` with `suffix` appended: "_pong" for the replies, "/plugin" and "/plain" for the
// paths of --path both.
Uri withSuffix(const Uri& uri, const std::string& suffix)
{
    std::string text = uri.string();
    text.insert(std::min(text.find('?'), text.size()), suffix);
    return pubSubUri(text);
}

// One path's endpoints of a role, each on a host of its own as separate processes would be: pub writes, sub
// reads, ping writes and reads the replies, pong reads and writes each sample back. A tally counts what the
// reader gets.
class Lane
{
public:
    Lane(const Setup& setup, Path on, const Uri& uri, uint64_t limit)
        : path(on), pinging(setup.options.role == "ping"), tally(limit)
    {
        const std::string& role = setup.options.role;
        const auto session = [&] { return std::make_shared<Session>(&setup.plugin, setup.properties); };
        if (role != "sub")
        {
            writer = openWriter(session(), on, setup.options.topic, role == "pong" ? withSuffix(uri, "_pong") : uri,
                                Numbering::SequenceField);
        }
        if (role == "pub")
        {
            return;
        }
        // A reply carries the time stamp of its ping, which this clock alone compares.
        reader = openReader(session(), on, setup.options.topic, pinging ? withSuffix(uri, "_pong") : uri,
                            [this](const Received& sample) {
                                const uint64_t sequence = sample.sequence();
                                const double stamp = sample.sourceTimestamp();
                                if (writer && !pinging)
                                {
                                    writer->write(sequence, stamp);
                                }
                                tally.arrive(sequence, stamp, (wallSeconds() - stamp) / (pinging ? 2 : 1));
                            });
    }

    // Writes the next sample; a ping then waits up to a second for its reply.
    void send()
    {
        writer->write(++sent, wallSeconds());
        readers = std::max(readers, writer->matched());
        if (reader)
        {
            tally.waitForSequence(sent, std::chrono::seconds(1));
        }
    }

    // Waits for --readers matched readers, then for the readers to have matched the writer too.
    void waitForReaders(const Setup& setup)
    {
        const auto wanted = static_cast<int32_t>(setup.options.readers);
        if (wanted > 0 && writer->matched() < wanted)
        {
            std::cerr << "tarvex perf " << setup.options.role << ": waiting for " << wanted << " reader(s) on "
                      << setup.uri.string() << '\n';
        }
        while (writer->matched() < wanted && !stopRequested())
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // A reader takes nothing from a writer it has not matched yet, and it may learn of this one later.
        std::this_thread::sleep_for(std::chrono::seconds(wanted > 0 ? 1 : 0));
        readers = writer->matched();
    }

    // What the tally counted, under the keys of the JSON result; `kind` says what the latency measures.
    Json report(const char* kind = nullptr)
    {
        const Tally::Counts counts = tally.counts();
        Json json = pinging ? Json{{"sent", sent}, {"readers", readers}} : Json::object();
        json["received"] = counts.received;
        json["rate"] = counts.rate();
        json["first"] = counts.received > 0 ? Json(counts.first) : Json();
        // For a ping, a reply that never came is lost too, also after the last one received.
        json["lost"] = pinging ? sent - counts.received + counts.duplicates : counts.lost;
        json["out_of_order"] = counts.outOfOrder;
        json["duplicates"] = counts.duplicates;
        const LatencySummary latency = summarize(tally.latencies());
        // Tenths of a microsecond: finer is below what two wall-clock time stamps resolve.
        const auto micro = [&](double seconds) {
            return latency.count > 0 ? Json(std::round(seconds * 1e7) / 10) : Json();
        };
        json["latency_us"] = {{"p50", micro(latency.median)},
                              {"p90", micro(latency.p90)},
                              {"p99", micro(latency.p99)},
                              {"max", micro(latency.max)}};
        if (kind != nullptr)
        {
            json["latency_us"]["kind"] = kind;
        }
        return json;
    }

    const Path path;
    const bool pinging;
    uint64_t sent = 0;
    int32_t readers = 0;  // the most matched at once
    Tally tally;
    std::unique_ptr<Endpoint> writer;
    std::unique_ptr<Endpoint> reader;
};

// Sleeps until sample n is due at the given rate; back to back when the rate is 0.
void pace(const PerfOptions& options, Clock::time_point start, uint64_t n)
{
    if (options.rate > 0)
    {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>((n - 1) / options.rate)));
    }
}

// One role of a run: runs its lanes until the run is over and gives its part of the result.
class Role
{
public:
    virtual ~Role() = default;
    virtual Json run(Clocked& clock) = 0;
};

// pub and ping along one path: --count samples at --rate.
class Sender final : public Role
{
public:
    explicit Sender(const Setup& setup, Path path) : m_setup(setup), m_lane(setup, path, setup.uri, setup.options.count)
    {
    }

    Json run(Clocked& clock) override
    {
        m_lane.waitForReaders(m_setup);
        clock.begin();
        const auto start = Clock::now();
        while (!clock.over(m_lane.sent))
        {
            pace(m_setup.options, start, m_lane.sent + 1);
            m_lane.send();
            const Tally::Counts counts = m_lane.tally.counts();
            clock.tick(m_lane.sent, counts.received, counts.lost);
        }
        Json json = m_lane.pinging ? m_lane.report("round trip / 2")
                                   : Json{{"sent", m_lane.sent}, {"readers", m_lane.readers}};
        clock.report(json, m_lane.sent);
        // Best-effort readers acknowledge nothing: what is still on its way gets a moment before the writer goes.
        std::this_thread::sleep_for(std::chrono::milliseconds(m_lane.pinging ? 0 : 500));
        return json;
    }

private:
    const Setup& m_setup;
    Lane m_lane;
};

// sub and pong, along one path or (pong) both; --count counts the samples of all.
class Receiver final : public Role
{
public:
    Receiver(const Setup& setup, const std::vector<Path>& paths)
    {
        for (const Path path : paths)
        {
            const Uri uri = paths.size() == 1 ? setup.uri : withSuffix(setup.uri, std::string("/") + idOf(path));
            m_lanes.push_back(std::make_unique<Lane>(setup, path, uri, setup.options.count));
        }
    }

    Json run(Clocked& clock) override
    {
        uint64_t received = 0;
        while (!clock.over(received = this->received()))
        {
            if (received > 0)
            {
                clock.begin();
            }
            clock.tick(received, received, m_lanes.size() == 1 ? m_lanes[0]->tally.counts().lost : 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Json json = m_lanes.size() == 1 ? m_lanes[0]->report("one-way from the source time stamp")
                                        : Json{{"received", this->received()}};
        clock.report(json, json["received"]);
        return json;
    }

private:
    uint64_t received() const
    {
        return std::accumulate(m_lanes.begin(), m_lanes.end(), uint64_t(0),
                               [](uint64_t sum, const auto& lane) { return sum + lane->tally.received(); });
    }

    std::vector<std::unique_ptr<Lane>> m_lanes;
};

// ping --path both, on <topic path>/plugin and /plain in turns: each round sends --count pings along each,
// which path goes first alternating, and the per-round ratios of the plug-in's round-trip percentiles to
// plain Fast DDS's give a median and a 95 % interval that slow drift of the machine does not bias.
class PingTurns final : public Role
{
public:
    explicit PingTurns(const Setup& setup)
        : m_setup(setup),
          m_perTurn(setup.options.count == 0 ? 100 : setup.options.count),
          m_lanes{{setup, Path::Plugin, withSuffix(setup.uri, "/plugin"), m_perTurn * setup.options.rounds},
                  {setup, Path::Plain, withSuffix(setup.uri, "/plain"), m_perTurn * setup.options.rounds}}
    {
    }

    Json run(Clocked& clock) override
    {
        for (Lane& lane : m_lanes)
        {
            lane.waitForReaders(m_setup);
        }
        clock.begin();
        std::vector<double> p50, p99;
        Json rounds = Json::array();
        for (std::size_t round = 0; round < m_setup.options.rounds && !stopRequested(); ++round)
        {
            LatencySummary turn[2];
            for (const std::size_t i : {round % 2, 1 - round % 2})
            {
                const std::size_t before = m_lanes[i].tally.received();
                const auto start = Clock::now();
                for (uint64_t n = 1; n <= m_perTurn && !stopRequested(); ++n)
                {
                    pace(m_setup.options, start, n);
                    m_lanes[i].send();
                    clock.tick(m_lanes[0].sent + m_lanes[1].sent,
                               m_lanes[0].tally.received() + m_lanes[1].tally.received(), 0);
                }
                turn[i] = summarize(m_lanes[i].tally.latencies(before));
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
        Json json = {{"sent", m_lanes[0].sent + m_lanes[1].sent}, {"received", 0}, {"lost", 0}};
        for (Lane& lane : m_lanes)
        {
            const Json& path = json["paths"][idOf(lane.path)] = lane.report();
            json["received"] = json["received"].get<uint64_t>() + path["received"].get<uint64_t>();
            json["lost"] = json["lost"].get<uint64_t>() + path["lost"].get<uint64_t>();
        }
        const auto ratio = [](const RatioSummary& r) {
            return Json{{"median", r.median}, {"low", r.low}, {"high", r.high}};
        };
        json["ratios"] = {{"kind", "plug-in / plain, round trip / 2, median of rounds [95 % interval]"},
                          {"p50", ratio(summarizeRatios(p50))},
                          {"p99", ratio(summarizeRatios(p99))}};
        json["rounds"] = rounds;
        clock.report(json, json["sent"]);
        return json;
    }

private:
    const Setup& m_setup;
    const uint64_t m_perTurn;
    Lane m_lanes[2];
};

std::string sequenceFieldOf(const std::string& type)
{
    std::string name;
    withTopic(type, [&](auto topic) { name = sequenceField<typename decltype(topic)::Wire>().second; });
    return name;
}

int runPerf(const PluginLibrary& plugin, const PerfOptions& options)
{
    const bool both = options.path == "both";
    if (both && (options.role == "pub" || options.role == "sub"))
    {
        throw CLI::ValidationError("--path", "both is for ping and pong");
    }
    const Setup setup{plugin, options,
                      pubSubUri(options.uri.empty() ? "dds.ps://0/tarvex/perf/" + options.topic : options.uri),
                      propertiesOf(options.properties, "--property")};
    const Path path = options.path == "plain" ? Path::Plain : Path::Plugin;
    std::unique_ptr<Role> role;
    if (options.role == "pub" || options.role == "ping")
    {
        role = both ? std::unique_ptr<Role>(std::make_unique<PingTurns>(setup)) : std::make_unique<Sender>(setup, path);
    }
    else
    {
        role = std::make_unique<Receiver>(setup, both ? std::vector<Path>{Path::Plugin, Path::Plain}
                                                      : std::vector<Path>{path});
    }
    stopOnSignals();
    Clocked clock(options);
    Json json = {{"role", options.role},
                 {"path", options.path},
                 {"topic", options.topic},
                 {"sequence_field", sequenceFieldOf(options.topic)}};
    json.update(role->run(clock));
    if (options.json)
    {
        std::cout << json.dump() << std::endl;
    }
    else
    {
        for (const auto& [key, value] : json.items())
        {
            std::cout << key << ": " << (value.is_string() ? value.get<std::string>() : value.dump()) << '\n';
        }
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
        "Roles, each in a process of its own, on one host or several: pub waits for --readers readers, then\n"
        "publishes at --rate (0: back to back); sub receives and counts; ping publishes one sample at a time and\n"
        "waits up to 1 s for pong to send it back on <topic path>_pong. A run ends after --count samples (sent by\n"
        "pub and ping, received by sub and pong), --seconds after the first sample (after the start for a sub or\n"
        "pong that receives nothing), or on SIGINT or SIGTERM. Each second a line on stderr gives the rate and the\n"
        "samples received and lost; at the end a summary or, with --json, one JSON object on stdout (README,\n"
        "\"Measuring between hosts\", names its keys). --path plain uses plain Fast DDS with the plug-in's wire\n"
        "types and code QoS; --path both, for ping and pong, takes turns on <topic path>/plugin and /plain,\n"
        "--rounds rounds of --count pings (default 100) each, and reports the median plug-in/plain ratio of the\n"
        "rounds with a 95 % interval. Host properties (--property) choose XML profiles for both paths. Each sample\n"
        "carries its sequence number in one numeric field (sequence_field); every other numeric field is 1.");
    command->add_option("role", options->role, "pub, sub, ping or pong")
        ->required()
        ->check(CLI::IsMember({"pub", "sub", "ping", "pong"}));
    addTopic(*command, options->topic);
    command->add_option("--uri", options->uri, "the topic (default dds.ps://0/tarvex/perf/<topic>)");
    addChecked(*command, "--path", options->path, "plugin, plain, or both in turns (ping and pong)",
               CLI::IsMember({"plugin", "plain", "both"}));
    addChecked(*command, "--rounds", options->rounds, "turns of each path of ping --path both", CLI::Range(1, 100000));
    addChecked(*command, "--rate", options->rate, "samples per second of pub and ping; 0: back to back",
               CLI::Range(0.0, 1e7));
    command->add_option("--count", options->count, "samples to send (pub, ping) or receive (sub, pong); 0: no limit")
        ->capture_default_str();
    addChecked(*command, "--seconds", options->seconds, "length from the first sample on; 0: no limit",
               CLI::NonNegativeNumber);
    addChecked(*command, "--warm-up", options->warmUp, "seconds from the first sample to the warm memory reading",
               CLI::NonNegativeNumber);
    command->add_option("--readers", options->readers, "readers pub and ping wait for before the first sample")
        ->capture_default_str();
    command->add_option("--property", options->properties,
                        "host property NAME=VALUE, e.g. dds.xml.profiles.file=FILE, dds.qos.profile.library=LIB");
    command->add_flag("--json", options->json, "the result as one JSON object on stdout");
    return [options](const LazyPlugin& plugin) { return runPerf(plugin.get(), *options); };
}

}  // namespace qara::nimb::tools
