#pragma once

#include <qara/nimb/ps/InstanceState.hpp>

#include <memory>

namespace qara::nimb::ps {

template <class T>
class DataEvent
{
public:
    virtual bool hasValidData() const = 0;
    virtual const std::shared_ptr<T>& getData() const = 0;
    virtual InstanceState getInstanceState() const = 0;
    virtual InstanceEvent getInstanceEvent() const = 0;
    virtual double getSourceTimestamp() const = 0;
    virtual ~DataEvent() = default;
};

}  // namespace qara::nimb::ps
