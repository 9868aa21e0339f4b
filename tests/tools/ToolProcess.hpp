#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tarvex_test {

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

}  // namespace tarvex_test
