// Events in a channel's ring: each stored whole, behind a 3-byte header, so
// that a reader never meets half of one.  Pure functions over the ring: the
// caller holds the channel's mutex; nothing here takes a lock or touches a
// socket or a clock, so that tests drive it directly.
#pragma once

#include <cstdint>

#include "net/wire.h"
#include "vuvidur.h"

namespace net {

// Bytes a ring can still take (a ring keeps one byte free).
int ring_room(const vesk_ring &ring);
// Stores one event: its header, then `head` and `body` (body may be empty).
// Whole or nothing: false, and nothing stored, when the ring cannot take all
// of it.  The caller holds the channel's mutex.
bool ring_post_event(vesk_ring &ring, const uint8_t *head, int head_size, const uint8_t *body,
                     int body_size);
// Takes the next event into `out` when it is whole, well formed and stored in
// one piece (the common case, without the checks and copies of the general
// path): its record length; 0, with nothing taken, otherwise.
int ring_take_contiguous_event(vesk_ring &ring, uint8_t *out);
// Takes one event into `out` (kMaxRecord bytes): its record length; 0 empty;
// -2 ring failure; -3 malformed (see vesk_net_channel_read).  The caller
// holds the channel's mutex.
int ring_read_event(vesk_ring &ring, uint8_t *out);
// Whether the ring's next event is whole and well formed, so that
// ring_read_event would return its record; false for an empty ring.
bool ring_next_event_whole(const vesk_ring &ring);

}  // namespace net
