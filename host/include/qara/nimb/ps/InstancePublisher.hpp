#pragma once

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/ps/DataEntityFactory.hpp>

#include <chrono>
#include <memory>

namespace qara::nimb::ps {

template <class T>
class InstancePublisher : public virtual DataEntityFactory<T>
{
public:
    ~InstancePublisher() override = default;
    virtual std::shared_ptr<Nimb> getNimb() const = 0;
    virtual void publish(const T& data, const std::chrono::milliseconds& timeout) = 0;
    virtual void publish(double timestamp, const T& data, const std::chrono::milliseconds& timeout) = 0;
    virtual void close() = 0;
};

}  // namespace qara::nimb::ps
