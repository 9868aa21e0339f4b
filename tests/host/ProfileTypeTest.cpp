#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/ProfileType.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <string>
#include <vector>

namespace qara::nimb {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

class CapturingAppender : public log4cplus::Appender
{
public:
    ~CapturingAppender() override { destructorImpl(); }
    void close() override {}

    std::vector<std::string> messages;

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override { messages.push_back(event.getMessage()); }
};

const Nimb::Properties library{{"dds.qos.profile.library", "lib"}};

TEST(ProfileName, LibraryDotKind)
{
    EXPECT_EQ(getProfileNameByProfileType(ProfileType::Topic, library), "lib.topic");
    EXPECT_EQ(getProfileNameByProfileType(ProfileType::DataWriter, library), "lib.datawriter");
    EXPECT_EQ(getProfileNameByProfileType(ProfileType::Publisher, library), "lib.publisher");
    EXPECT_EQ(getProfileNameByProfileType(ProfileType::DataReader, library), "lib.datareader");
    EXPECT_EQ(getProfileNameByProfileType(ProfileType::Subscriber, library), "lib.subscriber");
}

TEST(ProfileName, OverrideWinsForItsKindOnly)
{
    auto properties = library;
    properties["dds.qos.profile.datawriter"] = "fast_writer";
    EXPECT_EQ(getProfileNameByProfileType(ProfileType::DataWriter, properties), "fast_writer");
    EXPECT_EQ(getProfileNameByProfileType(ProfileType::DataReader, properties), "lib.datareader");
}

TEST(ProfileName, LibraryIsRequiredEvenWithAnOverride)
{
    EXPECT_THAT(
        [] {
            getProfileNameByProfileType(ProfileType::Topic, {{"dds.qos.profile.topic", "t"}});
        },
        ThrowsMessage<NimbException>(StrEq("Property dds.qos.profile.library is not set")));
}

TEST(ProfileName, EachAnswerIsTracedInOrder)
{
    auto logger = log4cplus::Logger::getInstance("nimbProfiles");
    log4cplus::helpers::SharedObjectPtr<CapturingAppender> appender(new CapturingAppender);
    logger.addAppender(log4cplus::SharedAppenderPtr(appender.get()));
    logger.setLogLevel(log4cplus::TRACE_LOG_LEVEL);

    getProfileNameByProfileType(ProfileType::Topic, library);
    getProfileNameByProfileType(ProfileType::DataWriter,
                                {{"dds.qos.profile.library", "lib"}, {"dds.qos.profile.datawriter", "w"}});
    logger.removeAppender(log4cplus::SharedAppenderPtr(appender.get()));

    EXPECT_EQ(appender->messages,
              (std::vector<std::string>{"Profile for topic: lib.topic", "Profile for datawriter: w"}));
}

}  // namespace
}  // namespace qara::nimb
