#include "ChildProcess.hpp"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarvex_test {

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                           Stderr stderrMode)
{
    // env(1) adds the entries and looks the program up through PATH.
    std::vector<char*> argv = {const_cast<char*>("env")};
    for (const auto* part : {&environment, &command})
    {
        std::transform(part->begin(), part->end(), std::back_inserter(argv),
                       [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    }
    argv.push_back(nullptr);
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (stderrMode == Stderr::Captured && ::pipe2(err, O_CLOEXEC) != 0))
    {
        throw std::runtime_error("no pipe for " + command.at(0));
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (stderrMode != Stderr::Inherited)
    {
        ::posix_spawn_file_actions_adddup2(&actions, stderrMode == Stderr::Captured ? err[1] : out[1], STDERR_FILENO);
    }
    // The child keeps no other descriptor of this process, such as a socket.
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    const int failed = ::posix_spawnp(&m_pid, "env", &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    // The write ends stay with the child only, so that its end is the end of output.
    ::close(out[1]);
    ::close(err[1]);
    m_pipes[0] = out[0];
    m_pipes[1] = err[0];
    if (failed != 0)
    {
        m_pid = -1;
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + command.at(0) + ": " + std::strerror(failed));
    }
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0)
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::close(m_pipes[0]);
    ::close(m_pipes[1]);
}

bool ChildProcess::readSome(Clock::time_point deadline)
{
    pollfd ready[2] = {{m_pipes[0], POLLIN, 0}, {m_pipes[1], POLLIN, 0}};  // poll passes over a closed one (-1)
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if ((m_pipes[0] < 0 && m_pipes[1] < 0) || ::poll(ready, 2, static_cast<int>(std::max<long>(wait, 0))) <= 0)
    {
        return false;
    }
    for (int i = 0; i < 2; ++i)
    {
        char chunk[4096];
        const ssize_t size = ready[i].revents != 0 ? ::read(m_pipes[i], chunk, sizeof(chunk)) : -1;
        m_read[i].append(chunk, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
        if (ready[i].revents != 0 && size <= 0)
        {
            ::close(std::exchange(m_pipes[i], -1));
        }
    }
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (m_read[0].find('\n') == std::string::npos && readSome(deadline))
    {
    }
    const auto end = m_read[0].find('\n');
    std::optional<std::string> line;
    if (end != std::string::npos)
    {
        line = m_read[0].substr(0, end);
        m_read[0].erase(0, end + 1);
    }
    return line;
}

bool ChildProcess::waitForLine(const std::string& line, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    std::optional<std::string> next;
    while ((next = readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) &&
           *next != line)
    {
    }
    return next.has_value();
}

void ChildProcess::readToEnd(std::string& out, std::string& err, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (readSome(deadline))
    {
    }
    out = std::exchange(m_read[0], {});
    err = std::exchange(m_read[1], {});
}

void ChildProcess::signal(int number)
{
    if (m_pid > 0 && ::kill(m_pid, number) == 0 && number == SIGSTOP)
    {
        // Until every thread has stopped: a busy one could otherwise go on for a moment.
        ::waitpid(m_pid, nullptr, WUNTRACED);
    }
}

int ChildProcess::exitCode(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    int status = 0;
    int reaped = 0;
    while (m_pid > 0 && (reaped = ::waitpid(m_pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reaped == 0)  // still running, or collected before
    {
        return -1;
    }
    m_pid = -1;
    return reaped > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tarvex_test
