// The socket engine's process-wide state and the internal functions shared by
// its files.  docs/net.md, "Threads and ownership", tells the same rules as a
// whole; the annotations below are what the compiler checks of them.
//
// Threads.  Set-up and tear-down run on one user thread while no other thread
// is in the engine.  In between, user threads open, attach, connect, close,
// send and read, and the I/O thread alone polls, receives, accepts, flushes
// and reaps: it plays the role `g_io_thread`, and every field and function
// marked VESK_GUARDED_BY / VESK_REQUIRES(g_io_thread) belongs to it.  Slot
// fields that both sides touch are atomics:
//   - state: release on every change, acquire on every read, so that the
//     fields written before a state change (by open, accept or reaping) are
//     seen by whoever sees the new state.  Changes that may race (the user's
//     close against the I/O thread's connect outcome or failure) are
//     compare-and-swap, so that a close is never overwritten.
//   - users: the calls using the slot's socket now (SocketUse).  The reaper
//     closes the socket and frees the slot only when none is; a call that
//     leaves a closed slot last hands it back to the reaper.
//   - pending: the pending-send length hands the send area over.  A sender
//     fills the area only while it reads 0 (acquire) and publishes the bytes
//     by storing the length (release); the I/O thread reads the area only
//     while the length is above 0 (acquire) and gives it back by storing 0
//     (release).  One sender at a time holds the slot's send claim (`sending`),
//     so that two threads never mix their bytes in the stream or the area.
//   - send_area: installed by the first sender that has bytes to keep, and
//     kept until tear-down.
//   - channel, type, socket and peer entries: single atomic words.
//
// Work.  The I/O thread sleeps in its poller until a registered socket is
// ready or a user call gives it work: such a call queues the slot (or, for a
// read that frees room, the channel) and wakes the poller.  A pass then
// visits only the slots that are ready or queued, in ascending order.  The
// poller's wake-up is consumed by the I/O thread alone, and a pass follows
// every wait, so that queued work and a stop are seen after every look.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "net/channel_ring.h"
#include "net/wire.h"
#include "net/free_set.h"
#include "os/mutex_guard.h"
#include "os/os.h"
#include "vuvidur.h"

