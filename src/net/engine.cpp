// Engine set-up and tear-down, the slot allocator, and the channel table.
#include <climits>
#include <cstring>
#include <new>

#include "frame/memory.h"
#include "net/net_internal.h"

namespace net {

Engine g_engine;

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

void clear_slot_record(Slot &s) {
    s.type.store(0, std::memory_order_relaxed);
    s.socket.store(VESK_INVALID_SOCKET, std::memory_order_relaxed);
    s.channel.store(0, std::memory_order_relaxed);
    s.pending.store(0, std::memory_order_relaxed);
    s.sending.store(0, std::memory_order_relaxed);
    s.sent_wanted.store(0, std::memory_order_relaxed);
    s.connect_error.store(0, std::memory_order_relaxed);
    s.held = 0;
    s.held_waiting = false;
    s.peer_known = false;
    s.peer_addr = 0;
    s.peer_port = 0;
    s.resting = false;
    s.rest_since_ms = 0;
    for (int i = 0; i < s.peer_count; ++i) {
        s.peers[i].store(0, std::memory_order_relaxed);
        s.answered[i] = AnswerNote{};
    }
}

// Frees whatever set-up has built so far, in any state of completion.
void release_tables() {
    Engine &e = g_engine;
    if (e.slot_mutex != nullptr) vesk_mutex_destroy(e.slot_mutex);
    if (e.channel_mutex != nullptr) vesk_mutex_destroy(e.channel_mutex);
    if (e.pass_mutex != nullptr) vesk_mutex_destroy(e.pass_mutex);
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
    vesk_mem_free(e.peer_block);
    vesk_mem_free(e.answer_block);
    vesk_mem_free(e.aside);
    vesk_mem_free(e.slots);
    if (e.channels != nullptr) {
        for (int c = 1; c <= e.channel_count; ++c) {
            Channel &ch = channel_at(c);
            vesk_mem_free(ch.ring.storage);
            if (ch.mutex != nullptr) vesk_mutex_destroy(ch.mutex);
        }
    }
    vesk_mem_free(e.channels);
    os::poller_destroy(e.poller);
    vesk_mem_free(e.events);
    if (e.work_mutex != nullptr) vesk_mutex_destroy(e.work_mutex);
    vesk_mem_free(e.work_slots);
    vesk_mem_free(e.work_channels);
    vesk_mem_free(e.pass_slots);
    vesk_mem_free(e.resting);
    e.slots = nullptr;
    e.channels = nullptr;
    e.peer_block = nullptr;
    e.answer_block = nullptr;
    e.aside = nullptr;
    e.slot_mutex = nullptr;
    e.channel_mutex = nullptr;
    e.pass_mutex = nullptr;
    e.poller = nullptr;
    e.events = nullptr;
    e.work_mutex = nullptr;
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
bool build_slots() {
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
        next_peers += s.peer_count;
        next_notes += s.peer_count;
        clear_slot_record(s);
        s.queued.store(0, std::memory_order_relaxed);
        s.registered = 0;
        s.ready = 0;
        s.in_pass = false;
        s.room_channel = 0;
        s.room_prev = 0;
        s.room_next = 0;
        s.state.store(VESK_NET_FREE, std::memory_order_relaxed);
    }
    e.lowest_free_reserved.store(1, std::memory_order_relaxed);
    e.lowest_free_ordinary.store(e.reserved_count + 1, std::memory_order_relaxed);
    return true;
}

bool build_channels() {
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
        ch.mutex = os::mutex_init_plain(ch.mutex_storage);
        ch.in_use.store(0, std::memory_order_relaxed);
        ch.has_events.store(0, std::memory_order_relaxed);
        ch.signal.store(0, std::memory_order_relaxed);
        ch.sleepers.store(0, std::memory_order_relaxed);
        ch.look_us.store(os::channel_look_us(), std::memory_order_relaxed);
        ch.room_wanted.store(0, std::memory_order_relaxed);
        ch.queued.store(0, std::memory_order_relaxed);
        ch.first_waiter = 0;
        if (ch.mutex == nullptr || ch.ring.storage == nullptr) return false;
    }
    return true;
}

bool build_io_tables() {
    Engine &e = g_engine;
    const auto slots = static_cast<size_t>(e.slot_count);
    // Every slot and as many set-aside sockets may be registered at once.
    e.poller = os::poller_create(e.slot_count * 2);
    e.events = static_cast<os::PollEvent *>(alloc_table(kEventsPerPass, sizeof(os::PollEvent)));
    e.work_mutex = os::mutex_init_plain(e.work_mutex_storage);
    e.work_slots = static_cast<int *>(alloc_table(slots, sizeof(int)));
    e.work_channels =
        static_cast<int *>(alloc_table(static_cast<size_t>(e.channel_count), sizeof(int)));
    e.pass_slots = static_cast<int *>(alloc_table(slots, sizeof(int)));
    e.resting = static_cast<int *>(alloc_table(slots, sizeof(int)));
    e.aside = static_cast<SetAside *>(alloc_table(slots, sizeof(SetAside)));
    e.aside_count = 0;
    return e.poller != nullptr && e.events != nullptr && e.work_mutex != nullptr &&
           e.work_slots != nullptr && e.work_channels != nullptr && e.pass_slots != nullptr &&
           e.resting != nullptr && e.aside != nullptr;
}

}  // namespace

