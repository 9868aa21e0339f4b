#pragma once

#include <qara/nimb/ps/InstancePublisher.hpp>

#include <memory>

namespace qara::nimb::ps {

// Writes samples of one topic. Its close() also closes every instance publisher made from it that still
// exists. Dropping the last handle, and the last instance publisher made from it, does what close() does.
template <class T>
class Publisher : public virtual InstancePublisher<T>
{
public:
    ~Publisher() override = default;
    // A publisher of instance's key with a writer of its own; the caller owns it. Throws
    // IllegalStateException once closed, for an entity not made by this library, and for a keyless topic
    // (DDS registers no instance there); std::runtime_error when DDS cannot create its entities.
    virtual std::unique_ptr<InstancePublisher<T>> createInstancePublisher(const T& instance) = 0;
};

}  // namespace qara::nimb::ps