namespace net {

// The role of the engine's I/O thread (and of set-up and tear-down, while it
// does not run).
extern os::Role g_io_thread;
// Guards the UDP slots' peer indexes and probe logs: users change them (add
// and remove peers, send probes), the I/O thread reads them, once per batch
// of datagrams.  Taken after a channel's lock, never before.
extern os::Lock g_peer_lock;

class PeerIndex;

// The destinations of a UDP slot's latest probes, for strict mode: a probe
// reply is taken only from one of them, within kProbeReplyWindowMs.
constexpr int kProbesKept = 16;
constexpr int64_t kProbeReplyWindowMs = 10000;
struct ProbeLog {
    uint64_t key[kProbesKept];   // peer_key of the destination; 0: none
    int64_t at_ms[kProbesKept];  // when it was sent (steady_ms)
    int next;                    // the entry the next probe takes
};

constexpr int kSendAreaSize = 131072;
constexpr int kReceiveAreaSize = 262144;
// A framed connection's receive area to begin with: several largest frames.
// A read that fills what is free in it grows it to kReceiveAreaSize.
constexpr int kSmallReceiveAreaSize = 16384;
static_assert(kSmallReceiveAreaSize >= 4 * (kFrameHeaderSize + kMaxData));
// Ready sockets taken from the poller per pass; the rest come in the next.
constexpr int kEventsPerPass = 1024;

struct Slot {
    std::atomic<int32_t> state;
    std::atomic<int32_t> type;
    std::atomic<vesk_socket_t> socket;
    std::atomic<int32_t> channel;
    std::atomic<int32_t> pending;  // bytes waiting in the send area
    std::atomic<int32_t> queued;   // in the work queue for the I/O thread
    // Calls using the socket now (SocketUse): the reaper waits for 0.
    std::atomic<uint32_t> users;
    // The slot's life: one more each time it is freed.
    std::atomic<uint32_t> generation;
    // A VESK_EV_SENT is owed once nothing is pending (vesk_net_notify_sent).
    std::atomic<int32_t> sent_wanted;
    // Why the connect failed, noted before its VESK_EV_CONNECT is posted
    // (the channel's mutex orders the two) for the thread that reads it, with
    // the life it belongs to: a reader of a later life's number learns nothing.
    std::atomic<int32_t> connect_error;
    std::atomic<uint32_t> connect_error_generation;
    // Why the I/O thread failed the slot, when a reader should learn it
    // (strict framing), with the life it belongs to; 0: nothing to tell.
    std::atomic<int32_t> failed_error;
    std::atomic<uint32_t> failed_error_generation;
    // The send claim: a user thread is in a TCP send.
    std::atomic<uint8_t> sending;
    // Strict framing (vesk_net_set_strict_framing): a broken frame start
    // fails the slot instead of being resynchronised.
    std::atomic<uint8_t> strict;
    // Which probes a UDP slot answers (VESK_NET_PROBE_ANSWER_*).
    std::atomic<uint8_t> probe_policy;
    // The idle timeout in milliseconds (0: none), and a listener's limit of
    // connections per peer address (0: none); set by users.
    std::atomic<int32_t> idle_ms;
    std::atomic<int32_t> address_limit;
    // The I/O thread's alone (set-up and the reaper clear them).
    bool held_waiting VESK_GUARDED_BY(g_io_thread);   // held frames wait for room
    bool peer_known VESK_GUARDED_BY(g_io_thread);     // peer_addr / peer_port are filled in
    bool receive_grown VESK_GUARDED_BY(g_io_thread);  // the receive area has its full size
    int32_t held VESK_GUARDED_BY(g_io_thread);        // bytes held in the receive area
    uint32_t peer_addr VESK_GUARDED_BY(g_io_thread);  // the connection's peer, network order
    uint16_t peer_port VESK_GUARDED_BY(g_io_thread);
    // A listener that could not accept (no free slot of its range, or accept
    // failing) rests until a slot is freed or kListenerRestMs pass, rather
    // than keeping every pass busy with a readable socket it cannot serve.
    bool resting VESK_GUARDED_BY(g_io_thread);
    uint32_t rest_since_ms VESK_GUARDED_BY(g_io_thread);
    // What the poller watches the socket for, the readiness of this pass,
    // whether the slot is listed in it, and the channel whose room it waits
    // for (a list through the slots).
    unsigned registered VESK_GUARDED_BY(g_io_thread);
    unsigned ready VESK_GUARDED_BY(g_io_thread);
    bool in_pass VESK_GUARDED_BY(g_io_thread);
    int32_t room_channel VESK_GUARDED_BY(g_io_thread);  // 0: not waiting
    int32_t room_prev VESK_GUARDED_BY(g_io_thread);
    int32_t room_next VESK_GUARDED_BY(g_io_thread);
    // A call of the I/O thread's own for this slot (a UDP receive, an accept)
    // failing for a reason other than "would block": since when (the slot
    // fails after kReceiveFailingMs of failures).
    bool receive_failing VESK_GUARDED_BY(g_io_thread);
    uint32_t receive_failing_since_ms VESK_GUARDED_BY(g_io_thread);
    // Idle timeout: when the peer last sent something (steady ms; 0: not
    // yet noted), the deadline, and the slot's place in the deadline heap
    // (-1: not in it).  The listener whose address limit counts this
    // connection (0: none).
    int64_t last_rx_ms VESK_GUARDED_BY(g_io_thread);
    int64_t deadline_ms VESK_GUARDED_BY(g_io_thread);
    int32_t heap_pos VESK_GUARDED_BY(g_io_thread);
    int32_t origin VESK_GUARDED_BY(g_io_thread);
    // The send area: allocated by the first send that leaves bytes unsent,
    // then kept until tear-down.  The receive area of a framed connection:
    // allocated (small) at its first read, grown when busy, and given back
    // when the slot is reaped.
    std::atomic<uint8_t *> send_area;
    uint8_t *receive_area VESK_GUARDED_BY(g_io_thread);
    // A UDP slot's latest probe destinations: made by its first probe, kept
    // until tear-down, cleared with each new life.
    ProbeLog *probes VESK_GUARDED_BY(g_peer_lock);
    // Fixed at set-up.  A reserved slot's table has an index (the others
    // have one entry, looked at directly).
    PeerEntry *peers;
    AnswerNote *answered VESK_PT_GUARDED_BY(g_io_thread);  // beside each peer entry
    int32_t peer_count;
    PeerIndex *peer_index VESK_PT_GUARDED_BY(g_peer_lock);
};

// The socket of a closed slot, set aside with the bytes it still had to
// send: the I/O thread flushes them until they are out, the connection
// fails, or kSetAsideMs pass, and only then closes the socket.  The slot
// itself is freed at once, as usual.
struct SetAside {
    vesk_socket_t socket;
    uint8_t *bytes;  // the unsent bytes, copied out of the slot's send area
    int length;      // bytes still to send, from `bytes + sent`
    int sent;
    uint32_t since_ms;
};
constexpr uint32_t kSetAsideMs = 10000;
constexpr uint32_t kListenerRestMs = 100;
// How long a thread that has just had work looks again for more before it
// sleeps, giving the processor away between looks: the I/O thread after a
// pass that found sockets ready.  A sleeper costs its waker a wake-up, and a
// peer's answer comes a round trip after our last frame: a look of about a
// round trip catches it awake.  A channel's readers look for
// os::channel_look_us.  The measurements behind the figure are in
// docs/benchmarks.md.
constexpr int kLookAgainMicroseconds = 100;

// A look is worth its processor time only while work comes within it, so
// each looker keeps its own window: after a sleep, the whole window
// (`full_us`) when the work came within os::look_again_worth_us of the look's
// start, an eighth of it less when it came later, down to no look at all.
// `gap` is the time from the look's start to the work.
inline int next_look_window(int window_us, std::chrono::steady_clock::duration gap,
                            int full_us = kLookAgainMicroseconds) {
    if (gap <= std::chrono::microseconds(os::look_again_worth_us())) return full_us;
    const int step = full_us / 8;
    return window_us > step ? window_us - step : 0;
}
constexpr uint32_t kReceiveFailingMs = 1000;

struct Channel {
    std::atomic<int32_t> in_use;
    // Created at set-up and kept for the engine's lifetime (rather than per
    // claim), so that the I/O thread may lock it while the channel is being
    // released: a post to a released channel is dropped under the lock.  The
    // library's plain mutex: never taken twice by one thread, never held at
    // a thread's end, and every event passes through it twice.
    os::Lock lock;
    vesk_ring ring VESK_GUARDED_BY(lock);
    // Whether the ring holds anything, noted under the mutex after every
    // change, so that a reader polling an empty channel need not take the
    // mutex (and does not keep the I/O thread waiting for it).  A read that
    // misses an event being posted is the same as a read made a moment
    // earlier.
    std::atomic<int32_t> has_events;
    // Waiters in vesk_net_channel_wait sleep on `signal`, which changes on
    // every post, release and shutdown; `sleepers` tells a poster whether
    // anyone needs waking.
    std::atomic<uint32_t> signal;
    std::atomic<int32_t> sleepers;
    // The waiters' look-again window in microseconds (next_look_window);
    // several waiters may update it, and any recent value serves.
    std::atomic<int32_t> look_us;
    // Set by the I/O thread while slots wait for room in this channel; the
    // reader that frees room clears it and hands the channel to the I/O thread.
    std::atomic<int32_t> room_wanted;
    std::atomic<int32_t> queued;
    int32_t first_waiter VESK_GUARDED_BY(g_io_thread);  // slots waiting for room
};

// Notes whether the channel's ring holds anything.
inline void channel_note(Channel &ch) VESK_REQUIRES(ch.lock) {
    ch.has_events.store(vesk_ring_has_data(&ch.ring), std::memory_order_seq_cst);
}

// The engine's counters (vesk_net_get_stats): each only grows, but for
// slots_in_use; relaxed, as no other memory hangs on them.
struct Counters {
    std::atomic<uint32_t> slots_in_use{0};
    std::atomic<uint32_t> slots_peak{0};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> accepts_deferred{0};
    std::atomic<uint64_t> protocol_failed{0};
    std::atomic<uint64_t> address_refused{0};
    std::atomic<uint64_t> idle_closed{0};
    std::atomic<uint64_t> bytes_in{0};
    std::atomic<uint64_t> bytes_out{0};
    std::atomic<uint64_t> frames_in{0};
    std::atomic<uint64_t> frames_out{0};
    std::atomic<uint64_t> bytes_discarded{0};
    std::atomic<uint64_t> sends_busy{0};
    std::atomic<uint64_t> datagrams_dropped{0};
    std::atomic<uint64_t> probes_answered{0};
    std::atomic<uint64_t> probe_replies_refused{0};

