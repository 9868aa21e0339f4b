#include "Deliveries.hpp"
#include "PlainDds.hpp"
#include "Plugin.hpp"
#include "SampleValues.hpp"

#include "generated/ddsimpl/keyed/LongKey.hpp"
#include "generated/ddsimpl/keyed/ShortKey.hpp"
#include "icd/dds/FastDdsCompat.hpp"
#include "ps/DataEntityCreation.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

#include <iomanip>
#include <map>
#include <set>
#include <sstream>

// The instance publisher against real DDS, on keyed structures that the generator makes for these tests
// alone (tests/ps/keyed).
namespace {

using namespace std::chrono_literals;
using namespace tarvex_test;
namespace fdds = qara::nimb::icd::dds::fastdds;

constexpr uint32_t kDomain = 224;

// `target` with the key fields taken from `source`.
template <class W>
W withKeyOf(W target, const W& source)
{
    std::set<std::string> keys;
    W().visitKeyFields([&keys](const char* name, const auto&) { keys.insert(name); });
    std::map<std::string, const void*> fields;
    source.visitFields([&fields](const char* name, const auto& field) { fields[name] = &field; });
    target.visitFields([&](const char* name, auto& field) {
        if (keys.count(name) != 0)
        {
            field = *static_cast<const std::decay_t<decltype(field)>*>(fields.at(name));
        }
    });
    return target;
}

template <class ST>
class InstancePublisher : public ::testing::Test
{
protected:
    using T = typename decltype(std::declval<const ST&>().clone())::element_type;
    using W = typename ST::DdsType;
    using PubSub = typename ST::PubSubType;

    std::unique_ptr<qara::nimb::ps::Publisher<T>> makePublisher(const std::string& uri)
    {
        const std::string type = PubSub::typeName;
        auto* entry =
            plugin.function<PublisherEntry<T>>("generated_dds_Publisher_keyed_" + type.substr(type.rfind(':') + 1));
        return std::unique_ptr<qara::nimb::ps::Publisher<T>>(
            entry(nimb, qara::nimb::Uri(uri), {}, {{"dds.wait_for_ack.timeout_ms", "0"}}));
    }

    static std::shared_ptr<T> entityOf(const W& sample) { return qara::nimb::ps::createDataEntityFrom<T, ST>(sample); }
    static const W& wireOf(const T& entity) { return *dynamic_cast<const ST&>(entity).getDdsSample(); }

