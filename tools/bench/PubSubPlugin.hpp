#pragma once

// What the command-line tool and the benchmarks know of the tarvex plug-in: its topic list and, per topic,
// the exported functions a host finds by name. Nothing here reaches past those functions.

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
#include <qara/nimb/shared_vector.hpp>

#include <cstdint>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace qara::nimb::tools {

// One topic type as a value, so that a generic lambda can be called once per type.
template <class T>
struct Topic
{
    using Type = T;
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

// "PsMeasurements, SaMeasurements_fast, ...", for messages and help texts.
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
    using QoSList = std::vector<std::shared_ptr<ps::qos::QoS>>;
    template <class R>
    using Factory = R*(const std::shared_ptr<Nimb>&, const Uri&, const QoSList&, const Nimb::Properties&);

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

template <class V>
struct IsSharedVector : std::false_type
{
};
template <class E>
struct IsSharedVector<shared_vector<E>> : std::true_type
{
};

// Sets every numeric field of `sample`, array elements included, to `counter` converted to the field's
// type, so that consecutive samples differ. Flags keep their value, and so do the fields named in `keep`.
template <class T>
void fillCounter(T& sample, uint64_t counter, const std::set<std::string>& keep = {})
{
    sample.visitFields([counter, &keep](const char* name, const auto& value, const auto& set) {
        using V = std::decay_t<decltype(value)>;
        if (keep.count(name) != 0)
        {
            return;
        }
        if constexpr (IsSharedVector<V>::value)
        {
            using E = std::remove_const_t<typename V::element_type>;
            if constexpr (!std::is_same_v<E, bool>)
            {
                set(freeze(shared_vector<E>(value.size(), static_cast<E>(counter))));
            }
        }
        else if constexpr (!std::is_same_v<V, bool>)
        {
            set(static_cast<V>(counter));
        }
    });
}

}  // namespace qara::nimb::tools
