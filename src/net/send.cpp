// Sending on the caller's thread, and UDP probes.
//
// A TCP send goes straight to the socket; only what the socket does not take
// at once is copied into the slot's send area, for the I/O thread to flush.
// While bytes are pending every further send is refused (-2), which keeps the
// stream in order without a lock: see the hand-over in net_internal.h.  A
// TCP send holds the slot's send claim from its look at the pending length
// to its store of it; a send that finds the claim held by another thread is
// refused like one that finds bytes pending, so that two threads never mix
// their bytes in the stream or the area.  Every call here uses the slot's
// socket under a SocketUse, taken before the state is looked at, so that the
// reaper never closes the socket under it (net_internal.h).
#include <cstring>

#include "frame/memory.h"
#include "net/copy.h"
#include "net/net_internal.h"

namespace net {

namespace {

constexpr int kBadArgument = -1;
constexpr int kBadSlot = -2;
constexpr int kStillPending = -2;
constexpr int kNotReady = -3;

// A send refused before any system call: no system error behind it.
int refused(int code) {
    note_os_error(0);
    return code;
}

// A send refused because earlier bytes are pending (or another send holds
// the claim): counted, as a sign of a peer that does not keep up.
int refused_busy() {
    tally(g_engine.counters.sends_busy);
    return refused(kStillPending);
}

// What one send handed to the system.
void count_sent(int sent) {
    if (sent > 0) tally(g_engine.counters.bytes_out, static_cast<uint64_t>(sent));
}

// The send claim of one TCP send, given back at the end of the scope.
class SendClaim {
public:
    // Acquire / release: what one sender stored (the area, the pending
    // length) is seen by the next.
    explicit SendClaim(Slot &s)
        : s_(s), held_(s.sending.exchange(1, std::memory_order_acquire) == 0) {}
    ~SendClaim() {
        if (held_) s_.sending.store(0, std::memory_order_release);
    }
    SendClaim(const SendClaim &) = delete;
    SendClaim &operator=(const SendClaim &) = delete;
    bool held() const { return held_; }

private:
    Slot &s_;
    bool held_;
};

// The slot's send area, allocated when a send first leaves bytes unsent;
// NULL when the memory cannot be had.  Only the holder of the send claim
// gets here, so one block is installed at most.
uint8_t *send_area_of(Slot &s) {
    uint8_t *area = s.send_area.load(std::memory_order_acquire);
    if (area != nullptr) return area;
    area = static_cast<uint8_t *>(frame::try_alloc(kSendAreaSize));
    if (area != nullptr) s.send_area.store(area, std::memory_order_release);
    return area;
}

// The connection cannot go on (broken, or the unsent rest of a frame cannot
// be kept): the slot fails with an event rather than dropping bytes silently,
// and the I/O thread stops watching it.
void fail_sending_slot(int slot, int error) {
    note_os_error(error);
    fail_slot(slot);
    give_work(slot);
}

// Handles a TCP send's outcome: `sent` of `size` bytes from `bytes`.
int keep_unsent(int slot, const uint8_t *bytes, int size, int sent) {
    Slot &s = slot_at(slot);
    if (sent == size) return 0;
    int kept_from;
    if (sent > 0) {
        kept_from = sent;
    } else if (sent < 0 && os::socket_error_would_block(os::socket_last_error())) {
        kept_from = 0;
    } else {
        // Nothing sent and no reason to wait: the connection is broken.
        fail_sending_slot(slot, os::socket_last_error());
        return 0;
    }
    uint8_t *area = send_area_of(s);
    if (area == nullptr) {
        // Nothing went out: refused as while bytes are pending, to be sent
        // again.  Part of it went out: the stream cannot go on without the
        // rest, so the connection fails.
        if (kept_from == 0) return refused_busy();
        fail_sending_slot(slot, 0);
        return 0;
    }
    std::memcpy(area, bytes + kept_from, static_cast<size_t>(size - kept_from));
    // Release: the I/O thread that reads this length sees the bytes above.
    s.pending.store(size - kept_from, std::memory_order_release);
    give_work(slot);  // the I/O thread watches for writability
    return 0;
}

// Acquire: a length of 0 seen here means the I/O thread is done with the
// area, so the copy in keep_unsent cannot meet its reads.
bool has_pending(const Slot &s) { return s.pending.load(std::memory_order_acquire) != 0; }

// A framed or UDP payload length: the low 16 bits of the record's length
// as a signed value; -1 when outside 0..kMaxData (the frame size would go
// negative, reading outside the caller's buffer, or exceed what a receiver
// takes).
int framed_payload(int32_t length) {
    const auto payload = static_cast<int16_t>(static_cast<uint16_t>(length & 0xFFFF));
    return payload < 0 || payload > kMaxData ? -1 : payload;
}

struct MsgHead {
    int32_t slot;
    int32_t length;
};

MsgHead read_head(const vesk_net_msg *msg) {
    MsgHead head{};
    const auto *bytes = reinterpret_cast<const uint8_t *>(msg);
    std::memcpy(&head.slot, bytes + offsetof(vesk_net_msg, slot), 4);
    std::memcpy(&head.length, bytes + offsetof(vesk_net_msg, length), 4);
    return head;
}

// The frames of one send_many, as pieces for one gathered send.  Small
// frames are copied together into runs: the kernel's cost per piece outweighs
// copying a few dozen bytes, while large payloads are sent from where they
// are.
struct Gather {
    static constexpr int kSmallFrame = 256;
    static constexpr int kCopyRoom = 16384;
    os::Piece pieces[os::kMaxPieces];
    int count = 0;
    int total = 0;
    uint8_t copies[kCopyRoom];
    int copied = 0;
    bool last_is_copy = false;

