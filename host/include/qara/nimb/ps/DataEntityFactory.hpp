#pragma once

#include <memory>

namespace qara::nimb::ps {

// Makes data entities of the implementation that its publisher or subscriber accepts.
template <class T>
class DataEntityFactory
{
public:
    // A new entity with every field at its default, for the caller to fill in (an instance publisher's
    // has the key fields of its instance). Throws IllegalStateException once the factory is closed.
    virtual std::shared_ptr<T> createDataEntity() = 0;
    virtual ~DataEntityFactory() = default;
};

}  // namespace qara::nimb::ps
