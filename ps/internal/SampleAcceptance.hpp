#pragma once

#include <qara/nimb/ps/DataEventFilter.hpp>
#include <qara/nimb/ps/InstanceState.hpp>

#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include <cstdint>

namespace qara::nimb::ps::internal {

// Which samples a subscriber hands out, and to which filters: the one place where the reads, poll and the
// listener deliveries decide it. No entity and no lock; the deadline and latency are the subscriber's.
template <class T, class ST>
class SampleAcceptance
{
public:
    using DdsType = typename ST::DdsType;
    using Info = eprosima::fastdds::dds::SampleInfo;

    SampleAcceptance(int32_t deadlineMs, int32_t latencyMs) : m_deadline(deadlineMs), m_latency(latencyMs) {}

    // Decoded, valid, and within the deadline and latency limits.
    bool accepts(const Info& info, const DdsType& sample) const;
    // The data-event reads: an accepted sample passes, unless the filter names another instance and it
    // matches neither the filter's state nor its events.
    bool passesReadTest(const DataEventFilter<T>& filter, const Info& info, const DdsType& sample) const;
    // poll and the listeners: accepted, and matching instance, state and events.
    bool passesDeliveryTest(const DataEventFilter<T>& filter, const Info& info, const DdsType& sample) const
    {
        return accepts(info, sample) && matches(filter, info, sample);
    }

    // The notifiers' test: instance, state and events only.
    static bool matches(const DataEventFilter<T>& filter, const Info& info, const DdsType& sample);
    // Whether a sample could pass both filters, so that both may not be subscribed.
    static bool overlaps(const DataEventFilter<T>& a, const DataEventFilter<T>& b);
    static InstanceEvent instanceEventOf(const Info& info);
    static bool matchInstanceEvent(eprosima::fastdds::dds::ViewStateKind viewState, const DataEventFilter<T>& filter);
    static bool matchInstanceState(eprosima::fastdds::dds::InstanceStateKind instanceState,
                                   const DataEventFilter<T>& filter);

private:
    static bool sameInstance(const DataEventFilter<T>& filter, const DdsType& sample);

    int32_t m_deadline;
    int32_t m_latency;
};

}  // namespace qara::nimb::ps::internal

#include "ps/internal/SampleAcceptance.inl"
