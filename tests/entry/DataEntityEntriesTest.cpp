#include "Plugin.hpp"
#include "SampleValues.hpp"
#include "TopicTypes.hpp"
#include "generated/tarvex_types.hpp"

#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/PluginLibrary.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <string>

// The built plug-in, opened with dlopen as a host opens it, its functions found by their C names.
namespace {

using namespace tarvex_test;
using qara::nimb::NimbException;
using qara::nimb::PluginLibrary;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

template <class T>
class PluginEntry : public ::testing::Test
{
};

TYPED_TEST_SUITE(PluginEntry, AllTopics, TopicNames);

// A data entity of the topic's own class, zeroed; a host that is not the DDS one is refused with an exception
// the host catches by its type across the RTLD_LOCAL boundary.
TYPED_TEST(PluginEntry, MakesEntitiesAndRefusesAForeignHost)
{
    using Interface = typename TypeParam::Interface;
    const PluginLibrary library(NIMB_TARVEX_PLUGIN);
    const std::unique_ptr<Interface> entity(
        library.function<DataEntityEntry<Interface>>(entryName("DataEntity", TypeParam::name()))());
    EXPECT_EQ(fieldBytes(*dynamic_cast<typename TypeParam::Entity&>(*entity).getDdsSample()),
              fieldBytes(typename TypeParam::Wire{}));

    const auto publisher = library.function<PublisherEntry<Interface>>(entryName("Publisher", TypeParam::name()));
    EXPECT_THAT([&] { publisher(std::make_shared<qara::nimb::Nimb>(), qara::nimb::Uri("dds.ps://220/t"), {}, {}); },
                ThrowsMessage<NimbException>(StrEq("The host object is not a DDS middleware (qara::nimb::DdsNimb)")));
}

// Closed, a plug-in stays mapped: participants the host shares may still hold its type supports.
TEST(PluginLibrary, NamesWhatIsMissingMovesItsHandleAndStaysMapped)
{
    EXPECT_THAT([] { PluginLibrary library("/nonexistent/libnimb_none.so"); },
                ThrowsMessage<NimbException>(HasSubstr("Cannot load plug-in /nonexistent/libnimb_none.so: ")));
    {
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
    void* mapped = dlopen(NIMB_TARVEX_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(mapped, nullptr);
    dlclose(mapped);
}

// The plug-in's dynamic symbols as nm lists them: the four entries of every topic, the four CDR functions of
// every wire structure, the type support of every command structure with the template it derives from, and
// nothing else.
TEST(PluginExports, AreTheEntriesTheCdrFunctionsAndTheCommandTypeSupports)
{
#define TARVEX_TEST_NAME(X) "|" #X
    const std::string topics = std::string(TARVEX_TOPIC_TYPES(TARVEX_TEST_NAME)).substr(1);
    const std::string commands = std::string(TARVEX_COMMAND_TYPES(TARVEX_TEST_NAME)).substr(1);
#undef TARVEX_TEST_NAME
    const std::string wire = "generated::dds_::tarvex::(" + topics + "|" + commands + ")";
    const std::string entry = "generated_dds_(DataEntity|Publisher|Subscriber|MrvSubscriber)_tarvex_(" + topics + ")";
    const std::string cdr =
        "(void |unsigned long )?eprosima::fastcdr::(serialize|deserialize|calculate_serialized_size)<";
    const std::string key = "eprosima::fastcdr::serialize_key\\(eprosima::fastcdr::Cdr&, ";
    const std::regex named(entry + "|" + cdr + wire + ">\\(.*|" + key + wire + " const&\\)");
    const std::regex support(".*generated::dds_::(tarvex::(" + commands +
                             ")PubSubType|TopicTypeSupport<generated::dds_::tarvex::(" + commands + ")>).*");
    std::set<std::string> entriesAndCdr, supports, others;
    FILE* nm = popen("nm -DC --defined-only " NIMB_TARVEX_PLUGIN, "r");
    ASSERT_NE(nm, nullptr);
    std::smatch match;
    for (char line[4096]; std::fgets(line, sizeof(line), nm) != nullptr;)
    {
        const std::string name = std::string(line).substr(19, std::strlen(line) - 20);  // after address and kind
        if (std::regex_match(name, match, support))
        {
            supports.insert(match[2].matched ? "class " + match[2].str() : "base " + match[3].str());
        }
        else
        {
            (std::regex_match(name, named) ? entriesAndCdr : others).insert(name);
        }
    }
    EXPECT_EQ(pclose(nm), 0);
    const auto count = [](const std::string& names) { return 1u + std::count(names.begin(), names.end(), '|'); };
    EXPECT_EQ(entriesAndCdr.size(), 4u * count(topics) + 4u * (count(topics) + count(commands)));
    EXPECT_EQ(supports.size(), 2u * count(commands)) << "the class and the template it derives from";
    EXPECT_THAT(others, IsEmpty());
}

}  // namespace
