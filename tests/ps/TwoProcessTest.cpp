#include "Plugin.hpp"
#include "SampleCheck.hpp"
#include "TopicTypes.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 230;
constexpr uint32_t kSamples = 20;

// A child process of the peer executable with its stdin and stdout on pipes. Killed if still running when
// dropped, so that a failing test leaves nothing behind.
class Peer
{
public:
    explicit Peer(const std::vector<std::string>& args)
    {
        int in[2];
        int out[2];
        // Close-on-exec: the other peer must not inherit these ends, or EOF would never come.
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> all{TARVEX_PUBSUB_PEER};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
        {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&m_pid, TARVEX_PUBSUB_PEER, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
        if (spawned != 0)
        {
            m_pid = -1;
            throw std::runtime_error("posix_spawn failed");
        }
    }

    ~Peer()
    {
        if (m_pid > 0)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_stdin);
        ::close(m_stdout);
    }

    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void writeLine(const std::string& line)
    {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(m_stdin, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // The next line of output, or nothing at end of output or after `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit)
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
            char chunk[256];
            const ssize_t got = ::read(m_stdout, chunk, sizeof(chunk));
            if (got <= 0)
            {
                return std::nullopt;
            }
            m_buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }

    // The exit code, or -1 if the process did not exit normally within `limit`.
    int exitCode(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0)
        {
            if (std::chrono::steady_clock::now() > deadline)
            {
                return -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    std::string m_buffer;
};

template <class TopicType>
class TwoProcesses : public ::testing::Test
{
};

TYPED_TEST_SUITE(TwoProcesses, AllTopics, TopicNames);

TYPED_TEST(TwoProcesses, SubscriberProcessReceivesExactlyWhatThePublisherProcessSent)
{
    const std::string type = TypeParam::name();
    const std::string uri = uniqueUri(kDomain, "peers");
    const std::string count = std::to_string(kSamples);
    Peer subscriber({"subscribe", type, uri, count, "30000"});
    Peer publisher({"publish", type, uri, count});

    // Both ends know each other before anything is sent: the publisher waits for its own match and then
    // for this go, which comes once the subscriber's reader has matched.
    ASSERT_EQ(subscriber.readLine(30s), std::optional<std::string>("matched"));
    publisher.writeLine("go");

    std::vector<std::string> expected;
    for (uint32_t seed = 1; seed <= kSamples; ++seed)
    {
        expected.push_back(checksum(makeDistinctSample<typename TypeParam::Wire>(seed)));
    }
    std::vector<std::string> received;
    while (auto line = subscriber.readLine(40s))
    {
        received.push_back(*line);
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(publisher.exitCode(30s), 0);
    EXPECT_EQ(subscriber.exitCode(30s), 0);
}

}  // namespace
