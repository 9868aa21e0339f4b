#include <qara/nimb/Nimb.hpp>

#include <utility>

namespace qara::nimb {

Nimb::Nimb(Properties properties) : m_properties(std::move(properties)) {}

Nimb::~Nimb() = default;

const Nimb::Properties& Nimb::getProperties() const
{
    return m_properties;
}

}  // namespace qara::nimb
