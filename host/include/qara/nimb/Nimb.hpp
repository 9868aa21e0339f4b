#pragma once

#include <map>
#include <string>

namespace qara::nimb {

// Base of the host's middleware objects; plug-ins receive it and downcast to
// the middleware they implement.
class Nimb
{
public:
    using Properties = std::map<std::string, std::string>;

    explicit Nimb(Properties properties = {});
    virtual ~Nimb();

    const Properties& getProperties() const;

private:
    Properties m_properties;
};

}  // namespace qara::nimb