    void add(const uint8_t *frame, int size) {
        total += size;
        if (size <= kSmallFrame && copied + size <= kCopyRoom) {
            copy_small(copies + copied, frame, static_cast<size_t>(size));
            if (last_is_copy) {
                pieces[count - 1].length += size;
            } else {
                pieces[count++] = os::Piece{copies + copied, size};
            }
            copied += size;
            last_is_copy = true;
            return;
        }
        pieces[count++] = os::Piece{frame, size};
        last_is_copy = false;
    }
};

// Keeps what one gathered send did not take: the pieces' bytes from `sent`
// on, copied into the send area in order.  False when the area cannot be had.
bool keep_unsent_pieces(int slot, const os::Piece *pieces, int count, int total, int sent) {
    uint8_t *area = send_area_of(slot_at(slot));
    if (area == nullptr) return false;
    int skip = sent;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const auto *data = static_cast<const uint8_t *>(pieces[i].data);
        int length = pieces[i].length;
        if (skip >= length) {
            skip -= length;
            continue;
        }
        std::memcpy(area + kept, data + skip, static_cast<size_t>(length - skip));
        kept += length - skip;
        skip = 0;
    }
    // Release: the I/O thread that reads this length sees the bytes above.
    slot_at(slot).pending.store(total - sent, std::memory_order_release);
    give_work(slot);
    return true;
}

}  // namespace

void fail_slot(int slot) {
    Slot &s = slot_at(slot);
    int state = s.state.load(std::memory_order_acquire);
    // Compare-and-swap: a close requested meanwhile wins, and of two threads
    // failing the slot at once only one posts.
    while (state == VESK_NET_READY || state == VESK_NET_CONNECTING) {
        if (s.state.compare_exchange_weak(state, VESK_NET_FAILED, std::memory_order_acq_rel)) {
            uint8_t record[kClosedRecordSize];
            const int size = wire_closed_record(record, VESK_EV_FAILED, slot);
            post_event(s.channel.load(std::memory_order_acquire), record, size);
            return;
        }
    }
}

}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_send(vesk_net_msg *msg) {
    if (msg == nullptr) return refused(kBadArgument);
    auto *bytes = reinterpret_cast<uint8_t *>(msg);
    int32_t slot = 0;
    int32_t length = 0;
    std::memcpy(&slot, bytes + offsetof(vesk_net_msg, slot), 4);
    std::memcpy(&length, bytes + offsetof(vesk_net_msg, length), 4);
    if (!slot_in_range(slot)) return refused(kBadSlot);
    Slot &s = slot_at(slot);
    const SocketUse use(slot);
    if (s.state.load(std::memory_order_seq_cst) != VESK_NET_READY ||
        s.channel.load(std::memory_order_relaxed) == 0) {
        return refused(kNotReady);
    }
    const int type = s.type.load(std::memory_order_relaxed);
    const vesk_socket_t sock = s.socket.load(std::memory_order_relaxed);

    if (type == VESK_NET_TCP_STREAM) {
        // The unsent rest must fit the send area.
        if (length < 0 || length > kSendAreaSize) return refused(kBadArgument);
        const SendClaim claim(s);
        if (!claim.held() || has_pending(s)) return refused_busy();
        const uint8_t *data = bytes + kMsgHeadSize;
        const int sent = vesk_socket_send(sock, data, length);
        count_sent(sent);
        return keep_unsent(slot, data, length, sent);
    }
    if (!is_framed(type) && !is_udp(type)) return refused(kBadArgument);  // listeners

    const int payload = framed_payload(length);
    if (payload < 0) return refused(kBadArgument);
    uint8_t *frame = bytes + kMsgFrameOffset;
    wire_write_frame_header(frame, static_cast<int16_t>(payload));
    const int frame_size = kFrameHeaderSize + payload;

    if (is_framed(type)) {
        const SendClaim claim(s);
        if (!claim.held() || has_pending(s)) return refused_busy();
        const int sent = vesk_socket_send(sock, frame, frame_size);
        count_sent(sent);
        const int result = keep_unsent(slot, frame, frame_size, sent);
        if (result == 0) tally(g_engine.counters.frames_out);
        return result;
    }
    SockAddr4 to{};
    to.family = os::kAfInet;
    std::memcpy(&to.addr, bytes + offsetof(vesk_net_msg, addr), 4);
    std::memcpy(&to.port, bytes + offsetof(vesk_net_msg, port), 2);
    const int sent =
        vesk_socket_sendto(sock, frame, frame_size, 0,
                           reinterpret_cast<const struct sockaddr *>(&to), os::kSockaddrInSize);
    if (sent < 0) note_os_error(os::socket_last_error());
    if (sent > 0) {
        count_sent(sent);
        tally(g_engine.counters.frames_out);
    }
    return sent;
}

