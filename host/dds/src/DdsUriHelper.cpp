#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <charconv>
#include <optional>
#include <string_view>

namespace qara::nimb {

namespace {

constexpr std::string_view schemePrefix = "dds.";

std::optional<uint32_t> parseDomain(std::string_view text)
{
    uint32_t domain = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), domain);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || domain > DdsUriHelper::maxDomainId)
    {
        return std::nullopt;
    }
    return domain;
}

// Empty when the URI is a well-formed DDS URI, else what is wrong with it.
std::string problem(const Uri& uri)
{
    const auto& url = uri.url();
    const std::string scheme = uri.scheme();
    if (scheme.size() <= schemePrefix.size() || scheme.compare(0, schemePrefix.size(), schemePrefix) != 0)
    {
        return "scheme '" + scheme + "' is not dds.<kind>";
    }
    if (!url.has_authority())
    {
        return "no domain";
    }
    if (url.has_userinfo())
    {
        return "user information is not allowed";
    }
    if (url.has_port())
    {
        return "a port is not allowed";
    }
    if (url.has_fragment())
    {
        return "a fragment is not allowed";
    }
    if (!parseDomain(uri.host()))
    {
        return "domain '" + uri.host() + "' is not a number 0.." + std::to_string(DdsUriHelper::maxDomainId);
    }
    if (DdsUriHelper::topic(uri, true).empty())
    {
        return "no topic";
    }
    return {};
}

}  // namespace

bool DdsUriHelper::checkUri(const Uri& uri, bool throwOnError)
{
    const std::string wrong = problem(uri);
    if (!wrong.empty() && throwOnError)
    {
        throw NimbException("Invalid DDS URI '" + uri.string() + "': " + wrong);
    }
    return wrong.empty();
}

bool DdsUriHelper::isPubSubUri(const Uri& uri)
{
    return uri.scheme() == "dds.ps";
}

std::string DdsUriHelper::topic(const Uri& uri, bool stripLeadingSlash)
{
    std::string path = uri.path();
    if (stripLeadingSlash && !path.empty() && path.front() == '/')
    {
        path.erase(0, 1);
    }
    return path;
}

uint32_t DdsUriHelper::domainId(const Uri& uri)
{
    const auto domain = parseDomain(uri.host());
    if (!domain)
    {
        throw NimbException("Invalid DDS domain '" + uri.host() + "' in URI '" + uri.string() + "'");
    }
    return *domain;
}

}  // namespace qara::nimb
