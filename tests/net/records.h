// Unpacked views of the engine's packed event records, for tests on every
// platform.
#pragma once

#include <cstdint>
#include <cstring>

#include "vuvidur.h"

namespace nettest {

// Unpacked copies of the packed records: gtest's comparisons take their
// arguments by reference, which a misaligned packed field cannot bind to.
struct Msg {
    int kind;
    int32_t slot;
    uint32_t addr;
    uint16_t port;
    int32_t length;
};
struct Accept {
    int kind;
    int32_t listener;
    int32_t slot;
    uint32_t addr;
    uint16_t port;
};
struct Connect {
    int kind;
    int32_t slot;
    int32_t result;
};
struct ProbeReply {
    int kind;
    int32_t slot;
    int mark;
    int16_t value;
    uint32_t addr;
    uint16_t port;
};

template <typename T>
T packed_at(const uint8_t *bytes) {
    T t;
    std::memcpy(&t, bytes, sizeof t);
    return t;
}
inline Msg unpack_msg(const uint8_t *b) {
    auto m = packed_at<vesk_net_msg>(b);
    return {m.kind, m.slot, m.addr, m.port, m.length};
}
inline Accept unpack_accept(const uint8_t *b) {
    auto a = packed_at<vesk_ev_accept>(b);
    return {a.kind, a.listener, a.slot, a.addr, a.port};
}
inline Connect unpack_connect(const uint8_t *b) {
    auto c = packed_at<vesk_ev_connect>(b);
    return {c.kind, c.slot, c.result};
}
inline ProbeReply unpack_probe_reply(const uint8_t *b) {
    auto r = packed_at<vesk_ev_probe_reply>(b);
    return {r.kind, r.slot, r.mark, r.value, r.addr, r.port};
}

}  // namespace nettest
