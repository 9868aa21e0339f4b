#pragma once

#include <chrono>
#include <memory>
#include <vector>

namespace qara::nimb::ps {

// Reads the most recent value of each instance.
template <class T>
class MrvSubscriber
{
public:
    virtual void close() = 0;
    virtual std::vector<std::shared_ptr<T>> readMostRecent(const std::chrono::milliseconds& timeout) = 0;
    virtual ~MrvSubscriber() = default;
};

}  // namespace qara::nimb::ps
