#pragma once

#include <stdexcept>

namespace qara::nimb {

class NimbException : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
    ~NimbException() override;
};

class IllegalStateException : public NimbException
{
public:
    using NimbException::NimbException;
    ~IllegalStateException() override;
};

}  // namespace qara::nimb
