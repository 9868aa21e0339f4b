#pragma once

#include "ChildProcess.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tarvex_test {

// The peer executable (PubSubPeer.cpp) in a process of its own. A `launcher` prefix runs it through
// another command, such as `ip netns exec <namespace>`.
class Peer : public ChildProcess
{
public:
    explicit Peer(std::vector<std::string> args, const std::vector<std::string>& environment = {},
                  std::vector<std::string> launcher = {})
        : ChildProcess(command(std::move(args), std::move(launcher)), environment)
    {
    }

private:
    static std::vector<std::string> command(std::vector<std::string> args, std::vector<std::string> launcher)
    {
        launcher.emplace_back(TARVEX_PUBSUB_PEER);
        launcher.insert(launcher.end(), std::make_move_iterator(args.begin()), std::make_move_iterator(args.end()));
        return launcher;
    }
};

}  // namespace tarvex_test
