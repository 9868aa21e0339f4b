#pragma once

// What the tool knows of the tarvex plug-in: its topic list and, per topic, the exported functions a host
// finds by name and the wire structure behind the topic interface.

#include "generated/dds/tarvex/PsMeasurements.hpp"
#include "generated/dds/tarvex/SaMeasurements_fast.hpp"
#include "generated/dds/tarvex/SaMeasurements_medium.hpp"
#include "generated/dds/tarvex/SaMeasurements_slow.hpp"
#include "generated/tarvex_types.hpp"

#include <tarvex/PsMeasurements.hpp>
#include <tarvex/SaMeasurements_fast.hpp>
#include <tarvex/SaMeasurements_medium.hpp>
#include <tarvex/SaMeasurements_slow.hpp>

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/PluginLibrary.hpp>
#include <qara/nimb/Uri.hpp>
#include <qara/nimb/ps/MrvSubscriber.hpp>
#include <qara/nimb/ps/Publisher.hpp>
#include <qara/nimb/ps/Subscriber.hpp>
#include <qara/nimb/ps/qos/QoS.hpp>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qara::nimb::tools {

// The wire structure behind topic interface T; a wire structure is its own.
template <class T>
struct WireOf
{
    using type = T;
};
#define NIMB_TOOLS_WIRE(Type)                       \
    template <>                                     \
    struct WireOf<::tarvex::Type>                   \
    {                                               \
        using type = generated::dds_::tarvex::Type; \
    };
TARVEX_TOPIC_TYPES(NIMB_TOOLS_WIRE)
#undef NIMB_TOOLS_WIRE

// One topic type as a value, so that a generic lambda can be called once per type.
template <class T>
struct Topic
{
    using Type = T;
    using Wire = typename WireOf<T>::type;
    const char* name;
};

template <class F>
void forEachTopic(F&& f)
{
#define NIMB_TOOLS_CALL(Type) f(Topic<::tarvex::Type>{#Type});
    TARVEX_TOPIC_TYPES(NIMB_TOOLS_CALL)
#undef NIMB_TOOLS_CALL
}

inline std::vector<std::string> topicNames()
{
    std::vector<std::string> names;
    forEachTopic([&](auto topic) { names.emplace_back(topic.name); });
    return names;
}

// "PsMeasurements, SaMeasurements_slow, ...", for messages and help texts.
inline std::string topicList()
{
    std::string list;
    for (const auto& name : topicNames())
    {
        list += (list.empty() ? "" : ", ") + name;
    }
    return list;
}

// Calls f(Topic<T>) for the topic called `name`; std::invalid_argument when there is none.
template <class F>
void withTopic(const std::string& name, F&& f)
{
    bool found = false;
    forEachTopic([&](auto topic) {
        if (!found && name == topic.name)
        {
            found = true;
            f(topic);
        }
    });
    if (!found)
    {
        throw std::invalid_argument("unknown topic '" + name + "' (known: " + topicList() + ")");
    }
}

// The plug-in's exported functions for topic type T.
template <class T>
class PluginEntries
{
public:
    template <class R>
    using Factory = R*(const std::shared_ptr<Nimb>&, const Uri&, const std::vector<std::shared_ptr<ps::qos::QoS>>&,
                       const Nimb::Properties&);

    PluginEntries(const PluginLibrary& plugin, const std::string& type)
        : m_entity(plugin.function<T*()>("generated_dds_DataEntity_tarvex_" + type)),
          m_publisher(plugin.function<Factory<ps::Publisher<T>>>("generated_dds_Publisher_tarvex_" + type)),
          m_subscriber(plugin.function<Factory<ps::Subscriber<T>>>("generated_dds_Subscriber_tarvex_" + type)),
          m_mrvSubscriber(plugin.function<Factory<ps::MrvSubscriber<T>>>("generated_dds_MrvSubscriber_tarvex_" + type))
    {
    }

    std::unique_ptr<T> entity() const { return std::unique_ptr<T>(m_entity()); }

    std::unique_ptr<ps::Publisher<T>> publisher(const std::shared_ptr<Nimb>& host, const Uri& uri,
                                                const Nimb::Properties& properties = {}) const
    {
        return std::unique_ptr<ps::Publisher<T>>(m_publisher(host, uri, {}, properties));
    }

    std::unique_ptr<ps::Subscriber<T>> subscriber(const std::shared_ptr<Nimb>& host, const Uri& uri,
                                                  const Nimb::Properties& properties = {}) const
    {
        return std::unique_ptr<ps::Subscriber<T>>(m_subscriber(host, uri, {}, properties));
    }

    std::unique_ptr<ps::MrvSubscriber<T>> mrvSubscriber(const std::shared_ptr<Nimb>& host, const Uri& uri) const
    {
        return std::unique_ptr<ps::MrvSubscriber<T>>(m_mrvSubscriber(host, uri, {}, {}));
    }

private:
    T* (*m_entity)();
    Factory<ps::Publisher<T>>* m_publisher;
    Factory<ps::Subscriber<T>>* m_subscriber;
    Factory<ps::MrvSubscriber<T>>* m_mrvSubscriber;
};

}  // namespace qara::nimb::tools
