#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarvex_test {

// A child process whose stdout (and stderr, when asked) the test reads. Killed if still running when
// dropped, so that a failing test leaves nothing behind.
class ChildProcess
{
public:
    enum class Stderr
    {
        Inherited,
        ToStdout,
        Captured
    };

    // `command` is run as given: its first element is the program, found through PATH if it has no slash.
    // `environment` entries ("NAME=value") are added to this process's environment.
    explicit ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment = {},
                          Stderr stderrMode = Stderr::Inherited);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of output, or nothing at end of output or after `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);
    // Reads lines until one equals `line`; false at end of output or after `limit`.
    bool waitForLine(const std::string& line, std::chrono::milliseconds limit);
    // Reads stdout and a captured stderr to their ends, or until `limit`.
    void readToEnd(std::string& out, std::string& err, std::chrono::milliseconds limit);
    // Sends a signal; after SIGSTOP, returns once the process has stopped.
    void signal(int number);
    // The exit code, or -1 if the process did not exit normally within `limit`.
    int exitCode(std::chrono::milliseconds limit);

private:
    // Appends what the open pipes have, waiting for some until `deadline`; false when nothing came.
    bool readSome(std::chrono::steady_clock::time_point deadline);

    int m_pid = -1;
    int m_pipes[2] = {-1, -1};  // stdout, captured stderr
    std::string m_read[2];      // what came through them and was not taken yet
};

}  // namespace tarvex_test
