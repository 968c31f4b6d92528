// UDP peer tables: whom the I/O thread answers keepalives for.  Entries are
// single atomic words (see PeerEntry), changed under g_peer_lock, with a
// reserved slot's index (peer_index.h) beside them, so that every call here
// costs the same however full the table is.
#include "net/net_internal.h"
#include "net/peer_index.h"

namespace net {

namespace {

uint64_t key_of(const struct sockaddr *peer) {
    const SockAddr4 a = read_sockaddr(peer);
    return peer_key(a.addr, a.port);
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
    if (!is_udp(type) || peer == nullptr) return -1;  // listeners
    const uint64_t key = key_of(peer);
    if (key == 0) return 0;  // address 0 marks a free entry: nothing to store
    os::LockGuard guard(g_peer_lock);
    if (s.peer_index != nullptr) {  // a reserved slot: type 5
        // One entry per peer: one already there stays where it is.
        return s.peer_index->add(key) >= 0 ? 0 : VESK_NET_PEERS_FULL;
    }
    // A single-peer slot keeps the peer it has: the caller removes it first.
    if (s.peers[0].load(std::memory_order_relaxed) == 0) {
        s.peers[0].store(key, std::memory_order_relaxed);
    }
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
    os::LockGuard guard(g_peer_lock);
    if (s.peer_index != nullptr) {  // a reserved slot: type 5
        return s.peer_index->remove(key) >= 0 ? 0 : -2;
    }
    if (key != 0 && s.peers[0].load(std::memory_order_relaxed) == key) {
        s.peers[0].store(0, std::memory_order_relaxed);
        return 0;
    }
    return -3;
}

}  // extern "C"
