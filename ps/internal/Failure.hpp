#pragma once

#include "icd/dds/FastDdsCompat.hpp"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <string>

namespace qara::nimb::ps::internal {

namespace fastdds = icd::dds::fastdds;

// "<message> code:<rc>", the form every DDS failure is reported in.
inline std::string withCode(const std::string& message, fastdds::ReturnCode code)
{
    return message + " code:" + std::to_string(code);
}

// Logs the message at ERROR and throws it; some failures are logged with an "errMsg:" prefix.
template <class Exception>
[[noreturn]] void fail(const log4cplus::Logger& logger, const std::string& message)
{
    LOG4CPLUS_ERROR(logger, message);
    throw Exception(message);
}

template <class Exception>
[[noreturn]] void failWithErrMsg(const log4cplus::Logger& logger, const std::string& message)
{
    LOG4CPLUS_ERROR(logger, "errMsg:" << message);
    throw Exception(message);
}

}  // namespace qara::nimb::ps::internal
