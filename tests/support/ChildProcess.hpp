#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace tarvex_test {

// A child process whose stdout (and, when asked, stderr) the test reads line by line. Killed if still
// running when dropped, so that a failing test leaves nothing behind.
class ChildProcess
{
public:
    // `command` is run as given: its first element is the program, found through PATH if it has no slash.
    // `environment` entries ("NAME=value") are added to this process's environment.
    explicit ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment = {},
                          bool stderrToStdout = false);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of output, or nothing at end of output or after `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);

    // Reads lines until one equals `line`; false at end of output or after `limit`.
    bool waitForLine(const std::string& line, std::chrono::milliseconds limit);

    // Sends a signal; after SIGSTOP, returns once the process has stopped.
    void signal(int number);

    // The exit code, or -1 if the process did not exit normally within `limit`.
    int exitCode(std::chrono::milliseconds limit);

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    std::string m_buffer;
};

}  // namespace tarvex_test
