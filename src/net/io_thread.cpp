// The I/O thread: it sleeps in the poller until a registered socket is ready
// or a user call gives it work, then runs one pass: it frees the closed slots
// among those queued, delivers frames held back for lack of room, hands each
// ready slot to its handler (accept, receive, connect outcome, flush), and
// brings each visited slot's registration up to date.  Slots are visited in
// ascending order within a pass; nothing in a pass loops over the whole table.
//
// The I/O thread alone polls and runs passes: a batch of readiness is handled
// by the thread that polled it, in the pass that follows the poll, before any
// other poll.  Every function here plays its role (VESK_REQUIRES(g_io_thread)).
#include "net/io_thread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace net {

namespace {

constexpr int kAcceptsPerVisit = 64;
// A call of the thread's own (the wait, the wake-up read, a UDP receive, a
// registration) that failed in two passes running is retried after this
// pause: at most 100 times a second, rather than a busy loop.  One failure
// alone (an interrupted wait) is retried at once.
constexpr int kFailedCallPauseMicroseconds = 10000;

}  // namespace

void pass_add(int slot) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    Slot &s = slot_at(slot);
    if (s.in_pass) return;
    s.in_pass = true;
    e.pass_slots[e.pass_count++] = slot;
}

namespace {

// ---- Waiting for room in a channel ---------------------------------------

void unlink_room_waiter(int slot) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    if (s.room_channel == 0) return;
    if (s.room_prev != 0) {
        slot_at(s.room_prev).room_next = s.room_next;
    } else {
        channel_at(s.room_channel).first_waiter = s.room_next;
    }
    if (s.room_next != 0) slot_at(s.room_next).room_prev = s.room_prev;
    s.room_channel = 0;
    s.room_prev = 0;
    s.room_next = 0;
}

// Lists the slot among those waiting for room in `channel`.  The channel is
// marked before its room is looked at again (by the caller), so that a reader
// freeing room meanwhile either is seen or sees the mark.
void link_room_waiter(int slot, int channel) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    if (s.room_channel == channel) return;
    unlink_room_waiter(slot);
    Channel &ch = channel_at(channel);
    s.room_channel = channel;
    s.room_prev = 0;
    s.room_next = ch.first_waiter;
    if (ch.first_waiter != 0) slot_at(ch.first_waiter).room_prev = slot;
    ch.first_waiter = slot;
    ch.room_wanted.store(1, std::memory_order_seq_cst);
}

// A channel got room: every slot waiting in it joins this pass.
void wake_room_waiters(int channel) VESK_REQUIRES(g_io_thread) {
    Channel &ch = channel_at(channel);
    while (ch.first_waiter != 0) {
        const int slot = ch.first_waiter;
        unlink_room_waiter(slot);
        pass_add(slot);
    }
}

// ---- Interest ------------------------------------------------------------

// The room a slot needs in its channel before it may be read (or its
// connect outcome or next accept posted); 0 when it needs none.
int room_needed(const Slot &s, int state, int type) VESK_REQUIRES(g_io_thread) {
    if (state == VESK_NET_CONNECTING) return kEventHeaderSize + kConnectRecordSize;
    if (state != VESK_NET_READY) return 0;
    if (is_listener(type)) return s.resting ? 0 : kEventHeaderSize + kAcceptRecordSize;
    return kLargestEvent;
}

// What a slot wants watched for (os::kPoll* bits), given whether its channel
// has the room it needs.  Nothing received is dropped for want of room: a slot
// whose channel cannot take its next event is not read (the kernel holds the
// data, and slows a TCP sender), but is still flushed.
unsigned slot_interest(const Slot &s, int state, int type, bool room) VESK_REQUIRES(g_io_thread) {
    const bool flush = is_tcp_connection(type) && s.pending.load(std::memory_order_relaxed) > 0;
    if (state == VESK_NET_CONNECTING) return room ? os::kPollWrite | os::kPollError : 0u;
    // A connection whose peer has ended (or that broke) still gets the bytes
    // accepted for it before, as far as the socket takes them.
    if (state == VESK_NET_FAILED) return flush ? os::kPollWrite : 0u;
    if (state != VESK_NET_READY) return 0;
    if (is_udp(type)) return room ? os::kPollRead : 0u;
    // A listener stays registered for what the poller may accept ahead for it.
    if (is_listener(type)) return os::kPollAccept | (room && !s.resting ? os::kPollRead : 0u);
    // A connection's bytes may be received by the poller itself (Windows):
    // it stays registered for that while it is not read, so that bytes the
    // poller holds for it wait there rather than being dropped.
    unsigned interest = os::kPollTake | (flush ? os::kPollWrite : 0u);
    if (room && !s.held_waiting) interest |= os::kPollRead;
    return interest;
}

