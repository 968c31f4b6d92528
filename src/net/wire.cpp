// Frame and event layouts, the framed-stream cutter and the UDP datagram
// handler: pure functions over bytes.
#include "net/wire.h"

#include <cstring>

#include "net/peer_index.h"

namespace net {

int16_t wire_read_length(const uint8_t *p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[1]) | static_cast<uint16_t>(p[2]) << 8);
}

void wire_write_frame_header(uint8_t *p, int16_t length) {
    const auto bits = static_cast<uint16_t>(length);
    p[0] = kFrameMark;
    p[1] = static_cast<uint8_t>(bits & 0xFF);
    p[2] = static_cast<uint8_t>(bits >> 8);
}

Cut wire_cut_next(std::span<const uint8_t> held) {
    if (held.size() < static_cast<size_t>(kFrameHeaderSize)) return {CutStep::need_more, 0, 0};
    if (held[0] != kFrameMark) return {CutStep::bad_marker, static_cast<int>(held.size()), 0};
    const int length = wire_read_length(held.data());
    if (length <= 0) return {CutStep::control, kFrameHeaderSize, 0};
    // Checked before waiting for the payload: such a frame can never be
    // delivered, and waiting for it would only fill the receive area.
    if (length > kMaxData) return {CutStep::too_long, 0, length};
    const int size = kFrameHeaderSize + length;
    if (held.size() < static_cast<size_t>(size)) return {CutStep::need_more, 0, 0};
    return {CutStep::frame, size, length};
}

StreamCut wire_cut_stream(std::span<const uint8_t> held, FrameSink &sink, bool strict) {
    const int total = static_cast<int>(held.size());
    StreamCut result{0, false, false, false, 0};
    while (result.consumed < total) {
        const uint8_t *at = held.data() + result.consumed;
        const Cut cut = wire_cut_next({at, static_cast<size_t>(total - result.consumed)});
        switch (cut.step) {
            case CutStep::need_more:
                return result;
            case CutStep::control:  // keepalives carry nothing to deliver
                result.consumed += cut.size;
                break;
            case CutStep::bad_marker:  // framing is lost: drop all held
                result.discarded = total - result.consumed;
                result.broken = strict;
                result.consumed = total;
                return result;
            case CutStep::too_long:
                if (sink.too_long(cut.length)) {
                    result.failed = true;
                    result.consumed = total;
                } else {
                    result.waiting = true;
                }
                return result;
            case CutStep::frame:
                if (!sink.frame(at, cut.length)) {
                    result.waiting = true;  // this frame and those behind it wait
                    return result;
                }
                result.consumed += cut.size;
                break;
        }
    }
    return result;
}

namespace {

constexpr size_t kMaxPeerIndex = 32767;

bool peer_is(const PeerEntry &entry, uint64_t key) {
    return key != 0 && entry.load(std::memory_order_relaxed) == key;
}

DatagramOutcome answer_with(int16_t value, size_t entry) {
    DatagramOutcome out;
    out.action = DatagramAction::answer;
    out.peer_index = static_cast<int>(entry);
    out.answer_size = kFrameHeaderSize;
    wire_write_frame_header(out.answer, value);
    return out;
}

}  // namespace

int PeerView::find(uint64_t key) const {
    if (index != nullptr) return index->find(key);
    for (size_t k = 0; k < entries.size(); ++k) {
        if (peer_is(entries[k], key)) return static_cast<int>(k);
    }
    return -1;
}

