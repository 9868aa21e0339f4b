#include "tools/core/Schema.hpp"

#include "generated/tarvex_schemas.hpp"

#include <stdexcept>

namespace qara::nimb::tools {

Schema schemaOf(const std::string& type)
{
    const std::string text(generated::schemas::tarvex::idlOf(type));
    if (text.empty())
    {
        throw std::invalid_argument("no schema for '" + type + "'");
    }
    return {"tarvex::" + type, "omgidl", text, "generated::dds_::tarvex::" + type};
}

std::string typeOfSchema(const std::string& name)
{
    const std::string module = "tarvex::";
    return name.compare(0, module.size(), module) == 0 ? name.substr(module.size()) : std::string();
}

}  // namespace qara::nimb::tools
