#include "NetworkNamespaces.hpp"

#include "ChildProcess.hpp"

#include <atomic>
#include <chrono>
#include <iostream>

#include <unistd.h>

namespace tarvex_test {

namespace {

struct Outcome
{
    bool succeeded = false;
    std::string output;
};

// Runs `command` to its end with its stderr joined to its stdout, so that a failure can be reported in the
// tool's own words.
Outcome run(const std::vector<std::string>& command)
{
    ChildProcess child(command, {}, ChildProcess::Stderr::ToStdout);
    Outcome outcome;
    std::string none;
    child.readToEnd(outcome.output, none, std::chrono::seconds(30));
    outcome.succeeded = child.exitCode(std::chrono::seconds(30)) == 0;
    return outcome;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words)
    {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

// The pid keeps parallel test processes apart, the count the namespaces of one process.
std::string uniqueName(const std::string& role)
{
    static std::atomic<unsigned> created{0};
    return "tarvex-" + std::to_string(::getpid()) + "-" + std::to_string(created++) + "-" + role;
}

}  // namespace

NetworkNamespace::NetworkNamespace(const std::string& role) : m_name(uniqueName(role))
{
    const Outcome added = run({"ip", "netns", "add", m_name});
    if (!added.succeeded)
    {
        throw NamespacesRefused("`ip netns add " + m_name + "` failed: " + added.output);
    }
}

NetworkNamespace::~NetworkNamespace()
{
    try
    {
        const Outcome deleted = run({"ip", "netns", "delete", m_name});
        if (!deleted.succeeded)
        {
            std::cerr << "cannot delete network namespace " << m_name << ": " << deleted.output;
        }
    }
    catch (const std::exception& e)
    {
        std::cerr << "cannot delete network namespace " << m_name << ": " << e.what() << "\n";
    }
}

void NetworkNamespace::ip(const std::vector<std::string>& args) const
{
    std::vector<std::string> command{"ip", "-n", m_name};
    command.insert(command.end(), args.begin(), args.end());
    const Outcome outcome = run(command);
    if (!outcome.succeeded)
    {
        throw std::runtime_error("`" + joined(command) + "` failed: " + outcome.output);
    }
}

}  // namespace tarvex_test
