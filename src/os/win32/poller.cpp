// Readiness for the engine's I/O thread on Windows: an I/O completion port.
//
// Every registered socket has one overlapped poll request outstanding on the
// socket layer (the request the socket layer's own select is built on),
// asking for the readiness its interest covers.  The request completes on the
// port when the socket is ready, so a wait costs nothing for idle sockets and
// a wake-up is a posted completion.  A reported socket gets a new request at
// the next wait, which completes at once while it stays ready: readiness is
// level-triggered, as on Linux.
//
// A connected stream that the engine reads (kPollTake) is watched by an
// overlapped receive instead: its completion brings the bytes, which the
// engine then takes from the watch's inbox (poller_take).  Under Wine every
// request is a round trip to its server, and a poll followed by a receive
// costs about four more per message than a receive that brings the bytes.
// The inbox holds what one receive brought until the engine takes it all;
// only then is the next receive made, so the system keeps the rest and a
// slow reader still slows its sender.  Bytes in the inbox, the stream's end
// and a failed receive are reported as readable at every wait until taken.
//
// A request's OVERLAPPED belongs to the socket layer until its completion has
// been taken from the port, whatever happens to the socket meanwhile: a
// registration that ends while a request is outstanding cancels the request,
// and the watch is freed only when every cancelled request has come back.
#include <winsock2.h>
#include <windows.h>
#include <winternl.h>

#include <climits>
#include <cstring>
#include <new>

#include "os/os.h"
#include "os/win32/accept_ahead.h"
#include "os/win32/afd_poll.h"

namespace {

using namespace os::afd;

// Completions with this key carry no request: they are wake-ups.
constexpr ULONG_PTR kWakeKey = 1;
// Completions taken from the port per wait, at most.
constexpr int kBatch = 256;
// A wait for one completion that came back sooner than this found it queued
// rather than slept until it came (take_completions): under Wine a wait that
// sleeps and is woken makes at least three requests to the Wine server, one
// that finds a completion queued makes one.
constexpr LONGLONG kQueuedMicroseconds = 80;

ULONG events_for(unsigned interest) {
    ULONG events = 0;
    // A hang-up or reset makes a read-interested socket readable, so that the
    // receive reports it; urgent data is never asked for (no receive takes it).
    if (interest & os::kPollRead)
        events |= kPollReceive | kPollAccept | kPollDisconnect | kPollAbort;
    if (interest & os::kPollWrite) events |= kPollSend | kPollAbort | kPollConnectFail;
    if (interest & os::kPollError) events |= kPollAbort | kPollConnectFail;
    return events;
}

unsigned ready_from(ULONG events, unsigned interest) {
    constexpr ULONG kBroken = kPollAbort | kPollConnectFail | kPollLocalClose;
    unsigned ready = 0;
    if (events & (kPollReceive | kPollAccept | kPollDisconnect | kBroken)) ready |= os::kPollRead;
    if (events & (kPollSend | kBroken)) ready |= os::kPollWrite;
    if (events & kBroken) ready |= os::kPollError;
    return ready & interest;
}

}  // namespace

namespace os {

struct Watch;

// One outstanding request of a watch: the OVERLAPPED first, so that a
// completion's OVERLAPPED is the Request.
struct Request {
    OVERLAPPED overlapped;
    Watch *watch;
    bool outstanding;  // with the socket layer until its completion is taken
    bool cancelled;    // CancelIoEx was called for it
};

// One registration: a socket under a key, its poll request and, for a stream
// whose bytes the poller takes, its receive and inbox.
struct Watch {
    Request poll;
    Request receive;
    PollRecord record;
    vesk_socket_t socket;
    int key;
    unsigned interest;  // 0 once the registration has ended
    ULONG asked;        // the events the outstanding poll request asks for
    bool listed;        // in the list of watches to (re)arm
    Watch *next_listed;
    char *inbox;  // allocated with the first receive; NULL: never received
    int inbox_from;
    int inbox_count;        // bytes received and not yet taken
    bool ended;             // a receive brought 0 bytes: the peer ended the stream
    int failed;             // a receive failed with this socket error (0: none)
    bool no_inbox;          // none could be had: the stream is polled like any socket
    win32::Backlog *ahead;  // a listener's connections accepted ahead, or NULL
};

struct Poller {
    HANDLE port;
    int capacity;
    Watch **by_key;  // 2 x capacity entries: keys 1..capacity, then -1..-capacity
    Watch *to_arm;   // a list through next_listed
    int outstanding;
    OVERLAPPED_ENTRY *entries;
    bool batch_next;            // the next wait asks for a batch of completions
    win32::AcceptAhead *ahead;  // started with the first kPollAccept watch
    bool ahead_failed;          // it could not be: listeners are polled
    // The connection poller_accept just handed out, tied to the port already:
    // registered with the next call, it needs no tie of its own.  Any other
    // call forgets it, so that a socket closed unregistered (whose handle value
    // may come again) is never taken for tied.
    vesk_socket_t tied;
};

}  // namespace os

