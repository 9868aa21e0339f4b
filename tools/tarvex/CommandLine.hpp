#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace qara::nimb::tools {

// The user asked for something the tool does not offer; main prints it as one line.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The arguments of one command: "--name value", "--name=value" or a bare "--name" flag, in any order;
// everything else, and everything after "--", is positional.
class CommandLine
{
public:
    struct Option
    {
        const char* name;
        bool takesValue;
    };

    CommandLine(const std::vector<std::string>& args, const std::vector<Option>& options);

    bool has(const std::string& name) const;
    // The last value given, or `fallback`.
    std::string value(const std::string& name, const std::string& fallback) const;
    // Every value given, in order.
    std::vector<std::string> values(const std::string& name) const;
    const std::vector<std::string>& positionals() const { return m_positionals; }

    // The value as a number within [min, max], or `fallback` when absent.
    long long integer(const std::string& name, long long fallback, long long min, long long max) const;
    double number(const std::string& name, double fallback, double min, double max) const;

private:
    std::map<std::string, std::vector<std::string>> m_values;
    std::vector<std::string> m_positionals;
};

}  // namespace qara::nimb::tools
