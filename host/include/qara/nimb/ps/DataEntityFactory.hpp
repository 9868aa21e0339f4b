#pragma once

#include <memory>

namespace qara::nimb::ps {

template <class T>
class DataEntityFactory
{
public:
    virtual std::shared_ptr<T> createDataEntity() = 0;
    virtual ~DataEntityFactory() = default;
};

}  // namespace qara::nimb::ps