// A registration failed in this pass: a socket left registered that should
// not be may keep reporting itself, so the thread paces its passes.
bool g_registration_failed VESK_GUARDED_BY(g_io_thread) = false;

void set_registration(int slot, unsigned interest) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    if (s.registered == interest) return;
    const vesk_socket_t sock = s.socket.load(std::memory_order_relaxed);
    if (os::poller_set(g_engine.poller, sock, slot, s.registered, interest) == 0) {
        s.registered = interest;
        return;
    }
    g_registration_failed = true;
    if (interest == 0) return;  // tried again at the next pass, or dropped with the socket
    // The kernel will not watch the socket (ENOMEM, or ENOSPC at the per-
    // user watch limit): the slot would never deliver anything again, so it
    // fails visibly.  Bytes it still had to send can never be flushed.
    const int state = s.state.load(std::memory_order_acquire);
    fail_slot(slot);
    if (state == VESK_NET_FAILED) s.pending.store(0, std::memory_order_release);
    if (state == VESK_NET_READY || state == VESK_NET_CONNECTING) set_registration(slot, 0);
}

// Brings the slot's registration (and its place among the slots waiting for
// room) up to date with its state.
void update_interest(int slot) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    const int state = s.state.load(std::memory_order_acquire);
    // A free slot may be being filled in by another thread's allocation; its
    // registration was dropped when it was freed.
    if (state == VESK_NET_FREE || state == VESK_NET_CLOSING) return;
    const int type = s.type.load(std::memory_order_relaxed);
    const int channel = s.channel.load(std::memory_order_acquire);
    if (channel == 0) {  // a slot without a channel is never watched
        unlink_room_waiter(slot);
        set_registration(slot, 0);
        return;
    }
    const int needed = room_needed(s, state, type);
    const bool held = state == VESK_NET_READY && s.held_waiting;
    bool room = needed == 0 || channel_room(channel) >= needed;
    if (!room || held) {
        link_room_waiter(slot, channel);
        // Looked at again after the mark: room freed meanwhile is not missed.
        room = needed == 0 || channel_room(channel) >= needed;
        if (room) {
            unlink_room_waiter(slot);
            if (held) give_work(slot);  // its held frames go out next pass
        }
    } else {
        unlink_room_waiter(slot);
    }
    set_registration(slot, slot_interest(s, state, type, room));
}

// Frees a closed slot: its registration is dropped and its socket closed,
// once, on this thread, before the number can be handed out again -- unless
// bytes accepted for sending are still pending: then the socket is set aside
// until they are out.  A slot that a user call still uses (SocketUse) is left
// closing: the last such call hands it back to this thread.
void reap_slot(int slot) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    Slot &s = slot_at(slot);
    if (s.state.load(std::memory_order_seq_cst) != VESK_NET_CLOSING) return;
    if (s.users.load(std::memory_order_seq_cst) != 0) return;
    unlink_room_waiter(slot);
    set_registration(slot, 0);
    s.registered = 0;  // whatever the poller said: the socket leaves it now
    if (s.resting) {
        for (int i = 0; i < e.resting_count; ++i) {
            if (e.resting[i] == slot) e.resting[i] = e.resting[--e.resting_count];
        }
    }
    vesk_socket_t sock = s.socket.exchange(VESK_INVALID_SOCKET, std::memory_order_relaxed);
    // Acquire: the sender's bytes are complete once its length is seen.
    const int pending = s.pending.load(std::memory_order_acquire);
    if (sock != VESK_INVALID_SOCKET &&
        !(pending > 0 && is_tcp_connection(s.type.load(std::memory_order_relaxed)) &&
          set_aside(sock, s.send_area, pending))) {
        vesk_socket_close(sock);
    }
    if (slot > e.reserved_count) e.ordinary_freed = true;
    deadline_drop(slot);
    if (s.origin != 0) address_release(s.origin, s.peer_addr);
    // The receive area goes back with the connection (a framed connection
    // gets one at its first read), so that memory follows the connections
    // that carry data.
    vesk_mem_free(s.receive_area);
    s.receive_area = nullptr;
    reset_io_fields(s);
    s.pending.store(0, std::memory_order_relaxed);
    slot_free(slot);
}

