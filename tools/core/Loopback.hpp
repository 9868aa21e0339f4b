#pragma once

#include "tools/core/Endpoint.hpp"
#include "tools/core/Tally.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace qara::nimb::tools {

// A writer of one topic and, when asked for, a listener reader of it in this process, each on a participant
// of its own, the reader's arrivals counted in a tally with their latency from the source time stamp: what
// the benchmarks measure along either path. The topic is "tarvex/<type>/<path>/<tag>" on `domain`.
class Loopback
{
public:
    Loopback(const PluginLibrary& plugin, Path path, const std::string& type, uint32_t domain, const std::string& tag,
             bool withReader = true);

    // Publishes every 10 ms until a sample arrives, so that the writer has matched the reader, then counts
    // from now on; std::runtime_error after `limit`.
    void warmUp(std::chrono::duration<double> limit = std::chrono::seconds(15));
    // The next sample, stamped now.
    void publish() { m_writer->write(++m_written, wallSeconds()); }
    Tally& tally() { return m_tally; }

private:
    uint64_t m_written = 0;
    // Declared before the reader that feeds it.
    Tally m_tally;
    std::unique_ptr<Endpoint> m_writer;
    std::unique_ptr<Endpoint> m_reader;
};

}  // namespace qara::nimb::tools
