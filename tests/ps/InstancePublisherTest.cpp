#include "DynamicTypes.hpp"
#include "LogCapture.hpp"
#include "PlainDds.hpp"
#include "Plugin.hpp"
#include "SampleValues.hpp"

#include "generated/ddsimpl/keyed/LongKey.hpp"
#include "generated/ddsimpl/keyed/ShortKey.hpp"
#include "icd/dds/FastDdsCompat.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/PluginLibrary.hpp>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <typeinfo>

// The instance publisher against real DDS, on keyed structures that the generator makes for these tests
// alone (tests/ps/keyed). Instance handles are checked against Fast DDS's own dynamic types.
namespace {

using namespace std::chrono_literals;
using namespace tarvex_test;
namespace dds = eprosima::fastdds::dds;
namespace fdds = qara::nimb::icd::dds::fastdds;

constexpr uint32_t kDomain = 224;

template <class ST>
struct Keyed
{
    using Entity = ST;
    using Interface = typename decltype(std::declval<const ST&>().clone())::element_type;
    using Wire = typename ST::DdsType;
    using PubSub = typename ST::PubSubType;

    static std::string name()
    {
        const std::string full = PubSub::typeName;
        return full.substr(full.rfind(':') + 1);
    }
};

using ShortKey = Keyed<generated::ddsimpl::keyed::ShortKey>;
using LongKey = Keyed<generated::ddsimpl::keyed::LongKey>;  // hashed: more than 16 octets
using KeyedTypes = ::testing::Types<ShortKey, LongKey>;

struct KeyedNames
{
    template <class K>
    static std::string GetName(int)
    {
        return K::name();
    }
};

template <class W>
std::set<std::string> keyNames()
{
    std::set<std::string> names;
    W().visitKeyFields([&names](const char* name, const auto&) { names.insert(name); });
    return names;
}

// `target` with the fields named in `names` taken from `source`.
template <class W>
W withFields(W target, const W& source, const std::set<std::string>& names)
{
    std::map<std::string, const void*> fields;
    source.visitFields([&fields](const char* name, const auto& field) { fields[name] = &field; });
    target.visitFields([&](const char* name, auto& field) {
        if (names.count(name) != 0)
        {
            field = *static_cast<const std::decay_t<decltype(field)>*>(fields.at(name));
        }
    });
    return target;
}

template <class E, class F>
void expectThrow(F&& f, const std::string& message)
{
    try
    {
        f();
        ADD_FAILURE() << "nothing thrown, expected: " << message;
    }
    catch (const E& e)
    {
        EXPECT_EQ(typeid(e), typeid(E)) << e.what();
        EXPECT_EQ(e.what(), message);
    }
}

template <class K>
class InstancePublisherFixture : public ::testing::Test
{
protected:
    using T = typename K::Interface;
    using ST = typename K::Entity;
    using W = typename K::Wire;

    std::unique_ptr<qara::nimb::ps::Publisher<T>> makePublisher(const std::string& uri)
    {
        auto* entry = plugin.function<PublisherEntry<T>>("generated_dds_Publisher_keyed_" + K::name());
        return std::unique_ptr<qara::nimb::ps::Publisher<T>>(
            entry(nimb, qara::nimb::Uri(uri), {}, {{"dds.wait_for_ack.timeout_ms", "0"}}));
    }

    static std::shared_ptr<T> entityOf(const W& sample)
    {
        auto entity = std::make_shared<ST>();
        *entity = sample;
        return entity;
    }

    static const W& wireOf(const T& entity) { return *dynamic_cast<const ST&>(entity).getDdsSample(); }

