#pragma once

#include "tools/core/MatchWatcher.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/Uri.hpp>

#include <memory>
#include <stdexcept>

namespace qara::nimb::tools {

// The host that a command's endpoints share (a DdsNimb made from the host properties, which also go to
// every entity), the plug-in they are made from, and the matches of their writers and readers. Endpoints
// keep their session alive; writers and readers of one session share its participants, so the plug-in's
// entities and plain Fast DDS ones, whose types have the same names, go into sessions of their own.
class Session
{
public:
    // `plugin` may be null for endpoints that need none (raw readers); it must outlive the session.
    explicit Session(const PluginLibrary* plugin, Nimb::Properties properties = {},
                     MatchWatcher::OnChange onChange = {})
        : m_plugin(plugin),
          m_properties(std::move(properties)),
          m_host(std::make_shared<DdsNimb>(m_properties)),
          m_matches(std::move(onChange))
    {
    }

    const PluginLibrary& plugin() const
    {
        return m_plugin != nullptr ? *m_plugin : throw std::logic_error("this session has no plug-in");
    }
    const std::shared_ptr<DdsNimb>& host() const { return m_host; }
    const Nimb::Properties& properties() const { return m_properties; }
    MatchWatcher& matches() { return m_matches; }

    // The host's participant for `uri`, its matches watched from now on.
    std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> participant(const Uri& uri)
    {
        auto participant = m_host->getDomainParticipant(uri, m_properties);
        m_matches.listenTo(participant);
        return participant;
    }

private:
    const PluginLibrary* m_plugin;
    const Nimb::Properties m_properties;
    std::shared_ptr<DdsNimb> m_host;
    // Stops listening before the host may delete the participants.
    MatchWatcher m_matches;
};

}  // namespace qara::nimb::tools