namespace {

constexpr int kInboxSize = 16384;
constexpr NTSTATUS kStatusCancelled = static_cast<NTSTATUS>(0xC0000120);

os::Watch **key_entry(os::Poller *p, int key) {
    if (key > 0 && key <= p->capacity) return &p->by_key[key - 1];
    if (key < 0 && key >= -p->capacity) return &p->by_key[p->capacity - key - 1];
    return nullptr;
}

// The watch registered under `key`, or NULL.
os::Watch *watch_at(os::Poller *p, int key) {
    os::Watch **entry = key_entry(p, key);
    return entry != nullptr ? *entry : nullptr;
}

void list_for_arming(os::Poller *p, os::Watch *w) {
    if (w->listed) return;
    w->listed = true;
    w->next_listed = p->to_arm;
    p->to_arm = w;
}

// Frees a watch whose registration has ended once the socket layer and the
// arming list are both done with it.
void release_if_done(os::Watch *w) {
    if (w->interest == 0 && !w->poll.outstanding && !w->receive.outstanding && !w->listed) {
        delete[] w->inbox;
        delete w;
    }
}

void cancel(os::Watch *w, os::Request &r) {
    if (!r.outstanding || r.cancelled) return;
    r.cancelled = true;
    // Fails when the request has just completed: its completion is on the way.
    CancelIoEx(reinterpret_cast<HANDLE>(w->socket), &r.overlapped);
}

// Ends the watch's registration: its requests are cancelled and what was
// accepted ahead for it is closed; it is freed once they are back.
void end_watch(os::Watch *w) {
    w->interest = 0;
    cancel(w, w->poll);
    cancel(w, w->receive);
    if (w->ahead != nullptr) os::win32::backlog_close(w->ahead);
    w->ahead = nullptr;
    release_if_done(w);
}

// The watch's stream bytes come from its receive: read interest on a stream
// that the poller takes for (and could get an inbox for).
bool takes(const os::Watch *w) {
    return !w->no_inbox &&
           (w->interest & (os::kPollRead | os::kPollTake)) == (os::kPollRead | os::kPollTake);
}

// What the poll request is for: the interest, less the reading that the
// receive covers.
unsigned poll_interest(const os::Watch *w) {
    return takes(w) || w->ahead != nullptr ? w->interest & ~os::kPollRead : w->interest;
}

// The inbox has something for the reader: bytes, the stream's end or a failure.
bool has_news(const os::Watch *w) { return w->inbox_count > 0 || w->ended || w->failed != 0; }

// Sends the watch's poll request; false when the socket layer refused it.
bool arm_poll(os::Poller *p, os::Watch *w, ULONG events) {
    const HANDLE socket = reinterpret_cast<HANDLE>(w->socket);
    w->asked = events;
    w->poll.cancelled = false;
    const NTSTATUS status = send_poll(socket, socket, events, &w->poll.overlapped, &w->record);
    // Success at once still queues a completion (the port is never told to
    // skip it), so both mean "outstanding".
    if (status != 0 && status != kStatusPending) return false;
    w->poll.outstanding = true;
    ++p->outstanding;
    return true;
}

// Sends the watch's receive into its (empty) inbox.  A receive refused at
// once is a failure of the stream's own, kept for the reader.
void arm_receive(os::Poller *p, os::Watch *w) {
    w->receive.overlapped = OVERLAPPED{};
    w->receive.cancelled = false;
    WSABUF into{kInboxSize, w->inbox};
    DWORD flags = 0;
    if (WSARecv(w->socket, &into, 1, nullptr, &flags, &w->receive.overlapped, nullptr) != 0) {
        const int error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            w->failed = error;
            return;
        }
    }
    w->receive.outstanding = true;
    ++p->outstanding;
}