    qara::nimb::PluginLibrary plugin{KEYED_PLUGIN};
    std::shared_ptr<qara::nimb::Nimb> nimb = std::make_shared<qara::nimb::DdsNimb>();
};

template <class K>
class KeyedType : public InstancePublisherFixture<K>
{
};

TYPED_TEST_SUITE(KeyedType, KeyedTypes, KeyedNames);

TYPED_TEST(KeyedType, InstanceHandleIsTheOneFastDdsComputes)
{
    using W = typename TestFixture::W;
    typename TypeParam::PubSub support;
    ASSERT_TRUE(support.is_compute_key_provided);
    const auto type = dynamicTypeOf<W>(TypeParam::PubSub::typeName, W::fieldCount);
    dds::DynamicPubSubType fastDds(type);
    for (const uint32_t seed : {1u, 2u})
    {
        for (const bool forceMd5 : {false, true})
        {
            const W sample = makeDistinctSample<W>(seed);
            auto data = dynamicDataOf(type, sample);
            fdds::InstanceHandle ours;
            fdds::InstanceHandle theirs;
            ASSERT_TRUE(support.compute_key(&sample, ours, forceMd5));
            ASSERT_TRUE(fastDds.compute_key(&data, theirs, forceMd5));
            EXPECT_EQ(ours, theirs) << "seed " << seed << (forceMd5 ? ", MD5 forced" : "");
        }
    }
}

TYPED_TEST(KeyedType, EntityKeyIsTheKeyFieldsAlone)
{
    using W = typename TestFixture::W;
    const W first = makeDistinctSample<W>(1);
    const W second = makeDistinctSample<W>(2);
    const auto entity = this->entityOf(first);
    EXPECT_TRUE(entity->hasKey());
    EXPECT_TRUE(entity->keyEquals(*this->entityOf(withFields(second, first, keyNames<W>()))));
    for (const std::string& key : keyNames<W>())
    {
        EXPECT_FALSE(entity->keyEquals(*this->entityOf(withFields(first, second, {key})))) << key;
    }
    EXPECT_EQ(fieldBytes(this->wireOf(*entity->cloneKey())), fieldBytes(withFields(W{}, first, keyNames<W>())));
}

template <class K>
class InstancePublisher : public InstancePublisherFixture<K>
{
};

TYPED_TEST_SUITE(InstancePublisher, KeyedTypes, KeyedNames);

TYPED_TEST(InstancePublisher, PublishesSamplesOfItsInstance)
{
    using W = typename TestFixture::W;
    const std::string uri = uniqueUri(kDomain, "instance");
    dds::DataReaderQos qos = PlainReader<W, typename TypeParam::PubSub>::reliableQos();
    qos.durability().kind = dds::TRANSIENT_LOCAL_DURABILITY_QOS;  // no need to wait for the match
    PlainReader<W, typename TypeParam::PubSub> reader(kDomain, qara::nimb::DdsUriHelper::topic(qara::nimb::Uri(uri), true),
                                                      qos);
    auto publisher = this->makePublisher(uri);
    const W instance = makeDistinctSample<W>(3);
    auto instancePublisher = publisher->createInstancePublisher(*this->entityOf(instance));

    auto data = instancePublisher->createDataEntity();
    EXPECT_EQ(fieldBytes(this->wireOf(*data)), fieldBytes(withFields(W{}, instance, keyNames<W>())));
    const W sample = withFields(makeDistinctSample<W>(4), instance, keyNames<W>());
    *data = *this->entityOf(sample);
    instancePublisher->publish(*data, 0ms);
    instancePublisher->publish(1.5, *data, 0ms);

    const auto received = reader.take(2);
    ASSERT_EQ(received.size(), 2u);
    fdds::InstanceHandle handle;
    ASSERT_TRUE(typename TypeParam::PubSub().compute_key(&instance, handle, false));
    for (const auto& one : received)
    {
        EXPECT_EQ(fieldBytes(one.sample), fieldBytes(sample));
        EXPECT_EQ(one.info.instance_handle, handle);
    }
    EXPECT_EQ(fdds::secondsOf(received[1].info.source_timestamp), 1);
    EXPECT_EQ(fdds::nanosecondsOf(received[1].info.source_timestamp), 500000000u);
}

using LongKeyPublisher = InstancePublisherFixture<LongKey>;

TEST_F(LongKeyPublisher, RefusesANegativeTimeoutAndAnotherInstance)
{
    auto publisher = makePublisher(uniqueUri(kDomain, "refusals"));
    const auto data = entityOf(makeDistinctSample<W>(5));
    auto instancePublisher = publisher->createInstancePublisher(*data);
    expectThrow<qara::nimb::NimbException>([&] { instancePublisher->publish(*data, -1ms); },
                                           "Negative timeout given to publish instance");
    expectThrow<qara::nimb::NimbException>([&] { instancePublisher->publish(1.0, *data, -1ms); },
                                           "Negative timeout given to publish instance");

    // The writer refuses a sample whose key names another instance than its handle.
    LogCapture errors("nimbDdsInstancePublisher", log4cplus::ERROR_LOG_LEVEL);
    expectThrow<qara::nimb::IllegalStateException>(
        [&] { instancePublisher->publish(*entityOf(makeDistinctSample<W>(6)), 0ms); }, "Publish failed code:4");
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, "errMsg:Publish failed code:4"));
    instancePublisher->publish(*data, 0ms);  // still open
}

TEST_F(LongKeyPublisher, ClosedOnItsOwnOrWithItsParent)
{
    for (const bool parent : {false, true})
    {
        SCOPED_TRACE(parent ? "parent closed" : "closed");
        auto publisher = makePublisher(uniqueUri(kDomain, parent ? "parent" : "itself"));
        const auto data = entityOf(makeDistinctSample<W>(7));
        auto instancePublisher = publisher->createInstancePublisher(*data);
        parent ? publisher->close() : instancePublisher->close();
        LogCapture errors("nimbDdsInstancePublisher", log4cplus::ERROR_LOG_LEVEL);
        expectThrow<qara::nimb::IllegalStateException>([&] { instancePublisher->publish(*data, 0ms); },
                                                       "InstancePublisher already closed");
        expectThrow<qara::nimb::IllegalStateException>([&] { instancePublisher->createDataEntity(); },
                                                       "InstancePublisher already closed");
        EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, "InstancePublisher already closed"));
        instancePublisher->close();
    }
}

// The parent closes only the instance publishers that still exist; the sanitizer build sees any use of
// one destroyed before.
TEST_F(LongKeyPublisher, DestroyedBeforeItsParentLeavesTheParentsList)
{
    auto publisher = makePublisher(uniqueUri(kDomain, "destroyed"));
    const auto data = entityOf(makeDistinctSample<W>(8));
    auto kept = publisher->createInstancePublisher(*data);
    publisher->createInstancePublisher(*entityOf(makeDistinctSample<W>(9))).reset();
    publisher->close();
    LogCapture errors("nimbDdsInstancePublisher", log4cplus::ERROR_LOG_LEVEL);
    expectThrow<qara::nimb::IllegalStateException>([&] { kept->publish(*data, 0ms); },
                                                   "InstancePublisher already closed");
}

}  // namespace
