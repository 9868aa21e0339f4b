#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tarvex_test {

// This machine does not let the test create network namespaces (not root, no CAP_SYS_ADMIN, no iproute2):
// tests that need hosts of their own skip on it rather than fail.
class NamespacesRefused : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A network namespace that lives as long as this object, under a name no other process uses. Deleting it
// deletes the links in it, also when a test fails halfway through building its network.
class NetworkNamespace
{
public:
    // `role` ends the name (tarvex-<pid>-<n>-<role>), so that a leftover tells where it came from. Throws
    // NamespacesRefused with iproute2's words if the namespace cannot be created.
    explicit NetworkNamespace(const std::string& role);
    ~NetworkNamespace();

    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    const std::string& name() const { return m_name; }

    // Runs `ip -n <name> <args>`; throws std::runtime_error with ip's output if it fails.
    void ip(const std::vector<std::string>& args) const;

    // The prefix that runs a command inside: `ip netns exec <name>`.
    std::vector<std::string> exec() const { return {"ip", "netns", "exec", m_name}; }

private:
    std::string m_name;
};

}  // namespace tarvex_test
