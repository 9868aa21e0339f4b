#pragma once

#include <memory>

namespace qara::nimb::ps {

// Common, non-template root so the host can hold any sample type.
class DataEntityBase
{
public:
    virtual ~DataEntityBase();
};

// One sample of topic type T, holding its own storage; the base of every topic interface.
template <class T>
class DataEntity : public virtual DataEntityBase
{
public:
    // A deep copy: later changes to either entity do not show in the other. Throws std::runtime_error
    // when the copy's storage cannot be allocated.
    virtual std::unique_ptr<T> clone() const = 0;
    // Whether other names the same instance: true when every key field is equal. A type without key
    // fields has no instances to tell apart, so it is false for every argument, this entity included.
    virtual bool keyEquals(const T& other) const = 0;
    // A new entity with this entity's key fields and every other field at its default (all zero).
    virtual std::unique_ptr<T> cloneKey() const = 0;
    // Whether the type has key fields; false for the measurement topic types.
    virtual bool hasKey() const = 0;
};

}  // namespace qara::nimb::ps
