// Idle timeouts and per-address limits, on the I/O thread.
//
// Idle deadlines live in a binary heap of slot numbers ordered by deadline,
// each slot at most once (its place kept in the slot), so the thread sleeps
// until the nearest one and costs nothing until then.  A receive only notes
// its time; the heap is looked at when its top is due: a slot that received
// since is put back at its new deadline, one that did not is closed.
//
// Connections counted against a listener's address limit are kept in an
// open-addressing table keyed by (listener, peer address), sized for every
// slot at once, with backward-shift deletion.
#include <algorithm>
#include <chrono>
#include <climits>

#include "frame/memory.h"
#include "net/io_thread.h"

namespace net {

namespace {

bool earlier(int a, int b) VESK_REQUIRES(g_io_thread) {
    return slot_at(a).deadline_ms < slot_at(b).deadline_ms;
}

void place(int at, int slot) VESK_REQUIRES(g_io_thread) {
    g_engine.deadline_heap[at] = slot;
    slot_at(slot).heap_pos = at;
}

void sift_up(int at) VESK_REQUIRES(g_io_thread) {
    int *heap = g_engine.deadline_heap;
    const int slot = heap[at];
    while (at > 0 && earlier(slot, heap[(at - 1) / 2])) {
        place(at, heap[(at - 1) / 2]);
        at = (at - 1) / 2;
    }
    place(at, slot);
}

void sift_down(int at) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    const int slot = e.deadline_heap[at];
    for (;;) {
        int child = 2 * at + 1;
        if (child >= e.deadline_count) break;
        if (child + 1 < e.deadline_count &&
            earlier(e.deadline_heap[child + 1], e.deadline_heap[child])) {
            ++child;
        }
        if (!earlier(e.deadline_heap[child], slot)) break;
        place(at, e.deadline_heap[child]);
        at = child;
    }
    place(at, slot);
}

void heap_remove(int slot) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    Slot &s = slot_at(slot);
    const int at = s.heap_pos;
    s.heap_pos = -1;
    const int last = e.deadline_heap[--e.deadline_count];
    if (at == e.deadline_count) return;
    place(at, last);
    sift_up(at);
    sift_down(slot_at(last).heap_pos);
}

void heap_set(int slot, int64_t deadline) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    Slot &s = slot_at(slot);
    s.deadline_ms = deadline;
    if (s.heap_pos < 0) {
        place(e.deadline_count++, slot);
    }
    sift_up(s.heap_pos);
    sift_down(s.heap_pos);
}

// The connection received nothing for its timeout: it ends as after the
// peer's end, and its reader learns why.  A close requested meanwhile wins.
void close_idle(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    s.failed_error.store(VESK_NET_ERR_TIMED_OUT, std::memory_order_relaxed);
    s.failed_error_generation.store(s.generation.load(std::memory_order_relaxed),
                                    std::memory_order_release);
    int expected = VESK_NET_READY;
    if (!s.state.compare_exchange_strong(expected, VESK_NET_FAILED, std::memory_order_acq_rel)) {
        return;
    }
    tally(g_engine.counters.idle_closed);
    const int size = wire_closed_record(buf.small, VESK_EV_CLOSED, slot);
    post_event(s.channel.load(std::memory_order_acquire), buf.small, size);
}

// The first whole millisecond at which more than `idle` ms have passed since
// the last receive, whatever fraction of a millisecond each time stood at.
int64_t idle_deadline(const Slot &s, int idle) VESK_REQUIRES(g_io_thread) {
    return s.last_rx_ms + idle + 1;
}

uint64_t address_key(int listener, uint32_t addr) {
    return static_cast<uint64_t>(static_cast<uint32_t>(listener)) << 32 | addr;
}

size_t address_home(uint64_t key) VESK_REQUIRES(g_io_thread) {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) &
           (g_engine.address_capacity - 1);
}

// The entry of `key`, or the empty one where it would go.
size_t address_find(uint64_t key) VESK_REQUIRES(g_io_thread) {
    const Engine &e = g_engine;
    size_t at = address_home(key);
    while (e.address_counts[at].key != 0 && e.address_counts[at].key != key) {
        at = (at + 1) & (e.address_capacity - 1);
    }
    return at;
}

}  // namespace

