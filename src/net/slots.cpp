// Opening, attaching, connecting and closing slots, and reaping closed ones.
#include <cstring>

#include "net/net_internal.h"

namespace net {

namespace {

// A new non-blocking socket prepared for `type`, or the invalid socket.
vesk_socket_t open_socket(int type, const struct sockaddr *address) {
    const bool tcp = type == VESK_NET_TCP_CONNECT || net_is_listener(type);
    vesk_socket_t s = vesk_socket_create(os_af_inet, tcp ? os_sock_stream : os_sock_dgram,
                                         tcp ? os_ipproto_tcp : os_ipproto_udp);
    if (s == VESK_INVALID_SOCKET) return s;
    bool ok = socket_set_nonblocking(s) == 0;
    if (ok && type != VESK_NET_TCP_CONNECT) {
        os_socket_set_reuse_address(s);  // not required to succeed
        ok = address != nullptr && vesk_socket_bind(s, address, os_sockaddr_in_size) == 0;
        if (ok && net_is_listener(type)) ok = os_socket_listen(s, kListenBacklog) == 0;
    }
    if (!ok) {
        vesk_socket_close(s);
        return VESK_INVALID_SOCKET;
    }
    return s;
}

// Keeps a closing connection's socket and its unsent bytes for the I/O
// thread to flush; false when they cannot be kept (the caller closes it).
bool set_aside(vesk_socket_t sock, const uint8_t *bytes, int length) {
    Engine &e = g_engine;
    if (e.aside_count >= e.slot_count) return false;
    auto *copy = static_cast<uint8_t *>(vesk_mem_alloc(0, 0, static_cast<uint32_t>(length)));
    std::memcpy(copy, bytes, static_cast<size_t>(length));
    e.aside[e.aside_count++] = SetAside{sock, copy, length, 0, net_now_ms()};
    return true;
}

}  // namespace

void net_reap_slots() {
    Engine &e = g_engine;
    for (int n = 1; n <= e.slot_count; ++n) {
        Slot &s = net_slot(n);
        if (s.state.load(std::memory_order_acquire) != VESK_NET_CLOSING) continue;
        // The socket is closed here, once, on the thread that polls it, and
        // before the slot can be handed out again -- unless bytes accepted
        // for sending are still pending: then it is set aside until they
        // are out.
        vesk_socket_t sock = s.socket.exchange(VESK_INVALID_SOCKET, std::memory_order_relaxed);
        // Acquire: the sender's bytes are complete once its length is seen.
        const int pending = s.pending.load(std::memory_order_acquire);
        if (sock != VESK_INVALID_SOCKET &&
            !(pending > 0 && net_is_tcp_connection(s.type.load(std::memory_order_relaxed)) &&
              set_aside(sock, s.send_area, pending))) {
            vesk_socket_close(sock);
        }
        if (n > e.reserved_count) e.ordinary_freed = true;
        s.held = 0;
        s.held_waiting = false;
        s.pending.store(0, std::memory_order_relaxed);
        s.state.store(VESK_NET_FREE, std::memory_order_release);
    }
}

void net_discard_set_aside() {
    Engine &e = g_engine;
    for (int i = 0; i < e.aside_count; ++i) {
        vesk_socket_close(e.aside[i].socket);
        vesk_mem_free(e.aside[i].bytes);
    }
    e.aside_count = 0;
}

}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_open(int type, const struct sockaddr *addr) {
    if (type < VESK_NET_TCP_LISTEN_STREAM || type > VESK_NET_UDP_QUIET) return 0;
    if (g_engine.slot_count == 0) return 0;
    vesk_socket_t sock = open_socket(type, addr);
    if (sock == VESK_INVALID_SOCKET) return 0;
    vesk_mutex_lock(g_engine.slot_mutex);
    const int slot = net_slot_alloc(type);
    if (slot != 0) {
        net_slot_publish(slot, type, sock, 0,
                         type == VESK_NET_TCP_CONNECT ? VESK_NET_OPENED : VESK_NET_READY);
    }
    vesk_mutex_unlock(g_engine.slot_mutex);
    if (slot == 0) vesk_socket_close(sock);
    return slot;
}

VESK_API int vesk_net_attach(int slot, int channel) {
    if (!net_slot_in_range(slot) || !net_channel_in_range(channel)) return -1;
    Slot &s = net_slot(slot);
    if (s.state.load(std::memory_order_acquire) == VESK_NET_FREE) return -1;
    if (net_channel(channel).in_use.load(std::memory_order_relaxed) == 0) return -1;
    s.channel.store(channel, std::memory_order_release);
    return 0;
}

VESK_API vesk_socket_t vesk_net_get_socket(int slot) {
    if (!net_slot_in_range(slot)) return VESK_INVALID_SOCKET;
    Slot &s = net_slot(slot);
    if (s.state.load(std::memory_order_acquire) == VESK_NET_FREE) return VESK_INVALID_SOCKET;
    return s.socket.load(std::memory_order_relaxed);
}

VESK_API int vesk_net_connect(int slot, const struct sockaddr *addr) {
    if (!net_slot_in_range(slot) || addr == nullptr) return -1;
    Slot &s = net_slot(slot);
    if (s.state.load(std::memory_order_acquire) != VESK_NET_OPENED) return -1;
    if (s.channel.load(std::memory_order_acquire) == 0) return -1;
    const vesk_socket_t sock = s.socket.load(std::memory_order_relaxed);
    if (os_socket_connect(sock, addr, os_sockaddr_in_size) == 0) {
        // A close requested meanwhile wins: the slot is not revived.
        int expected = VESK_NET_OPENED;
        s.state.compare_exchange_strong(expected, VESK_NET_READY, std::memory_order_acq_rel);
        return 1;
    }
    if (os_socket_error_in_progress(os_socket_last_error())) {
        int expected = VESK_NET_OPENED;
        s.state.compare_exchange_strong(expected, VESK_NET_CONNECTING, std::memory_order_acq_rel);
        return 0;
    }
    return -1;
}

VESK_API int vesk_net_close(int slot) {
    if (!net_slot_in_range(slot)) return -1;
    Slot &s = net_slot(slot);
    // Compare-and-swap from whatever state the slot is in, so that neither a
    // concurrent failure marking by the I/O thread nor its reaping can be
    // overwritten: a close that succeeds always reaches the reaper.
    int current = s.state.load(std::memory_order_acquire);
    do {
        if (current == VESK_NET_FREE) return -1;
    } while (!s.state.compare_exchange_weak(current, VESK_NET_CLOSING, std::memory_order_acq_rel,
                                            std::memory_order_acquire));
    return 0;
}

}  // extern "C"
