#pragma once

#include "tools/core/Endpoint.hpp"
#include "tools/core/Tally.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace qara::nimb::tools {

// A writer of one topic and, when asked for, a listener reader of it in this process, each on a participant
// of its own, the reader's arrivals counted in a tally with their latency from the source time stamp: what
// the benchmarks measure along either path. The topic is "tarvex/<type>/<path>/<tag>" on `domain`.
class Loopback
{
public:
    Loopback(const PluginLibrary& plugin, Path path, const std::string& type, uint32_t domain, const std::string& tag,
             bool withReader = true)
    {
        const Uri uri("dds.ps://" + std::to_string(domain) + "/tarvex/" + type + "/" + idOf(path) + "/" + tag);
        m_writer = openWriter(std::make_shared<Session>(&plugin), path, type, uri, Numbering::SequenceField);
        if (withReader)
        {
            // Arrivals and latencies only: the sequence number, read through the interface on the plug-in path,
            // would cost that path more than the plain one.
            m_reader = openReader(std::make_shared<Session>(&plugin), path, type, uri, [this](const Received& sample) {
                const double stamp = sample.sourceTimestamp();
                m_tally.arrive(0, stamp, wallSeconds() - stamp);
            });
        }
    }

    // Publishes every 10 ms until a sample arrives, so that the writer has matched the reader, then counts
    // from now on; std::runtime_error after `limit`.
    void warmUp(std::chrono::duration<double> limit = std::chrono::seconds(15))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        m_tally.restart(0);
        do
        {
            if (std::chrono::steady_clock::now() > deadline)
            {
                throw std::runtime_error("the reader never received anything within " +
                                         std::to_string(static_cast<int>(limit.count())) + " s");
            }
            publish();
        } while (m_tally.waitForCount(1, std::chrono::milliseconds(10)) == 0);
        m_tally.restart(wallSeconds());
    }
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
