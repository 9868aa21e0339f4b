#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tarvex_test {

// Records the level and message of what is logged on one logger (the root by default) and its children
// while it lives.
class LogCapture
{
public:
    using Lines = std::vector<std::pair<int, std::string>>;

    explicit LogCapture(const std::string& name = "", log4cplus::LogLevel level = log4cplus::TRACE_LOG_LEVEL)
        : m_logger(name.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(name)),
          m_previousLevel(m_logger.getLogLevel())
    {
        m_logger.addAppender(m_appender);
        m_logger.setLogLevel(level);
    }

    ~LogCapture()
    {
        m_logger.removeAppender(m_appender);
        m_logger.setLogLevel(m_previousLevel);
    }

    Lines lines() const
    {
        auto& recorder = static_cast<Recorder&>(*m_appender);
        std::lock_guard<std::mutex> lock(recorder.mutex);
        return recorder.recorded;
    }
    bool contains(int level, const std::string& message) const
    {
        const Lines all = lines();
        return std::find(all.begin(), all.end(), std::make_pair(level, message)) != all.end();
    }

private:
    struct Recorder : log4cplus::Appender
    {
        ~Recorder() override { destructorImpl(); }
        void close() override {}
        void append(const log4cplus::spi::InternalLoggingEvent& event) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.emplace_back(event.getLogLevel(), event.getMessage());
        }
        std::mutex mutex;
        Lines recorded;
    };

    log4cplus::Logger m_logger;
    log4cplus::LogLevel m_previousLevel;
    log4cplus::SharedAppenderPtr m_appender{new Recorder()};
};

}  // namespace tarvex_test
