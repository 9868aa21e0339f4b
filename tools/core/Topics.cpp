#include "tools/core/Topics.hpp"

namespace qara::nimb::tools {

std::vector<std::string> topicNames()
{
    std::vector<std::string> names;
    forEachTopic([&](auto topic) { names.emplace_back(topic.name); });
    return names;
}

std::string topicList()
{
    std::string list;
    for (const auto& name : topicNames())
    {
        list += (list.empty() ? "" : ", ") + name;
    }
    return list;
}

}  // namespace qara::nimb::tools
