// The thread that accepts ahead for the poller's listeners (accept_ahead.h).
//
// A backlog's fields are guarded by its owner's lock.  The thread works on a
// backlog when a packet for it comes to the thread's port: a nudge from the
// I/O thread (there is room, and the listener is not being watched) or the
// completion of the listener's poll request.  A backlog is freed by whoever
// sees it closed with no packet for it on the way; the I/O thread closing it
// first waits until the thread is not inside a call on the listener, so that
// the listener may be closed (and its handle value reused) at once.
#include "os/win32/accept_ahead.h"

#include <atomic>
#include <cstring>
#include <new>

#include "os/os.h"
#include "os/win32/afd_poll.h"

namespace os::win32 {

namespace {

constexpr ULONG_PTR kNudgeKey = 1;
constexpr ULONG_PTR kPollKey = 2;
constexpr ULONG_PTR kStopKey = 3;

struct Accepted {
    SOCKET socket;
    sockaddr_in addr;
    int addrlen;
    bool tied;  // to the poller's port
};

}  // namespace

struct AcceptAhead {
    HANDLE poller_port;
    HANDLE port;         // the thread's own
    SOCKET poll_socket;  // its poll requests go through this one
    HANDLE thread;
    SRWLOCK lock;
    CONDITION_VARIABLE idle;  // a backlog's thread work ended
    int live;                 // backlogs not yet freed
    bool stopping;
};

struct Backlog {
    OVERLAPPED poll;  // first: a poll completion's OVERLAPPED is the Backlog
    afd::PollRecord record;
    AcceptAhead *owner;
    SOCKET listener;
    int key;
    Accepted queue[kAheadPerListener];  // oldest at head
    int head;
    int count;
    int error;       // the last accept's failure, not yet taken
    bool accepting;  // the I/O thread takes connections now
    bool wanted;     // the I/O thread waits for a kAheadKey completion
    bool polling;    // the poll request is out
    bool busy;       // the thread is in a call on the listener
    int nudges;      // nudge packets on the way
    bool closed;
};

namespace {

std::atomic<int> g_backlogs{0};  // made and not yet freed

void free_backlog(Backlog *b) {
    g_backlogs.fetch_sub(1, std::memory_order_relaxed);
    delete b;
}

struct Guard {
    explicit Guard(AcceptAhead *a) : lock(&a->lock) { AcquireSRWLockExclusive(lock); }
    ~Guard() { ReleaseSRWLockExclusive(lock); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    SRWLOCK *lock;
};

bool has_news(const Backlog *b) { return b->count > 0 || b->error != 0; }

// Under the lock: tells the I/O thread, if it waits, that there is news.
void tell(Backlog *b) {
    if (!b->wanted) return;
    b->wanted = false;
    PostQueuedCompletionStatus(b->owner->poller_port, 0, kAheadKey,
                               reinterpret_cast<OVERLAPPED *>(static_cast<INT_PTR>(b->key)));
}

// Under the lock: asks the thread to fill the backlog when nothing else will.
void nudge_if_idle(Backlog *b) {
    if (!b->accepting || b->polling || b->busy || b->nudges > 0 || b->closed ||
        b->count == kAheadPerListener || b->error != 0)
        return;
    if (PostQueuedCompletionStatus(b->owner->port, 0, kNudgeKey, reinterpret_cast<OVERLAPPED *>(b)))
        ++b->nudges;
}

// Accepts into the backlog until the listener has nothing more (then watches
// it), the backlog is full, the I/O thread stops accepting or closes it, or an
// accept fails.  Called with b->busy set, without the lock.
void fill(AcceptAhead *a, Backlog *b) {
    for (;;) {
        {
            Guard guard(a);
            if (b->closed || !b->accepting || b->count == kAheadPerListener || b->error != 0)
                return;
        }
        Accepted got{INVALID_SOCKET, {}, static_cast<int>(sizeof(sockaddr_in)), false};
        got.socket = accept(b->listener, reinterpret_cast<sockaddr *>(&got.addr), &got.addrlen);
        if (got.socket == INVALID_SOCKET) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                {
                    Guard guard(a);
                    b->polling = true;
                }
                const NTSTATUS status = afd::send_poll(
                    reinterpret_cast<HANDLE>(a->poll_socket), reinterpret_cast<HANDLE>(b->listener),
                    afd::kPollAccept | afd::kPollAbort | afd::kPollLocalClose, &b->poll,
                    &b->record);
                if (status == 0 || status == afd::kStatusPending) return;
                // Not watchable: the I/O thread learns why from an accept of
                // its own, which fails the same way or succeeds.
                Guard guard(a);
                b->polling = false;
                b->error = WSAENETDOWN;
                tell(b);
                return;
            }
            Guard guard(a);
            b->error = error;
            tell(b);
            return;
        }
        os::socket_set_no_delay(got.socket);  // not required
        got.tied = CreateIoCompletionPort(reinterpret_cast<HANDLE>(got.socket), a->poller_port, 0,
                                          0) != nullptr;
        Guard guard(a);
        b->queue[(b->head + b->count) % kAheadPerListener] = got;
        ++b->count;
        tell(b);
    }
}

// Frees the backlog if it is closed and nothing is on the way for it; under
// the lock.  True when freed (the caller deletes it after unlocking).
bool done_with(AcceptAhead *a, Backlog *b) {
    if (!b->closed || b->polling || b->busy || b->nudges > 0) return false;
    --a->live;
    return true;
}

DWORD WINAPI ahead_main(void *arg) {
    auto *a = static_cast<AcceptAhead *>(arg);
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = nullptr;
        if (!GetQueuedCompletionStatus(a->port, &bytes, &key, &overlapped, INFINITE) &&
            overlapped == nullptr) {
            return 0;  // the port is gone
        }
        Backlog *b = nullptr;
        if (key == kPollKey || key == kNudgeKey) b = reinterpret_cast<Backlog *>(overlapped);
        bool work = false;
        bool free_it = false;
        if (b != nullptr) {
            Guard guard(a);
            if (key == kPollKey) {
                b->polling = false;
            } else {
                --b->nudges;
            }
            free_it = done_with(a, b);
            work = !free_it && !b->closed && !b->polling && !b->busy;
            if (work) b->busy = true;
        } else if (key == kStopKey) {
            Guard guard(a);
            a->stopping = true;
        }
        if (work) {
            fill(a, b);
            Guard guard(a);
            b->busy = false;
            free_it = done_with(a, b);
            WakeAllConditionVariable(&a->idle);
        }
        if (free_it) free_backlog(b);  // once: a backlog freed above had no work
        Guard guard(a);
        if (a->stopping && a->live == 0) return 0;
    }
}

}  // namespace