    // Every counter back to 0 (set-up, before the I/O thread starts).
    void reset() {
        for (auto *counter : {&slots_in_use, &slots_peak}) counter->store(0);
        for (auto *counter :
             {&accepted, &accepts_deferred, &protocol_failed, &address_refused, &idle_closed,
              &bytes_in, &bytes_out, &frames_in, &frames_out, &bytes_discarded, &sends_busy,
              &datagrams_dropped, &probes_answered, &probe_replies_refused}) {
            counter->store(0);
        }
    }
};

inline void tally(std::atomic<uint64_t> &counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}

// Connections from one peer address counted against a listener's limit.
struct AddressCount {
    uint64_t key;  // listener << 32 | address; 0: an empty entry
    int32_t count;
};

struct Engine {
    int setup_count = 0;
    int slot_count = 0;
    int channel_count = 0;
    int reserved_count = 0;
    int peer_table_size = 0;
    int ring_size = 0;
    Slot *slots = nullptr;  // slot n is slots[n - 1]
    Channel *channels = nullptr;
    PeerEntry *peer_block = nullptr;
    // The engine's own locks are plain ones (user-mode on Windows, where a
    // kernel mutex costs a request to the system at every lock and unlock):
    // no caller sees them, none is taken twice by one thread, and none is
    // held across a call that could end the thread.
    //
    // The slot table's lock: a slot leaves the free set (allocation) and
    // joins it again (the reaper) only under it, with its state.
    os::Lock slot_lock;
    FreeSet free_slots VESK_GUARDED_BY(slot_lock);
    os::Lock channel_lock;
    vesk_thread_cell *thread = nullptr;
    std::atomic<int> stop{0};
    // Threads inside vesk_net_channel_wait and vesk_net_channel_read: tear-
    // down sets `closing`, then sleeps on this word until none is left.
    std::atomic<uint32_t> readers{0};
    std::atomic<int> closing{0};
    // The I/O thread's poller has kept failing (kReceiveFailingMs): its
    // error (-1 when unknown), or 0.  Calls that would need it are refused.
    std::atomic<int> broken{0};
    // Changes each time a slot is freed, for vesk_net_get_socket's sleepers.
    std::atomic<uint32_t> freed{0};
    std::atomic<int32_t> freed_sleepers{0};
    // The I/O thread's poller: slot n is registered under key n, the set-
    // aside socket at index i under key -(i + 1).
    os::Poller *poller = nullptr;
    os::PollEvent *events VESK_PT_GUARDED_BY(g_io_thread) = nullptr;
    // The work queue: slots and channels handed over by user calls.
    os::Lock work_lock;
    int *work_slots VESK_PT_GUARDED_BY(work_lock) = nullptr;
    int work_slot_count VESK_GUARDED_BY(work_lock) = 0;
    int *work_channels VESK_PT_GUARDED_BY(work_lock) = nullptr;
    int work_channel_count VESK_GUARDED_BY(work_lock) = 0;
    std::atomic<bool> wake_pending{false};
    // The slots of the current pass.
    int *pass_slots VESK_PT_GUARDED_BY(g_io_thread) = nullptr;
    int pass_count VESK_GUARDED_BY(g_io_thread) = 0;
    // Listeners resting.
    int *resting VESK_PT_GUARDED_BY(g_io_thread) = nullptr;
    int resting_count VESK_GUARDED_BY(g_io_thread) = 0;
    AnswerNote *answer_block = nullptr;
    // Sockets set aside: at most slot_count.
    SetAside *aside VESK_PT_GUARDED_BY(g_io_thread) = nullptr;
    int aside_count VESK_GUARDED_BY(g_io_thread) = 0;
    // A slot of the ordinary range was freed this pass: resting listeners
    // may try again.
    bool ordinary_freed VESK_GUARDED_BY(g_io_thread) = false;
    // The slots with an idle deadline, as a binary heap (limits.cpp).
    int *deadline_heap VESK_PT_GUARDED_BY(g_io_thread) = nullptr;
    int deadline_count VESK_GUARDED_BY(g_io_thread) = 0;
    // Connections per (listener, address), made with the first address limit.
    AddressCount *address_counts VESK_PT_GUARDED_BY(g_io_thread) = nullptr;
    size_t address_capacity VESK_GUARDED_BY(g_io_thread) = 0;
    // The reserved slots' peer indexes.
    PeerIndex *peer_indexes VESK_PT_GUARDED_BY(g_peer_lock) = nullptr;
    // UDP receives: a batch of datagrams and of their answers (udp.cpp), and
    // when each source was last answered a probe under the paced policy
    // (made with the first such probe).
    struct DatagramBatch *datagrams VESK_PT_GUARDED_BY(g_io_thread) = nullptr;
    struct ProbeNote *probe_notes VESK_PT_GUARDED_BY(g_io_thread) = nullptr;
    Counters counters;
};

extern Engine g_engine;

// A monotonic millisecond clock; it wraps, so only differences mean anything.
inline uint32_t now_ms() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

inline bool slot_in_range(int slot) { return slot >= 1 && slot <= g_engine.slot_count; }
inline bool channel_in_range(int ch) { return ch >= 1 && ch <= g_engine.channel_count; }
inline Slot &slot_at(int slot) { return g_engine.slots[slot - 1]; }
inline Channel &channel_at(int ch) { return g_engine.channels[ch - 1]; }

inline bool is_listener(int type) {
    return type == VESK_NET_TCP_LISTEN_STREAM || type == VESK_NET_TCP_LISTEN_FRAMED;
}
inline bool is_framed(int type) {
    return type == VESK_NET_TCP_CONNECT || type == VESK_NET_TCP_FRAMED;
}
inline bool is_tcp_connection(int type) { return is_framed(type) || type == VESK_NET_TCP_STREAM; }
inline bool is_udp(int type) {
    return type == VESK_NET_UDP_ANSWER || type == VESK_NET_UDP_MULTI || type == VESK_NET_UDP_QUIET;
}

// A 16-byte IPv4 socket address, in the layout both targets share.
struct SockAddr4 {
    uint16_t family;
    uint16_t port;  // network order
    uint32_t addr;  // network order
    uint8_t zero[8];
};
static_assert(sizeof(SockAddr4) == os::kSockaddrInSize);
SockAddr4 read_sockaddr(const struct sockaddr *address);

// Slot allocation (engine.cpp): the lowest free slot of the type's range,
// taken out of the free set and cleared, or 0 when the range has no free slot
// at the moment of the call.  The caller holds the slot lock until the record
// is filled in and published with slot_publish, or hands the slot back with
// slot_return.
int slot_alloc(int type) VESK_REQUIRES(g_engine.slot_lock);
void slot_return(int slot) VESK_REQUIRES(g_engine.slot_lock);
void slot_publish(int slot, int type, vesk_socket_t socket, int channel, int state)
    VESK_REQUIRES(g_engine.slot_lock);
// Clears the I/O thread's own fields of a slot for its next life (the areas
// and the poller registration are the reaper's to deal with).
void reset_io_fields(Slot &s) VESK_REQUIRES(g_io_thread);
// The reaper frees a closed slot whose socket it has dealt with: a new life
// begins (generation), the state becomes free and the number joins the free
// set under the slot lock, and vesk_net_get_socket's sleepers are woken.
void slot_free(int slot) VESK_REQUIRES(g_io_thread) VESK_EXCLUDES(g_engine.slot_lock);

// Events (engine.cpp): whole events into a channel, under its mutex.
// post_event: false when the channel is not in use or cannot take the whole
// event.  post_events posts `count` events, records[i] of sizes[i] bytes, in
// order under one lock and with one wake-up; returns how many were posted.
bool post_event(int channel, const uint8_t *record, int size);
int post_events(int channel, const uint8_t *const *records, const int *sizes, int count);
// The room a channel's ring has now; 0 for a channel not in use.
int channel_room(int channel);
// Wakes whoever waits for events in the channel; called after posting.
void channel_signal(Channel &ch);
// After a read that freed room: hands the channel to the I/O thread when
// slots wait for room in it.
void channel_room_freed(int channel);

// The slot can no longer work (the poller refused its registration, or a
// TCP send failed for a reason other than "would block"): a ready or
// connecting slot becomes failed and VESK_EV_FAILED is posted for it, once.
// A slot closed or failed already is left as it is.  Any thread (send.cpp).
void fail_slot(int slot);

// User threads give the I/O thread work (engine.cpp): the slot's state,
// channel or pending bytes changed, and the I/O thread looks at it soon.
void give_work(int slot);
void give_channel(int channel);
void wake_io_thread();

// Set-aside sockets (set_aside.cpp), on the I/O thread: keeps a closed
// connection's socket and its unsent bytes (false when it cannot: the caller
// closes the socket), flushes entry `index` when writable, closes the entries
// that are done or out of time, and tells the milliseconds until the next
// deadline (-1: none).  Discarding closes every one, unsent bytes and all.
bool set_aside(vesk_socket_t sock, const uint8_t *bytes, int length) VESK_REQUIRES(g_io_thread);
void flush_set_aside(int index) VESK_REQUIRES(g_io_thread);
void retire_set_aside(uint32_t now) VESK_REQUIRES(g_io_thread);
int set_aside_due(uint32_t now) VESK_REQUIRES(g_io_thread);
void discard_set_aside() VESK_REQUIRES(g_io_thread);

// Server extensions (server.cpp).  Notes the system error behind a failed
// call for the calling thread's vesk_net_last_error (0: a refusal that no
// system call caused).  On the I/O thread, at the end of a pass: posts the
// VESK_EV_SENT a slot is owed once its pending bytes are out (kept owed while
// its channel has no room: the slot then waits for room like a reader).
void note_os_error(int error);
void post_sent_if_due(int slot) VESK_REQUIRES(g_io_thread);
// A reader took `record`: a failed connect's outcome notes its reason for
// the reading thread.
void note_read_outcome(const uint8_t *record, int length);

// The I/O thread (io_thread.cpp).
uint32_t VESK_THREADCALL io_thread(void *);

// Idle timeouts and address limits (limits.cpp), on the I/O thread.  A steady
// millisecond clock; brings a slot's place in the deadline heap up to date
// with its timeout and state; takes it out (reaping); the milliseconds until
// the nearest deadline (-1: none).  address_admit counts one more connection
// from `addr` on `listener`, unless `limit` are there already (false);
// address_release counts one less.
int64_t steady_ms();
void deadline_update(int slot) VESK_REQUIRES(g_io_thread);
void deadline_drop(int slot) VESK_REQUIRES(g_io_thread);
int deadline_due(int64_t now) VESK_REQUIRES(g_io_thread);
bool address_admit(int listener, uint32_t addr, int limit) VESK_REQUIRES(g_io_thread);
void address_release(int listener, uint32_t addr) VESK_REQUIRES(g_io_thread);

// UDP (udp.cpp).  Set-up of the batch buffers and the reserved slots' peer
// indexes, and their release; a new life's clearing of a slot's peer table
// and probe log; noting a probe's destination before it is sent (false when
// no log can be had).
bool build_udp_tables() VESK_REQUIRES(g_io_thread);
void release_udp_tables() VESK_REQUIRES(g_io_thread);
void clear_udp_record(Slot &s);
bool note_probe(Slot &s, uint64_t destination);

// A user call's use of a slot's socket, for the length of a scope: taken by
// every call that touches a slot's socket (sends, probes, connects).  It is
// counted before the call looks at the state, and the reaper looks at the
// count after the state became CLOSING: either the reaper sees the use and
// leaves the slot to its last user, or the call sees the slot closing (or
// free, or in a later life's state) and never touched the old socket.  The
// last call to leave a closing slot hands it back to the reaper.
class SocketUse {
public:
    explicit SocketUse(int slot) : slot_(slot), s_(slot_at(slot)) {
        s_.users.fetch_add(1, std::memory_order_seq_cst);
    }
    ~SocketUse() {
        if (s_.users.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
            s_.state.load(std::memory_order_seq_cst) == VESK_NET_CLOSING) {
            give_work(slot_);
        }
    }
    SocketUse(const SocketUse &) = delete;
    SocketUse &operator=(const SocketUse &) = delete;

private:
    int slot_;
    Slot &s_;
};

// Readers (vesk_net_channel_wait and vesk_net_channel_read) count themselves
// for their whole call; entered() is false once tear-down has begun, and the
// reader must then touch nothing of the engine.  The last reader to leave
// during tear-down wakes it.
class ReaderCount {
public:
    ReaderCount() {
        g_engine.readers.fetch_add(1, std::memory_order_seq_cst);
        entered_ = g_engine.closing.load(std::memory_order_seq_cst) == 0;
    }
    ~ReaderCount() {
        g_engine.readers.fetch_sub(1, std::memory_order_seq_cst);
        if (g_engine.closing.load(std::memory_order_seq_cst) != 0) os::wake_word(&g_engine.readers);
    }
    ReaderCount(const ReaderCount &) = delete;
    ReaderCount &operator=(const ReaderCount &) = delete;
    bool entered() const { return entered_; }

private:
    bool entered_;
};

}  // namespace net
