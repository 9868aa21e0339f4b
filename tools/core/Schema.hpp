#pragma once

#include "generated/tarvex_schemas.hpp"

#include <stdexcept>
#include <string>

namespace qara::nimb::tools {

// What recordings and live views carry to describe a topic's payloads to a generic viewer: the IDL of its
// structure with its module and annotations (generated from the IDL), so that every field decodes by name.
struct Schema
{
    std::string name;      // "tarvex::PsMeasurements"
    std::string encoding;  // "omgidl"
    std::string text;
    std::string ddsTypeName;  // "generated::dds_::tarvex::PsMeasurements"
};

// The schema of topic `type`; std::invalid_argument for a type that is not a topic.
inline Schema schemaOf(const std::string& type)
{
    const std::string text(generated::schemas::tarvex::idlOf(type));
    if (text.empty())
    {
        throw std::invalid_argument("no schema for '" + type + "'");
    }
    return {"tarvex::" + type, "omgidl", text, "generated::dds_::tarvex::" + type};
}

// The topic type a schema name stands for: "tarvex::PsMeasurements" -> "PsMeasurements"; empty for a
// schema of another module.
inline std::string typeOfSchema(const std::string& name)
{
    const std::string module = "tarvex::";
    return name.compare(0, module.size(), module) == 0 ? name.substr(module.size()) : std::string();
}

}  // namespace qara::nimb::tools
