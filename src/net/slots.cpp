// Opening, attaching, connecting and closing slots, and reaping closed ones.
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

}  // namespace

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
    net_give_work(slot);
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
        net_give_work(slot);
        return 1;
    }
    if (os_socket_error_in_progress(os_socket_last_error())) {
        int expected = VESK_NET_OPENED;
        s.state.compare_exchange_strong(expected, VESK_NET_CONNECTING, std::memory_order_acq_rel);
        net_give_work(slot);
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
    net_give_work(slot);  // freed in the I/O thread's next pass
    return 0;
}

}  // extern "C"
