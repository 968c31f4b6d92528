// What the I/O thread's files share: its reusable buffers and the receive
// handlers.  Everything here runs in a pass, on the I/O thread.
#pragma once

#include "net/net_internal.h"

namespace net {

// Records are built here for every event, so the I/O path allocates nothing.
struct IoBuffers {
    // Data events.  A datagram is received at kMsgFrameOffset, with one byte
    // more than the largest frame so that a longer datagram shows as such.
    uint8_t record[kMaxRecord + 1];
    // Connect, probe-reply, closed and failed records.
    uint8_t small[kAcceptRecordSize];
    // A call of the thread's own failed in this pass (see io_thread.cpp).
    bool call_failed = false;
};
static_assert(kMsgFrameOffset + kDatagramCapacity + 1 <= kMaxRecord + 1);

// A ready slot other than a listener is readable.
void receive(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread);
// Posts the frames that earlier passes held back for lack of room.
void deliver_held(int slot, IoBuffers &buf) VESK_REQUIRES(g_io_thread);
// A call of the I/O thread's own for `slot` (a UDP receive, an accept) failed
// or worked: after kReceiveFailingMs of failures in a row the slot fails.
void note_call_outcome(int slot, bool failed) VESK_REQUIRES(g_io_thread);
// Closes the connections whose idle deadline has come, and puts those that
// received since back at their new deadline (limits.cpp).
void deadlines_expire(int64_t now, IoBuffers &buf) VESK_REQUIRES(g_io_thread);
// Lists the slot in the current pass (io_thread.cpp).
void pass_add(int slot) VESK_REQUIRES(g_io_thread);

}  // namespace net
