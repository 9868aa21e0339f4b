#include "LogCapture.hpp"

#include <log4cplus/initializer.h>

namespace tarvex_test {

class LogCapture::Recorder : public log4cplus::Appender
{
public:
    ~Recorder() override { destructorImpl(); }

    void close() override {}

    std::vector<LogLine> lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({event.getLoggerName(), event.getLogLevel(), event.getMessage()});
    }

private:
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};

LogCapture::LogCapture(const std::string& loggerName, log4cplus::LogLevel level)
    : m_logger(loggerName.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(loggerName)),
      m_previousLevel(m_logger.getLogLevel()),
      m_recorder(new Recorder())
{
    m_appender = log4cplus::SharedAppenderPtr(m_recorder);
    m_logger.addAppender(m_appender);
    m_logger.setLogLevel(level);
}

LogCapture::~LogCapture()
{
    m_logger.removeAppender(m_appender);
    m_logger.setLogLevel(m_previousLevel);
}

std::vector<LogLine> LogCapture::lines() const
{
    return m_recorder->lines();
}

bool LogCapture::contains(int level, const std::string& message) const
{
    for (const LogLine& line : lines())
    {
        if (line.level == level && line.message == message)
        {
            return true;
        }
    }
    return false;
}

}  // namespace tarvex_test
