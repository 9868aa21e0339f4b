#include "generated/dds/DecodeFailures.hpp"

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace generated::dds_ {

namespace {

// At most this many notes. A reader that decodes into a buffer of its own (take_next_sample into a sample
// on its stack) never deletes it through the type support, so such a note would never be forgotten; the
// oldest note goes when this many newer ones have been made.
constexpr std::size_t kMaxNotes = 1024;

// Guards the map, the ring and the count's writes; a leaf lock.
struct Notes
{
    std::mutex mutex;
    // Sample -> the number of the note.
    std::unordered_map<const void*, uint64_t> samples;
    // The last kMaxNotes notes made, by number modulo kMaxNotes.
    std::array<std::pair<const void*, uint64_t>, kMaxNotes> made{};
    uint64_t next = 1;
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
    s_count = n.samples.size();
}

void DecodeFailures::forgetNoted(const void* sample)
{
    Notes& n = notes();
    std::lock_guard<std::mutex> lock(n.mutex);
    n.samples.erase(sample);
    s_count = n.samples.size();
}

bool DecodeFailures::containsNoted(const void* sample)
{
    Notes& n = notes();
    std::lock_guard<std::mutex> lock(n.mutex);
    return n.samples.count(sample) != 0;
}

}  // namespace generated::dds_
