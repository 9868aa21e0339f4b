#pragma once

#include "tools/core/Session.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qara::nimb::tools {

// A received sample as it travelled: encapsulation header and CDR body, XCDR1 or XCDR2, untouched, with its
// time stamps and the writer's sequence number; valid during the callback only.
struct RawSample
{
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    uint64_t receptionTime = 0;  // nanoseconds since the epoch
    uint64_t sourceTime = 0;     // nanoseconds since the epoch
    uint64_t sequence = 0;
};

// Readers that take the payloads of topic types without decoding them, under the types' own names so that
// they match their writers, either CDR version. One reader per URI; no plug-in needed.
class RawReader
{
public:
    // Runs on a Fast DDS thread for every valid sample of the URI at `topic` in the list; at most one call
    // per topic at a time, calls for different topics may overlap.
    using OnSample = std::function<void(std::size_t topic, const RawSample& sample)>;

    struct Topic
    {
        std::string type;  // "PsMeasurements" and so on
        Uri uri;
    };

    // The code reader QoS, with the reliability and durability of the session's data-reader profile when
    // its properties name a profile library (NimbException when there is no such profile).
    RawReader(const std::shared_ptr<Session>& session, const std::vector<Topic>& topics, OnSample onSample);
    ~RawReader();

    RawReader(const RawReader&) = delete;
    RawReader& operator=(const RawReader&) = delete;

    // Samples the middleware reports lost on topic `topic`.
    uint64_t lost(std::size_t topic) const;

private:
    class Lane;

    const OnSample m_onSample;
    std::shared_ptr<Session> m_session;
    std::vector<std::unique_ptr<Lane>> m_lanes;
};

}  // namespace qara::nimb::tools
