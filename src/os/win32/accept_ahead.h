// Accepting ahead for the poller's listeners on Windows: a thread of the
// poller's own accepts connections as they arrive, sets them up (no-delay)
// and keeps a few per listener until the I/O thread takes them.
//
// Under Wine every socket call is a round trip to its single-threaded server,
// and an accept with its peer's address, no-delay and the tie to the poller's
// port is five of them.  On the
// I/O thread they queued behind that thread's receives and completions: 10,000
// connections took 8 s, against 5.5 s for a plain completion-port server whose
// accepts run on a thread of their own.  Here the accepts of one listener run
// beside the I/O thread's work, which takes a connection without a call.
//
// The backlog of a listener holds at most kAheadPerListener connections, and
// only fills while the I/O thread accepts (its interest has kPollRead): a
// listener whose channel is full leaves the rest in the system's listen queue,
// as before.  The thread watches a listener with the socket layer's poll
// request, sent through a socket of its own so that the completion comes to
// its port, not to the poller's.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace os::win32 {

struct AcceptAhead;
struct Backlog;

constexpr int kAheadPerListener = 16;

// Completions with this key on the poller's port tell that the backlog of the
// listener whose poller key is the completion's OVERLAPPED pointer (cast) has
// something for the I/O thread.
constexpr ULONG_PTR kAheadKey = 2;

// Starts the thread for the poller whose port is `poller_port`; NULL when it
// cannot (the poller's listeners are then watched and accepted as any
// socket).
AcceptAhead *ahead_start(HANDLE poller_port);
// Stops the thread once every backlog has been closed (NULL: nothing).
void ahead_stop(AcceptAhead *ahead);

// A backlog for `listener`, registered under `key`; NULL on failure.
Backlog *backlog_open(AcceptAhead *ahead, SOCKET listener, int key);
// The I/O thread looks at the backlog: `accepting` says whether it takes
// connections now.  True when there is something to take (a connection or a
// failed accept); otherwise, when accepting, a completion with kAheadKey comes
// to the poller's port once there is.
bool backlog_arm(Backlog *backlog, bool accepting);
// True when there is something to take.
bool backlog_ready(Backlog *backlog);
// Takes the oldest connection: 1 with *accepted, whether it is tied to the
// poller's port already (*tied) and its peer's address (as accept gives it);
// 0 when none is there, the socket error saying why (would block, or why the
// last accept failed; that failure is reported once).
int backlog_take(Backlog *backlog, SOCKET *accepted, bool *tied, struct sockaddr *addr,
                 int *addrlen);
// Ends the backlog: the connections it holds are closed, and the thread no
// longer touches the listener once this returns (it may be closed then).
void backlog_close(Backlog *backlog);
// Backlogs made and not yet freed, in this process (for tests).
int backlogs_alive();

}  // namespace os::win32
