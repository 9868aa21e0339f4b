#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/PluginLibrary.hpp>

#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <utility>

namespace qara::nimb {
namespace {

using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(PluginLibrary, MissingFileNamesThePath)
{
    const std::string path = "/nonexistent/libnimb_no_such_plugin.so";
    EXPECT_THAT([&] { PluginLibrary library(path); },
                ThrowsMessage<NimbException>(HasSubstr("Cannot load plug-in " + path + ": ")));
}

TEST(PluginLibrary, ResolvesAndCallsFunctions)
{
    const PluginLibrary library(NIMB_TEST_PLUGIN);
    EXPECT_EQ(library.path(), NIMB_TEST_PLUGIN);
    EXPECT_EQ(library.function<int(int)>("nimbTestAnswer")(21), 42);
    EXPECT_THROW(library.function<void()>("nimbTestThrow")(), IllegalStateException);
}

TEST(PluginLibrary, MissingSymbolNamesPluginAndFunction)
{
    const PluginLibrary library(NIMB_TEST_PLUGIN);
    EXPECT_THAT([&] { library.symbol("nimbNoSuchFunction"); },
                ThrowsMessage<NimbException>(
                    StrEq(std::string("Plug-in ") + NIMB_TEST_PLUGIN + " has no function nimbNoSuchFunction")));
}

TEST(PluginLibrary, MoveTransfersTheHandle)
{
    PluginLibrary first(NIMB_TEST_PLUGIN);
    PluginLibrary second(std::move(first));
    EXPECT_EQ(second.function<int(int)>("nimbTestAnswer")(1), 2);
    EXPECT_THROW(first.symbol("nimbTestAnswer"), NimbException);

    first = std::move(second);
    EXPECT_EQ(first.function<int(int)>("nimbTestAnswer")(2), 4);
}

}  // namespace
}  // namespace qara::nimb