DatagramOutcome wire_handle_datagram(int type, std::span<const uint8_t> datagram, uint32_t addr,
                                     uint16_t port, PeerView peers) {
    DatagramOutcome out;
    const int n = static_cast<int>(datagram.size());
    // Shorter than a frame header: nothing a sender could mean.
    out.malformed = n < kFrameHeaderSize || datagram[0] != kFrameMark;
    if (out.malformed) return out;
    const int length = wire_read_length(datagram.data());
    const uint64_t sender = peer_key(addr, port);

    if (length > 0) {
        // The datagram must be exactly the frame.
        out.malformed = length != n - kFrameHeaderSize;
        if (out.malformed) return out;
        out.action = DatagramAction::post_data;
        out.length = length;
        return out;
    }
    if (length == kCtlProbe && n == kProbeSize) {
        out.action = DatagramAction::answer;
        out.answer_size = kProbeReplySize;
        wire_write_frame_header(out.answer, kCtlProbeReply);
        std::memcpy(out.answer + 3, &addr, 4);
        std::memcpy(out.answer + 7, &port, 2);
        return out;
    }
    if (length == kCtlProbeReply && n == kProbeReplySize) {
        out.action = DatagramAction::post_probe_reply;
        return out;
    }
    out.malformed = n != kProbeSize;
    if (out.malformed) return out;
    if (type == VESK_NET_UDP_QUIET) return out;
    const std::span<const PeerEntry> entries = peers.entries;
    if (type == VESK_NET_UDP_ANSWER) {
        // Every 3-byte control frame of the registered peer that is not a
        // probe is answered with a plain keepalive.
        if (!entries.empty() && peer_is(entries[0], sender)) return answer_with(kCtlKeepalive, 0);
        return out;
    }
    if (length == kCtlKeepalive) {
        // An index must fit the answer's 16-bit length without reaching the
        // probe value.
        const int k = peers.find(sender);
        if (k >= 0 && static_cast<size_t>(k) < kMaxPeerIndex) {
            return answer_with(static_cast<int16_t>(-(k + 1)), static_cast<size_t>(k));
        }
        return out;
    }
    const int index = -length;  // 1-based entry the indexed keepalive names
    if (index >= 1 && static_cast<size_t>(index) <= entries.size() &&
        peer_is(entries[static_cast<size_t>(index - 1)], sender)) {
        return answer_with(static_cast<int16_t>(length), static_cast<size_t>(index - 1));
    }
    return out;
}

bool wire_answer_due(AnswerNote &note, uint64_t sender, uint32_t now_ms) {
    // Unsigned difference: correct across the clock's wrap.
    if (note.key == sender && now_ms - note.at_ms < kAnswerIntervalMs) return false;
    note.key = sender;
    note.at_ms = now_ms;
    return true;
}

void wire_data_head(uint8_t *record, int kind, int slot, uint32_t addr, uint16_t port, int length,
                    const uint8_t *frame) {
    record[0] = static_cast<uint8_t>(kind);
    std::memcpy(record + 1, &slot, 4);
    std::memcpy(record + 5, &addr, 4);
    std::memcpy(record + 9, &port, 2);
    std::memcpy(record + 11, &length, 4);
    if (frame == record + kMsgFrameOffset) {
        // already in place (a datagram received into the record)
    } else if (frame != nullptr) {
        std::memcpy(record + kMsgFrameOffset, frame, kFrameHeaderSize);
    } else {
        std::memset(record + kMsgFrameOffset, 0, kFrameHeaderSize);
    }
}

int wire_connect_record(uint8_t *record, int slot, int result) {
    record[0] = VESK_EV_CONNECT;
    std::memcpy(record + 1, &slot, 4);
    std::memcpy(record + 5, &result, 4);
    return kConnectRecordSize;
}

int wire_accept_record(uint8_t *record, int listener, int slot, uint32_t addr, uint16_t port) {
    record[0] = VESK_EV_ACCEPT;
    std::memcpy(record + 1, &listener, 4);
    std::memcpy(record + 5, &slot, 4);
    std::memcpy(record + 9, &addr, 4);
    std::memcpy(record + 13, &port, 2);
    return kAcceptRecordSize;
}

int wire_probe_reply_record(uint8_t *record, int slot, const uint8_t *reply) {
    record[0] = VESK_EV_PROBE_REPLY;
    std::memcpy(record + 1, &slot, 4);
    std::memcpy(record + 5, reply, kProbeReplySize);
    return kProbeReplyRecordSize;
}

int wire_closed_record(uint8_t *record, int kind, int slot) {
    std::memset(record, 0, kClosedRecordSize);
    record[0] = static_cast<uint8_t>(kind);
    std::memcpy(record + 1, &slot, 4);
    return kClosedRecordSize;
}

}  // namespace net
