#include "Plugin.hpp"
#include "SampleValues.hpp"
#include "TopicTypes.hpp"

#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/PluginLibrary.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

// The built plug-in, opened with dlopen as a host opens it, its functions found by their C names.
namespace {

using namespace tarvex_test;
using qara::nimb::NimbException;
using qara::nimb::PluginLibrary;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

template <class T>
class PluginEntry : public ::testing::Test
{
};

TYPED_TEST_SUITE(PluginEntry, AllTopics, TopicNames);

// Four functions per topic; a data entity of the topic's own class, zeroed; a host that is not the DDS one
// is refused with an exception the host catches by its type across the RTLD_LOCAL boundary.
TYPED_TEST(PluginEntry, ExportsFourFunctionsPerTopic)
{
    using Interface = typename TypeParam::Interface;
    const PluginLibrary library(NIMB_TARVEX_PLUGIN);
    for (const char* kind : {"DataEntity", "Publisher", "Subscriber", "MrvSubscriber"})
    {
        EXPECT_NE(library.symbol(entryName(kind, TypeParam::name())), nullptr) << kind;
    }
    const std::unique_ptr<Interface> entity(
        library.function<DataEntityEntry<Interface>>(entryName("DataEntity", TypeParam::name()))());
    EXPECT_EQ(fieldBytes(*dynamic_cast<typename TypeParam::Entity&>(*entity).getDdsSample()),
              fieldBytes(typename TypeParam::Wire{}));

    const auto publisher = library.function<PublisherEntry<Interface>>(entryName("Publisher", TypeParam::name()));
    EXPECT_THAT([&] { publisher(std::make_shared<qara::nimb::Nimb>(), qara::nimb::Uri("dds.ps://220/t"), {}, {}); },
                ThrowsMessage<NimbException>(StrEq("The host object is not a DDS middleware (qara::nimb::DdsNimb)")));
}

TEST(PluginLibrary, NamesWhatIsMissingAndMovesItsHandle)
{
    EXPECT_THAT([] { PluginLibrary library("/nonexistent/libnimb_none.so"); },
                ThrowsMessage<NimbException>(HasSubstr("Cannot load plug-in /nonexistent/libnimb_none.so: ")));
    PluginLibrary first(NIMB_TARVEX_PLUGIN);
    EXPECT_THAT([&] { first.symbol("nimbNoSuchFunction"); },
                ThrowsMessage<NimbException>(
                    StrEq(std::string("Plug-in ") + NIMB_TARVEX_PLUGIN + " has no function nimbNoSuchFunction")));
    const std::string entry = entryName("DataEntity", "PsMeasurements");
    PluginLibrary second(std::move(first));
    EXPECT_NE(second.symbol(entry), nullptr);
    EXPECT_THROW(first.symbol(entry), NimbException);
    first = std::move(second);
    EXPECT_NE(first.symbol(entry), nullptr);
}

}  // namespace
