#pragma once

#include <memory>

namespace qara::nimb::ps {

// Common, non-template root so the host can hold any sample type.
class DataEntityBase
{
public:
    virtual ~DataEntityBase();
};

template <class T>
class DataEntity : public virtual DataEntityBase
{
public:
    virtual std::unique_ptr<T> clone() const = 0;
    virtual bool keyEquals(const T& other) const = 0;
    virtual std::unique_ptr<T> cloneKey() const = 0;
    virtual bool hasKey() const = 0;
};

}  // namespace qara::nimb::ps
