#pragma once

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace qara::nimb::tools {

// Per DDS topic, the readers that the writers and the writers that the readers of some participants have
// matched. Writers and readers without a listener of their own for these events (the plug-in's writers, the
// tool's plain and raw endpoints) report them to their participant's listener, which this is.
class MatchWatcher : public eprosima::fastdds::dds::DomainParticipantListener
{
public:
    // Called on a Fast DDS thread after a topic's counts changed.
    using OnChange = std::function<void(const std::string& topic, int32_t readers, int32_t writers)>;

    explicit MatchWatcher(OnChange onChange = {}) : m_onChange(std::move(onChange)) {}
    ~MatchWatcher() override;

    MatchWatcher(const MatchWatcher&) = delete;
    MatchWatcher& operator=(const MatchWatcher&) = delete;

    // Hears this participant's matches from now on.
    void listenTo(const std::shared_ptr<eprosima::fastdds::dds::DomainParticipant>& participant);

    // The readers (`readers` true) or the writers that the topic's endpoints have matched.
    int32_t matched(const std::string& topic, bool readers);
    // Waits until each of `topics` has `count` readers or more; false if `limit` passes first.
    bool waitForReaders(const std::set<std::string>& topics, int32_t count, std::chrono::duration<double> limit);

    void on_publication_matched(eprosima::fastdds::dds::DataWriter* writer,
                                const eprosima::fastdds::dds::PublicationMatchedStatus& status) override;
    void on_subscription_matched(eprosima::fastdds::dds::DataReader* reader,
                                 const eprosima::fastdds::dds::SubscriptionMatchedStatus& status) override;

private:
    void changed(const std::string& topic, bool readers, int32_t count);

    const OnChange m_onChange;
    std::set<std::shared_ptr<eprosima::fastdds::dds::DomainParticipant>> m_participants;
    // Guards m_matched; taken alone, and released before m_onChange runs.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::pair<int32_t, int32_t>> m_matched;  // topic: readers, writers
};

}  // namespace qara::nimb::tools
