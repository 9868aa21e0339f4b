#pragma once

#include <qara/nimb/ps/InstancePublisher.hpp>

#include <memory>

namespace qara::nimb::ps {

template <class T>
class Publisher : public virtual InstancePublisher<T>
{
public:
    ~Publisher() override = default;
    virtual std::unique_ptr<InstancePublisher<T>> createInstancePublisher(const T& instance) = 0;
};

}  // namespace qara::nimb::ps
