#pragma once

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/Uri.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace eprosima::fastdds::dds {
class DomainParticipant;
}

namespace qara::nimb {

// Fast DDS host middleware. XML profiles come from the file named by the
// property dds.xml.profiles.file and, as Fast DDS does by itself, from the
// file named by the environment variable FASTDDS_DEFAULT_PROFILES_FILE; both
// may be used together.
class DdsNimb : public Nimb
{
public:
    explicit DdsNimb(Properties properties = {});

    // One participant per domain and participant profile, shared by every
    // caller while any of them holds it. The profile is the URI's
    // "participant" parameter, else the property dds.participant.profile,
    // else Fast DDS's default participant QoS is used.
    std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> getDomainParticipant(const Uri& uri,
                                                                                    const Properties& properties);

private:
    using Participant = eprosima::fastdds::dds::DomainParticipant;

    std::mutex m_mutex;
    std::map<std::pair<uint32_t, std::string>, std::weak_ptr<Participant>> m_participants;
};

}  // namespace qara::nimb
