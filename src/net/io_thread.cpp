// The I/O thread: one pass after another, it frees closed slots, delivers
// frames held back for lack of room, polls every slot that wants something,
// and hands each ready slot to its handler (accept, receive, connect
// outcome, flush).
#include "net/io_thread.h"

#include <climits>
#include <cstring>

namespace net {

namespace {

// The room a channel has, noted once per pass for building the poll set.
// Only this thread posts into rings, and readers only add room, so a noted
// room is never more than the room there is later in the pass.
int noted_room(int channel, int pass) {
    if (!net_channel_in_range(channel)) return 0;
    Engine &e = g_engine;
    if (e.room_pass[channel] != pass) {
        e.room_pass[channel] = pass;
        e.room_value[channel] = net_channel_room(channel);
    }
    return e.room_value[channel];
}

// What a slot wants polled for this pass (OS_POLL_* bits), or 0.  A slot
// whose channel cannot take its next event is not read (TCP data is never
// dropped: the kernel holds it and slows the sender), but is still flushed.
unsigned slot_interest(Slot &s, int channel, int pass) {
    const int state = s.state.load(std::memory_order_acquire);
    const int type = s.type.load(std::memory_order_relaxed);
    if (state == VESK_NET_CONNECTING) {
        if (noted_room(channel, pass) < kEventHeaderSize + kConnectRecordSize) return 0;
        return OS_POLL_WRITE | OS_POLL_ERROR;
    }
    if (state == VESK_NET_FAILED) {
        // A connection whose peer has ended (or that broke) still gets the
        // bytes accepted for it before, as far as the socket takes them.
        const bool flush = net_is_tcp_connection(type) && s.pending.load(std::memory_order_relaxed) > 0;
        return flush ? OS_POLL_WRITE : 0u;
    }
    if (state != VESK_NET_READY) return 0;
    if (net_is_udp(type)) return OS_POLL_READ;
    if (net_is_listener(type)) {
        if (s.resting) {
            if (!g_engine.ordinary_freed && net_now_ms() - s.rest_since_ms < kListenerRestMs) return 0;
            s.resting = false;
        }
        return noted_room(channel, pass) >= kEventHeaderSize + kAcceptRecordSize ? OS_POLL_READ : 0u;
    }
    unsigned interest = 0;
    if (!s.held_waiting && noted_room(channel, pass) >= kLargestEvent) interest |= OS_POLL_READ;
    if (s.pending.load(std::memory_order_relaxed) > 0) interest |= OS_POLL_WRITE;
    return interest;
}

// Drops the set-aside sockets that are done: flushed, failed or out of time.
void net_retire_set_aside() {
    Engine &e = g_engine;
    const uint32_t now = net_now_ms();
    for (int i = 0; i < e.aside_count;) {
        SetAside &a = e.aside[i];
        if (a.length > 0 && now - a.since_ms < kSetAsideMs) {
            ++i;
            continue;
        }
        vesk_socket_close(a.socket);
        vesk_mem_free(a.bytes);
        a = e.aside[--e.aside_count];
    }
}

// Builds the poll set from the slot table and the set-aside sockets: the
// number of entries polled.  A set-aside socket's entry is -(index + 1).
int net_build_sets(int pass) {
    Engine &e = g_engine;
    os_poll_clear(e.poll);
    int polled = 0;
    for (int n = 1; n <= e.slot_count; ++n) {
        Slot &s = net_slot(n);
        const int channel = s.channel.load(std::memory_order_acquire);
        if (channel == 0) continue;  // a slot without a channel is never polled
        const unsigned interest = slot_interest(s, channel, pass);
        if (interest == 0) continue;
        if (os_poll_add(e.poll, s.socket.load(std::memory_order_relaxed), interest) < 0) break;
        e.polled_slots[polled++] = n;
    }
    e.ordinary_freed = false;
    net_retire_set_aside();
    for (int i = 0; i < e.aside_count; ++i) {
        if (os_poll_add(e.poll, e.aside[i].socket, OS_POLL_WRITE) < 0) break;
        e.polled_slots[polled++] = -(i + 1);
    }
    return polled;
}

// A set-aside socket is writable: send what it takes; a failure ends it.
void net_flush_set_aside(SetAside &a) {
    const int sent = vesk_socket_send(a.socket, a.bytes + a.sent, a.length);
    if (sent > 0) {
        a.sent += sent;
        a.length -= sent;
    } else if (sent < 0 && !os_socket_error_would_block(os_socket_last_error())) {
        a.length = 0;  // the connection failed: nothing more can go out
    }
}

// A connecting socket was reported writable or in error: the pending error
// decides the outcome (POSIX reports failure as writability too).
void net_connect_outcome(int slot, unsigned ready, IoBuffers &buf) {
    Slot &s = net_slot(slot);
    const int channel = s.channel.load(std::memory_order_acquire);
    if (net_channel_room(channel) < kEventHeaderSize + kConnectRecordSize) return;
    const int error = os_socket_pending_error(s.socket.load(std::memory_order_relaxed));
    const bool connected = error == 0 && (ready & OS_POLL_WRITE) != 0;
    int expected = VESK_NET_CONNECTING;
    // A close requested meanwhile wins; nothing more is posted for the slot.
    if (!s.state.compare_exchange_strong(expected, connected ? VESK_NET_READY : VESK_NET_FAILED,
                                         std::memory_order_acq_rel)) {
        return;
    }
    const int size = wire_connect_record(buf.small, slot, connected ? 0 : -1);
    net_post_event(channel, buf.small, size);
}

void rest_listener(Slot &l) {
    l.resting = true;
    l.rest_since_ms = net_now_ms();
}

// A listener is readable: accept one connection into the lowest free
// ordinary slot.  Without a free slot (or room for the event) the connection
// waits in the listen queue and the listener is tried again next pass.
void net_accept(int listener, IoBuffers &buf) {
    Engine &e = g_engine;
    Slot &l = net_slot(listener);
    const int channel = l.channel.load(std::memory_order_acquire);
    if (net_channel_room(channel) < kEventHeaderSize + kAcceptRecordSize) return;
    const int type = l.type.load(std::memory_order_relaxed) == VESK_NET_TCP_LISTEN_STREAM
                         ? VESK_NET_TCP_STREAM
                         : VESK_NET_TCP_FRAMED;
    SockAddr4 peer{};
    int peer_size = sizeof peer;
    vesk_mutex_lock(e.slot_mutex);
    const int slot = net_slot_alloc(type);
    if (slot == 0) {
        vesk_mutex_unlock(e.slot_mutex);
        rest_listener(l);
        return;
    }
    vesk_socket_t sock = os_socket_accept(l.socket.load(std::memory_order_relaxed),
                                          reinterpret_cast<struct sockaddr *>(&peer), &peer_size);
    // Out of descriptors or another lasting failure: rest rather than retry
    // every pass.  A spurious readiness (would block) is no failure.
    if (sock == VESK_INVALID_SOCKET && !os_socket_error_would_block(os_socket_last_error())) {
        rest_listener(l);
    }
    // Accepted sockets do not inherit non-blocking mode everywhere; one that
    // cannot be made non-blocking would stall this thread, so it is dropped.
    if (sock != VESK_INVALID_SOCKET && socket_set_nonblocking(sock) != 0) {
        vesk_socket_close(sock);
        sock = VESK_INVALID_SOCKET;
    }
    if (sock == VESK_INVALID_SOCKET) {
        vesk_mutex_unlock(e.slot_mutex);
        return;  // the slot taken stays free
    }
    Slot &s = net_slot(slot);
    s.peer_known = true;
    s.peer_addr = peer.addr;
    s.peer_port = peer.port;
    net_slot_publish(slot, type, sock, channel, VESK_NET_READY);
    vesk_mutex_unlock(e.slot_mutex);
    const int size = wire_accept_record(buf.small, listener, slot, peer.addr, peer.port);
    net_post_event(channel, buf.small, size);
}

// A TCP slot with pending bytes is writable: send what the socket takes.
void net_flush(int slot) {
    Slot &s = net_slot(slot);
    // Acquire: the sender's bytes in the area are complete once its length
    // is seen.
    const int pending = s.pending.load(std::memory_order_acquire);
    if (pending <= 0) return;
    const int sent = vesk_socket_send(s.socket.load(std::memory_order_relaxed), s.send_area, pending);
    if (sent < 0 && !os_socket_error_would_block(os_socket_last_error())) {
        // The connection failed (the receive side reports it): what was
        // pending can never go out, and a failed socket stays writable.
        s.pending.store(0, std::memory_order_release);
        return;
    }
    if (sent <= 0) return;  // retried when next writable
    if (sent < pending) {
        std::memmove(s.send_area, s.send_area + sent, static_cast<size_t>(pending - sent));
    }
    // Release: the area is handed back (at 0) only after this thread is done
    // reading it.
    s.pending.store(pending - sent, std::memory_order_release);
}

void net_visit(int slot, unsigned ready, IoBuffers &buf) {
    Slot &s = net_slot(slot);
    const int state = s.state.load(std::memory_order_acquire);
    if (state == VESK_NET_CONNECTING) {
        if (ready & (OS_POLL_WRITE | OS_POLL_ERROR)) net_connect_outcome(slot, ready, buf);
        return;
    }
    if (state == VESK_NET_FAILED && (ready & OS_POLL_WRITE)) net_flush(slot);
    if (state != VESK_NET_READY) return;
    const int type = s.type.load(std::memory_order_relaxed);
    if (ready & OS_POLL_READ) {
        if (net_is_listener(type)) {
            net_accept(slot, buf);
            return;
        }
        net_receive(slot, buf);
    }
    if ((ready & OS_POLL_WRITE) && s.pending.load(std::memory_order_relaxed) > 0) net_flush(slot);
}

}  // namespace

uint32_t VESK_THREADCALL net_io_thread(void *) {
    Engine &e = g_engine;
    IoBuffers buf;
    int pass = 0;
    while (e.stop.load(std::memory_order_acquire) == 0) {
        // Pass numbers only tell passes apart; 0 means "never noted".
        pass = pass == INT32_MAX ? 1 : pass + 1;
        net_reap_slots();
        net_deliver_held(buf);
        const int polled = net_build_sets(pass);
        if (polled == 0) {
            vesk_usleep(kIdleSleepUsec);
            continue;
        }
        if (os_poll_wait(e.poll, kPollTimeoutMs) <= 0) continue;
        for (int i = 0; i < polled; ++i) {
            const unsigned ready = os_poll_ready(e.poll, i);
            if (ready == 0) continue;
            const int entry = e.polled_slots[i];
            if (entry > 0) {
                net_visit(entry, ready, buf);
            } else {
                net_flush_set_aside(e.aside[-entry - 1]);
            }
        }
    }
    return 0;
}

}  // namespace net
