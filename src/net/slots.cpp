// Opening, attaching, connecting and closing slots, and reaping closed ones.
#include "net/net_internal.h"

namespace net {

namespace {

// Calls that need the I/O thread are refused once its poller has kept failing.
bool refused_when_broken() {
    const int broken = g_engine.broken.load(std::memory_order_acquire);
    if (broken == 0) return false;
    note_os_error(broken > 0 ? broken : 0);
    return true;
}

// A new non-blocking socket prepared for `type`, or the invalid socket with
// the failing call's error noted for vesk_net_last_error.
vesk_socket_t open_socket(int type, const struct sockaddr *address) {
    const bool tcp = type == VESK_NET_TCP_CONNECT || is_listener(type);
    vesk_socket_t s = vesk_socket_create(os::kAfInet, tcp ? os::kSockStream : os::kSockDgram,
                                         tcp ? os::kIpprotoTcp : os::kIpprotoUdp);
    if (s == VESK_INVALID_SOCKET) {
        note_os_error(os::socket_last_error());
        return s;
    }
    bool ok = os::set_nonblocking(s) == 0;
    if (ok && type == VESK_NET_TCP_CONNECT) os::socket_set_no_delay(s);  // not required either
    if (ok && is_udp(type)) os::socket_ignore_unreachable(s);            // nor this
    if (ok && type != VESK_NET_TCP_CONNECT) {
        os::socket_set_reuse_address(s);  // not required to succeed
        ok = address != nullptr && vesk_socket_bind(s, address, os::kSockaddrInSize) == 0;
        if (ok && is_listener(type)) {
            ok = os::socket_listen(s, os::listen_backlog_largest()) == 0;
        }
    }
    if (!ok) {
        const bool no_address = address == nullptr && type != VESK_NET_TCP_CONNECT;
        note_os_error(no_address ? 0 : os::socket_last_error());
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
    if (type < VESK_NET_TCP_LISTEN_STREAM || type > VESK_NET_UDP_QUIET ||
        g_engine.slot_count == 0) {
        note_os_error(0);
        return 0;
    }
    if (refused_when_broken()) return 0;
    vesk_socket_t sock = open_socket(type, addr);
    if (sock == VESK_INVALID_SOCKET) return 0;
    int slot = 0;
    {
        os::LockGuard guard(g_engine.slot_lock);
        slot = slot_alloc(type);
        if (slot != 0) {
            slot_publish(slot, type, sock, 0,
                         type == VESK_NET_TCP_CONNECT ? VESK_NET_OPENED : VESK_NET_READY);
        }
    }
    if (slot == 0) {
        note_os_error(0);  // the table is full: no system call failed
        vesk_socket_close(sock);
    }
    return slot;
}

VESK_API int vesk_net_attach(int slot, int channel) {
    if (refused_when_broken()) return -1;
    if (!slot_in_range(slot) || !channel_in_range(channel) ||
        slot_at(slot).state.load(std::memory_order_acquire) == VESK_NET_FREE ||
        channel_at(channel).in_use.load(std::memory_order_relaxed) == 0) {
        note_os_error(0);
        return -1;
    }
    Slot &s = slot_at(slot);
    s.channel.store(channel, std::memory_order_release);
    give_work(slot);
    return 0;
}

VESK_API vesk_socket_t vesk_net_get_socket(int slot) {
    if (!slot_in_range(slot)) return VESK_INVALID_SOCKET;
    Slot &s = slot_at(slot);
    const int state = s.state.load(std::memory_order_acquire);
    if (state == VESK_NET_FREE) return VESK_INVALID_SOCKET;
    const vesk_socket_t sock = s.socket.load(std::memory_order_relaxed);
    if (sock != VESK_INVALID_SOCKET || state != VESK_NET_CLOSING) return sock;
    // The reaper takes the socket out first and frees the slot last.  Sleep
    // until the free, so that -1 tells the caller the number can be opened
    // again and closing it again is refused.
    Engine &e = g_engine;
    e.freed_sleepers.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
        const uint32_t freed = e.freed.load(std::memory_order_seq_cst);
        if (s.state.load(std::memory_order_seq_cst) != VESK_NET_CLOSING) break;
        os::wait_on_word(&e.freed, freed, -1);
    }
    e.freed_sleepers.fetch_sub(1, std::memory_order_seq_cst);
    return VESK_INVALID_SOCKET;
}

VESK_API int vesk_net_connect(int slot, const struct sockaddr *addr) {
    if (!slot_in_range(slot) || addr == nullptr) {
        note_os_error(0);
        return -1;
    }
    const SocketUse use(slot);
    if (slot_at(slot).state.load(std::memory_order_seq_cst) != VESK_NET_OPENED ||
        slot_at(slot).channel.load(std::memory_order_acquire) == 0) {
        note_os_error(0);
        return -1;
    }
    Slot &s = slot_at(slot);
    const vesk_socket_t sock = s.socket.load(std::memory_order_relaxed);
    if (os::socket_connect(sock, addr, os::kSockaddrInSize) == 0) {
        // A close requested meanwhile wins: the slot is not revived.
        int expected = VESK_NET_OPENED;
        s.state.compare_exchange_strong(expected, VESK_NET_READY, std::memory_order_acq_rel);
        give_work(slot);
        return 1;
    }
    const int error = os::socket_last_error();
    if (os::socket_error_in_progress(error)) {
        int expected = VESK_NET_OPENED;
        s.state.compare_exchange_strong(expected, VESK_NET_CONNECTING, std::memory_order_acq_rel);
        give_work(slot);
        return 0;
    }
    note_os_error(error);
    return -1;
}

VESK_API int vesk_net_close(int slot) {
    if (!slot_in_range(slot)) return -1;
    Slot &s = slot_at(slot);
    // Compare-and-swap from whatever state the slot is in, so that neither a
    // concurrent failure marking by the I/O thread nor its reaping can be
    // overwritten: a close that succeeds always reaches the reaper.
    int current = s.state.load(std::memory_order_acquire);
    do {
        if (current == VESK_NET_FREE) return -1;
    } while (!s.state.compare_exchange_weak(current, VESK_NET_CLOSING, std::memory_order_acq_rel,
                                            std::memory_order_acquire));
    give_work(slot);  // freed in the I/O thread's next pass
    return 0;
}

}  // extern "C"