VESK_API int vesk_net_send_many(vesk_net_msg *const *msgs, int count) {
    if (msgs == nullptr || count < 1 || msgs[0] == nullptr) return refused(kBadArgument);
    const int slot = read_head(msgs[0]).slot;
    if (!slot_in_range(slot)) return refused(kBadSlot);
    Slot &s = slot_at(slot);
    const SocketUse use(slot);
    if (s.state.load(std::memory_order_seq_cst) != VESK_NET_READY ||
        s.channel.load(std::memory_order_relaxed) == 0) {
        return refused(kNotReady);
    }
    if (!is_framed(s.type.load(std::memory_order_relaxed))) return refused(kBadArgument);
    if (framed_payload(read_head(msgs[0]).length) < 0) return refused(kBadArgument);
    const SendClaim claim(s);
    if (!claim.held() || has_pending(s)) {
        tally(g_engine.counters.sends_busy);
        return 0;
    }

    Gather gather;
    int taken = 0;
    while (taken < count && taken < os::kMaxPieces && msgs[taken] != nullptr) {
        const MsgHead head = read_head(msgs[taken]);
        const int payload = framed_payload(head.length);
        // Everything not sent at once must fit the send area.
        if (head.slot != slot || payload < 0 ||
            gather.total + kFrameHeaderSize + payload > kSendAreaSize) {
            break;
        }
        uint8_t *frame = reinterpret_cast<uint8_t *>(msgs[taken]) + kMsgFrameOffset;
        wire_write_frame_header(frame, static_cast<int16_t>(payload));
        gather.add(frame, kFrameHeaderSize + payload);
        ++taken;
    }
    int sent = os::socket_send_pieces(s.socket.load(std::memory_order_relaxed), gather.pieces,
                                      gather.count);
    count_sent(sent);
    if (sent == gather.total) {
        tally(g_engine.counters.frames_out, static_cast<uint64_t>(taken));
        return taken;
    }
    if (sent < 0) {
        const int error = os::socket_last_error();
        if (!os::socket_error_would_block(error)) {
            // Nothing sent and no reason to wait: the connection is broken.
            fail_sending_slot(slot, error);
            return taken;
        }
        sent = 0;
    }
    if (keep_unsent_pieces(slot, gather.pieces, gather.count, gather.total, sent)) {
        tally(g_engine.counters.frames_out, static_cast<uint64_t>(taken));
        return taken;
    }
    // Without an area for the rest: nothing taken when nothing went out (sent
    // again later, as while bytes are pending); otherwise the stream cannot
    // go on, and the connection fails.
    if (sent == 0) return 0;
    fail_sending_slot(slot, 0);
    return taken;
}

VESK_API int vesk_net_probe(int slot, const struct sockaddr *dest) {
    if (!slot_in_range(slot) || dest == nullptr) return -1;
    Slot &s = slot_at(slot);
    const SocketUse use(slot);
    if (s.state.load(std::memory_order_seq_cst) != VESK_NET_READY ||
        s.channel.load(std::memory_order_relaxed) == 0 ||
        !is_udp(s.type.load(std::memory_order_relaxed))) {
        return -1;
    }
    // Noted before it goes: its reply may come before this call returns.
    // Without memory for the note, strict mode refuses the reply (counted).
    const SockAddr4 to = read_sockaddr(dest);
    note_probe(s, peer_key(to.addr, to.port));
    uint8_t probe[kProbeSize];
    wire_write_frame_header(probe, kCtlProbe);
    vesk_socket_sendto(s.socket.load(std::memory_order_relaxed), probe, kProbeSize, 0, dest,
                       os::kSockaddrInSize);
    return 0;  // the answer, if any, arrives as an event
}

}  // extern "C"
