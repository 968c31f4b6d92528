// Engine set-up and tear-down, the slot allocator, and the channel table.
#include <cassert>
#include <climits>
#include <cstring>
#include <new>

#include "frame/memory.h"
#include "net/net_internal.h"

namespace net {

Engine g_engine;
os::Role g_io_thread;

namespace {

// The smallest ring that can take one largest event (header and record) plus
// the byte a ring keeps free: with less, a TCP slot could never be read.
constexpr int kMinRingSize = kLargestEvent + 1;

// Engine memory is asked for without the exit-on-failure policy: set-up
// that cannot get it refuses, and so does a slot allocation.  A table whose
// size does not fit 32 bits is refused as well.
void *alloc_table(size_t count, size_t element) {
    if (count == 0 || count > UINT32_MAX / element) return nullptr;
    return frame::try_alloc(count * element);
}

template <typename T>
T *alloc_objects(size_t count) {
    auto *raw = static_cast<T *>(alloc_table(count, sizeof(T)));
    if (raw == nullptr) return nullptr;
    for (size_t i = 0; i < count; ++i) new (&raw[i]) T();
    return raw;
}

}  // namespace

void reset_io_fields(Slot &s) {
    s.held = 0;
    s.held_waiting = false;
    s.peer_known = false;
    s.peer_addr = 0;
    s.peer_port = 0;
    s.resting = false;
    s.rest_since_ms = 0;
    s.ready = 0;
    s.receive_failing = false;
    s.receive_failing_since_ms = 0;
    s.receive_grown = false;
    s.last_rx_ms = 0;
    s.origin = 0;
    for (int i = 0; i < s.peer_count; ++i) s.answered[i] = AnswerNote{};
}

namespace {

// What a new life of a slot starts from, of the fields users share with the
// I/O thread (the I/O thread's own are cleared by the reaper, reset_io_fields).
void clear_slot_record(Slot &s) {
    s.type.store(0, std::memory_order_relaxed);
    s.socket.store(VESK_INVALID_SOCKET, std::memory_order_relaxed);
    s.channel.store(0, std::memory_order_relaxed);
    s.pending.store(0, std::memory_order_relaxed);
    s.sending.store(0, std::memory_order_relaxed);
    s.sent_wanted.store(0, std::memory_order_relaxed);
    s.connect_error.store(0, std::memory_order_relaxed);
    s.failed_error.store(0, std::memory_order_relaxed);
    s.strict.store(0, std::memory_order_relaxed);
    s.idle_ms.store(0, std::memory_order_relaxed);
    s.address_limit.store(0, std::memory_order_relaxed);
}

// Frees whatever set-up has built so far, in any state of completion.  Set-up
// and tear-down: no other thread is in the engine.
void release_tables() VESK_NO_THREAD_SAFETY_ANALYSIS {
    Engine &e = g_engine;
    e.slot_lock.destroy();
    e.channel_lock.destroy();
    e.work_lock.destroy();
    e.free_slots.release();
    discard_set_aside();
    if (e.slots != nullptr) {
        // No socket layer clean-up closes them on POSIX: every socket that a
        // slot still holds (free slots hold none) is closed here.
        for (int n = 1; n <= e.slot_count; ++n) {
            Slot &s = slot_at(n);
            vesk_socket_t sock = s.socket.load(std::memory_order_relaxed);
            if (s.state.load(std::memory_order_relaxed) != VESK_NET_FREE &&
                sock != VESK_INVALID_SOCKET) {
                vesk_socket_close(sock);
            }
        }
    }
    if (e.slots != nullptr) {
        // Whatever areas each slot got with use.
        for (int n = 1; n <= e.slot_count; ++n) {
            Slot &s = slot_at(n);
            vesk_mem_free(s.send_area.load(std::memory_order_relaxed));
            vesk_mem_free(s.receive_area);
        }
    }
    release_udp_tables();
    vesk_mem_free(e.peer_block);
    vesk_mem_free(e.answer_block);
    vesk_mem_free(e.aside);
    vesk_mem_free(e.slots);
    if (e.channels != nullptr) {
        for (int c = 1; c <= e.channel_count; ++c) {
            Channel &ch = channel_at(c);
            vesk_mem_free(ch.ring.storage);
            ch.lock.destroy();
        }
    }
    vesk_mem_free(e.channels);
    os::poller_destroy(e.poller);
    vesk_mem_free(e.events);
    vesk_mem_free(e.work_slots);
    vesk_mem_free(e.work_channels);
    vesk_mem_free(e.pass_slots);
    vesk_mem_free(e.resting);
    vesk_mem_free(e.deadline_heap);
    vesk_mem_free(e.address_counts);
    e.deadline_heap = nullptr;
    e.deadline_count = 0;
    e.address_counts = nullptr;
    e.address_capacity = 0;
    e.slots = nullptr;
    e.channels = nullptr;
    e.peer_block = nullptr;
    e.answer_block = nullptr;
    e.aside = nullptr;
    e.poller = nullptr;
    e.events = nullptr;
    e.work_slots = nullptr;
    e.work_channels = nullptr;
    e.work_slot_count = 0;
    e.work_channel_count = 0;
    e.pass_slots = nullptr;
    e.pass_count = 0;
    e.resting = nullptr;
    e.resting_count = 0;
    e.slot_count = 0;
    e.channel_count = 0;
    e.reserved_count = 0;
    e.peer_table_size = 0;
    e.ring_size = 0;
}

// Every slot gets its record and its peer table.  Its areas come with use
// (see Slot), so set-up costs only the records however many slots there are.
bool build_slots() VESK_NO_THREAD_SAFETY_ANALYSIS {
    Engine &e = g_engine;
    e.slots = alloc_objects<Slot>(static_cast<size_t>(e.slot_count));
    const size_t reserved_entries =
        static_cast<size_t>(e.reserved_count) * static_cast<size_t>(e.peer_table_size);
    const size_t entries = reserved_entries + static_cast<size_t>(e.slot_count - e.reserved_count);
    e.peer_block = alloc_objects<PeerEntry>(entries);
    e.answer_block = alloc_objects<AnswerNote>(entries);
    if (e.slots == nullptr || e.peer_block == nullptr || e.answer_block == nullptr) return false;
    PeerEntry *next_peers = e.peer_block;
    AnswerNote *next_notes = e.answer_block;
    for (int n = 1; n <= e.slot_count; ++n) {
        Slot &s = slot_at(n);
        s.send_area.store(nullptr, std::memory_order_relaxed);
        s.receive_area = nullptr;
        s.receive_grown = false;
        s.peers = next_peers;
        s.answered = next_notes;
        s.peer_count = n <= e.reserved_count ? e.peer_table_size : 1;
        s.peer_index = nullptr;
        s.probes = nullptr;
        s.probe_policy.store(VESK_NET_PROBE_ANSWER_ALL, std::memory_order_relaxed);
        next_peers += s.peer_count;
        next_notes += s.peer_count;
        clear_slot_record(s);
        reset_io_fields(s);
        s.queued.store(0, std::memory_order_relaxed);
        s.users.store(0, std::memory_order_relaxed);
        s.generation.store(0, std::memory_order_relaxed);
        s.connect_error_generation.store(0, std::memory_order_relaxed);
        s.failed_error_generation.store(0, std::memory_order_relaxed);
        s.heap_pos = -1;
        s.deadline_ms = 0;
        s.registered = 0;
        s.in_pass = false;
        s.room_channel = 0;
        s.room_prev = 0;
        s.room_next = 0;
        s.state.store(VESK_NET_FREE, std::memory_order_relaxed);
    }
    return e.free_slots.init(e.slot_count);
}

bool build_channels() VESK_NO_THREAD_SAFETY_ANALYSIS {
    Engine &e = g_engine;
    e.channels = alloc_objects<Channel>(static_cast<size_t>(e.channel_count));
    if (e.channels == nullptr) return false;
    for (int c = 1; c <= e.channel_count; ++c) {
        Channel &ch = channel_at(c);
        // Not vesk_ring_init, which zero-fills: a ring's bytes mean nothing
        // outside its positions, and untouched pages cost no memory.
        ch.ring.storage =
            static_cast<uint8_t *>(frame::try_alloc(static_cast<size_t>(e.ring_size)));
        ch.ring.read_pos = 0;
        ch.ring.write_pos = 0;
        ch.ring.size = e.ring_size;
        const bool locked = ch.lock.init();
        ch.in_use.store(0, std::memory_order_relaxed);
        ch.has_events.store(0, std::memory_order_relaxed);
        ch.signal.store(0, std::memory_order_relaxed);
        ch.sleepers.store(0, std::memory_order_relaxed);
        ch.look_us.store(os::channel_look_us(), std::memory_order_relaxed);
        ch.room_wanted.store(0, std::memory_order_relaxed);
        ch.queued.store(0, std::memory_order_relaxed);
        ch.first_waiter = 0;
        if (!locked || ch.ring.storage == nullptr) return false;
    }
    return true;
}

bool build_io_tables() VESK_NO_THREAD_SAFETY_ANALYSIS {
    Engine &e = g_engine;
    const auto slots = static_cast<size_t>(e.slot_count);
    // Every slot and as many set-aside sockets may be registered at once.
    e.poller = os::poller_create(e.slot_count * 2);
    e.events = static_cast<os::PollEvent *>(alloc_table(kEventsPerPass, sizeof(os::PollEvent)));
    const bool locked = e.work_lock.init();
    e.work_slots = static_cast<int *>(alloc_table(slots, sizeof(int)));
    e.work_channels =
        static_cast<int *>(alloc_table(static_cast<size_t>(e.channel_count), sizeof(int)));
    e.pass_slots = static_cast<int *>(alloc_table(slots, sizeof(int)));
    e.deadline_heap = static_cast<int *>(alloc_table(slots, sizeof(int)));
    e.deadline_count = 0;
    e.resting = static_cast<int *>(alloc_table(slots, sizeof(int)));
    e.aside = static_cast<SetAside *>(alloc_table(slots, sizeof(SetAside)));
    e.aside_count = 0;
    return e.poller != nullptr && e.events != nullptr && locked && e.work_slots != nullptr &&
           e.work_channels != nullptr && e.pass_slots != nullptr && e.resting != nullptr &&
           e.aside != nullptr && e.deadline_heap != nullptr;
}

}  // namespace

int slot_alloc(int type) {
    Engine &e = g_engine;
    int first;
    int last;
    if (type == VESK_NET_UDP_MULTI) {
        first = 1;
        last = e.reserved_count;
    } else if (type >= VESK_NET_TCP_LISTEN_STREAM && type <= VESK_NET_TCP_FRAMED) {
        first = e.reserved_count + 1;
        last = e.slot_count;
    } else {
        return 0;
    }
    const int n = g_engine.free_slots.lowest(first, last);
    if (n == 0) return 0;
    Slot &s = slot_at(n);
    // Acquire: the reaper's release of FREE orders its last writes to the
    // record before the clearing below.
    assert(s.state.load(std::memory_order_acquire) == VESK_NET_FREE);
    g_engine.free_slots.remove(n);
    clear_slot_record(s);
    clear_udp_record(s);
    return n;
}

void slot_return(int slot) {
    assert(slot_at(slot).state.load(std::memory_order_relaxed) == VESK_NET_FREE);
    g_engine.free_slots.add(slot);
}

void slot_free(int slot) {
    Engine &e = g_engine;
    Slot &s = slot_at(slot);
    {
        os::LockGuard guard(e.slot_lock);
        assert(s.state.load(std::memory_order_relaxed) == VESK_NET_CLOSING);
        s.generation.fetch_add(1, std::memory_order_relaxed);
        s.state.store(VESK_NET_FREE, std::memory_order_release);
        e.free_slots.add(slot);
        e.counters.slots_in_use.fetch_sub(1, std::memory_order_relaxed);
    }
    e.freed.fetch_add(1, std::memory_order_seq_cst);
    if (e.freed_sleepers.load(std::memory_order_seq_cst) > 0) os::wake_word(&e.freed);
}

void slot_publish(int slot, int type, vesk_socket_t socket, int channel, int state) {
    Slot &s = slot_at(slot);
    assert(s.state.load(std::memory_order_relaxed) == VESK_NET_FREE);  // just allocated
    // Counted in use from here to slot_free (both under the slot lock).
    Counters &c = g_engine.counters;
    const uint32_t in_use = c.slots_in_use.fetch_add(1, std::memory_order_relaxed) + 1;
    if (in_use > c.slots_peak.load(std::memory_order_relaxed)) {
        c.slots_peak.store(in_use, std::memory_order_relaxed);
    }
    s.type.store(type, std::memory_order_relaxed);
    s.socket.store(socket, std::memory_order_relaxed);
    s.channel.store(channel, std::memory_order_relaxed);
    s.state.store(state, std::memory_order_release);
}

int post_events(int channel, const uint8_t *const *records, const int *sizes, int count) {
    if (count <= 0 || !channel_in_range(channel)) return 0;
    Channel &ch = channel_at(channel);
    int posted = 0;
    {
        os::LockGuard guard(ch.lock);
        while (posted < count && ch.in_use.load(std::memory_order_relaxed) != 0 &&
               ring_post_event(ch.ring, records[posted], sizes[posted], nullptr, 0)) {
            ++posted;
        }
        if (posted > 0) channel_note(ch);
    }
    if (posted > 0) channel_signal(ch);
    return posted;
}

bool post_event(int channel, const uint8_t *record, int size) {
    return post_events(channel, &record, &size, 1) == 1;
}

int channel_room(int channel) {
    if (!channel_in_range(channel)) return 0;
    Channel &ch = channel_at(channel);
    os::LockGuard guard(ch.lock);
    return ch.in_use.load(std::memory_order_relaxed) != 0 ? ring_room(ch.ring) : 0;
}

void channel_signal(Channel &ch) {
    // The change is published before sleepers are looked for, and a waiter
    // counts itself before it looks at the channel: one of the two sees the
    // other, so no wake-up is lost.
    ch.signal.fetch_add(1, std::memory_order_seq_cst);
    if (ch.sleepers.load(std::memory_order_seq_cst) > 0) os::wake_word(&ch.signal);
}

void channel_room_freed(int channel) {
    Channel &ch = channel_at(channel);
    if (ch.room_wanted.load(std::memory_order_seq_cst) != 0 &&
        ch.room_wanted.exchange(0, std::memory_order_seq_cst) != 0) {
        give_channel(channel);
    }
}

void wake_io_thread() {
    Engine &e = g_engine;
    // One wake-up until the I/O thread has looked at its work again.
    if (!e.wake_pending.exchange(true, std::memory_order_acq_rel)) os::poller_wake(e.poller);
}

// Each queues its number once (its flag says whether it is there already),
// then wakes the I/O thread.
void give_work(int slot) {
    Engine &e = g_engine;
    if (slot_at(slot).queued.exchange(1, std::memory_order_acq_rel) == 0) {
        os::LockGuard guard(e.work_lock);
        e.work_slots[e.work_slot_count++] = slot;
    }
    wake_io_thread();
}

void give_channel(int channel) {
    Engine &e = g_engine;
    if (channel_at(channel).queued.exchange(1, std::memory_order_acq_rel) == 0) {
        os::LockGuard guard(e.work_lock);
        e.work_channels[e.work_channel_count++] = channel;
    }
    wake_io_thread();
}

SockAddr4 read_sockaddr(const struct sockaddr *address) {
    SockAddr4 a{};
    std::memcpy(&a, address, sizeof a);
    return a;
}

}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_init(int slots, int channels, int reserved, int peers, int ring_size, int,
                           int) {
    Engine &e = g_engine;
    if (e.setup_count > 0) {
        ++e.setup_count;
        return 0;
    }
    if (slots < 1 || channels < 1 || reserved < 0 || reserved > slots || peers < 1 ||
        ring_size < kMinRingSize) {
        return -1;
    }
    if (vesk_socket_startup() != 0) return -1;
    e.slot_count = slots;
    e.channel_count = channels;
    e.reserved_count = reserved;
    e.peer_table_size = peers;
    e.ring_size = ring_size;
    bool built;
    {
        // Set-up plays the I/O thread's role until the thread starts.
        const os::RoleGuard role(g_io_thread);
        built = build_slots() && build_channels() && build_io_tables() && build_udp_tables() &&
                e.slot_lock.init() && e.channel_lock.init();
    }
    if (built) {
        e.stop.store(0);
        e.closing.store(0);
        e.broken.store(0);
        e.counters.reset();
        e.wake_pending.store(false);
        e.thread = vesk_thread_create(0, nullptr, io_thread, nullptr);
        built = e.thread != nullptr;
    }
    if (!built) {
        const os::RoleGuard role(g_io_thread);
        release_tables();
        vesk_socket_cleanup();
        return -1;
    }
    e.setup_count = 1;
    return 0;
}

