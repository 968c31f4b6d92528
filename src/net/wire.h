// Byte layouts of the socket engine and the pure functions over them: the
// framed-stream cutter, the UDP datagram handler and event records (posting
// and reading events in a channel's ring is in channel_ring.h).  Nothing here
// touches a socket, a lock or a clock, so that tests and fuzz targets drive it
// directly.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "vuvidur.h"

namespace net {

// Wire frame: marker, signed 16-bit little-endian length, payload.
constexpr uint8_t kFrameMark = VESK_FRAME_MARK;
constexpr int kFrameHeaderSize = 3;
constexpr int kMaxData = VESK_NET_MAX_DATA;
constexpr int kMaxRecord = VESK_NET_MAX_RECORD;

// UDP control frames.
constexpr int16_t kCtlProbe = VESK_CTL_PROBE;
constexpr int16_t kCtlProbeReply = VESK_CTL_PROBE_REPLY;
constexpr int16_t kCtlKeepalive = VESK_CTL_KEEPALIVE;
constexpr int kProbeSize = 3;
constexpr int kProbeReplySize = 9;
// A datagram is read with room for one largest frame.
constexpr int kDatagramCapacity = kFrameHeaderSize + kMaxData;

// Event records: a 3-byte event header (0xFE, record length R as a host-order
// int16) ahead of each record in a channel's ring.
constexpr int kEventHeaderSize = 3;
constexpr int kMsgHeadSize = 18;     // vesk_net_msg up to its data
constexpr int kMsgFrameOffset = 15;  // vesk_net_msg.frame
constexpr int kConnectRecordSize = 9;
constexpr int kAcceptRecordSize = 15;
constexpr int kProbeReplyRecordSize = 14;
constexpr int kClosedRecordSize = 15;
// The room one more event of any kind may need in a ring.
constexpr int kLargestEvent = kEventHeaderSize + kMaxRecord;

static_assert(kMsgHeadSize == sizeof(vesk_net_msg));
static_assert(kMsgFrameOffset == offsetof(vesk_net_msg, frame));
static_assert(kConnectRecordSize == sizeof(vesk_ev_connect));
static_assert(kAcceptRecordSize == sizeof(vesk_ev_accept));
static_assert(kProbeReplyRecordSize == sizeof(vesk_ev_probe_reply));
static_assert(kClosedRecordSize == sizeof(vesk_ev_closed));
static_assert(kMaxRecord == kMsgHeadSize + kMaxData);

int16_t wire_read_length(const uint8_t *p);                // little-endian
void wire_write_frame_header(uint8_t *p, int16_t length);  // 0xFE, length LE

// ---- Framed stream cutter ------------------------------------------------

enum class CutStep {
    need_more,   // fewer bytes than the next frame needs: wait for more
    frame,       // a data frame: `size` bytes, payload `length` bytes at offset 3
    control,     // a 3-byte frame with length 0 or below: drop it, no event
    bad_marker,  // the first byte is not 0xFE: everything held is lost
    too_long,    // a frame announcing more than kMaxData bytes: cannot be delivered
};

struct Cut {
    CutStep step;
    int size;    // bytes the step consumes (frame and control)
    int length;  // payload length (frame)
};

// Looks at the bytes held from the front of a framed stream and says what
// the next step is.  Pure: the caller consumes the bytes.
Cut wire_cut_next(std::span<const uint8_t> held);

// What the owner of a framed stream does with what the cutter finds.
class FrameSink {
public:
    // A complete data frame: `frame` points at its header, the payload of
    // `length` bytes follows.  False when it cannot be taken now (it and all
    // behind it stay held).
    virtual bool frame(const uint8_t *frame, int length) = 0;
    // A frame announcing more than kMaxData bytes.  False when it cannot be
    // reported now (it stays held); true when the stream is given up.
    virtual bool too_long(int length) = 0;

protected:
    ~FrameSink() = default;
};

struct StreamCut {
    int consumed;   // bytes to drop from the front of what is held
    bool waiting;   // the sink refused something: try again later
    bool failed;    // a frame too long ended the stream
    bool broken;    // strict: a byte other than 0xFE where a frame must start
    int discarded;  // bytes dropped by a resync (part of `consumed`)
};

// Cuts every complete frame from the front of `held` and hands it to the
// sink, in order, dropping control frames; a byte other than 0xFE where a
// frame must start drops everything held, or, when `strict`, ends the stream
// (`broken`).
StreamCut wire_cut_stream(std::span<const uint8_t> held, FrameSink &sink, bool strict = false);

// ---- UDP datagram handler --------------------------------------------------

// A peer table entry: address (network order) in the low 32 bits, port
// (network order) in the next 16; 0 marks a free entry.  One atomic word, so
// that the I/O thread comparing an entry never sees half of a user's change.
using PeerEntry = std::atomic<uint64_t>;
constexpr uint64_t peer_key(uint32_t addr, uint16_t port) {
    return addr == 0 ? 0 : (static_cast<uint64_t>(port) << 32) | addr;
}

enum class DatagramAction {
    ignore,            // dropped silently
    post_data,         // a VESK_EV_UDP_DATA event; payload length in `length`
    post_probe_reply,  // a VESK_EV_PROBE_REPLY event with the 9 bytes received
    answer,            // send `answer` (answer_size bytes) back to the sender
};

struct DatagramOutcome {
    DatagramAction action = DatagramAction::ignore;
    // Ignored because the bytes are no frame: too short, no marker, a length
    // other than the datagram's, or a control frame of the wrong size.
    bool malformed = false;
    int length = 0;
    // For a keepalive answer: the 0-based peer-table entry answered (the
    // answer is then subject to wire_answer_due); -1 for anything else.
    int peer_index = -1;
    int answer_size = 0;
    uint8_t answer[kProbeReplySize] = {};
};

class PeerIndex;

// A slot's peer table as the datagram handler sees it: the entries, and the
// index that finds a peer's entry without reading them in turn (none: they
// are read in turn).
struct PeerView {
    std::span<const PeerEntry> entries;
    const PeerIndex *index = nullptr;
    // The entry holding `key` (there is at most one), or -1.
    int find(uint64_t key) const;
};

// What a UDP slot of `type` (4, 5 or 6) does with one received datagram from
// addr:port (network order), given its peer table.  Data frames from anyone
// are delivered; probes from anyone are answered (the caller applies the
// slot's probe policy); keepalives are answered only for registered peers,
// by type: 4 answers a keepalive, 5 answers with the peer's 1-based index, 6
// never answers.
DatagramOutcome wire_handle_datagram(int type, std::span<const uint8_t> datagram, uint32_t addr,
                                     uint16_t port, PeerView peers);

// When a peer-table entry was last answered, kept by the I/O thread beside
// each entry.  Keepalive answers are rate-limited: two slots that register
// each other would otherwise answer each other's answers for ever.
struct AnswerNote {
    uint64_t key = 0;    // the peer answered (0: never)
    uint32_t at_ms = 0;  // when, on a monotonic millisecond clock (wraps)
};
constexpr uint32_t kAnswerIntervalMs = 1000;

// Whether a keepalive answer to `sender` may go out at `now_ms`, given the
// entry's note; when it may, the note records it.  At most one answer per
// entry per kAnswerIntervalMs; a different peer in the entry starts afresh.
bool wire_answer_due(AnswerNote &note, uint64_t sender, uint32_t now_ms);

// ---- Event records -------------------------------------------------------

// The first 18 bytes of a data event (kind 1 or 2).  `frame` is the frame
// header to store at 15..17 (NULL: zeros).
void wire_data_head(uint8_t *record, int kind, int slot, uint32_t addr, uint16_t port, int length,
                    const uint8_t *frame);
// The other records; each returns its record length.
int wire_connect_record(uint8_t *record, int slot, int result);
int wire_accept_record(uint8_t *record, int listener, int slot, uint32_t addr, uint16_t port);
int wire_probe_reply_record(uint8_t *record, int slot, const uint8_t *reply);
int wire_closed_record(uint8_t *record, int kind, int slot);

}  // namespace net
