#include "generated/dds/DecodeFailures.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace generated::dds_ {

namespace {

// At most this many notes. A reader that decodes into a buffer of its own (take_next_sample into a sample
// on its stack) never deletes it through the type support, so such a note would never be forgotten; the
// oldest note goes when this many newer ones have been made.
constexpr std::size_t kMaxNotes = 1024;

// Guards the map and the ring; a leaf lock. The count lets every successful decode skip the lock while
// nothing failed.
struct Notes
{
    std::mutex mutex;
    // Sample -> the number of the note.
    std::unordered_map<const void*, uint64_t> samples;
    // The last kMaxNotes notes made, by number modulo kMaxNotes.
    std::array<std::pair<const void*, uint64_t>, kMaxNotes> made{};
    uint64_t next = 1;
    std::atomic<std::size_t> count{0};
};

Notes& notes()
{
    static Notes instance;
    return instance;
}

}  // namespace

void DecodeFailures::record(const void* sample)
{
    Notes& n = notes();
    std::lock_guard<std::mutex> lock(n.mutex);
    auto& slot = n.made[n.next % kMaxNotes];
    const auto oldest = n.samples.find(slot.first);
    if (oldest != n.samples.end() && oldest->second == slot.second)
    {
        n.samples.erase(oldest);
    }
    slot = {sample, n.next};
    n.samples[sample] = n.next++;
    n.count = n.samples.size();
}

void DecodeFailures::forget(const void* sample)
{
    Notes& n = notes();
    if (n.count.load() == 0)
    {
        return;
    }
    std::lock_guard<std::mutex> lock(n.mutex);
    n.samples.erase(sample);
    n.count = n.samples.size();
}

bool DecodeFailures::contains(const void* sample)
{
    Notes& n = notes();
    if (n.count.load() == 0)
    {
        return false;
    }
    std::lock_guard<std::mutex> lock(n.mutex);
    return n.samples.count(sample) != 0;
}

std::size_t DecodeFailures::size()
{
    return notes().count.load();
}

}  // namespace generated::dds_
