#pragma once

namespace qara::nimb::ps {

// A sample borrowed from the middleware; close() returns it.
template <class T>
class LoanedDataEntity
{
public:
    virtual T& getData() = 0;
    virtual void close() = 0;
    virtual ~LoanedDataEntity() = default;
};

}  // namespace qara::nimb::ps
