#include "CommandLine.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qara::nimb::tools::CommandLine;
using qara::nimb::tools::UsageError;

const std::vector<CommandLine::Option> kOptions = {{"set", true}, {"rate", true}, {"help", false}};

TEST(CommandLine, TakesValuesInBothFormsFlagsAndPositionalsInAnyOrder)
{
    const CommandLine args({"--set", "a=1", "Topic", "--help", "--set=b=2", "--rate", "-3.5", "--", "--x"}, kOptions);
    EXPECT_EQ(args.values("set"), (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(args.value("set", "none"), "b=2");
    EXPECT_TRUE(args.has("help"));
    EXPECT_EQ(args.number("rate", 0, -10, 10), -3.5);
    EXPECT_EQ(args.positionals(), (std::vector<std::string>{"Topic", "--x"}));
    EXPECT_FALSE(CommandLine({}, kOptions).has("rate"));
    EXPECT_EQ(CommandLine({}, kOptions).integer("rate", 7, 0, 10), 7);
}

TEST(CommandLine, RefusesWhatItDoesNotKnowInOneSentence)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--colour"}, "unknown option --colour"},
        {{"--rate"}, "--rate needs a value"},
        {{"--help=yes"}, "--help takes no value"},
    };
    for (const auto& [args, message] : refused)
    {
        SCOPED_TRACE(message);
        try
        {
            CommandLine(args, kOptions);
            ADD_FAILURE() << "accepted";
        }
        catch (const UsageError& e)
        {
            EXPECT_EQ(e.what(), message);
        }
    }
    for (const std::string rate : {"", "ten", "11", "1e400", "2x"})
    {
        SCOPED_TRACE(rate);
        EXPECT_THROW(CommandLine({"--rate", rate}, kOptions).number("rate", 0, 0, 10), UsageError);
        EXPECT_THROW(CommandLine({"--rate", rate}, kOptions).integer("rate", 0, 0, 10), UsageError);
    }
    EXPECT_THROW(CommandLine({"--rate=2.5"}, kOptions).integer("rate", 0, 0, 10), UsageError);
}

}  // namespace
