#pragma once

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/Uri.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace eprosima::fastdds::dds {
class DomainParticipant;
class DomainParticipantQos;
}  // namespace eprosima::fastdds::dds

namespace qara::nimb {

// Fast DDS host middleware. XML profiles come from the file named by the
// property dds.xml.profiles.file and, as Fast DDS does by itself, from the
// file named by the environment variable FASTDDS_DEFAULT_PROFILES_FILE; both
// may be used together.
class DdsNimb : public Nimb
{
public:
    // Called with each participant's QoS (its profile's, or the default) just before the participant is
    // created, for what XML cannot express, such as a transport of the application's own.
    using ParticipantQosHook = std::function<void(eprosima::fastdds::dds::DomainParticipantQos&)>;

    explicit DdsNimb(Properties properties = {}, ParticipantQosHook participantQosHook = {});

    // One participant per domain and participant profile, shared by every
    // caller while any of them holds it. The profile is the URI's
    // "participant" parameter, else the property dds.participant.profile,
    // else Fast DDS's default participant QoS is used.
    std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> getDomainParticipant(const Uri& uri,
                                                                                    const Properties& properties);

private:
    using Participant = eprosima::fastdds::dds::DomainParticipant;

    ParticipantQosHook m_participantQosHook;
    std::mutex m_mutex;
    std::map<std::pair<uint32_t, std::string>, std::weak_ptr<Participant>> m_participants;
};

}  // namespace qara::nimb