int slot_alloc(int type) {
    Engine &e = g_engine;
    int last;
    std::atomic<int> *hint;
    if (type == VESK_NET_UDP_MULTI) {
        hint = &e.lowest_free_reserved;
        last = e.reserved_count;
    } else if (type >= VESK_NET_TCP_LISTEN_STREAM && type <= VESK_NET_TCP_FRAMED) {
        hint = &e.lowest_free_ordinary;
        last = e.slot_count;
    } else {
        return 0;
    }
    // Every free slot of the range lies at or above the hint, so the scan
    // starts there: accepting n connections costs O(n), not O(n^2).
    int start = hint->load(std::memory_order_acquire);
    for (int n = start; n <= last; ++n) {
        Slot &s = slot_at(n);
        // Acquire: the reaper's release of FREE orders its last writes to
        // the record before the clearing below.
        if (s.state.load(std::memory_order_acquire) == VESK_NET_FREE) {
            clear_slot_record(s);
            // Unless the reaper lowered it meanwhile (then it stays lower).
            hint->compare_exchange_strong(start, n + 1, std::memory_order_acq_rel);
            return n;
        }
    }
    return 0;
}

void slot_freed(int slot) {
    Engine &e = g_engine;
    std::atomic<int> &hint =
        slot <= e.reserved_count ? e.lowest_free_reserved : e.lowest_free_ordinary;
    int current = hint.load(std::memory_order_acquire);
    while (slot < current &&
           !hint.compare_exchange_weak(current, slot, std::memory_order_acq_rel)) {
    }
}

void slot_publish(int slot, int type, vesk_socket_t socket, int channel, int state) {
    Slot &s = slot_at(slot);
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
        os::MutexGuard guard(ch.mutex);
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
    os::MutexGuard guard(ch.mutex);
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

namespace {

// Appends `number` to a work list unless its flag says it is there already,
// then wakes the I/O thread.
void queue_once(std::atomic<int32_t> &queued, int *list, int &count, int number) {
    Engine &e = g_engine;
    if (queued.exchange(1, std::memory_order_acq_rel) == 0) {
        os::MutexGuard guard(e.work_mutex);
        list[count++] = number;
    }
    wake_io_thread();
}

}  // namespace

void give_work(int slot) {
    queue_once(slot_at(slot).queued, g_engine.work_slots, g_engine.work_slot_count, slot);
}

void give_channel(int channel) {
    queue_once(channel_at(channel).queued, g_engine.work_channels, g_engine.work_channel_count,
               channel);
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
    bool built = build_slots() && build_channels() && build_io_tables();
    if (built) {
        e.slot_mutex = os::mutex_init_plain(e.slot_mutex_storage);
        e.channel_mutex = os::mutex_init_plain(e.channel_mutex_storage);
        e.pass_mutex = os::mutex_init_plain(e.pass_mutex_storage);
        built = e.slot_mutex != nullptr && e.channel_mutex != nullptr && e.pass_mutex != nullptr;
    }
    if (built) {
        e.stop.store(0);
        e.closing.store(0);
        e.wake_pending.store(false);
        e.reader_lease_ns.store(0);
        e.thread = vesk_thread_create(0, nullptr, io_thread, nullptr);
        built = e.thread != nullptr;
    }
    if (!built) {
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
    os::poller_wake(e.poller);
    vesk_thread_destroy(e.thread);
    vesk_mem_free(e.thread);
    e.thread = nullptr;
    // Threads waiting in a channel are woken and leave before the channels go.
    e.closing.store(1, std::memory_order_seq_cst);
    while (e.waiting.load(std::memory_order_seq_cst) > 0) {
        for (int c = 1; c <= e.channel_count; ++c) channel_signal(channel_at(c));
        vesk_usleep(1000);
    }
    // Sockets are closed before the socket layer is released: on Windows a
    // socket cannot be closed after that.
    release_tables();
    vesk_socket_cleanup();
}

VESK_API int vesk_net_channel_open(void) {
    Engine &e = g_engine;
    if (e.channel_count == 0) return 0;
    int claimed = 0;
    {
        os::MutexGuard guard(e.channel_mutex);
        for (int c = 1; c <= e.channel_count && claimed == 0; ++c) {
            Channel &ch = channel_at(c);
            if (ch.in_use.load(std::memory_order_relaxed) != 0) continue;
            os::MutexGuard channel_guard(ch.mutex);
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
        os::MutexGuard guard(ch.mutex);
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
