// Reading events from a channel, never waiting: one whole record per call, or
// as many as fit under one lock.
#include <cstring>

#include "net/net_internal.h"

namespace net {
namespace {

// Whether a read has anything to take: 1 when the channel has events, 0 when
// it is empty, -1 when it is not in use.  An empty channel is polled without
// its lock: a read that misses an event being posted is the same as a read
// made a moment earlier.
int events_to_take(const Channel &ch) {
    if (ch.has_events.load(std::memory_order_acquire) != 0) return 1;
    return ch.in_use.load(std::memory_order_relaxed) == 0 ? -1 : 0;
}

}  // namespace
}  // namespace net

using namespace net;

extern "C" {

// Each read counts itself among the readers for its whole call (ReaderCount),
// so that tear-down frees nothing it can still look at.
VESK_API int vesk_net_channel_read(int channel, void *buffer) {
    const ReaderCount reader;
    if (!reader.entered() || !channel_in_range(channel) || buffer == nullptr) return -1;
    Channel &ch = channel_at(channel);
    if (const int seen = events_to_take(ch); seen <= 0) return seen;
    int result = -1;
    {
        os::LockGuard guard(ch.lock);
        if (ch.in_use.load(std::memory_order_relaxed) != 0) {
            result = ring_read_event(ch.ring, static_cast<uint8_t *>(buffer));
            channel_note(ch);
        }
    }
    if (result != 0) channel_room_freed(channel);
    if (result > 0) note_read_outcome(static_cast<const uint8_t *>(buffer), result);
    return result;
}

VESK_API int vesk_net_channel_read_many(int channel, void *buffer, int capacity) {
    constexpr int kEntry = 2 + kMaxRecord;  // length word and largest record
    const ReaderCount reader;
    if (!reader.entered() || !channel_in_range(channel) || buffer == nullptr || capacity < kEntry) {
        return -1;
    }
    Channel &ch = channel_at(channel);
    if (const int seen = events_to_take(ch); seen <= 0) return seen;
    auto *out = static_cast<uint8_t *>(buffer);
    int used = 0;
    int result = -1;
    {
        os::LockGuard guard(ch.lock);
        if (ch.in_use.load(std::memory_order_relaxed) != 0) {
            result = 0;
            while (capacity - used >= kEntry) {
                int taken = ring_take_contiguous_event(ch.ring, out + used + 2);
                if (taken == 0) {
                    // A malformed event after good ones waits for the next call,
                    // so that the good ones are returned first.
                    if (used > 0 && !ring_next_event_whole(ch.ring)) break;
                    taken = ring_read_event(ch.ring, out + used + 2);
                    if (taken <= 0) {
                        if (used == 0) result = taken;
                        break;
                    }
                }
                const auto length = static_cast<uint16_t>(taken);
                std::memcpy(out + used, &length, 2);
                used += 2 + taken;
            }
            channel_note(ch);
        }
    }
    if (used > 0 || result < -1) channel_room_freed(channel);
    for (int at = 0; at < used;) {
        uint16_t length = 0;
        std::memcpy(&length, out + at, 2);
        note_read_outcome(out + at + 2, length);
        at += 2 + length;
    }
    return used > 0 ? used : result;
}

}  // extern "C"
