#pragma once

// Latency and throughput of one topic along two paths in one process: through the plug-in's publisher and
// listener subscription, and through a plain Fast DDS DataWriter and DataReader listener that use the
// plug-in's type support and the plug-in's code QoS. The difference is what the plug-in costs.

#include <qara/nimb/PluginLibrary.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qara::nimb::tools {

enum class Path
{
    Plugin,
    Plain
};

// "plug-in" or "plain".
const char* to_string(Path path);
// "plugin" or "plain", for topic names and CSV columns.
const char* idOf(Path path);

// Seconds since the epoch on the system clock, the clock of DDS source time stamps.
double wallSeconds();

// A writer of one topic and, when asked for, a listener reader on a participant of its own.
class Channel
{
public:
    // Runs on the listener thread with the source time stamp of each received sample.
    using OnArrival = std::function<void(double sourceTimestamp)>;

    virtual ~Channel() = default;
    // Writes the channel's sample, filled once with counter values, with this source time stamp.
    virtual void publish(double sourceTimestamp) = 0;
};

// The topic is "tarvex/<type>/<path>/<tag>" on `domain`. Without onArrival there is no reader at all.
std::unique_ptr<Channel> openChannel(Path path, const std::string& type, const PluginLibrary& plugin, uint32_t domain,
                                     const std::string& tag, Channel::OnArrival onArrival = {});

// Counts what a channel's listener receives from some time on, and keeps each sample's latency.
class Arrivals
{
public:
    // For Channel::OnArrival.
    void arrive(double sourceTimestamp);
    // Forgets what arrived so far and from now on ignores samples stamped before `since`.
    void restart(double since);
    // Waits until `count` samples have arrived or `limit` has passed; returns how many have.
    std::size_t waitFor(std::size_t count, std::chrono::duration<double> limit);
    std::size_t count();
    // Latencies in seconds, in arrival order.
    std::vector<double> latencies();
    // Wall-clock time of the latest counted arrival.
    double lastArrival();

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    double m_since = 0;
    double m_lastArrival = 0;
    std::vector<double> m_latencies;
};

// Publishes a sample every 10 ms until one arrives, so that the writer has matched the reader before
// anything is counted. Throws std::runtime_error after `limit`.
void warmUp(Channel& channel, Arrivals& arrivals, std::chrono::duration<double> limit = std::chrono::seconds(15));

// A channel whose listener reports to `arrivals`, warmed up, with `arrivals` counting from now on.
std::unique_ptr<Channel> openCounted(Path path, const std::string& type, const PluginLibrary& plugin, uint32_t domain,
                                     const std::string& tag, Arrivals& arrivals);

// Percentiles (nearest rank) of latencies in seconds.
struct LatencySummary
{
    std::size_t count = 0;
    double median = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
};
LatencySummary summarize(std::vector<double> latencies);

struct MeasureOptions
{
    // Length of each of the two phases.
    std::chrono::duration<double> phase = std::chrono::seconds(2);
    // Publication rate of the latency phase, slow enough that nothing queues.
    double latencyRate = 1000;
};

struct Measurement
{
    std::string type;
    Path path = Path::Plugin;
    std::size_t round = 0;
    // Paced phase: one latency in seconds per received sample.
    std::size_t latencySent = 0;
    std::vector<double> latencies;
    // Back-to-back phase.
    std::size_t throughputSent = 0;
    std::size_t throughputReceived = 0;
    // From the first publication to the last arrival.
    double throughputSeconds = 0;

    double throughput() const { return throughputSeconds > 0 ? throughputReceived / throughputSeconds : 0; }
};

// A paced latency phase and a back-to-back throughput phase on a warmed-up channel that reports to `arrivals`.
Measurement measure(Channel& channel, Arrivals& arrivals, const MeasureOptions& options);

// The median of per-round ratios and its 95 % interval, from resampling the rounds with replacement.
struct RatioSummary
{
    double median = 0;
    double low = 0;
    double high = 0;
};
RatioSummary summarizeRatios(const std::vector<double>& ratios);

}  // namespace qara::nimb::tools