    qara::nimb::PluginLibrary plugin{KEYED_PLUGIN};
    std::shared_ptr<qara::nimb::Nimb> nimb = std::make_shared<qara::nimb::DdsNimb>();
};

// LongKey's key is longer than 16 octets: its handle is the MD5 digest.
using KeyedTypes = ::testing::Types<generated::ddsimpl::keyed::ShortKey, generated::ddsimpl::keyed::LongKey>;
TYPED_TEST_SUITE(InstancePublisher, KeyedTypes);

template <class PubSub, class W>
std::string handleOf(const W& sample, bool forceMd5)
{
    PubSub support;
    fdds::InstanceHandle handle;
    EXPECT_TRUE(support.compute_key(&sample, handle, forceMd5));
    std::ostringstream hex;
    for (std::size_t i = 0; i < 16; ++i)
    {
        hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(handle.value[i]);
    }
    return hex.str();
}

// Handles as every DDS peer computes them: the key members big-endian under XCDR2, as they are when they fit
// in 16 octets, else (or when forced) their MD5 digest. The digests come from outside this code; Fast DDS's
// dynamic types agree.
TEST(InstanceHandles, AreTheBigEndianKeyOrItsDigest)
{
    generated::dds_::keyed::ShortKey shortKey;
    shortKey.id(0x01020304);
    shortKey.values({1.0, 2.0, 3.0});
    shortKey.channel(5);
    shortKey.valid(true);
    using ShortSupport = generated::ddsimpl::keyed::ShortKey::PubSubType;
    EXPECT_EQ(handleOf<ShortSupport>(shortKey, false), "01020304050000000000000000000000");
    EXPECT_EQ(handleOf<ShortSupport>(shortKey, true), "7cfdd07889b3295d6a550914ab35e068");
    generated::dds_::keyed::LongKey longKey;
    longKey.site(0x1112131415161718);
    longKey.reading(2.5F);
    longKey.sensors({0x2122, 0x2324, 0x2526, 0x2728, 0x292a, 0x2b2c});
    longKey.id(0x31323334);
    EXPECT_EQ(handleOf<generated::ddsimpl::keyed::LongKey::PubSubType>(longKey, false),
              "c2f2c160d8f921c8a4ba28d134582808");
}

TYPED_TEST(InstancePublisher, KeysHandlesSamplesAndClosesOfAnInstance)
{
    using Wire = typename TestFixture::W;
    typename TestFixture::PubSub support;
    const Wire instance = makeDistinctSample<Wire>(3);
    const auto entity = this->entityOf(instance);
    EXPECT_TRUE(entity->keyEquals(*this->entityOf(withKeyOf(makeDistinctSample<Wire>(4), instance))));
    EXPECT_FALSE(entity->keyEquals(*this->entityOf(makeDistinctSample<Wire>(4))));
    EXPECT_EQ(fieldBytes(this->wireOf(*entity->cloneKey())), fieldBytes(withKeyOf(Wire{}, instance)));

    const std::string uri = uniqueUri(kDomain, "instance");
    auto qos = PlainReader<Wire, typename TestFixture::PubSub>::reliableQos();
    qos.durability().kind = eprosima::fastdds::dds::TRANSIENT_LOCAL_DURABILITY_QOS;  // no need to wait for the match
    PlainReader<Wire, typename TestFixture::PubSub> reader(
        kDomain, qara::nimb::DdsUriHelper::topic(qara::nimb::Uri(uri), true), qos);
    auto publisher = this->makePublisher(uri);
    auto instancePublisher = publisher->createInstancePublisher(*entity);
    auto data = instancePublisher->createDataEntity();
    EXPECT_EQ(fieldBytes(this->wireOf(*data)), fieldBytes(withKeyOf(Wire{}, instance)));
    const Wire sample = withKeyOf(makeDistinctSample<Wire>(5), instance);
    instancePublisher->publish(1.5, *this->entityOf(sample), 0ms);
    EXPECT_EQ(thrown([&] { instancePublisher->publish(*data, -1ms); }),
              "Nimb Negative timeout given to publish instance");
    // The writer refuses a sample whose key names another instance than its handle.
    EXPECT_EQ(thrown([&] { instancePublisher->publish(*this->entityOf(makeDistinctSample<Wire>(6)), 0ms); }),
              "IllegalState Publish failed code:" + std::to_string(fdds::kPreconditionNotMet));

    const auto received = reader.take(2, 2s);
    ASSERT_EQ(received.size(), 1u);
    fdds::InstanceHandle handle;
    ASSERT_TRUE(support.compute_key(&instance, handle, false));
    EXPECT_EQ(fieldBytes(received[0].sample), fieldBytes(sample));
    EXPECT_EQ(received[0].info.instance_handle, handle);
    EXPECT_EQ(fdds::secondsOf(received[0].info.source_timestamp), 1);
    EXPECT_EQ(fdds::nanosecondsOf(received[0].info.source_timestamp), 500000000u);

    // Closed on its own or by its parent; one destroyed before its parent closes is left out of the close
    // (the sanitizer build sees any use of it).
    publisher->createInstancePublisher(*this->entityOf(makeDistinctSample<Wire>(7))).reset();
    auto sibling = publisher->createInstancePublisher(*this->entityOf(makeDistinctSample<Wire>(8)));
    instancePublisher->close();
    publisher->close();
    for (auto* closed : {instancePublisher.get(), sibling.get()})
    {
        EXPECT_EQ(thrown([&] { closed->publish(*data, 0ms); }), "IllegalState InstancePublisher already closed");
        EXPECT_EQ(thrown([&] { closed->createDataEntity(); }), "IllegalState InstancePublisher already closed");
        closed->close();
    }
}

// Made while its parent closes, on another thread: refused, or closed with the parent; never left open.
TYPED_TEST(InstancePublisher, OneMadeWhileItsParentClosesIsNotLeftOpen)
{
    const auto entity = this->entityOf(makeDistinctSample<typename TestFixture::W>(3));
    for (int round = 0; round < 30; ++round)
    {
        auto publisher = this->makePublisher(uniqueUri(kDomain, "closing"));
        std::unique_ptr<qara::nimb::ps::InstancePublisher<typename TestFixture::T>> made;
        together([&] { publisher->close(); },
                 [&] { thrown([&] { made = publisher->createInstancePublisher(*entity); }); });
        EXPECT_TRUE(!made ||
                    thrown([&] { made->publish(*entity, 0ms); }) == "IllegalState InstancePublisher already closed")
            << round;
    }
}

}  // namespace
