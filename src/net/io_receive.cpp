// Receiving on the I/O thread: framed TCP streams are cut into frames, raw
// streams delivered as they come, UDP datagrams handed to the datagram
// handler.  TCP data is never dropped: a connection is read only when its
// channel can take the largest event, and frames that no longer fit stay
// held, in order, until a later pass can post them.
#include <cstring>

#include "frame/memory.h"
#include "net/io_thread.h"

namespace net {

namespace {

// The connection ended (VESK_EV_CLOSED) or broke (VESK_EV_FAILED): the slot
// becomes failed and the event is posted, unless the user has closed the
// slot meanwhile (then the close stands and nothing more is posted).
void fail_connection(int slot, int kind, ChannelWriter &writer, IoBuffers &buf)
    VESK_REQUIRES(g_io_thread) {
    int expected = VESK_NET_READY;
    if (!slot_at(slot).state.compare_exchange_strong(expected, VESK_NET_FAILED,
                                                     std::memory_order_acq_rel)) {
        return;
    }
    const int size = wire_closed_record(buf.small, kind, slot);
    writer.post(buf.small, size);
}

void fail_connection(int slot, int kind, IoBuffers &buf) VESK_REQUIRES(g_io_thread) {
    ChannelWriter writer(slot_at(slot).channel.load(std::memory_order_acquire));
    fail_connection(slot, kind, writer, buf);
}

// Receives a connection's next bytes: from the poller when it received them
// itself (Windows), else from the socket.  As vesk_socket_recvfrom: the count,
// 0 at the peer's end, -1 with the reason in the socket layer's error.
int receive_bytes(int slot, uint8_t *into, int size) VESK_REQUIRES(g_io_thread) {
    int taken = os::poller_take(g_engine.poller, slot, into, size);
    if (taken == -2) {
        taken = vesk_socket_recvfrom(slot_at(slot).socket.load(std::memory_order_relaxed), into,
                                     size, 0, nullptr, nullptr);
    }
    if (taken > 0) {
        tally(g_engine.counters.bytes_in, static_cast<uint64_t>(taken));
        Slot &s = slot_at(slot);
        if (s.heap_pos >= 0) s.last_rx_ms = steady_ms();  // an idle deadline moves on
    }
    return taken;
}

// The connection's peer, looked up once per connection.
void learn_peer(Slot &s) VESK_REQUIRES(g_io_thread) {
    if (s.peer_known) return;
    SockAddr4 peer{};
    int size = sizeof peer;
    if (os::socket_peer_name(s.socket.load(std::memory_order_relaxed),
                             reinterpret_cast<struct sockaddr *>(&peer), &size) == 0) {
        s.peer_known = true;
        s.peer_addr = peer.addr;
        s.peer_port = peer.port;
    }
}

// Posts the frames of one slot into its channel.
class PostingSink final : public FrameSink {
public:
    PostingSink(int slot, ChannelWriter &writer, IoBuffers &buf)
        : slot_(slot), s_(slot_at(slot)), writer_(writer), buf_(buf) {}

