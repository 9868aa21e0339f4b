#pragma once

#include "generated/dds/DecodeFailures.hpp"
#include "ps/internal/DdsBasePubSub.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <chrono>

namespace qara::nimb::ps::internal {

template <class T, class ST>
bool SampleAcceptance<T, ST>::accepts(const Info& info, const DdsType& sample) const
{
    // Without a limit the clock is not read: that is most of a sample's delivery test.
    return generated::dds_::DecodeFailures::validData(info, &sample) &&
           ((m_deadline <= 0 && m_latency <= 0) ||
            !qosExceeded(m_deadline, m_latency, fastdds::secondsOf(info.source_timestamp),
                         fastdds::nanosecondsOf(info.source_timestamp),
                         std::chrono::system_clock::now().time_since_epoch()));
}

template <class T, class ST>
bool SampleAcceptance<T, ST>::passesReadTest(const DataEventFilter<T>& filter, const Info& info,
                                             const DdsType& sample) const
{
    if (!accepts(info, sample))
    {
        return false;
    }
    if (!filter.instance || sameInstance(filter, sample))
    {
        return true;
    }
    return matchInstanceState(info.instance_state, filter) || matchInstanceEvent(info.view_state, filter);
}

template <class T, class ST>
bool SampleAcceptance<T, ST>::matches(const DataEventFilter<T>& filter, const Info& info, const DdsType& sample)
{
    return (!filter.instance || sameInstance(filter, sample)) && matchInstanceState(info.instance_state, filter) &&
           matchInstanceEvent(info.view_state, filter);
}

template <class T, class ST>
bool SampleAcceptance<T, ST>::sameInstance(const DataEventFilter<T>& filter, const DdsType& sample)
{
    // A borrowing view, only to compare keys: nothing is written through it.
    return ST(const_cast<DdsType*>(&sample)).keyEquals(*filter.instance);
}

template <class T, class ST>
bool SampleAcceptance<T, ST>::overlaps(const DataEventFilter<T>& a, const DataEventFilter<T>& b)
{
    const bool instances = !a.instance || !b.instance || a.instance->keyEquals(*b.instance);
    const bool states = a.instanceState == b.instanceState || a.instanceState == InstanceState::ANY ||
                        b.instanceState == InstanceState::ANY;
    bool events = a.instanceEvents.empty() || b.instanceEvents.empty();
    for (auto it = a.instanceEvents.begin(); !events && it != a.instanceEvents.end(); ++it)
    {
        events = b.instanceEvents.count(*it) != 0;
    }
    return instances && states && events;
}

template <class T, class ST>
InstanceEvent SampleAcceptance<T, ST>::instanceEventOf(const Info& info)
{
    namespace dds = eprosima::fastdds::dds;
    const auto state = info.instance_state;
    if (state == dds::NOT_ALIVE_DISPOSED_INSTANCE_STATE || state == dds::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE ||
        state == (dds::NOT_ALIVE_DISPOSED_INSTANCE_STATE | dds::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE))
    {
        return InstanceEvent::DELETED;
    }
    if (info.view_state == dds::NEW_VIEW_STATE)
    {
        return InstanceEvent::CREATED;
    }
    if (info.view_state == dds::NOT_NEW_VIEW_STATE || info.view_state == dds::ANY_VIEW_STATE)
    {
        return InstanceEvent::UPDATED;
    }
    throw NimbException("Nimb InstanceEvent can not be deduced from sampleInfo");
}

template <class T, class ST>
bool SampleAcceptance<T, ST>::matchInstanceEvent(eprosima::fastdds::dds::ViewStateKind viewState,
                                                 const DataEventFilter<T>& filter)
{
    namespace dds = eprosima::fastdds::dds;
    if (filter.instanceEvents.empty())
    {
        return true;
    }
    for (InstanceEvent event : filter.instanceEvents)
    {
        if ((event == InstanceEvent::CREATED && viewState == dds::NEW_VIEW_STATE) ||
            (event == InstanceEvent::UPDATED && viewState == dds::NOT_NEW_VIEW_STATE))
        {
            return true;
        }
    }
    return false;
}

template <class T, class ST>
bool SampleAcceptance<T, ST>::matchInstanceState(eprosima::fastdds::dds::InstanceStateKind instanceState,
                                                 const DataEventFilter<T>& filter)
{
    namespace dds = eprosima::fastdds::dds;
    switch (filter.instanceState)
    {
        case InstanceState::ANY:
            return true;
        case InstanceState::ALIVE:
            return instanceState == dds::ALIVE_INSTANCE_STATE;
        case InstanceState::NOT_ALIVE:
            return instanceState == dds::NOT_ALIVE_DISPOSED_INSTANCE_STATE;
    }
    return false;
}

}  // namespace qara::nimb::ps::internal
