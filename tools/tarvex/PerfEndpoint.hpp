#pragma once

// One writer or one reader of a topic for `tarvex perf`, through the plug-in or through plain Fast DDS with
// the plug-in's wire types. Every sample carries a sequence number in one numeric field of its topic.

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/Uri.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qara::nimb::tools {

enum class Path;

// The field of topic `type` that carries the sequence number: the first unsigned 64-bit field, else the
// first 32-bit integer field, else element 0 of the first floating-point array.
std::string sequenceField(const std::string& type);

class PerfEndpoint
{
public:
    // Runs on a listener thread of Fast DDS for every valid sample.
    using OnSample = std::function<void(uint64_t sequence, double sourceTimestamp)>;

    virtual ~PerfEndpoint() = default;
    // Writers only: one sample with this sequence number and source time stamp.
    virtual void write(uint64_t sequence, double sourceTimestamp) = 0;
    // The readers the writers of this process's participant have matched now.
    virtual int32_t matchedReaders() = 0;
};

// A writer of `type` at `uri`, on a host made from `properties`; the properties also go to the entities.
std::unique_ptr<PerfEndpoint> openWriter(Path path, const std::string& type, const PluginLibrary& plugin,
                                         const Uri& uri, const Nimb::Properties& properties);
// A reader that calls `onSample`.
std::unique_ptr<PerfEndpoint> openReader(Path path, const std::string& type, const PluginLibrary& plugin,
                                         const Uri& uri, const Nimb::Properties& properties,
                                         PerfEndpoint::OnSample onSample);

}  // namespace qara::nimb::tools
