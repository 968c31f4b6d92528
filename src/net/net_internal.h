// The socket engine's process-wide state and the internal functions shared by
// its files.
//
// Threads.  Set-up and tear-down run on one user thread while nothing else
// calls the engine.  In between, user threads open, attach, connect, close,
// send and read, and the I/O thread polls, receives, flushes and reaps.  Slot
// fields that both sides touch are atomics:
//   - state: release on every change, acquire on every read, so that the
//     fields written before a state change (by open, accept or reaping) are
//     seen by whoever sees the new state.  Changes that may race (the user's
//     close against the I/O thread's connect outcome or failure) are
//     compare-and-swap, so that a close is never overwritten.
//   - pending: the pending-send length hands the send area over.  A sender
//     fills the area only while it reads 0 (acquire) and publishes the bytes
//     by storing the length (release); the I/O thread reads the area only
//     while the length is above 0 (acquire) and gives it back by storing 0
//     (release).  One sender at a time holds the slot's send claim (`sending`),
//     so that two threads never mix their bytes in the stream or the area.
//   - send_area: installed by the first sender that has bytes to keep (a
//     compare-and-swap, so that only one block is ever installed), and kept
//     until tear-down.
//   - channel, type, socket and peer entries: single atomic words.
// The receive area, the held count and the I/O thread's notes are touched by
// the I/O thread only (and cleared by allocation while the slot is free).  The
// receive area comes small with a framed connection's first read, grows on a
// busy connection, and is given back when the slot is reaped.
//
// Work.  The I/O thread sleeps in its poller until a registered socket is
// ready or a user call gives it work: such a call queues the slot (or, for a
// read that frees room, the channel) and wakes the poller.  A pass then
// visits only the slots that are ready or queued, in ascending order.
//
// Passes.  Whoever runs a pass holds the pass mutex, and what the notes below
// call "I/O thread only" belongs to the pass holder.  That is the I/O thread,
// or a reader looking for its next event in vesk_net_channel_wait, where the
// poller can be looked at from another thread (Linux): while a reader looks
// it runs the passes itself, and its lease (`reader_lease_ns`) keeps the I/O
// thread aside.  See reader_pass in io_thread.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "net/channel_ring.h"
#include "net/wire.h"
#include "os/mutex_guard.h"
#include "os/os.h"
#include "vuvidur.h"

