// Reading events from a channel, never waiting: one whole record per call, or
// as many as fit under one lock.
#include <cstring>

#include "net/net_internal.h"

namespace net {
namespace {

// A thread that finds its channel empty receives what the engine's sockets
// have itself, as a thread waiting in vesk_net_channel_wait does: a server
// that polls in a loop then takes each frame on its own thread, without a
// hand-over from the I/O thread (which stands aside meanwhile, as for a
// waiting reader's lease).  Counted among the waiters, so that tear-down
// waits for it to leave the pass.  True when the channel has an event now.
bool look_at_sockets(const Channel &ch) {
    Engine &e = g_engine;
    e.waiting.fetch_add(1, std::memory_order_seq_cst);
    bool found = false;
    if (e.closing.load(std::memory_order_seq_cst) == 0 && reader_pass()) {
        found = ch.has_events.load(std::memory_order_acquire) != 0;
        reader_pass_end(false);  // the lease stays only while nobody else waits
    }
    e.waiting.fetch_sub(1, std::memory_order_seq_cst);
    return found;
}

// Whether a read has anything to take: 1 when the channel has events (after a
// look at the sockets when it had none), 0 when it is empty, -1 when it is not
// in use.  An empty channel is polled without its lock.
int events_to_take(const Channel &ch) {
    if (ch.has_events.load(std::memory_order_acquire) != 0) return 1;
    if (ch.in_use.load(std::memory_order_relaxed) == 0) return -1;
    return look_at_sockets(ch) ? 1 : 0;
}

}  // namespace
}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_channel_read(int channel, void *buffer) {
    if (!channel_in_range(channel) || buffer == nullptr) return -1;
    Channel &ch = channel_at(channel);
    if (const int seen = events_to_take(ch); seen <= 0) return seen;
    int result = -1;
    {
        os::MutexGuard guard(ch.mutex);
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
    if (!channel_in_range(channel) || buffer == nullptr || capacity < kEntry) return -1;
    Channel &ch = channel_at(channel);
    if (const int seen = events_to_take(ch); seen <= 0) return seen;
    auto *out = static_cast<uint8_t *>(buffer);
    int used = 0;
    int result = -1;
    {
        os::MutexGuard guard(ch.mutex);
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
