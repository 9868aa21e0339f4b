#pragma once

// Where the recorder puts what it receives and where replay and info take recordings from. MCAP files are
// one kind of each (openMcapSink, openMcapSource).

#include "tools/core/RawReader.hpp"
#include "tools/core/Schema.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qara::nimb::tools {

struct RecordedTopic
{
    std::string type;   // "PsMeasurements"; empty for a schema of another module
    std::string topic;  // the DDS topic name
    std::string uri;    // as recorded, empty when unknown
};

class RecordingSink
{
public:
    virtual ~RecordingSink() = default;
    // The topic's schema and channel; the id names it in write().
    virtual uint16_t addTopic(const RecordedTopic& topic) = 0;
    // With the reception time as log time and the source time stamp as publish time.
    virtual void write(uint16_t channel, const RawSample& sample) = 0;
    // Makes everything written so far readable should the process die now; returns the bytes written.
    virtual uint64_t flush() = 0;
    // Ends the recording.
    virtual void close() = 0;
};

struct RecordedChannel
{
    uint16_t id = 0;
    RecordedTopic topic;
    std::string schema;  // its name
    uint64_t messages = 0;
};

// Damage found in a recording, where in the file it lies, and what it is.
struct RecordingFault
{
    uint64_t offset = 0;
    std::string what;
};

// What info shows.
struct RecordingDescription
{
    uint64_t bytes = 0;
    // Label and text of what is particular to the format.
    std::vector<std::pair<std::string, std::string>> format;
    uint64_t messages = 0;
    uint64_t startTime = 0;  // nanoseconds since the epoch
    uint64_t endTime = 0;
    std::vector<RecordedChannel> channels;
    std::vector<std::pair<uint16_t, Schema>> schemas;  // by id
    std::vector<RecordingFault> faults;
};

class RecordingSource
{
public:
    virtual ~RecordingSource() = default;
    virtual const std::vector<RecordedChannel>& channels() const = 0;
    // Calls `visit` for each message of `channels` (all when empty) in recorded order, its log time as
    // reception time and its publish time as source time. Damaged parts are skipped and become faults.
    virtual void read(const std::set<uint16_t>& channels,
                      const std::function<void(uint16_t channel, const RawSample& message)>& visit) = 0;
    // Checks all of the recording and describes it.
    virtual RecordingDescription describe() = 0;
    // What was found damaged so far.
    virtual std::vector<RecordingFault> faults() const = 0;
};

// `compression` is "zstd", "lz4" or "none".
std::unique_ptr<RecordingSink> openMcapSink(const std::string& path, const std::string& compression);
std::unique_ptr<RecordingSource> openMcapSource(const std::string& path);

}  // namespace qara::nimb::tools
