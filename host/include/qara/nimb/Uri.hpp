#pragma once

#include <boost/url/url.hpp>

#include <iosfwd>
#include <string>
#include <string_view>

namespace qara::nimb {

class Uri
{
public:
    // Throws NimbException when text is not an absolute URI.
    explicit Uri(std::string_view text);

    // The text exactly as given.
    const std::string& string() const;
    std::string scheme() const;
    std::string host() const;
    // Percent-decoded.
    std::string path() const;
    // Percent-decoded value of the first parameter named key, or empty.
    std::string query(std::string_view key) const;
    bool hasQuery(std::string_view key) const;

    const boost::urls::url& url() const;

private:
    std::string m_text;
    boost::urls::url m_url;
};

// Equivalence after the normalisations that do not change meaning.
bool operator==(const Uri& a, const Uri& b);
bool operator!=(const Uri& a, const Uri& b);
std::ostream& operator<<(std::ostream& os, const Uri& uri);

}  // namespace qara::nimb
