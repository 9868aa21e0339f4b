#include "ChildProcess.hpp"

#include <boost/asio/connect_pipe.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/readable_pipe.hpp>
#include <boost/asio/writable_pipe.hpp>
#include <boost/process/v2/environment.hpp>
#include <boost/process/v2/process.hpp>
#include <boost/process/v2/stdio.hpp>
// Header-only Boost.Process 1.83 leaves out the definition of how an environment is handed to the child.
#include <boost/process/v2/impl/environment.ipp>

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include <sys/wait.h>

namespace tarvex_test {

namespace asio = boost::asio;
namespace bp = boost::process::v2;

struct ChildProcess::Io
{
    asio::io_context context;
    asio::readable_pipe out{context};
    asio::readable_pipe err{context};
    std::optional<bp::process> process;
};

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                           Stderr stderrMode)
    : m_io(std::make_unique<Io>())
{
    if (command.empty())
    {
        throw std::invalid_argument("no command to run");
    }
    std::vector<std::string> env;
    for (const auto& entry : bp::environment::current())
    {
        env.push_back(entry.string());
    }
    env.insert(env.end(), environment.begin(), environment.end());
    const bp::filesystem::path program = command.front().find('/') == std::string::npos
                                             ? bp::environment::find_executable(command.front())
                                             : bp::filesystem::path(command.front());
    const std::vector<std::string> args(command.begin() + 1, command.end());
    // The write ends stay with the child only: they close here when the constructor returns.
    asio::writable_pipe out(m_io->context);
    asio::connect_pipe(m_io->out, out);
    asio::writable_pipe err(m_io->context);
    const auto start = [&](auto&& errorBinding) {
        m_io->process.emplace(m_io->context, program, args, bp::process_stdio{nullptr, out, errorBinding},
                              bp::process_environment(env));
    };
    try
    {
        switch (stderrMode)
        {
        case Stderr::Inherited:
            start(stderr);
            break;
        case Stderr::ToStdout:
            start(out);
            break;
        case Stderr::Captured:
            asio::connect_pipe(m_io->err, err);
            start(err);
            break;
        }
    }
    catch (const std::exception& e)
    {
        throw std::runtime_error("cannot start " + command.front() + ": " + e.what());
    }
}

ChildProcess::~ChildProcess()
{
    if (m_io->process)
    {
        boost::system::error_code ignored;
        m_io->process->terminate(ignored);
    }
}

void ChildProcess::runUntil(const bool& done, std::chrono::milliseconds limit)
{
    m_io->context.restart();
    m_io->context.run_for(limit);
    if (!done)
    {
        boost::system::error_code unopened;
        m_io->out.cancel(unopened);
        m_io->err.cancel(unopened);
    }
    // The cancelled reads still complete.
    m_io->context.restart();
    m_io->context.run();
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit)
{
    if (m_buffer.find('\n') == std::string::npos)
    {
        bool done = false;
        asio::async_read_until(m_io->out, asio::dynamic_buffer(m_buffer), '\n',
                               [&](const boost::system::error_code&, std::size_t) { done = true; });
        runUntil(done, limit);
    }
    const auto end = m_buffer.find('\n');
    if (end == std::string::npos)
    {
        return std::nullopt;
    }
    std::string line = m_buffer.substr(0, end);
    m_buffer.erase(0, end + 1);
    return line;
}

bool ChildProcess::waitForLine(const std::string& line, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (const auto next = readLine(
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())))
    {
        if (*next == line)
        {
            return true;
        }
    }
    return false;
}

void ChildProcess::readToEnd(std::string& out, std::string& err, std::chrono::milliseconds limit)
{
    out = std::move(m_buffer);
    m_buffer.clear();
    int pending = m_io->err.is_open() ? 2 : 1;
    bool done = false;
    const auto finished = [&](const boost::system::error_code&, std::size_t) { done = --pending == 0; };
    asio::async_read(m_io->out, asio::dynamic_buffer(out), finished);
    if (m_io->err.is_open())
    {
        asio::async_read(m_io->err, asio::dynamic_buffer(err), finished);
    }
    runUntil(done, limit);
}

void ChildProcess::signal(int number)
{
    if (m_io->process && ::kill(m_io->process->id(), number) == 0 && number == SIGSTOP)
    {
        // Until every thread has stopped: a busy one could otherwise go on for a moment.
        int status = 0;
        ::waitpid(m_io->process->id(), &status, WUNTRACED);
    }
}

int ChildProcess::exitCode(std::chrono::milliseconds limit)
{
    if (!m_io->process)
    {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    boost::system::error_code error;
    while (m_io->process->running(error))
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int status = m_io->process->native_exit_code();
    m_io->process.reset();
    return !error && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tarvex_test
