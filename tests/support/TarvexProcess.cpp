#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace tarvex_test {

namespace {

using std::chrono::milliseconds;

std::vector<std::string> command(const std::vector<std::string>& args, std::vector<std::string> launcher)
{
    launcher.emplace_back(TARVEX_TOOL);
    launcher.insert(launcher.end(), args.begin(), args.end());
    return launcher;
}

milliseconds until(std::chrono::steady_clock::time_point deadline)
{
    return std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
}

}  // namespace

TarvexProcess::TarvexProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                             std::vector<std::string> launcher)
    : ChildProcess(command(args, std::move(launcher)), environment, Stderr::ToStdout)
{
}

bool TarvexProcess::waitForLine(const std::function<bool(const std::string&)>& matches, milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (auto line = readLine(limit); line; line = readLine(until(deadline)))
    {
        m_output += *line + "\n";
        if (matches(*line))
        {
            return true;
        }
    }
    return false;
}

bool TarvexProcess::waitForReceived(uint64_t count, milliseconds limit)
{
    return waitForLine(
        [count](const std::string& line) {
            const auto at = line.find(", received ");
            return at != std::string::npos && std::stoull(line.substr(at + 11)) >= count;
        },
        limit);
}

nlohmann::json TarvexProcess::result(milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    nlohmann::json json = {{"exit", -1}};
    waitForLine(
        [&](const std::string& line) {
            json = !line.empty() && line.front() == '{' ? nlohmann::json::parse(line, nullptr, false) : json;
            return false;
        },
        limit);
    json["exit"] = exitCode(std::max(until(deadline), milliseconds(5000)));
    json["output"] = m_output;
    return json;
}

ToolRun runTool(const std::vector<std::string>& args, std::chrono::seconds limit)
{
    ChildProcess tool(command(args, {}), {}, ChildProcess::Stderr::Captured);
    ToolRun run;
    tool.readToEnd(run.out, run.err, limit);
    run.status = tool.exitCode(std::chrono::seconds(5));
    return run;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
    {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> perf(const std::string& role, const std::string& topic, const std::string& uri,
                              const std::vector<std::string>& extra)
{
    std::vector<std::string> args = {"perf", role, topic, "--uri", uri, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void expectReceivedFromTheFirst(const nlohmann::json& received, int count)
{
    EXPECT_EQ(received["exit"], 0) << received["output"];
    EXPECT_EQ(received["received"], count);
    EXPECT_EQ(received["first"], 1);
    EXPECT_EQ(received["lost"], 0);
}

}  // namespace tarvex_test
