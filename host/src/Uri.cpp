#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/Uri.hpp>

#include <boost/url/parse.hpp>

#include <ostream>

namespace qara::nimb {

namespace {

boost::urls::url parse(std::string_view text)
{
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed)
    {
        throw NimbException("Invalid URI '" + std::string(text) + "': " + parsed.error().message());
    }
    return boost::urls::url(*parsed);
}

// RFC 3986 queries: '+' is a plus, not a space.
boost::urls::params_view params(const boost::urls::url& url)
{
    return boost::urls::url_view(url).params(boost::urls::encoding_opts{});
}

}  // namespace

Uri::Uri(std::string_view text) : m_text(text), m_url(parse(text)) {}

const std::string& Uri::string() const
{
    return m_text;
}

std::string Uri::scheme() const
{
    return std::string(m_url.scheme());
}

std::string Uri::host() const
{
    return m_url.host();
}

std::string Uri::path() const
{
    return m_url.path();
}

std::string Uri::query(std::string_view key) const
{
    const auto all = params(m_url);
    const auto found = all.find(key);
    return found == all.end() ? std::string() : (*found).value;
}

bool Uri::hasQuery(std::string_view key) const
{
    return params(m_url).contains(key);
}

const boost::urls::url& Uri::url() const
{
    return m_url;
}

bool operator==(const Uri& a, const Uri& b)
{
    return a.url() == b.url();
}

bool operator!=(const Uri& a, const Uri& b)
{
    return !(a == b);
}

std::ostream& operator<<(std::ostream& os, const Uri& uri)
{
    return os << uri.string();
}

}  // namespace qara::nimb
