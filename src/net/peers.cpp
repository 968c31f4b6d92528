// UDP peer tables: whom the I/O thread answers keepalives for.  Entries are
// single atomic words (see PeerEntry); a keepalive that arrives while an
// entry changes may be answered either way.
#include "net/net_internal.h"

namespace net {

namespace {

uint64_t key_of(const struct sockaddr *peer) {
    const SockAddr4 a = read_sockaddr(peer);
    return peer_key(a.addr, a.port);
}

// Stores `key` in the lowest free entry: false when none is free.
bool store_in_free_entry(Slot &s, uint64_t key) {
    for (int i = 0; i < s.peer_count; ++i) {
        uint64_t free_entry = 0;
        if (s.peers[i].compare_exchange_strong(free_entry, key, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

bool holds(const Slot &s, int i, uint64_t key) {
    return s.peers[i].load(std::memory_order_relaxed) == key;
}

}  // namespace

}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_add_peer(int slot, const struct sockaddr *peer) {
    if (!slot_in_range(slot)) return -1;
    Slot &s = slot_at(slot);
    const int type = s.type.load(std::memory_order_relaxed);
    if (is_tcp_connection(type)) return 0;  // TCP has no peer table: nothing to do
    if (s.state.load(std::memory_order_acquire) != VESK_NET_READY ||
        s.channel.load(std::memory_order_relaxed) == 0) {
        return -1;
    }
    if (type == VESK_NET_UDP_MULTI) {
        if (peer == nullptr) return -1;
        const uint64_t key = key_of(peer);
        for (int i = 0; i < s.peer_count; ++i) {
            if (holds(s, i, key)) return 0;  // already registered: one entry only
        }
        return store_in_free_entry(s, key) ? 0 : -2;
    }
    if (type != VESK_NET_UDP_ANSWER && type != VESK_NET_UDP_QUIET) return -1;  // listeners
    if (peer == nullptr) return -1;
    // A single-peer slot keeps the peer it has: the caller removes it first.
    store_in_free_entry(s, key_of(peer));
    return 0;
}

VESK_API int vesk_net_remove_peer(int slot, const struct sockaddr *peer) {
    if (!slot_in_range(slot)) return -1;
    Slot &s = slot_at(slot);
    if (s.state.load(std::memory_order_acquire) != VESK_NET_READY) return -1;
    const int type = s.type.load(std::memory_order_relaxed);
    if (is_tcp_connection(type)) return 0;
    if (is_listener(type)) return -3;
    if (peer == nullptr) return -1;
    const uint64_t key = key_of(peer);
    for (int i = 0; i < s.peer_count; ++i) {
        uint64_t expected = key;
        if (key != 0 &&
            s.peers[i].compare_exchange_strong(expected, 0, std::memory_order_relaxed)) {
            return 0;
        }
    }
    return type == VESK_NET_UDP_MULTI ? -2 : -3;
}

}  // extern "C"
