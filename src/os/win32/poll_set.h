// Readiness of a list of sockets by select(), which the Windows poller runs
// once a pass over the registered sockets.  A set is created once with room
// for `capacity` sockets (no limit of FD_SETSIZE applies) and refilled every
// pass: clear, add each socket with the readiness it wants, wait, then ask
// each added socket what it got.  Nothing is allocated after os_poll_create.
#pragma once

#include "os/os.h"

struct os_poll_set;

// A set for up to `capacity` sockets (capacity >= 1); NULL on failure.
os_poll_set *os_poll_create(int capacity);
// Releases the set (NULL: nothing).
void os_poll_destroy(os_poll_set *set);
// Empties the set.
void os_poll_clear(os_poll_set *set);
// Adds `s` wanting `interest` (OS_POLL_* bits, not 0).  Returns the entry's
// index (0, 1, 2, ... in the order of adding), or -1 when the set is full.
int os_poll_add(os_poll_set *set, vesk_socket_t s, unsigned interest);
// Waits up to `timeout_ms` milliseconds for any added socket to be ready.
// The number of ready sockets (> 0), 0 on timeout, -1 on error.  Must not be
// called on an empty set.
int os_poll_wait(os_poll_set *set, int timeout_ms);
// What entry `index` got in the last wait: OS_POLL_* bits, a subset of what it
// asked for; 0 when it is not ready.
unsigned os_poll_ready(const os_poll_set *set, int index);