int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void deadline_update(int slot) {
    Slot &s = slot_at(slot);
    const int idle = s.idle_ms.load(std::memory_order_relaxed);
    const bool armed = idle > 0 && s.state.load(std::memory_order_acquire) == VESK_NET_READY &&
                       is_tcp_connection(s.type.load(std::memory_order_relaxed));
    if (!armed) {
        if (s.heap_pos >= 0) heap_remove(slot);
        return;
    }
    if (s.last_rx_ms == 0) s.last_rx_ms = steady_ms();  // counted from when it was set
    // A deadline that receives have moved later stays where it is until it is
    // due (deadlines_expire puts it back); one that a shorter timeout brought
    // nearer moves now.
    if (s.heap_pos < 0 || s.deadline_ms > idle_deadline(s, idle)) {
        heap_set(slot, idle_deadline(s, idle));
    }
}

void deadline_drop(int slot) {
    if (slot_at(slot).heap_pos >= 0) heap_remove(slot);
}

int deadline_due(int64_t now) {
    const Engine &e = g_engine;
    if (e.deadline_count == 0) return -1;
    const int64_t left = slot_at(e.deadline_heap[0]).deadline_ms - now;
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

void deadlines_expire(int64_t now, IoBuffers &buf) {
    Engine &e = g_engine;
    while (e.deadline_count > 0) {
        const int slot = e.deadline_heap[0];
        Slot &s = slot_at(slot);
        if (s.deadline_ms > now) return;
        const int idle = s.idle_ms.load(std::memory_order_relaxed);
        if (idle > 0 && now - s.last_rx_ms <= idle) {
            heap_set(slot, idle_deadline(s, idle));  // it received since: its new deadline
            continue;
        }
        heap_remove(slot);
        if (idle > 0) close_idle(slot, buf);
        pass_add(slot);  // its registration follows its state
    }
}

bool address_admit(int listener, uint32_t addr, int limit) {
    Engine &e = g_engine;
    if (e.address_counts == nullptr) {
        // Made with the first limit: room for every slot twice over.  Without
        // the memory the connection is let in uncounted (origin stays 0).
        size_t capacity = 64;
        while (capacity < 2 * static_cast<size_t>(e.slot_count)) capacity *= 2;
        e.address_counts =
            static_cast<AddressCount *>(frame::try_alloc(capacity * sizeof(AddressCount)));
        if (e.address_counts == nullptr) return true;
        for (size_t i = 0; i < capacity; ++i) e.address_counts[i] = AddressCount{};
        e.address_capacity = capacity;
    }
    const uint64_t key = address_key(listener, addr);
    AddressCount &entry = e.address_counts[address_find(key)];
    if (entry.key == key && entry.count >= limit) return false;
    entry.key = key;
    ++entry.count;
    return true;
}

void address_release(int listener, uint32_t addr) {
    Engine &e = g_engine;
    const size_t mask = e.address_capacity - 1;
    size_t hole = address_find(address_key(listener, addr));
    if (e.address_counts[hole].key == 0 || --e.address_counts[hole].count > 0) return;
    // Backward-shift deletion: entries after the hole that could sit in it move up.
    for (size_t next = (hole + 1) & mask; e.address_counts[next].key != 0;
         next = (next + 1) & mask) {
        const size_t home = address_home(e.address_counts[next].key);
        if (((next - home) & mask) >= ((next - hole) & mask)) {
            e.address_counts[hole] = e.address_counts[next];
            hole = next;
        }
    }
    e.address_counts[hole] = AddressCount{};
}

}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_set_idle_timeout(int slot, int idle_ms) {
    if (!slot_in_range(slot) || idle_ms < 0) return -1;
    Slot &s = slot_at(slot);
    const int type = s.type.load(std::memory_order_relaxed);
    if (s.state.load(std::memory_order_acquire) == VESK_NET_FREE ||
        !(is_tcp_connection(type) || is_listener(type))) {
        return -1;
    }
    s.idle_ms.store(idle_ms, std::memory_order_relaxed);
    if (is_tcp_connection(type)) give_work(slot);  // armed (or disarmed) in the next pass
    return 0;
}

VESK_API int vesk_net_set_address_limit(int listener, int count) {
    if (!slot_in_range(listener) || count < 0) return -1;
    Slot &s = slot_at(listener);
    if (s.state.load(std::memory_order_acquire) == VESK_NET_FREE ||
        !is_listener(s.type.load(std::memory_order_relaxed))) {
        return -1;
    }
    s.address_limit.store(count, std::memory_order_relaxed);
    return 0;
}

}  // extern "C"