    bool frame(const uint8_t *frame, int length) override {
        g_io_thread.assert_held();
        wire_data_head(buf_.record, VESK_EV_TCP_DATA, slot_, s_.peer_addr, s_.peer_port, length,
                       frame);
        if (!writer_.post(buf_.record, kMsgHeadSize, frame + kFrameHeaderSize, length)) {
            return false;
        }
        tally(g_engine.counters.frames_in);
        return true;
    }
    // Its payload could not fit an event record: the connection is failed
    // rather than overflowing the record or losing frames silently.
    bool too_long(int) override {
        g_io_thread.assert_held();
        if (writer_.room() < kEventHeaderSize + kClosedRecordSize) return false;
        fail_connection(slot_, VESK_EV_FAILED, writer_, buf_);
        return true;
    }

private:
    int slot_;
    Slot &s_;
    ChannelWriter &writer_;
    IoBuffers &buf_;
};

// Posts every complete frame held in the slot's receive area, in order,
// while the channel takes them; keeps the rest at the front of the area.
void cut_held(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    ChannelWriter writer(s.channel.load(std::memory_order_acquire));
    PostingSink sink(slot, writer, buf);
    const bool strict = s.strict.load(std::memory_order_relaxed) != 0;
    const StreamCut cut =
        wire_cut_stream({s.receive_area, static_cast<size_t>(s.held)}, sink, strict);
    if (cut.consumed > 0 && cut.consumed < s.held) {
        std::memmove(s.receive_area, s.receive_area + cut.consumed,
                     static_cast<size_t>(s.held - cut.consumed));
    }
    s.held -= cut.consumed;
    s.held_waiting = cut.waiting;
    if (cut.broken) {
        // The peer does not speak the protocol: its reader learns why.
        s.failed_error.store(VESK_NET_ERR_PROTOCOL, std::memory_order_relaxed);
        s.failed_error_generation.store(s.generation.load(std::memory_order_relaxed),
                                        std::memory_order_release);
        tally(g_engine.counters.protocol_failed);
        fail_connection(slot, VESK_EV_FAILED, writer, buf);
    } else if (cut.discarded > 0) {
        tally(g_engine.counters.bytes_discarded, static_cast<uint64_t>(cut.discarded));
    }
}

// A read filled what was free in the receive area: the connection is busy,
// and a larger area takes more per read.  Without the memory the connection
// goes on with the area it has (nothing is lost: the rest stays in the
// socket for the next read).
void grow_receive_area(Slot &s) VESK_REQUIRES(g_io_thread) {
    if (s.receive_grown) return;
    auto *grown = static_cast<uint8_t *>(frame::try_alloc(kReceiveAreaSize));
    if (grown == nullptr) return;
    if (s.held > 0) std::memcpy(grown, s.receive_area, static_cast<size_t>(s.held));
    vesk_mem_free(s.receive_area);
    s.receive_area = grown;
    s.receive_grown = true;
}

void receive_framed(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    if (s.held_waiting) return;
    if (channel_room(s.channel.load(std::memory_order_acquire)) < kLargestEvent) return;
    if (s.receive_area == nullptr) {
        // The first read: an idle connection holds no area.  Without the
        // memory the connection cannot be read, and fails visibly rather than
        // being retried for ever; its peer's bytes never entered the engine.
        s.receive_area = static_cast<uint8_t *>(frame::try_alloc(kSmallReceiveAreaSize));
        if (s.receive_area == nullptr) {
            fail_connection(slot, VESK_EV_FAILED, buf);
            return;
        }
    }
    const int free_room = (s.receive_grown ? kReceiveAreaSize : kSmallReceiveAreaSize) - s.held;
    const int n = receive_bytes(slot, s.receive_area + s.held, free_room);
    if (n == 0) {
        fail_connection(slot, VESK_EV_CLOSED, buf);
        return;
    }
    if (n < 0) {
        // Readiness can be spurious; only a real error breaks the connection.
        if (!os::socket_error_would_block(os::socket_last_error())) {
            fail_connection(slot, VESK_EV_FAILED, buf);
        }
        return;
    }
    learn_peer(s);
    s.held += n;
    cut_held(slot, buf);
    if (n == free_room) grow_receive_area(s);
}

void receive_raw(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    const int channel = s.channel.load(std::memory_order_acquire);
    if (channel_room(channel) < kLargestEvent) return;
    const int n = receive_bytes(slot, buf.record + kMsgHeadSize, kMaxData);
    if (n > 0) {
        learn_peer(s);
        wire_data_head(buf.record, VESK_EV_TCP_DATA, slot, s.peer_addr, s.peer_port, n, nullptr);
        post_event(channel, buf.record, kMsgHeadSize + n);
        return;
    }
    // The would-block test applies only to a failed receive: a receive of 0
    // is the peer's end, whatever an earlier call left in the error number.
    if (n == 0) {
        fail_connection(slot, VESK_EV_CLOSED, buf);
    } else if (!os::socket_error_would_block(os::socket_last_error())) {
        fail_connection(slot, VESK_EV_FAILED, buf);
    }
}

}  // namespace

void receive(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread) {
    const int type = slot_at(slot).type.load(std::memory_order_relaxed);
    if (is_framed(type)) {
        receive_framed(slot, buf);
    } else if (type == VESK_NET_TCP_STREAM) {
        receive_raw(slot, buf);
    } else if (is_udp(type)) {
        receive_datagrams(slot, type, buf);
    }
}

void deliver_held(int slot, IoBuffers &buf) { cut_held(slot, buf); }

}  // namespace net
