// Readiness for the engine's I/O thread on Linux: epoll, level-triggered,
// with an eventfd that other threads write to wake a wait.  Registrations
// change only when the engine changes a socket's interest, so a wait costs
// nothing for the idle sockets.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "os/os.h"

namespace {

// The wake-up descriptor's key: no socket is registered under it.
constexpr uint64_t kWakeKey = 1ull << 32;

uint32_t epoll_bits(unsigned interest) {
    uint32_t bits = 0;
    if (interest & os::kPollRead) bits |= EPOLLIN;
    if (interest & os::kPollWrite) bits |= EPOLLOUT;
    // EPOLLERR and EPOLLHUP are always reported; an error-only interest needs no bit.
    return bits;
}

uint64_t data_of(int key, unsigned interest) {
    // The interest rides along, so that a wait can report only what was asked.
    return static_cast<uint64_t>(static_cast<uint32_t>(key)) | static_cast<uint64_t>(interest)
                                                                   << 40;
}

// Readies the process's descriptor table for `count` more descriptors above
// `from`, up to the process's limit and at most kMostReserved.  The table
// grows by doubling as descriptors are opened, and in a process with several
// threads each growth waits until every processor has passed a quiescent
// point: 10 to 30 ms here.  Grown by an accept, that wait stalls the I/O
// thread while connections arriving in a burst overflow the listen queue,
// and a client whose connection the kernel dropped tries again only a second
// later: 10,000 connections took 1.1 s instead of 0.1.  Grown once, here,
// the wait comes at set-up.  The table never shrinks; kMostReserved bounds
// what an engine set up for millions of slots but using few holds in the
// kernel (8 bytes a descriptor).
constexpr int kMostReserved = 1 << 16;

void reserve_descriptors(int from, int count) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;  // GCOVR_EXCL_BR_LINE: cannot fail
    const rlim_t wanted =
        static_cast<rlim_t>(from) + static_cast<rlim_t>(std::min(count, kMostReserved));
    const rlim_t highest = std::min(wanted, limit.rlim_cur - 1);
    // The lowest free descriptor at or above `highest`: the table grows to hold it.
    const int at = fcntl(from, F_DUPFD_CLOEXEC, static_cast<int>(highest));
    if (at >= 0) close(at);
}

}  // namespace

struct os::Poller {
    int epoll_fd;
    int wake_fd;
    int capacity;
    epoll_event *ready;
};

os::Poller *os::poller_create(int capacity) {
    if (capacity < 1) return nullptr;
    auto *p = new (std::nothrow) os::Poller{-1, -1, capacity, nullptr};
    if (p == nullptr) return nullptr;
    p->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    p->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // One wait reports at most this many; the rest stay ready for the next.
    constexpr int kBatch = 1024;
    p->capacity = capacity < kBatch ? capacity + 1 : kBatch;
    // new[] tests the size itself: that branch is the compiler's.
    // GCOVR_EXCL_BR_START
    p->ready = new (std::nothrow) epoll_event[static_cast<size_t>(p->capacity)];
    // GCOVR_EXCL_BR_STOP
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeKey;
    if (p->epoll_fd < 0 || p->wake_fd < 0 || p->ready == nullptr ||
        epoll_ctl(p->epoll_fd, EPOLL_CTL_ADD, p->wake_fd, &wake) != 0) {
        os::poller_destroy(p);
        return nullptr;
    }
    reserve_descriptors(p->wake_fd, capacity);
    return p;
}

void os::poller_destroy(os::Poller *p) {
    if (p == nullptr) return;
    if (p->epoll_fd >= 0) close(p->epoll_fd);
    if (p->wake_fd >= 0) close(p->wake_fd);
    delete[] p->ready;
    delete p;  // GCOVR_EXCL_BR_LINE: delete's own null test
}

int os::poller_set(os::Poller *p, vesk_socket_t s, int key, unsigned old_interest,
                   unsigned interest) {
    // epoll receives nothing itself: a socket wanting only that is not
    // watched (epoll would report its hang-up to every wait).
    constexpr unsigned kWatched = os::kPollRead | os::kPollWrite | os::kPollError;
    old_interest &= kWatched;
    interest &= kWatched;
    if (old_interest == interest) return 0;
    epoll_event ev{};
    ev.events = epoll_bits(interest);
    ev.data.u64 = data_of(key, interest);
    int op = EPOLL_CTL_MOD;
    if (old_interest == 0) op = EPOLL_CTL_ADD;
    if (interest == 0) op = EPOLL_CTL_DEL;
    return epoll_ctl(p->epoll_fd, op, s, &ev) == 0 ? 0 : -1;
}

namespace {

// Waits into `ready` (room for `max`) and translates what came into `events`.
// The wake-up is drained here: only the thread that waits acts on it.
int wait_into(os::Poller *p, int timeout_ms, epoll_event *ready, os::PollEvent *events, int max) {
    const int n = epoll_wait(p->epoll_fd, ready, max, timeout_ms);
    if (n < 0) return -1;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const uint64_t data = ready[i].data.u64;
        if (data == kWakeKey) {
            uint64_t drained;
            // A failed read leaves the descriptor readable, so every later
            // wait would return at once: the failure is reported, and the
            // caller paces its retries.
            if (read(p->wake_fd, &drained, sizeof drained) < 0 && errno != EAGAIN) return -1;
            continue;
        }
        const uint32_t got = ready[i].events;
        const auto asked = static_cast<unsigned>(data >> 40);
        constexpr uint32_t kBroken = EPOLLERR | EPOLLHUP;
        // A hung-up or failed socket counts as readable and writable, so that
        // whoever waits on it looks at it and learns why.
        unsigned ready = 0;
        if ((asked & os::kPollRead) && (got & (EPOLLIN | kBroken))) ready |= os::kPollRead;
        if ((asked & os::kPollWrite) && (got & (EPOLLOUT | kBroken))) ready |= os::kPollWrite;
        if ((asked & os::kPollError) && (got & kBroken)) ready |= os::kPollError;
        if (ready == 0) continue;
        events[count++] = os::PollEvent{static_cast<int>(static_cast<uint32_t>(data)), ready};
    }
    return count;
}

}  // namespace

int os::poller_wait(os::Poller *p, int timeout_ms, os::PollEvent *events, int max) {
    if (max > p->capacity) max = p->capacity;
    return wait_into(p, timeout_ms, p->ready, events, max);
}

void os::poller_wake(os::Poller *p) {
    const uint64_t one = 1;
    ssize_t ignored = write(p->wake_fd, &one, sizeof one);
    (void)ignored;
}

// epoll tells of readiness: the caller receives its bytes itself.
int os::poller_take(os::Poller *, int, void *, int) { return -2; }

int os::poller_accept(os::Poller *, int, vesk_socket_t *, struct sockaddr *, int *) { return -2; }