// Brings the watch's requests up to its interest; the readiness to report
// at once (bytes in the inbox, a refusal), or 0.
unsigned arm(os::Poller *p, os::Watch *w) {
    unsigned ready = 0;
    if (takes(w) && w->inbox == nullptr) {
        w->inbox = new (std::nothrow) char[kInboxSize];
        // Without an inbox the stream is polled like any socket, and its
        // reader receives from it (poller_take says so).
        w->no_inbox = w->inbox == nullptr;
    }
    if (takes(w)) {
        if (!has_news(w) && !w->receive.outstanding) arm_receive(p, w);
        if (has_news(w)) ready |= os::kPollRead;
    }
    if (w->ahead != nullptr &&
        os::win32::backlog_arm(w->ahead, (w->interest & os::kPollRead) != 0)) {
        ready |= os::kPollRead;
    }
    const ULONG events = events_for(poll_interest(w));
    // The socket layer refused to watch it: reported as ready, so that the
    // engine looks at it and learns what is wrong.
    if (events != 0 && !w->poll.outstanding && !arm_poll(p, w, events)) ready |= w->interest;
    return ready & (os::kPollRead | os::kPollWrite | os::kPollError);
}

// A receive came back: what it brought goes into the inbox.
void received(os::Watch *w, DWORD bytes) {
    const auto status = static_cast<NTSTATUS>(w->receive.overlapped.Internal);
    if (bytes > 0) {  // cancelled or not, the bytes are the stream's
        w->inbox_from = 0;
        w->inbox_count = static_cast<int>(bytes);
    } else if (status == 0) {
        w->ended = true;
    } else if (status != kStatusCancelled) {
        DWORD got = 0;
        DWORD flags = 0;
        // The socket layer's error number for the status.
        if (!WSAGetOverlappedResult(w->socket, &w->receive.overlapped, &got, FALSE, &flags)) {
            w->failed = WSAGetLastError();
        }
        if (w->failed == 0) w->failed = WSAECONNRESET;
    }
}

// Takes up to `room` completions (room >= 1) from the port into p->entries,
// waiting up to `limit`; their number, 0 on timeout.
//
// Under Wine a batch call, having taken what is queued, asks the port once
// more to learn that it is empty: a further round trip to the Wine server on
// the way of every message when completions come one at a time, as they do
// for a connection that waits for each answer (its round trips took about a
// third longer).  So a wait asks for one completion unless more are likely
// queued: when the last wait took several, or found its one queued.  On
// Windows itself either is one system call.
ULONG take_completions(os::Poller *p, ULONG room, DWORD limit) {
    ULONG got = 0;
    if (room > 1 && p->batch_next) {
        if (!GetQueuedCompletionStatusEx(p->port, p->entries, room, &got, limit, FALSE)) got = 0;
        p->batch_next = got > 1;
        return got;
    }
    static const LONGLONG ticks_per_second = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    OVERLAPPED_ENTRY &one = p->entries[0];
    one = OVERLAPPED_ENTRY{};
    DWORD bytes = 0;
    // FALSE with an OVERLAPPED is a request that came back failed, which
    // counts; without one, a timeout.
    if (!GetQueuedCompletionStatus(p->port, &bytes, &one.lpCompletionKey, &one.lpOverlapped,
                                   limit) &&
        one.lpOverlapped == nullptr) {
        p->batch_next = false;
        return 0;
    }
    one.dwNumberOfBytesTransferred = bytes;
    QueryPerformanceCounter(&end);
    p->batch_next =
        (end.QuadPart - start.QuadPart) * 1000000 < kQueuedMicroseconds * ticks_per_second;
    return 1;
}

}  // namespace

os::Poller *os::poller_create(int capacity) {
    if (capacity < 1 || capacity > (1 << 24) || device_control() == nullptr) return nullptr;
    auto *p = new (std::nothrow) os::Poller{nullptr, capacity, nullptr, nullptr, 0,
                                            nullptr, false,    nullptr, false,   INVALID_SOCKET};
    if (p == nullptr) return nullptr;
    p->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    p->by_key = new (std::nothrow) os::Watch *[2 * static_cast<size_t>(capacity)]();
    p->entries = new (std::nothrow) OVERLAPPED_ENTRY[kBatch];
    if (p->port == nullptr || p->by_key == nullptr || p->entries == nullptr) {
        if (p->port == nullptr) p->port = INVALID_HANDLE_VALUE;
        os::poller_destroy(p);
        return nullptr;
    }
    return p;
}

