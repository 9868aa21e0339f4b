#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>
#include <string>
#include <vector>

namespace tarvex_test {

struct LogLine
{
    std::string logger;
    int level;
    std::string message;
};

// Records what is logged on one logger (and its children) while it lives.
class LogCapture
{
public:
    explicit LogCapture(const std::string& loggerName = "", log4cplus::LogLevel level = log4cplus::TRACE_LOG_LEVEL);
    ~LogCapture();

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    bool contains(int level, const std::string& message) const;

private:
    class Recorder;

    log4cplus::Logger m_logger;
    log4cplus::LogLevel m_previousLevel;
    log4cplus::SharedAppenderPtr m_appender;
    Recorder* m_recorder;
};

}  // namespace tarvex_test
