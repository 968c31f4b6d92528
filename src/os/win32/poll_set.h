// Readiness of a list of sockets by select(), which the Windows poller runs
// once a pass over the registered sockets.  A set is created once with room
// for `capacity` sockets (no limit of FD_SETSIZE applies) and refilled every
// pass: clear, add each socket with the readiness it wants, wait, then ask
// each added socket what it got.  Nothing is allocated after os::poll_create.
#pragma once

#include "os/os.h"

namespace os {

struct PollSet;

// A set for up to `capacity` sockets (capacity >= 1); NULL on failure.
PollSet *poll_create(int capacity);
// Releases the set (NULL: nothing).
void poll_destroy(PollSet *set);
// Empties the set.
void poll_clear(PollSet *set);
// Adds `s` wanting `interest` (kPoll* bits, not 0).  Returns the entry's
// index (0, 1, 2, ... in the order of adding), or -1 when the set is full.
int poll_add(PollSet *set, vesk_socket_t s, unsigned interest);
// Waits up to `timeout_ms` milliseconds for any added socket to be ready.
// The number of ready sockets (> 0), 0 on timeout, -1 on error.  Must not be
// called on an empty set.
int poll_wait(PollSet *set, int timeout_ms);
// What entry `index` got in the last wait: kPoll* bits, a subset of what it
// asked for; 0 when it is not ready.
unsigned poll_ready(const PollSet *set, int index);

}  // namespace os