void os::poller_destroy(os::Poller *p) {
    if (p == nullptr) return;
    if (p->port != INVALID_HANDLE_VALUE && p->by_key != nullptr) {
        // Every registration ends; requests still outstanding (their sockets
        // may be open or already closed) are cancelled and waited for, since
        // the socket layer writes to them until their completions come back.
        for (int i = 0; i < 2 * p->capacity; ++i) {
            os::Watch *w = p->by_key[i];
            if (w == nullptr) continue;
            p->by_key[i] = nullptr;
            end_watch(w);
        }
        os::win32::ahead_stop(p->ahead);
        const DWORD start = GetTickCount();
        while (p->outstanding > 0 && GetTickCount() - start < 2000) {
            ULONG got = 0;
            if (!GetQueuedCompletionStatusEx(p->port, p->entries, kBatch, &got, 100, FALSE))
                continue;
            for (ULONG i = 0; i < got; ++i) {
                // Only key 0 carries a request (wake-ups and news of a backlog
                // carry none).
                if (p->entries[i].lpCompletionKey != 0 || p->entries[i].lpOverlapped == nullptr)
                    continue;
                auto *r = reinterpret_cast<os::Request *>(p->entries[i].lpOverlapped);
                r->outstanding = false;
                --p->outstanding;
                release_if_done(r->watch);
            }
        }
        // Requests that never came back keep their watches (a small leak
        // rather than memory the socket layer may still write to).
        for (os::Watch *w = p->to_arm; w != nullptr;) {
            os::Watch *next = w->next_listed;
            w->listed = false;
            release_if_done(w);
            w = next;
        }
    }
    if (p->port != nullptr && p->port != INVALID_HANDLE_VALUE) CloseHandle(p->port);
    delete[] p->by_key;
    delete[] p->entries;
    delete p;
}

int os::poller_set(os::Poller *p, vesk_socket_t s, int key, unsigned old_interest,
                   unsigned interest) {
    const bool tied = s == p->tied;
    p->tied = INVALID_SOCKET;
    if (old_interest == interest) return 0;
    os::Watch **entry = key_entry(p, key);
    if (entry == nullptr) return -1;
    os::Watch *w = *entry;
    if (w != nullptr && w->socket != s) w = nullptr;
    if (interest == 0) {
        if (w == nullptr) return -1;
        *entry = nullptr;
        end_watch(w);
        return 0;
    }
    if (w == nullptr) {
        w = new (std::nothrow) os::Watch{};
        if (w == nullptr) return -1;
        // A socket is tied to one port for its life: a socket registered
        // before (and unregistered) is tied to this one already.
        if (!tied &&
            CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), p->port, 0, 0) == nullptr &&
            GetLastError() != ERROR_INVALID_PARAMETER) {
            delete w;
            return -1;
        }
        w->poll.watch = w;
        w->receive.watch = w;
        w->socket = s;
        w->key = key;
        if (interest & os::kPollAccept) {
            if (p->ahead == nullptr && !p->ahead_failed) {
                p->ahead = os::win32::ahead_start(p->port);
                p->ahead_failed = p->ahead == nullptr;
            }
            // Without a backlog the listener is polled, and the caller accepts.
            if (p->ahead != nullptr) w->ahead = os::win32::backlog_open(p->ahead, s, key);
        }
        if (*entry != nullptr) end_watch(*entry);  // another socket under the key
        *entry = w;
    }
    w->interest = interest;
    // A poll request asking for less than the interest now covers is
    // replaced; one asking for more stays, and what it reports is filtered.
    // An outstanding receive stays whatever the interest: what it brings
    // waits in the inbox.
    if (w->poll.outstanding && (events_for(poll_interest(w)) & ~w->asked) != 0) {
        cancel(w, w->poll);
    }
    list_for_arming(p, w);
    return 0;
}

