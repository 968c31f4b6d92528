// The UDP datagram handler over arbitrary datagrams, senders, slot types and
// peer tables: every outcome is one the engine can act on safely.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // type, peer count (1..8), sender address and port, peer keys, datagram
    if (size < 8) return 0;
    const int type = VESK_NET_UDP_ANSWER + data[0] % 3;
    const size_t peer_count = 1 + data[1] % 8;
    uint32_t addr;
    uint16_t port;
    std::memcpy(&addr, data + 2, 4);
    std::memcpy(&port, data + 6, 2);
    data += 8;
    size -= 8;
    std::vector<net::PeerEntry> peers(peer_count);
    for (auto &p : peers) {
        uint64_t key = 0;
        if (size >= 1 && data[0] % 2 == 0) key = net::peer_key(addr, port);  // the sender
        if (size >= 1) {
            ++data;
            --size;
        }
        p.store(key);
    }
    // An exact-size copy, so that reading past the datagram is caught.
    std::vector<uint8_t> datagram(data, data + size);
    const net::DatagramOutcome out =
        net::wire_handle_datagram(type, datagram, addr, port, net::PeerView{peers});
    if (out.malformed && out.action != net::DatagramAction::ignore) std::abort();
    switch (out.action) {
        case net::DatagramAction::post_data:
            if (out.length < 1 || out.length > net::kMaxData ||
                static_cast<size_t>(out.length) + 3 != size) {
                std::abort();
            }
            break;
        case net::DatagramAction::post_probe_reply:
            if (size != net::kProbeReplySize) std::abort();
            break;
        case net::DatagramAction::answer:
            if (out.answer[0] != net::kFrameMark) std::abort();
            if (out.answer_size == net::kProbeReplySize) {
                if (net::wire_read_length(out.answer) != net::kCtlProbeReply) std::abort();
            } else if (out.answer_size != net::kFrameHeaderSize ||
                       net::wire_read_length(out.answer) > 0 || type == VESK_NET_UDP_QUIET) {
                std::abort();  // only a control frame may answer a control frame
            }
            if (size != net::kProbeSize) std::abort();  // only 3-byte frames are answered
            break;
        case net::DatagramAction::ignore:
            break;
    }
    return 0;
}
