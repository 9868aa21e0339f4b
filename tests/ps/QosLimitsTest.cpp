// The numbers of the QoS limits: which entry wins, the age and deadline checks at their exact boundaries,
// and the defaults a publisher falls back to.
#include "PubSubPair.hpp"

#include "ps/internal/DdsBasePubSub.hpp"

#include <qara/nimb/ps/qos/QoS.hpp>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::internal::qosExceeded;
namespace qos = qara::nimb::ps::qos;

namespace {

constexpr uint32_t kDomain = 229;

struct Other : qos::QoS
{
};

TEST(QosLimits, LaterEntriesOverrideAndOtherKindsAreIgnored)
{
    using Base = qara::nimb::ps::internal::DdsBasePubSub<Medium::Interface, Medium::Entity>;
    struct Row
    {
        Base::QoSList list;
        std::pair<int32_t, int32_t> deadlineAndLatency;
    };
    const Row rows[] = {
        {{std::make_shared<qos::Deadline>(100), std::make_shared<qos::Deadline>(200)}, {200, 0}},
        {{std::make_shared<qos::Latency>(5), std::make_shared<qos::Deadline>(3), std::make_shared<qos::Latency>(7)},
         {3, 7}},
        {{std::make_shared<Other>(), nullptr}, {0, 0}},
        {{}, {0, 0}},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(Base::getDeadlineAndLatencyDuration(row.list), row.deadlineAndLatency);
    }
}

TEST(QosLimits, AgeAndDeadlineAtTheirBoundaries)
{
    struct Row
    {
        int32_t deadline;
        int32_t latency;
        int64_t sourceSeconds;
        int64_t sourceNanos;
        std::chrono::nanoseconds now;
        bool exceeded;
    };
    const Row rows[] = {
        // Deadline 1200 ms after 10.9 s is 12.1 s: the nanoseconds carry into the seconds.
        {1200, 0, 10, 900000000, 12s + 99999999ns, false},
        {1200, 0, 10, 900000000, 12s + 100000000ns, true},
        {1200, 0, 10, 900000000, 11s + 999999999ns, false},
        {1200, 0, 10, 900000000, 13s, true},
        // Exactly the latency old is still young enough; one millisecond more is not.
        {0, 500, 10, 0, 10s + 500ms, false},
        {0, 500, 10, 0, 10s + 501ms, true},
        // Ages are whole milliseconds: the sub-millisecond parts are dropped before subtracting.
        {0, 500, 10, 999999, 10s + 500ms + 999999ns, false},
        {0, 500, 10, 0, 10s + 500ms + 999999ns, false},
        // Latency is checked first, then the deadline.
        {5000, 500, 10, 0, 10s + 600ms, true},
        {100, 5000, 10, 0, 10s + 100ms, true},
        // No limits: never exceeded, however old.
        {0, 0, 0, 0, 1000000s, false},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(qosExceeded(row.deadline, row.latency, row.sourceSeconds, row.sourceNanos, row.now), row.exceeded)
            << "deadline " << row.deadline << " latency " << row.latency << " now " << row.now.count();
    }
}

TEST(QosLimits, PublisherWaitsFiveSecondsForAcknowledgementsUnlessToldOtherwise)
{
    PubSubPair<Medium> pair(uniqueUri(kDomain, "ackwait"));
    const std::pair<qara::nimb::Nimb::Properties, long> rows[] = {
        {{}, 5000}, {{{"dds.wait_for_ack.timeout_ms", "250"}}, 250}, {{{"dds.wait_for_ack.timeout_ms", "5s"}}, 5000}};
    for (const auto& [properties, expected] : rows)
    {
        using Delegator = qara::nimb::ps::DdsPublisherDelegator<Medium::Interface, Medium::Entity>;
        auto publisher = pair.makePublisher({}, properties);
        EXPECT_EQ(dynamic_cast<Delegator&>(*publisher).publisher()->waitForAckTimeout(), expected);
    }
}

}  // namespace