AcceptAhead *ahead_start(HANDLE poller_port) {
    auto *a = new (std::nothrow) AcceptAhead{};
    if (a == nullptr) return nullptr;
    a->poller_port = poller_port;
    InitializeSRWLock(&a->lock);
    InitializeConditionVariable(&a->idle);
    a->poll_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    a->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (a->poll_socket != INVALID_SOCKET && a->port != nullptr &&
        CreateIoCompletionPort(reinterpret_cast<HANDLE>(a->poll_socket), a->port, kPollKey, 0) !=
            nullptr) {
        a->thread = CreateThread(nullptr, 64 * 1024, ahead_main, a,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    }
    if (a->thread == nullptr) {
        if (a->poll_socket != INVALID_SOCKET) closesocket(a->poll_socket);
        if (a->port != nullptr) CloseHandle(a->port);
        delete a;
        return nullptr;
    }
    return a;
}

void ahead_stop(AcceptAhead *a) {
    if (a == nullptr) return;
    // Closed backlogs whose poll requests are cancelled come back first.
    PostQueuedCompletionStatus(a->port, 0, kStopKey, nullptr);
    if (WaitForSingleObject(a->thread, 2000) != WAIT_OBJECT_0) {
        // A request that never came back keeps the thread and its backlogs (a
        // small leak rather than memory the socket layer may still write to).
        return;
    }
    CloseHandle(a->thread);
    closesocket(a->poll_socket);
    CloseHandle(a->port);
    delete a;
}

Backlog *backlog_open(AcceptAhead *a, SOCKET listener, int key) {
    auto *b = new (std::nothrow) Backlog{};
    if (b == nullptr) return nullptr;
    g_backlogs.fetch_add(1, std::memory_order_relaxed);
    b->owner = a;
    b->listener = listener;
    b->key = key;
    Guard guard(a);
    ++a->live;
    return b;
}

bool backlog_arm(Backlog *b, bool accepting) {
    Guard guard(b->owner);
    b->accepting = accepting;
    const bool news = has_news(b);
    b->wanted = accepting && !news;
    nudge_if_idle(b);
    return news;
}

int backlogs_alive() { return g_backlogs.load(std::memory_order_relaxed); }

bool backlog_ready(Backlog *b) {
    Guard guard(b->owner);
    return has_news(b);
}

int backlog_take(Backlog *b, SOCKET *accepted, bool *tied, struct sockaddr *addr, int *addrlen) {
    Accepted got{};
    {
        Guard guard(b->owner);
        if (b->count == 0) {
            const int error = b->error;
            b->error = 0;  // the next arm asks for more
            WSASetLastError(error != 0 ? error : WSAEWOULDBLOCK);
            return 0;
        }
        got = b->queue[b->head];
        b->head = (b->head + 1) % kAheadPerListener;
        --b->count;
        nudge_if_idle(b);  // room again, when it was full
    }
    *accepted = got.socket;
    *tied = got.tied;
    if (addr != nullptr && addrlen != nullptr) {
        const int n = *addrlen < got.addrlen ? *addrlen : got.addrlen;
        if (n > 0) std::memcpy(addr, &got.addr, static_cast<size_t>(n));
        *addrlen = got.addrlen;
    }
    return 1;
}

void backlog_close(Backlog *b) {
    AcceptAhead *a = b->owner;
    Accepted held[kAheadPerListener];
    int count = 0;
    bool free_it = false;
    {
        Guard guard(a);
        b->closed = true;
        b->accepting = false;
        while (b->busy) SleepConditionVariableSRW(&a->idle, &a->lock, INFINITE, 0);
        // Cancelled under the lock, so that its completion (which frees the
        // backlog) cannot be handled before.
        if (b->polling) CancelIoEx(reinterpret_cast<HANDLE>(a->poll_socket), &b->poll);
        for (; b->count > 0; --b->count, b->head = (b->head + 1) % kAheadPerListener)
            held[count++] = b->queue[b->head];
        free_it = done_with(a, b);
    }
    for (int i = 0; i < count; ++i) closesocket(held[i].socket);
    if (free_it) free_backlog(b);
}

}  // namespace os::win32
