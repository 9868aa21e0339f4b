#include "tools/core/Session.hpp"

#include <stdexcept>

namespace qara::nimb::tools {

Session::Session(const PluginLibrary* plugin, Nimb::Properties properties, MatchWatcher::OnChange onChange)
    : m_plugin(plugin),
      m_properties(std::move(properties)),
      m_host(std::make_shared<DdsNimb>(m_properties)),
      m_matches(std::move(onChange))
{
}

const PluginLibrary& Session::plugin() const
{
    if (m_plugin == nullptr)
    {
        throw std::logic_error("this session has no plug-in");
    }
    return *m_plugin;
}

std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> Session::participant(const Uri& uri)
{
    auto participant = m_host->getDomainParticipant(uri, m_properties);
    m_matches.listenTo(participant);
    return participant;
}

}  // namespace qara::nimb::tools
