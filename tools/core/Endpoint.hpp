#pragma once

// One writer or one reader of one topic, through the plug-in or through plain Fast DDS with the plug-in's
// wire types, type support and code QoS: every command and benchmark that sends or receives samples uses it.

#include "tools/core/Session.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qara::nimb::tools {

enum class Path
{
    Plugin,
    Plain
};

// "plugin" or "plain", for options, topic names and CSV columns.
const char* idOf(Path path);
// "plug-in" or "plain", for people.
const char* nameOf(Path path);

// Seconds since the epoch on the system clock, the clock of DDS source time stamps.
double wallSeconds();

// How a writer numbers the samples it writes.
enum class Numbering
{
    // Every numeric field, array elements included, is the sample's number; flags keep their value.
    EveryField,
    // The topic's sequence field (sequenceField in Fields.hpp) is; every other numeric field is 1.
    SequenceField,
};

// A sample as a reader received it; valid during the callback only.
class Received
{
public:
    virtual ~Received() = default;
    virtual uint64_t sequence() const = 0;
    // Seconds since the epoch.
    virtual double sourceTimestamp() const = 0;
    // Every field by name in wire order.
    virtual nlohmann::ordered_json json() const = 0;
};

class Endpoint
{
public:
    // Runs on a Fast DDS thread for every valid sample.
    using OnSample = std::function<void(const Received&)>;

    virtual ~Endpoint() = default;

    // Writers: the sample numbered n, stamped with `sourceTimestamp` (seconds since the epoch).
    virtual void write(uint64_t n, double sourceTimestamp);
    // Writers: a payload as it travelled (encapsulation header first, XCDR1 or XCDR2), decoded with the
    // plug-in's CDR functions; std::runtime_error when it does not decode, and nothing is written then.
    virtual void writePayload(const uint8_t* data, std::size_t size, double sourceTimestamp);

    // The DDS topic name.
    const std::string& topic() const { return m_topic; }
    // For a writer the readers it has matched now; for a reader the writers.
    int32_t matched() const;

protected:
    Endpoint(std::shared_ptr<Session> session, const Uri& uri, bool writer);

    std::shared_ptr<Session> m_session;

private:
    const std::string m_topic;
    const bool m_writer;
};

// A writer of topic `type` at `uri`. `assignments` ("name=value", as pub's --set) fix fields once and for
// all, before anything joins the domain; plug-in path only.
std::unique_ptr<Endpoint> openWriter(const std::shared_ptr<Session>& session, Path path, const std::string& type,
                                     const Uri& uri, Numbering numbering,
                                     const std::vector<std::string>& assignments = {});

// A reader of topic `type` at `uri` that calls `onSample` for every valid sample.
std::unique_ptr<Endpoint> openReader(const std::shared_ptr<Session>& session, Path path, const std::string& type,
                                     const Uri& uri, Endpoint::OnSample onSample);

}  // namespace qara::nimb::tools
