// What the I/O thread's files share: its reusable buffers and the receive
// handlers.  Everything here runs in a pass, on the I/O thread.
#pragma once

#include "net/net_internal.h"

namespace net {

// Records are built here for every event, so the I/O path allocates nothing.
struct IoBuffers {
    // TCP data events (datagrams have a batch of their own, udp.cpp).
    uint8_t record[kMaxRecord];
    // Connect, probe-reply, closed and failed records.
    uint8_t small[kAcceptRecordSize];
    // A call of the thread's own failed in this pass (see io_thread.cpp).
    bool call_failed = false;
};

// Posts a run of events into one channel under one lock, each whole or not
// at all.  The channel's lock is held from construction to destruction (a
// conditional hold, which the analysis cannot follow: hence the exemptions).
class ChannelWriter {
public:
    explicit ChannelWriter(int channel) VESK_NO_THREAD_SAFETY_ANALYSIS
        : ch_(channel_in_range(channel) ? &channel_at(channel) : nullptr) {
        if (ch_ != nullptr) ch_->lock.lock();
    }
    ~ChannelWriter() VESK_NO_THREAD_SAFETY_ANALYSIS {
        if (ch_ == nullptr) return;
        if (posted_) channel_note(*ch_);  // once for the whole run
        ch_->lock.unlock();               // waiters are woken after the unlock
        if (posted_) channel_signal(*ch_);
    }
    ChannelWriter(const ChannelWriter &) = delete;
    ChannelWriter &operator=(const ChannelWriter &) = delete;

    int room() const VESK_NO_THREAD_SAFETY_ANALYSIS {
        return ch_ != nullptr && ch_->in_use.load(std::memory_order_relaxed) != 0
                   ? ring_room(ch_->ring)
                   : 0;
    }
    bool post(const uint8_t *head, int head_size, const uint8_t *body = nullptr,
              int body_size = 0) VESK_NO_THREAD_SAFETY_ANALYSIS {
        if (ch_ == nullptr || ch_->in_use.load(std::memory_order_relaxed) == 0 ||
            !ring_post_event(ch_->ring, head, head_size, body, body_size)) {
            return false;
        }
        posted_ = true;
        return true;
    }

private:
    Channel *ch_;
    bool posted_ = false;
};

// A ready slot other than a listener is readable.
void receive(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread);
// Posts the frames that earlier passes held back for lack of room.
void deliver_held(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread);
// A UDP slot of `type` is readable (udp.cpp).
void receive_datagrams(int slot, int type, IoBuffers &buf) VESK_REQUIRES(g_io_thread);
// A call of the I/O thread's own for `slot` (a UDP receive, an accept) failed
// or worked: after kReceiveFailingMs of failures in a row the slot fails.
void note_call_outcome(int slot, bool failed) VESK_REQUIRES(g_io_thread);
// Closes the connections whose idle deadline has come, and puts those that
// received since back at their new deadline (limits.cpp).
void deadlines_expire(int64_t now, IoBuffers &buf) VESK_REQUIRES(g_io_thread);
// Lists the slot in the current pass (io_thread.cpp).
void pass_add(int slot) VESK_REQUIRES(g_io_thread);

}  // namespace net
