#include "tools/core/Loopback.hpp"

#include <stdexcept>

namespace qara::nimb::tools {

Loopback::Loopback(const PluginLibrary& plugin, Path path, const std::string& type, uint32_t domain,
                   const std::string& tag, bool withReader)
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

void Loopback::warmUp(std::chrono::duration<double> limit)
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

}  // namespace qara::nimb::tools
