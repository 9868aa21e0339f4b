#include "CommandLine.hpp"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace qara::nimb::tools {

namespace {

template <class N>
N parseNumber(const std::string& name, const std::string& text, N min, N max)
{
    N parsed{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !(parsed >= min && parsed <= max))
    {
        std::ostringstream message;
        message << "--" << name << " expects a number from " << min << " to " << max << ", not '" << text << "'";
        throw UsageError(message.str());
    }
    return parsed;
}

}  // namespace

CommandLine::CommandLine(const std::vector<std::string>& args, const std::vector<Option>& options)
{
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        if (arg == "--")
        {
            m_positionals.insert(m_positionals.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0)
        {
            m_positionals.push_back(arg);
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const auto option =
            std::find_if(options.begin(), options.end(), [&](const Option& o) { return name == o.name; });
        if (option == options.end())
        {
            throw UsageError("unknown option --" + name);
        }
        if (!option->takesValue)
        {
            if (equals != std::string::npos)
            {
                throw UsageError("--" + name + " takes no value");
            }
            m_values[name].emplace_back();
        }
        else if (equals != std::string::npos)
        {
            m_values[name].push_back(arg.substr(equals + 1));
        }
        else if (i + 1 < args.size())
        {
            m_values[name].push_back(args[++i]);
        }
        else
        {
            throw UsageError("--" + name + " needs a value");
        }
    }
}

bool CommandLine::has(const std::string& name) const
{
    return m_values.count(name) != 0;
}

std::string CommandLine::value(const std::string& name, const std::string& fallback) const
{
    const auto found = m_values.find(name);
    return found == m_values.end() ? fallback : found->second.back();
}

std::vector<std::string> CommandLine::values(const std::string& name) const
{
    const auto found = m_values.find(name);
    return found == m_values.end() ? std::vector<std::string>() : found->second;
}

long long CommandLine::integer(const std::string& name, long long fallback, long long min, long long max) const
{
    return has(name) ? parseNumber(name, value(name, {}), min, max) : fallback;
}

double CommandLine::number(const std::string& name, double fallback, double min, double max) const
{
    return has(name) ? parseNumber(name, value(name, {}), min, max) : fallback;
}

}  // namespace qara::nimb::tools
