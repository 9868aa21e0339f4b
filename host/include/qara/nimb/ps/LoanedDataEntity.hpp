#pragma once

namespace qara::nimb::ps {

// A sample borrowed from the middleware; close() returns it.
template <class T>
class LoanedDataEntity
{
public:
    // The borrowed sample itself, not a copy; valid until close() or until the loan is dropped.
    virtual T& getData() = 0;
    // Gives the sample back; a second call does nothing. Throws std::runtime_error when the reader refuses
    // it, and the loan is then still held. Works after the subscriber's close(): its reader stays until the
    // last loan is back.
    virtual void close() = 0;
    // Gives the sample back if close() did not; a failure is logged, not thrown.
    virtual ~LoanedDataEntity() = default;
};

}  // namespace qara::nimb::ps