// ---- Resting listeners and set-aside sockets -------------------------------

// Listeners whose rest is over (time, or a slot of their range was freed)
// join the pass; returns the milliseconds until the next one is due, or -1.
int wake_rested_listeners(uint32_t now) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    int due_in = -1;
    for (int i = 0; i < e.resting_count;) {
        const int listener = e.resting[i];
        Slot &l = slot_at(listener);
        const uint32_t rested = now - l.rest_since_ms;
        if (e.ordinary_freed || rested >= kListenerRestMs) {
            l.resting = false;
            e.resting[i] = e.resting[--e.resting_count];
            pass_add(listener);
            continue;
        }
        const int left = static_cast<int>(kListenerRestMs - rested);
        if (due_in < 0 || left < due_in) due_in = left;
        ++i;
    }
    e.ordinary_freed = false;
    return due_in;
}

// A connecting socket was reported writable or in error: the pending error
// decides the outcome (POSIX reports failure as writability too).
void connect_outcome(int slot, unsigned ready, IoBuffers &buf) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    const int channel = s.channel.load(std::memory_order_acquire);
    if (channel_room(channel) < kEventHeaderSize + kConnectRecordSize) return;
    const int error = os::socket_pending_error(s.socket.load(std::memory_order_relaxed));
    const bool connected = error == 0 && (ready & os::kPollWrite) != 0;
    int expected = VESK_NET_CONNECTING;
    // A close requested meanwhile wins; nothing more is posted for the slot.
    if (!s.state.compare_exchange_strong(expected, connected ? VESK_NET_READY : VESK_NET_FAILED,
                                         std::memory_order_acq_rel)) {
        return;
    }
    if (!connected) {  // for its reader, with the life it belongs to
        s.connect_error.store(error, std::memory_order_relaxed);
        s.connect_error_generation.store(s.generation.load(std::memory_order_relaxed),
                                         std::memory_order_release);
    }
    const int size = wire_connect_record(buf.small, slot, connected ? 0 : -1);
    post_event(channel, buf.small, size);
}

}  // namespace

void note_call_outcome(int slot, bool failed) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    if (!failed) {
        s.receive_failing = false;
        return;
    }
    const uint32_t now = now_ms();
    if (!s.receive_failing) {
        s.receive_failing = true;
        s.receive_failing_since_ms = now;
    } else if (now - s.receive_failing_since_ms >= kReceiveFailingMs) {
        fail_slot(slot);
    }
}

namespace {

void rest_listener(int listener) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    Slot &l = slot_at(listener);
    if (l.resting) return;
    l.resting = true;
    l.rest_since_ms = now_ms();
    e.resting[e.resting_count++] = listener;
}

// The listener's next connection, non-blocking with no-delay set: one that
// the poller accepted ahead for it (Windows), or one accepted here.  Or
// VESK_INVALID_SOCKET, the last socket error saying why.
vesk_socket_t next_connection(int listener, SockAddr4 *peer) VESK_REQUIRES(g_io_thread) {
    int peer_size = sizeof *peer;
    auto *addr = reinterpret_cast<struct sockaddr *>(peer);
    vesk_socket_t sock = VESK_INVALID_SOCKET;
    if (os::poller_accept(g_engine.poller, listener, &sock, addr, &peer_size) != -2) return sock;
    // Non-blocking from the start: one that would block would stall this
    // thread, so one that cannot be made so is dropped.
    sock = os::socket_accept_nonblocking(slot_at(listener).socket.load(std::memory_order_relaxed),
                                         addr, &peer_size);
    if (sock != VESK_INVALID_SOCKET) os::socket_set_no_delay(sock);  // not required
    return sock;
}

