#include "ToolProcess.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/readable_pipe.hpp>
#include <boost/process/v2/process.hpp>
#include <boost/process/v2/stdio.hpp>

#include <sstream>

namespace tarvex_test {

ToolRun runTool(const std::vector<std::string>& args, std::chrono::seconds limit)
{
    namespace asio = boost::asio;
    namespace process = boost::process::v2;
    asio::io_context context;
    asio::readable_pipe out(context);
    asio::readable_pipe err(context);
    process::process tool(context, TARVEX_TOOL, args, process::process_stdio{nullptr, out, err});
    ToolRun run;
    const auto ignore = [](const boost::system::error_code&, std::size_t) {};
    asio::async_read(out, asio::dynamic_buffer(run.out), ignore);
    asio::async_read(err, asio::dynamic_buffer(run.err), ignore);
    bool ended = false;
    tool.async_wait([&](const boost::system::error_code& error, int status) {
        ended = true;
        run.status = error ? -1 : status;
    });
    context.run_for(limit);
    if (!ended)
    {
        tool.terminate();
    }
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

}  // namespace tarvex_test