int os::poller_wait(os::Poller *p, int timeout_ms, os::PollEvent *events, int max) {
    // A look without waiting costs as much as a wait (a round trip to the
    // system, under Wine to its single-threaded server, which the other
    // threads' socket calls then queue behind): a caller looking again
    // before it sleeps is answered at once, and its next wait looks.
    p->tied = INVALID_SOCKET;
    if (timeout_ms == 0) return 0;
    int count = 0;
    // (Re)arm the watches whose interest changed or that were reported.
    os::Watch *w = p->to_arm;
    p->to_arm = nullptr;
    while (w != nullptr) {
        os::Watch *next = w->next_listed;
        w->listed = false;
        if (w->interest == 0) {
            release_if_done(w);
        } else {
            const unsigned ready = arm(p, w);
            if (ready != 0) {
                if (count < max) events[count++] = os::PollEvent{w->key, ready};
                list_for_arming(p, w);  // looked at again by the next wait
            }
        }
        w = next;
    }
    if (count > 0) timeout_ms = 0;
    const ULONG room = static_cast<ULONG>(max - count < kBatch ? max - count : kBatch);
    if (room == 0) return count;
    const ULONG got =
        take_completions(p, room, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    for (ULONG i = 0; i < got; ++i) {
        const OVERLAPPED_ENTRY &entry = p->entries[i];
        if (entry.lpCompletionKey == os::win32::kAheadKey) {
            // A listener's backlog has news (unless the news was taken or the
            // registration ended since).
            w = watch_at(p, static_cast<int>(reinterpret_cast<INT_PTR>(entry.lpOverlapped)));
            if (w == nullptr || w->ahead == nullptr) continue;
            if ((w->interest & os::kPollRead) && os::win32::backlog_ready(w->ahead)) {
                events[count++] = os::PollEvent{w->key, os::kPollRead};
            }
            list_for_arming(p, w);
            continue;
        }
        if (entry.lpCompletionKey == kWakeKey || entry.lpOverlapped == nullptr) continue;
        auto *r = reinterpret_cast<os::Request *>(entry.lpOverlapped);
        w = r->watch;
        r->outstanding = false;
        --p->outstanding;
        if (w->interest == 0) {
            release_if_done(w);
            continue;
        }
        unsigned ready = 0;
        if (r == &w->receive) {
            received(w, entry.dwNumberOfBytesTransferred);
            if (has_news(w)) ready = w->interest & os::kPollRead;
        } else {
            const auto status = static_cast<NTSTATUS>(w->poll.overlapped.Internal);
            if (status == 0 && w->record.count == 1) {
                ready = ready_from(w->record.handles[0].events, poll_interest(w));
            } else if (!w->poll.cancelled) {
                // The request failed for a reason of the socket's own.
                ready = poll_interest(w);
            }
            ready &= os::kPollRead | os::kPollWrite | os::kPollError;
        }
        list_for_arming(p, w);
        if (ready != 0) events[count++] = os::PollEvent{w->key, ready};
    }
    return count;
}

void os::poller_wake(os::Poller *p) { PostQueuedCompletionStatus(p->port, 0, kWakeKey, nullptr); }

int os::poller_accept(os::Poller *p, int key, vesk_socket_t *accepted, struct sockaddr *addr,
                      int *addrlen) {
    p->tied = INVALID_SOCKET;
    os::Watch *w = watch_at(p, key);
    if (w == nullptr || w->ahead == nullptr) return -2;
    bool tied = false;
    const int got = os::win32::backlog_take(w->ahead, accepted, &tied, addr, addrlen);
    if (got == 1 && tied) p->tied = *accepted;
    return got;
}

int os::poller_take(os::Poller *p, int key, void *buf, int size) {
    p->tied = INVALID_SOCKET;
    os::Watch *w = watch_at(p, key);
    if (w == nullptr || w->inbox == nullptr) return -2;
    if (w->inbox_count > 0) {
        if (size <= 0) {
            WSASetLastError(WSAEINVAL);
            return -1;
        }
        const int n = size < w->inbox_count ? size : w->inbox_count;
        std::memcpy(buf, w->inbox + w->inbox_from, static_cast<size_t>(n));
        w->inbox_from += n;
        w->inbox_count -= n;
        if (w->inbox_count == 0) {
            w->inbox_from = 0;
            list_for_arming(p, w);  // the next receive
        }
        return n;
    }
    if (w->ended) return 0;
    if (w->failed != 0) {
        WSASetLastError(w->failed);
        return -1;
    }
    // The receive has not come back yet: nothing there, as for a socket
    // that would block.
    WSASetLastError(WSAEWOULDBLOCK);
    return -1;
}
