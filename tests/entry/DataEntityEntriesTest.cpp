#include "SampleValues.hpp"
#include "generated/ddsimpl/tarvex/PsMeasurements.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_fast.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_medium.hpp"
#include "generated/ddsimpl/tarvex/SaMeasurements_slow.hpp"
#include "generated/tarvex_types.hpp"

#include <qara/nimb/PluginLibrary.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace impl = generated::ddsimpl::tarvex;

template <class Entity>
struct Entry;

#define TARVEX_TEST_ENTRY(Type)                                                           \
    template <>                                                                           \
    struct Entry<impl::Type>                                                              \
    {                                                                                     \
        using Interface = ::tarvex::Type;                                                 \
        static constexpr const char* function = "generated_dds_DataEntity_tarvex_" #Type; \
    };
TARVEX_TOPIC_TYPES(TARVEX_TEST_ENTRY)
#undef TARVEX_TEST_ENTRY

template <class Entity>
class PluginEntryTest : public ::testing::Test
{
protected:
    using Interface = typename Entry<Entity>::Interface;
    using DdsType = typename Entity::DdsType;

    // Owned by the caller and destroyed through the interface, as a host does.
    std::unique_ptr<Interface> create() const { return std::unique_ptr<Interface>(m_create()); }

    static Entity& impl(Interface& entity) { return dynamic_cast<Entity&>(entity); }

    static std::vector<unsigned char> zeros()
    {
        return std::vector<unsigned char>(tarvex_test::fieldBytes(DdsType{}).size(), 0);
    }

private:
    qara::nimb::PluginLibrary m_plugin{NIMB_TARVEX_PLUGIN};
    Interface* (*m_create)() = m_plugin.function<Interface*()>(Entry<Entity>::function);
};

using Entities = ::testing::Types<impl::PsMeasurements, impl::SaMeasurements_slow, impl::SaMeasurements_medium,
                                  impl::SaMeasurements_fast>;
TYPED_TEST_SUITE(PluginEntryTest, Entities);

TYPED_TEST(PluginEntryTest, CreatesAZeroedEntity)
{
    auto entity = this->create();
    ASSERT_NE(entity, nullptr);
    EXPECT_EQ(tarvex_test::fieldBytes(*this->impl(*entity).getDdsSample()), this->zeros());
}

TYPED_TEST(PluginEntryTest, EachCallGivesAnIndependentEntity)
{
    auto first = this->create();
    auto second = this->create();
    ASSERT_NE(first.get(), second.get());
    auto* firstSample = this->impl(*first).getDdsSample();
    ASSERT_NE(firstSample, this->impl(*second).getDdsSample());

    *firstSample = tarvex_test::makeDistinctSample<typename TestFixture::DdsType>(1);
    EXPECT_EQ(tarvex_test::fieldBytes(*this->impl(*second).getDdsSample()), this->zeros());
}

// The plug-in's dynamic symbols, demangled, with their nm type letter.
const std::map<std::string, char>& exportedSymbols()
{
    static const std::map<std::string, char> symbols = [] {
        std::map<std::string, char> result;
        const std::string command = std::string(NIMB_NM) + " -D --defined-only -C '" + NIMB_TARVEX_PLUGIN + "'";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), &pclose);
        if (!pipe)
        {
            return result;
        }
        char* line = nullptr;
        std::size_t capacity = 0;
        for (ssize_t length; (length = getline(&line, &capacity, pipe.get())) > 0;)
        {
            // "<address> <type> <name>\n"
            std::string text(line, static_cast<std::size_t>(length) - 1);
            const auto space = text.find(' ');
            if (space != std::string::npos && space + 3 <= text.size())
            {
                result.emplace(text.substr(space + 3), text[space + 1]);
            }
        }
        std::free(line);
        return result;
    }();
    return symbols;
}

void expectExported(const std::string& symbol)
{
    const auto& symbols = exportedSymbols();
    const auto found = symbols.find(symbol);
    if (found == symbols.end())
    {
        ADD_FAILURE() << "not exported: " << symbol;
        return;
    }
    EXPECT_TRUE(found->second == 'T' || found->second == 'W') << symbol << " has type " << found->second;
}

TEST(PluginSymbols, DataEntityEntriesHaveCLinkage)
{
    ASSERT_FALSE(exportedSymbols().empty()) << "nm found nothing in " << NIMB_TARVEX_PLUGIN;
#define TARVEX_TEST_EXPECT_ENTRY(Type) expectExported("generated_dds_DataEntity_tarvex_" #Type);
    TARVEX_TOPIC_TYPES(TARVEX_TEST_EXPECT_ENTRY)
#undef TARVEX_TEST_EXPECT_ENTRY
}

TEST(PluginSymbols, WireTypeSupportIsExportedForEveryStructure)
{
    std::vector<std::string> structures;
#define TARVEX_TEST_NAME(Type) structures.emplace_back(#Type);
    TARVEX_TOPIC_TYPES(TARVEX_TEST_NAME)
    TARVEX_COMMAND_TYPES(TARVEX_TEST_NAME)
#undef TARVEX_TEST_NAME
    EXPECT_EQ(structures.size(), 16u);

    const std::string cdr = "eprosima::fastcdr::";
    for (const auto& name : structures)
    {
        SCOPED_TRACE(name);
        const std::string type = "generated::dds_::tarvex::" + name;
        expectExported("void " + cdr + "serialize<" + type + ">(" + cdr + "Cdr&, " + type + " const&)");
        expectExported("void " + cdr + "deserialize<" + type + ">(" + cdr + "Cdr&, " + type + "&)");
        expectExported("unsigned long " + cdr + "calculate_serialized_size<" + type + ">(" + cdr +
                       "CdrSizeCalculator&, " + type + " const&, unsigned long&)");
        expectExported(cdr + "serialize_key(" + cdr + "Cdr&, " + type + " const&)");
        expectExported(type + "PubSubType::" + name + "PubSubType()");
    }
}

}  // namespace