VESK_API void vesk_net_shutdown(void) {
    Engine &e = g_engine;
    if (e.setup_count <= 0) return;
    if (--e.setup_count > 0) return;
    e.stop.store(1);
    // The I/O thread alone consumes the poller's wake-up, and looks at `stop`
    // after every wait: it leaves at once.
    os::poller_wake(e.poller);
    vesk_thread_destroy(e.thread);
    vesk_mem_free(e.thread);
    e.thread = nullptr;
    // Readers are told, woken, and left to go before the channels go: a
    // reader counts itself before it looks at `closing`, tear-down sets
    // `closing` before it looks at the count, so one sees the other.
    e.closing.store(1, std::memory_order_seq_cst);
    for (int c = 1; c <= e.channel_count; ++c) channel_signal(channel_at(c));
    for (uint32_t left; (left = e.readers.load(std::memory_order_seq_cst)) != 0;) {
        os::wait_on_word(&e.readers, left, -1);
    }
    // Sockets are closed before the socket layer is released: on Windows a
    // socket cannot be closed after that.
    const os::RoleGuard role(g_io_thread);
    release_tables();
    vesk_socket_cleanup();
}

VESK_API int vesk_net_channel_open(void) {
    Engine &e = g_engine;
    if (e.channel_count == 0) return 0;
    int claimed = 0;
    {
        os::LockGuard guard(e.channel_lock);
        for (int c = 1; c <= e.channel_count && claimed == 0; ++c) {
            Channel &ch = channel_at(c);
            if (ch.in_use.load(std::memory_order_relaxed) != 0) continue;
            os::LockGuard channel_guard(ch.lock);
            vesk_ring_reset(&ch.ring);  // never another user's leftover events
            channel_note(ch);
            ch.in_use.store(1, std::memory_order_relaxed);
            claimed = c;
        }
    }
    // Slots still attached to the number wait for room until it is in use.
    if (claimed != 0) channel_room_freed(claimed);
    return claimed;
}

VESK_API int vesk_net_channel_close(int channel) {
    if (!channel_in_range(channel)) return -1;
    Channel &ch = channel_at(channel);
    bool was_in_use = false;
    {
        os::LockGuard guard(ch.lock);
        was_in_use = ch.in_use.load(std::memory_order_relaxed) != 0;
        if (was_in_use) {
            ch.in_use.store(0, std::memory_order_relaxed);
            vesk_ring_reset(&ch.ring);
            channel_note(ch);
        }
    }
    if (was_in_use) channel_signal(ch);  // waiters learn of the release
    return was_in_use ? 0 : -1;
}

}  // extern "C"