namespace net {

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
    // A VESK_EV_SENT is owed once nothing is pending (vesk_net_notify_sent).
    std::atomic<int32_t> sent_wanted;
    // Why the connect failed, noted before its VESK_EV_CONNECT is posted
    // (the channel's mutex orders the two) for the thread that reads it.
    std::atomic<int32_t> connect_error;
    // The send claim: a user thread is in a TCP send (a byte, beside the
    // flags below, so that the record does not grow).
    std::atomic<uint8_t> sending;
    // I/O thread only.
    bool held_waiting;   // held frames wait for room in the channel
    bool peer_known;     // peer_addr / peer_port are filled in
    bool receive_grown;  // the receive area has its full size (I/O thread only)
    int32_t held;        // bytes held in the receive area (framed types)
    uint32_t peer_addr;  // the connection's peer, network order
    uint16_t peer_port;
    // A listener that could not accept (no free slot of its range, or accept
    // failing) rests until a slot is freed or kListenerRestMs pass, rather
    // than keeping every pass busy with a readable socket it cannot serve.
    bool resting;
    uint32_t rest_since_ms;
    // The I/O thread's own bookkeeping, never touched by allocation: what the
    // poller watches the socket for, the pass the slot is listed in, and the
    // channel whose room it waits for (a list through the slots).
    unsigned registered;
    unsigned ready;
    bool in_pass;
    int32_t room_channel;  // 0: not waiting
    int32_t room_prev;
    int32_t room_next;
    // A UDP receive failing for a reason other than "would block": since
    // when (failed after kReceiveFailingMs of failures).
    bool receive_failing;
    uint32_t receive_failing_since_ms;
    // The send area: allocated by the first send that leaves bytes unsent,
    // then kept until tear-down.  The receive area of a framed connection:
    // allocated (small) at its first read, grown when busy, and given back
    // when the slot is reaped (I/O thread only).
    std::atomic<uint8_t *> send_area;
    uint8_t *receive_area;
    // Fixed at set-up.
    PeerEntry *peers;
    AnswerNote *answered;  // beside each peer entry (I/O thread only)
    int32_t peer_count;
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
// pass that found sockets ready, a reader in vesk_net_channel_wait after its
// last event.  A sleeper costs its waker a wake-up and, on an idle
// processor, the time the processor takes to come out of its halt (20 to
// 40 us in a virtual machine).  A peer's answer comes a round trip after our
// last frame, and that round trip holds the peer's own wake-ups: a look
// shorter than that sleeps just before the answer and adds two more wake-ups
// (ours and the other thread's).  With 15 us one round trip in a hundred
// took ten times the median; with 40 us a relayed message (two hops through
// a server and a client's pass over 15 sockets, about 100 us) still found
// both threads asleep at each hop.  100 us covers it.  This is the I/O
// thread's window; a channel's readers look for os::channel_look_us (the
// same on Linux, longer on Windows, whose round trips under Wine are longer).
constexpr int kLookAgainMicroseconds = 100;

// A look is worth its processor time only while work comes within it: with
// frames every 200 us, 100 us looks kept both threads busy (110 % of a core,
// against 26 % with 40 us looks) and caught nothing.  So each looker keeps
// its own window: after a sleep, the whole window (`full_us`) when the work came
// soon enough after the look's start (os::look_again_worth_us: on Linux,
// within the look's own 100 us, so that a longer look would have caught
// it), an eighth of it less when it came later, down to no look at all.
// `gap` is the time from the look's start to the work.  Traffic whose
// answers come within 100 us keeps the whole window, and one late answer
// among them costs it little (halving it cost the relayed message a tenth
// of its p99); after nine late ones in a row, sparse traffic costs what it
// did before there were looks.
inline int next_look_window(int window_us, std::chrono::steady_clock::duration gap,
                            int full_us = kLookAgainMicroseconds) {
    if (gap <= std::chrono::microseconds(os::look_again_worth_us())) return full_us;
    const int step = full_us / 8;
    return window_us > step ? window_us - step : 0;
}
constexpr uint32_t kReceiveFailingMs = 1000;

struct Channel {
    std::atomic<int32_t> in_use;
    vesk_ring ring;
    // Created at set-up and kept for the engine's lifetime (rather than per
    // claim), so that the I/O thread may lock it while the channel is being
    // released: a post to a released channel is dropped under the lock.  The
    // library's plain mutex: never taken twice by one thread, never held at
    // a thread's end, and every event passes through it twice.
    vesk_mutex_cell *mutex;
    alignas(void *) unsigned char mutex_storage[os::kMutexCellSize];
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
    int32_t first_waiter;  // I/O thread only: slots waiting for room
};

// Notes whether the channel's ring holds anything; the caller holds its mutex.
inline void channel_note(Channel &ch) {
    ch.has_events.store(vesk_ring_has_data(&ch.ring), std::memory_order_seq_cst);
}

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
    vesk_mutex_cell *slot_mutex = nullptr;
    alignas(void *) unsigned char slot_mutex_storage[os::kMutexCellSize] = {};
    // No slot below these is free (reserved range, ordinary range).
    std::atomic<int> lowest_free_reserved{1};
    std::atomic<int> lowest_free_ordinary{1};
    vesk_mutex_cell *channel_mutex = nullptr;
    alignas(void *) unsigned char channel_mutex_storage[os::kMutexCellSize] = {};
    vesk_thread_cell *thread = nullptr;
    std::atomic<int> stop{0};
    // Waiters in vesk_net_channel_wait; tear-down waits until none is left.
    std::atomic<int> waiting{0};
    std::atomic<int> closing{0};
    // The I/O thread's poller: slot n is registered under key n, the set-
    // aside socket at index i under key -(i + 1).
    os::Poller *poller = nullptr;
    os::PollEvent *events = nullptr;
    // The work queue: slots and channels handed over by user calls.
    vesk_mutex_cell *work_mutex = nullptr;
    alignas(void *) unsigned char work_mutex_storage[os::kMutexCellSize] = {};
    int *work_slots = nullptr;
    int work_slot_count = 0;
    int *work_channels = nullptr;
    int work_channel_count = 0;
    std::atomic<bool> wake_pending{false};
    // The slots of the current pass (I/O thread only).
    int *pass_slots = nullptr;
    int pass_count = 0;
    // Listeners resting (I/O thread only).
    int *resting = nullptr;
    int resting_count = 0;
    AnswerNote *answer_block = nullptr;
    // Sockets set aside (I/O thread only while it runs): at most slot_count.
    SetAside *aside = nullptr;
    int aside_count = 0;
    // A slot of the ordinary range was freed this pass: resting listeners
    // may try again (I/O thread only).
    bool ordinary_freed = false;
    // Held by whoever runs a pass (see "Passes" above).
    vesk_mutex_cell *pass_mutex = nullptr;
    alignas(void *) unsigned char pass_mutex_storage[os::kMutexCellSize] = {};
    // Until this steady-clock time (nanoseconds) a looking reader runs the
    // passes and the I/O thread keeps aside; 0 when no reader does.
    std::atomic<int64_t> reader_lease_ns{0};
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

// Slot allocation (engine.cpp): the number of a cleared free slot of the
// type's range, or 0.  The caller holds the slot-table mutex until the record
// is filled in and published with slot_publish, or hands the slot back
// with slot_freed.
int slot_alloc(int type);
// `slot` is free again (reaped, or taken and handed back): allocation looks
// from there again.
void slot_freed(int slot);
void slot_publish(int slot, int type, vesk_socket_t socket, int channel, int state);

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
bool set_aside(vesk_socket_t sock, const uint8_t *bytes, int length);
void flush_set_aside(int index);
void retire_set_aside(uint32_t now);
int set_aside_due(uint32_t now);
void discard_set_aside();

// Server extensions (server.cpp).  Notes the system error behind a failed
// call for the calling thread's vesk_net_last_error (0: a refusal that no
// system call caused).  On the I/O thread, at the end of a pass: posts the
// VESK_EV_SENT a slot is owed once its pending bytes are out (kept owed while
// its channel has no room: the slot then waits for room like a reader).
void note_os_error(int error);
void post_sent_if_due(int slot);
// A reader took `record`: a failed connect's outcome notes its reason for
// the reading thread.
void note_read_outcome(const uint8_t *record, int length);

// The I/O thread (io_thread.cpp).
uint32_t VESK_THREADCALL io_thread(void *);
// A reader looking for its next event runs a pass, if the poller allows it
// and no other thread is running one: true when the pass found work.
bool reader_pass();
// The reader stops looking: to sleep (`sleeping`), or with an event.
void reader_pass_end(bool sleeping);

}  // namespace net