// Accepts one connection into the lowest free ordinary slot and builds its
// event in `record`: the record's size, 0 when nothing was accepted, or -1
// when one was refused by the listener's address limit (the next may come).
// Without a free slot the connection waits in the listen queue (or among the
// few the poller accepted ahead) and the listener rests.
int accept_connection(int listener, int channel, uint8_t *record) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    Slot &l = slot_at(listener);
    const int type = l.type.load(std::memory_order_relaxed) == VESK_NET_TCP_LISTEN_STREAM
                         ? VESK_NET_TCP_STREAM
                         : VESK_NET_TCP_FRAMED;
    SockAddr4 peer{};
    int slot = 0;
    {
        os::LockGuard guard(g_engine.slot_lock);
        slot = slot_alloc(type);
        if (slot != 0) {
            const vesk_socket_t sock = next_connection(listener, &peer);
            // Out of descriptors or another lasting failure: rest rather than
            // retry every pass.  A spurious readiness (would block) is no failure.
            const bool failed = sock == VESK_INVALID_SOCKET &&
                                !os::socket_error_would_block(os::socket_last_error());
            if (failed) rest_listener(listener);
            note_call_outcome(listener, failed);
            if (sock == VESK_INVALID_SOCKET) {
                slot_return(slot);  // the slot taken stays free
                return 0;
            }
            Slot &s = slot_at(slot);
            // One more from an address at its listener's limit is closed at once.
            const int limit = l.address_limit.load(std::memory_order_relaxed);
            if (limit > 0 && !address_admit(listener, peer.addr, limit)) {
                vesk_socket_close(sock);
                slot_return(slot);
                tally(e.counters.address_refused);
                return -1;
            }
            s.origin = limit > 0 && e.address_counts != nullptr ? listener : 0;
            // Registered before anything else is asked of the poller, which
            // may have tied it to itself already (poller_accept); it is read
            // once the pass has room for it (update_interest).
            if (os::poller_set(e.poller, sock, slot, 0, os::kPollTake) == 0) {
                s.registered = os::kPollTake;
            }
            s.peer_known = true;
            s.peer_addr = peer.addr;
            s.peer_port = peer.port;
            s.strict.store(l.strict.load(std::memory_order_relaxed), std::memory_order_relaxed);
            s.idle_ms.store(l.idle_ms.load(std::memory_order_relaxed), std::memory_order_relaxed);
            s.last_rx_ms = steady_ms();
            slot_publish(slot, type, sock, channel, VESK_NET_READY);
        }
    }
    if (slot == 0) {
        rest_listener(listener);  // outside the lock, as nothing was taken
        tally(e.counters.accepts_deferred);
        return 0;
    }
    tally(e.counters.accepted);
    pass_add(slot);  // to be registered at the end of this pass
    return wire_accept_record(record, listener, slot, peer.addr, peer.port);
}

// A listener is readable: accepts several connections, as many as its
// channel has room for the events of.  The listen queue is short, and
// connections arriving in a burst must not overflow it while passes go by.
// The burst's events are posted together: one lock of the channel and at
// most one wake-up of its reader, where one per connection kept the reader
// waking and contending for the channel while the queue filled.
void accept_burst(int listener) VESK_REQUIRES(g_io_thread) {
    const int channel = slot_at(listener).channel.load(std::memory_order_acquire);
    const int most =
        std::min(kAcceptsPerVisit, channel_room(channel) / (kEventHeaderSize + kAcceptRecordSize));
    uint8_t records[kAcceptsPerVisit][kAcceptRecordSize];
    const uint8_t *starts[kAcceptsPerVisit];
    int sizes[kAcceptsPerVisit];
    int count = 0;
    for (int tries = 0; count < most && tries < kAcceptsPerVisit; ++tries) {
        sizes[count] = accept_connection(listener, channel, records[count]);
        if (sizes[count] == 0) break;
        if (sizes[count] < 0) continue;  // refused by the address limit
        starts[count] = records[count];
        ++count;
    }
    post_events(channel, starts, sizes, count);
}

