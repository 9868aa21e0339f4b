#pragma once

// DDS URIs:
//
//   dds.<kind>://<domain>/<topic path>[?participant=<participant profile>]
//
// e.g. dds.ps://7/tarvex/PsMeasurements. <domain> is a decimal DDS domain id
// 0..232 (the highest whose ports still fit in 16 bits); the topic name is the
// decoded path without its leading '/'. Only dds.ps is publish-subscribe;
// other kinds such as dds.rpc are well-formed DDS URIs all the same.
// "participant" names an XML participant profile.

#include <qara/nimb/Uri.hpp>

#include <cstdint>
#include <string>

namespace qara::nimb {

class DdsUriHelper
{
public:
    static constexpr uint32_t maxDomainId = 232;

    // False for a URI that is not a well-formed DDS URI, or throws
    // NimbException saying why when throwOnError.
    static bool checkUri(const Uri& uri, bool throwOnError);
    static bool isPubSubUri(const Uri& uri);
    static std::string topic(const Uri& uri, bool stripLeadingSlash);
    // Throws NimbException when the domain is not a valid DDS domain id.
    static uint32_t domainId(const Uri& uri);
};

}  // namespace qara::nimb
