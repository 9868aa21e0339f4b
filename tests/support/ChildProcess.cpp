#include "ChildProcess.hpp"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarvex_test {

namespace {

std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& text : strings)
    {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                           bool stderrToStdout)
{
    if (command.empty())
    {
        throw std::invalid_argument("no command to run");
    }
    int out[2];
    // Close-on-exec: other children must not inherit the write end, or EOF would never come.
    if (::pipe2(out, O_CLOEXEC) != 0)
    {
        throw std::runtime_error("pipe failed");
    }
    m_stdout = out[0];
    std::vector<std::string> args = command;
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry)
    {
        env.emplace_back(*entry);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    auto argv = pointersTo(args);
    auto envp = pointersTo(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (stderrToStdout)
    {
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    }
    const int spawned = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0)
    {
        m_pid = -1;
        ::close(m_stdout);
        throw std::runtime_error("cannot start " + command.front() + ": " + std::strerror(spawned));
    }
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0)
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::close(m_stdout);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;)
    {
        if (const auto end = m_buffer.find('\n'); end != std::string::npos)
        {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{m_stdout, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
        {
            return std::nullopt;
        }
        char chunk[4096];
        const ssize_t got = ::read(m_stdout, chunk, sizeof(chunk));
        if (got <= 0)
        {
            return std::nullopt;
        }
        m_buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

bool ChildProcess::waitForLine(const std::string& line, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto next = readLine(left);
        if (!next)
        {
            return false;
        }
        if (*next == line)
        {
            return true;
        }
    }
}

void ChildProcess::signal(int number)
{
    if (m_pid > 0 && ::kill(m_pid, number) == 0 && number == SIGSTOP)
    {
        // Until every thread has stopped: a busy one could otherwise go on for a moment.
        int status = 0;
        ::waitpid(m_pid, &status, WUNTRACED);
    }
}

int ChildProcess::exitCode(std::chrono::milliseconds limit)
{
    if (m_pid <= 0)
    {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tarvex_test