// A TCP slot with pending bytes is writable: send what the socket takes.
void flush_slot(int slot) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    // Acquire: the sender's bytes in the area are complete once its length
    // is seen.
    const int pending = s.pending.load(std::memory_order_acquire);
    if (pending <= 0) return;
    const int sent =
        vesk_socket_send(s.socket.load(std::memory_order_relaxed), s.send_area, pending);
    if (sent < 0 && !os::socket_error_would_block(os::socket_last_error())) {
        // The connection failed: what was pending can never go out, and a
        // failed socket stays writable.  The slot fails with an event, so
        // that the bytes are not dropped silently.
        s.pending.store(0, std::memory_order_release);
        fail_slot(slot);
        return;
    }
    if (sent <= 0) return;  // retried when next writable
    tally(g_engine.counters.bytes_out, static_cast<uint64_t>(sent));
    if (sent < pending) {
        std::memmove(s.send_area, s.send_area + sent, static_cast<size_t>(pending - sent));
    }
    // Release: the area is handed back (at 0) only after this thread is done
    // reading it.
    s.pending.store(pending - sent, std::memory_order_release);
}

void visit(int slot, unsigned ready, IoBuffers &buf) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    const int state = s.state.load(std::memory_order_acquire);
    if (state == VESK_NET_CONNECTING) {
        if (ready & (os::kPollWrite | os::kPollError)) connect_outcome(slot, ready, buf);
        return;
    }
    if (state == VESK_NET_FAILED && (ready & os::kPollWrite)) flush_slot(slot);
    if (state != VESK_NET_READY) return;
    const int type = s.type.load(std::memory_order_relaxed);
    if (ready & os::kPollRead) {
        if (is_listener(type)) {
            accept_burst(slot);
            return;
        }
        receive(slot, buf);
    }
    if ((ready & os::kPollWrite) && s.pending.load(std::memory_order_relaxed) > 0) flush_slot(slot);
}

// Takes the work that user calls queued since the last pass.
void take_work() VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    // Cleared before the queue is read: a call queuing work after this
    // point wakes the poller again.  Every call that queued work set the
    // flag after queuing it, so a clear flag means an empty queue.
    if (!e.wake_pending.exchange(false, std::memory_order_acq_rel)) return;
    os::LockGuard guard(e.work_lock);
    for (int i = 0; i < e.work_slot_count; ++i) {
        const int slot = e.work_slots[i];
        slot_at(slot).queued.store(0, std::memory_order_release);
        pass_add(slot);
    }
    for (int i = 0; i < e.work_channel_count; ++i) {
        const int channel = e.work_channels[i];
        channel_at(channel).queued.store(0, std::memory_order_release);
        wake_room_waiters(channel);
    }
    e.work_slot_count = 0;
    e.work_channel_count = 0;
}

// The wait's limit: the nearest deadline of a resting listener or a
// set-aside socket, or none.
int next_timeout(int listener_due) VESK_REQUIRES(g_io_thread) {
    int due = listener_due;
    for (const int other : {set_aside_due(now_ms()), deadline_due(steady_ms())}) {
        if (other >= 0 && (due < 0 || other < due)) due = other;
    }
    return due;
}

// The I/O thread's look-again window in microseconds (next_look_window).
int g_look_us VESK_GUARDED_BY(g_io_thread) = kLookAgainMicroseconds;

// The poller's wait (or its wake-up read) has failed in every pass since
// g_wait_failing_since_ms.
bool g_wait_failing VESK_GUARDED_BY(g_io_thread) = false;
uint32_t g_wait_failing_since_ms VESK_GUARDED_BY(g_io_thread) = 0;

// After kReceiveFailingMs of failed waits the thread can serve no slot: each
// one that could still deliver something fails with VESK_EV_FAILED, once, and
// later calls are refused with the wait's error (vesk_net_last_error).  The
// thread goes on trying, paced, for the slots opened after it recovers.
void note_wait_outcome(bool failed, int error) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    if (!failed) {
        g_wait_failing = false;
        e.broken.store(0, std::memory_order_release);
        return;
    }
    const uint32_t now = now_ms();
    if (!g_wait_failing) {
        g_wait_failing = true;
        g_wait_failing_since_ms = now;
        return;
    }
    if (now - g_wait_failing_since_ms < kReceiveFailingMs ||
        e.broken.load(std::memory_order_relaxed) != 0) {
        return;
    }
    e.broken.store(error != 0 ? error : -1, std::memory_order_release);
    for (int slot = 1; slot <= e.slot_count; ++slot) fail_slot(slot);
}

