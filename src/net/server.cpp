// What a server needs beyond the classic calls: being told when a slot's
// pending bytes are out (VESK_EV_SENT), and the system error behind the
// calling thread's last failed call.
#include <algorithm>
#include <cstring>

#include "net/net_internal.h"

namespace net {

namespace {

constexpr int kSentRecordSize = 5;  // kind and slot
static_assert(kSentRecordSize == sizeof(vesk_ev_sent));

// One per thread: a failure on one thread never hides or fakes another's.
thread_local int t_last_error = 0;

}  // namespace

void note_os_error(int error) { t_last_error = error; }

void note_read_outcome(const uint8_t *record, int length) {
    if (length >= kClosedRecordSize &&
        (record[0] == VESK_EV_FAILED || record[0] == VESK_EV_CLOSED)) {
        // An end with a reason for its reader (strict framing, an idle
        // timeout), of this life.
        int32_t slot = 0;
        std::memcpy(&slot, record + 1, 4);
        if (!slot_in_range(slot)) return;
        const Slot &s = slot_at(slot);
        const uint32_t life = s.failed_error_generation.load(std::memory_order_acquire);
        const int error = s.failed_error.load(std::memory_order_relaxed);
        if (error != 0 && s.generation.load(std::memory_order_acquire) == life) {
            note_os_error(error);
        }
        return;
    }
    if (length < kConnectRecordSize || record[0] != VESK_EV_CONNECT) return;
    int32_t slot = 0;
    int32_t result = 0;
    std::memcpy(&slot, record + 1, 4);
    std::memcpy(&result, record + 5, 4);
    if (result == 0 || !slot_in_range(slot)) return;
    // The error belongs to the life that failed to connect: once the number
    // has been freed (and perhaps reused), nothing is known of it.
    const Slot &s = slot_at(slot);
    const uint32_t life = s.connect_error_generation.load(std::memory_order_acquire);
    const int error = s.connect_error.load(std::memory_order_relaxed);
    note_os_error(s.generation.load(std::memory_order_acquire) == life ? error : 0);
}

void post_sent_if_due(int slot) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    if (s.sent_wanted.load(std::memory_order_acquire) == 0) return;
    if (s.state.load(std::memory_order_acquire) != VESK_NET_READY) return;
    if (s.pending.load(std::memory_order_acquire) != 0) return;  // flushed later, then posted
    const int channel = s.channel.load(std::memory_order_acquire);
    // Each call asked for one event: all that are owed now are posted, and
    // what the channel cannot take stays owed for a later pass.
    int owed = s.sent_wanted.exchange(0, std::memory_order_acq_rel);
    uint8_t record[kSentRecordSize];
    record[0] = VESK_EV_SENT;
    std::memcpy(record + 1, &slot, 4);
    while (owed > 0 && post_event(channel, record, kSentRecordSize)) --owed;
    if (owed > 0) s.sent_wanted.fetch_add(owed, std::memory_order_acq_rel);
}

}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_notify_sent(int slot) {
    if (!slot_in_range(slot)) return -1;
    Slot &s = slot_at(slot);
    if (s.state.load(std::memory_order_acquire) != VESK_NET_READY ||
        s.channel.load(std::memory_order_relaxed) == 0 ||
        !is_tcp_connection(s.type.load(std::memory_order_relaxed))) {
        return -1;
    }
    // Counted before the slot is handed over: the I/O thread's pass that
    // follows sees the request, and posts it once the pending bytes are out.
    s.sent_wanted.fetch_add(1, std::memory_order_acq_rel);
    give_work(slot);
    return 0;
}

VESK_API int vesk_net_last_error(void) { return t_last_error; }

VESK_API int vesk_net_set_strict_framing(int slot, int on) {
    if (!slot_in_range(slot) || (on != 0 && on != 1)) return -1;
    Slot &s = slot_at(slot);
    const int type = s.type.load(std::memory_order_relaxed);
    if (s.state.load(std::memory_order_acquire) == VESK_NET_FREE ||
        !(is_framed(type) || type == VESK_NET_TCP_LISTEN_FRAMED || is_udp(type))) {
        return -1;
    }
    s.strict.store(static_cast<uint8_t>(on), std::memory_order_relaxed);
    return 0;
}

VESK_API int vesk_net_get_stats(vesk_net_stats *out) {
    if (out == nullptr || out->size < 8 || g_engine.setup_count <= 0) return -1;
    const Counters &c = g_engine.counters;
    vesk_net_stats all{};
    all.size = out->size;
    all.slot_count = static_cast<uint32_t>(g_engine.slot_count);
    all.slots_in_use = c.slots_in_use.load(std::memory_order_relaxed);
    all.slots_peak = c.slots_peak.load(std::memory_order_relaxed);
    all.accepted = c.accepted.load(std::memory_order_relaxed);
    all.accepts_deferred = c.accepts_deferred.load(std::memory_order_relaxed);
    all.protocol_failed = c.protocol_failed.load(std::memory_order_relaxed);
    all.address_refused = c.address_refused.load(std::memory_order_relaxed);
    all.idle_closed = c.idle_closed.load(std::memory_order_relaxed);
    all.bytes_in = c.bytes_in.load(std::memory_order_relaxed);
    all.bytes_out = c.bytes_out.load(std::memory_order_relaxed);
    all.frames_in = c.frames_in.load(std::memory_order_relaxed);
    all.frames_out = c.frames_out.load(std::memory_order_relaxed);
    all.bytes_discarded = c.bytes_discarded.load(std::memory_order_relaxed);
    all.sends_busy = c.sends_busy.load(std::memory_order_relaxed);
    all.datagrams_dropped = c.datagrams_dropped.load(std::memory_order_relaxed);
    all.probes_answered = c.probes_answered.load(std::memory_order_relaxed);
    all.probe_replies_refused = c.probe_replies_refused.load(std::memory_order_relaxed);
    // Only the fields that end within the caller's record: the four 32-bit
    // words, then whole 64-bit ones.
    constexpr size_t kWords = 4 * sizeof(uint32_t);
    size_t limit = std::min<size_t>(out->size, sizeof all);
    limit = limit < kWords ? limit / 4 * 4 : kWords + (limit - kWords) / 8 * 8;
    std::memcpy(out, &all, limit);
    return 0;
}

}  // extern "C"
