#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include "icd/dds/FastDdsCompat.hpp"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

namespace qara::nimb {

namespace {

using eprosima::fastdds::dds::DomainParticipant;
using eprosima::fastdds::dds::DomainParticipantFactory;
using eprosima::fastdds::dds::DomainParticipantQos;
using icd::dds::fastdds::kOk;

// Runs from whichever holder lets go last, possibly while unwinding: logs
// instead of throwing. Holding the factory keeps it alive for participants
// released during static destruction.
struct ParticipantDeleter
{
    std::shared_ptr<DomainParticipantFactory> factory;

    void operator()(DomainParticipant* participant) const
    {
        // Looked up each time: a static logger may be gone when this runs at exit.
        const auto logger = log4cplus::Logger::getInstance("nimbDdsNimb");
        const auto domain = participant->get_domain_id();
        if (const auto rc = participant->delete_contained_entities(); rc != kOk)
        {
            LOG4CPLUS_ERROR(
                logger, "Failed to delete the entities of the DDS participant for domain " << domain << " code:" << rc);
        }
        if (const auto rc = factory->delete_participant(participant); rc != kOk)
        {
            LOG4CPLUS_ERROR(logger, "Failed to delete the DDS participant for domain " << domain << " code:" << rc);
        }
    }
};

std::string participantProfile(const Uri& uri, const Nimb::Properties& properties)
{
    if (const std::string fromUri = uri.query("participant"); !fromUri.empty())
    {
        return fromUri;
    }
    const auto found = properties.find("dds.participant.profile");
    return found == properties.end() ? std::string() : found->second;
}

}  // namespace

DdsNimb::DdsNimb(Properties properties, ParticipantQosHook participantQosHook)
    : Nimb(std::move(properties)), m_participantQosHook(std::move(participantQosHook))
{
    const auto& own = getProperties();
    if (const auto file = own.find("dds.xml.profiles.file"); file != own.end())
    {
        const auto rc = DomainParticipantFactory::get_instance()->load_XML_profiles_file(file->second);
        if (rc != kOk)
        {
            throw NimbException("Failed to load DDS XML profiles file " + file->second + " code:" + std::to_string(rc));
        }
    }
}

std::shared_ptr<DomainParticipant> DdsNimb::getDomainParticipant(const Uri& uri, const Properties& properties)
{
    DdsUriHelper::checkUri(uri, true);
    const uint32_t domain = DdsUriHelper::domainId(uri);
    const std::string profile = participantProfile(uri, properties);

    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto key = std::make_pair(domain, profile);
    if (const auto found = m_participants.find(key); found != m_participants.end())
    {
        if (auto shared = found->second.lock())
        {
            return shared;
        }
    }
    // Forget the participants that nobody holds any more.
    for (auto it = m_participants.begin(); it != m_participants.end();)
    {
        it = it->second.expired() ? m_participants.erase(it) : std::next(it);
    }

    auto factory = DomainParticipantFactory::get_shared_instance();
    const std::string failure = "Failed to create DDS participant for domain " + std::to_string(domain) +
                                (profile.empty() ? "" : " with profile:" + profile) + " Uri: " + uri.string();
    DomainParticipantQos qos = factory->get_default_participant_qos();
    if (!profile.empty() && factory->get_participant_qos_from_profile(profile, qos) != kOk)
    {
        throw std::runtime_error(failure);
    }
    if (m_participantQosHook)
    {
        m_participantQosHook(qos);
    }
    DomainParticipant* created = factory->create_participant(domain, qos);
    if (created == nullptr)
    {
        throw std::runtime_error(failure);
    }
    std::shared_ptr<DomainParticipant> participant(created, ParticipantDeleter{std::move(factory)});
    m_participants[key] = participant;
    return participant;
}

}  // namespace qara::nimb
