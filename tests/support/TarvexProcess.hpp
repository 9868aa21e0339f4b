#pragma once

#include "ChildProcess.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tarvex_test {

// The built `tarvex` tool in a process of its own, its stderr joined to its stdout. A `launcher` prefix
// runs it through another command, such as `ip netns exec <namespace>`.
class TarvexProcess : public ChildProcess
{
public:
    explicit TarvexProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment = {},
                           std::vector<std::string> launcher = {});

    // Reads until a line `matches`; false at the end of the output or after `limit`.
    bool waitForLine(const std::function<bool(const std::string&)>& matches,
                     std::chrono::milliseconds limit = std::chrono::seconds(60));

    // Reads until a progress line of `tarvex perf` counts at least `count` samples received.
    bool waitForReceived(uint64_t count, std::chrono::milliseconds limit = std::chrono::seconds(60));

    // Reads to the end of the output and waits for the exit: the last line that is a JSON object, with the
    // exit code as "exit"; {"exit": -1} and the output as "output" when there is no such line.
    nlohmann::json result(std::chrono::milliseconds limit = std::chrono::seconds(120));

    // Everything read so far, for failure messages.
    const std::string& output() const { return m_output; }

private:
    std::string m_output;
};

struct ToolRun
{
    // The exit status, or -1 when the tool had to be killed.
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built tarvex tool with `args` to its end and collects both of its outputs; a tool still running
// after `limit` is killed.
ToolRun runTool(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(180));

// The lines of `text`, without their line ends.
std::vector<std::string> linesOf(const std::string& text);

// "perf <role> <topic> --uri <uri> --json <extra...>"
std::vector<std::string> perf(const std::string& role, const std::string& topic, const std::string& uri,
                              const std::vector<std::string>& extra = {});

// Expects a `perf sub` result of a clean exit with `count` samples received, from the first on, none lost.
void expectReceivedFromTheFirst(const nlohmann::json& received, int count);

}  // namespace tarvex_test
