#pragma once

#include <chrono>
#include <memory>
#include <vector>

namespace qara::nimb::ps {

// Reads the most recent value of each instance. The reader keeps the last sample of each instance and a
// read leaves it there, so reads return the same value until a newer one arrives.
template <class T>
class MrvSubscriber
{
public:
    // Releases the reader once the reads in progress are done; a second call only logs. Never throws.
    virtual void close() = 0;
    // Sleeps for the whole timeout (0: not at all), then returns a copy of the latest sample of each alive
    // instance, empty when there is none; a sample that failed to decode is left out. Throws NimbException
    // for a negative timeout, IllegalStateException once closed (also when close() on another thread ends
    // the delay), std::runtime_error when DDS fails the read.
    virtual std::vector<std::shared_ptr<T>> readMostRecent(const std::chrono::milliseconds& timeout) = 0;
    virtual ~MrvSubscriber() = default;
};

}  // namespace qara::nimb::ps
