#include "tools/core/MatchWatcher.hpp"

#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TopicDescription.hpp>

#include <algorithm>

namespace qara::nimb::tools {

namespace dds = eprosima::fastdds::dds;

MatchWatcher::~MatchWatcher()
{
    for (const auto& participant : m_participants)
    {
        participant->set_listener(nullptr);
    }
}

void MatchWatcher::listenTo(const std::shared_ptr<dds::DomainParticipant>& participant)
{
    if (m_participants.insert(participant).second)
    {
        participant->set_listener(this,
                                  dds::StatusMask::publication_matched() << dds::StatusMask::subscription_matched());
    }
}

int32_t MatchWatcher::matched(const std::string& topic, bool readers)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return readers ? m_matched[topic].first : m_matched[topic].second;
}

bool MatchWatcher::waitForReaders(const std::set<std::string>& topics, int32_t count,
                                  std::chrono::duration<double> limit)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] {
        return std::all_of(topics.begin(), topics.end(),
                           [&](const std::string& topic) { return m_matched[topic].first >= count; });
    });
}

void MatchWatcher::on_publication_matched(dds::DataWriter* writer, const dds::PublicationMatchedStatus& status)
{
    changed(writer->get_topic()->get_name(), true, status.current_count);
}

void MatchWatcher::on_subscription_matched(dds::DataReader* reader, const dds::SubscriptionMatchedStatus& status)
{
    changed(reader->get_topicdescription()->get_name(), false, status.current_count);
}

void MatchWatcher::changed(const std::string& topic, bool readers, int32_t count)
{
    std::pair<int32_t, int32_t> now;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        auto& matched = m_matched[topic];
        (readers ? matched.first : matched.second) = count;
        now = matched;
    }
    m_changed.notify_all();
    if (m_onChange)
    {
        m_onChange(topic, now.first, now.second);
    }
}

}  // namespace qara::nimb::tools