// Waits until sockets are ready or work is queued; returns the number of
// ready sockets.  After a pass that found sockets ready, more usually follow
// within a round trip (the peers' next frames): the thread looks again for
// up to its look-again window (net_internal.h), giving the processor away
// between looks, before it sleeps.
int wait_for_work(int timeout, bool busy) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    if (busy) {
        const auto start = std::chrono::steady_clock::now();
        const auto window = std::chrono::microseconds(g_look_us);
        // A window closed by sparse work costs no look at all.
        while (std::chrono::steady_clock::now() - start < window) {
            // A look may take the poller's wake-up: queued work and a stop
            // are seen by their flags, so neither is slept through.
            const int n = os::poller_wait(e.poller, 0, e.events, kEventsPerPass);
            if (n != 0 || e.wake_pending.load(std::memory_order_acquire) ||
                e.stop.load(std::memory_order_acquire) != 0) {
                return n;
            }
            std::this_thread::yield();
        }
        const int n = os::poller_wait(e.poller, timeout, e.events, kEventsPerPass);
        g_look_us = next_look_window(g_look_us, std::chrono::steady_clock::now() - start);
        return n;
    }
    return os::poller_wait(e.poller, timeout, e.events, kEventsPerPass);
}

// Runs one pass over `events`; returns the milliseconds until the next
// resting listener is due (-1: none).  The caller holds the pass mutex.
int run_pass(int ready_count, const os::PollEvent *events, IoBuffers &buf)
    VESK_REQUIRES(g_io_thread) {
    g_io_thread.assert_held();  // debug builds: the pass is the I/O thread's
    Engine &e = g_engine;
    g_registration_failed = false;
    take_work();
    deadlines_expire(steady_ms(), buf);
    for (int i = 0; i < ready_count; ++i) {
        const os::PollEvent &ev = events[i];
        if (ev.key > 0) {
            slot_at(ev.key).ready |= ev.ready;
            pass_add(ev.key);
        } else {
            flush_set_aside(-ev.key - 1);
        }
    }
    std::sort(e.pass_slots, e.pass_slots + e.pass_count);
    const int listed = e.pass_count;
    // Closed slots are freed first, so that their numbers are free from this
    // pass on and nothing below visits them.
    for (int i = 0; i < listed; ++i) reap_slot(e.pass_slots[i]);
    for (int i = 0; i < listed; ++i) {
        const int slot = e.pass_slots[i];
        Slot &s = slot_at(slot);
        if (s.state.load(std::memory_order_acquire) == VESK_NET_READY && s.held_waiting) {
            deliver_held(slot, buf);
        }
    }
    for (int i = 0; i < listed; ++i) {
        const int slot = e.pass_slots[i];
        const unsigned ready = slot_at(slot).ready;
        if (ready != 0) visit(slot, ready, buf);
    }
    // Listeners whose rest is over join the pass, and so do the slots
    // accepted in it: all are registered below.
    const int listener_due = wake_rested_listeners(now_ms());
    for (int i = 0; i < e.pass_count; ++i) {
        const int slot = e.pass_slots[i];
        Slot &s = slot_at(slot);
        post_sent_if_due(slot);
        update_interest(slot);
        deadline_update(slot);
        s.ready = 0;
        s.in_pass = false;
    }
    e.pass_count = 0;
    retire_set_aside(now_ms());
    return listener_due;
}

}  // namespace

uint32_t VESK_THREADCALL io_thread(void *) {
    Engine &e = g_engine;
    const os::RoleGuard role(g_io_thread);
    IoBuffers buf;
    int timeout = -1;
    bool busy = false;
    bool failed_before = false;
    while (e.stop.load(std::memory_order_acquire) == 0) {
        const int n = wait_for_work(timeout, busy);
        const int error = n < 0 ? os::socket_last_error() : 0;
        if (e.stop.load(std::memory_order_acquire) != 0) break;
        busy = n > 0;
        buf.call_failed = n < 0;
        note_wait_outcome(n < 0, error);
        timeout = next_timeout(run_pass(n > 0 ? n : 0, e.events, buf));
        buf.call_failed = buf.call_failed || g_registration_failed;
        if (buf.call_failed && failed_before) vesk_usleep(kFailedCallPauseMicroseconds);
        failed_before = buf.call_failed;
    }
    return 0;
}

}  // namespace net
