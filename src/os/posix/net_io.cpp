// The socket engine's platform operations on POSIX: readiness by poll(), and
// the socket calls that the exported wrappers do not cover.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "os/os.h"

static_assert(os_af_inet == AF_INET);
static_assert(os_sock_stream == SOCK_STREAM);
static_assert(os_sock_dgram == SOCK_DGRAM);
static_assert(os_ipproto_tcp == IPPROTO_TCP);
static_assert(os_ipproto_udp == IPPROTO_UDP);
static_assert(os_sockaddr_in_size == sizeof(sockaddr_in));

struct os_poll_set {
    int capacity;
    int count;
    pollfd *fds;
    unsigned *interest;
};

os_poll_set *os_poll_create(int capacity) {
    if (capacity < 1) return nullptr;
    auto *set = new (std::nothrow) os_poll_set{capacity, 0, nullptr, nullptr};
    if (set == nullptr) return nullptr;
    set->fds = new (std::nothrow) pollfd[static_cast<size_t>(capacity)];
    set->interest = new (std::nothrow) unsigned[static_cast<size_t>(capacity)];
    if (set->fds == nullptr || set->interest == nullptr) {
        os_poll_destroy(set);
        return nullptr;
    }
    return set;
}

void os_poll_destroy(os_poll_set *set) {
    if (set == nullptr) return;
    delete[] set->fds;
    delete[] set->interest;
    delete set;
}

void os_poll_clear(os_poll_set *set) { set->count = 0; }

int os_poll_add(os_poll_set *set, vesk_socket_t s, unsigned interest) {
    if (set->count >= set->capacity) return -1;
    int index = set->count++;
    short events = 0;
    if (interest & OS_POLL_READ) events |= POLLIN;
    if (interest & OS_POLL_WRITE) events |= POLLOUT;
    // POLLERR and POLLHUP are always reported; an error-only interest needs no bit.
    set->fds[index] = pollfd{s, events, 0};
    set->interest[index] = interest;
    return index;
}

int os_poll_wait(os_poll_set *set, int timeout_ms) {
    int rc = poll(set->fds, static_cast<nfds_t>(set->count), timeout_ms);
    return rc < 0 ? -1 : rc;
}

unsigned os_poll_ready(const os_poll_set *set, int index) {
    if (index < 0 || index >= set->count) return 0;
    const short got = set->fds[index].revents;
    const unsigned asked = set->interest[index];
    constexpr short kBroken = POLLERR | POLLHUP | POLLNVAL;
    unsigned ready = 0;
    // A hung-up or failed socket counts as readable (the receive then reports
    // the end or the error) and as writable (as select marks a socket with a
    // pending error), so that nothing waits on it for ever.
    if ((asked & OS_POLL_READ) && (got & (POLLIN | kBroken))) ready |= OS_POLL_READ;
    if ((asked & OS_POLL_WRITE) && (got & (POLLOUT | kBroken))) ready |= OS_POLL_WRITE;
    if ((asked & OS_POLL_ERROR) && (got & kBroken)) ready |= OS_POLL_ERROR;
    return ready;
}

int os_socket_listen(vesk_socket_t s, int backlog) { return listen(s, backlog) == 0 ? 0 : -1; }

vesk_socket_t os_socket_accept(vesk_socket_t s, struct sockaddr *addr, int *addrlen) {
    socklen_t length = addrlen != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
    int fd = accept(s, addr, addrlen != nullptr ? &length : nullptr);
    if (fd < 0) return VESK_INVALID_SOCKET;
    if (addrlen != nullptr) *addrlen = static_cast<int>(length);
    return fd;
}

int os_socket_connect(vesk_socket_t s, const struct sockaddr *addr, int addrlen) {
    return connect(s, addr, static_cast<socklen_t>(addrlen)) == 0 ? 0 : -1;
}

int os_socket_peer_name(vesk_socket_t s, struct sockaddr *addr, int *addrlen) {
    socklen_t length = static_cast<socklen_t>(*addrlen);
    if (getpeername(s, addr, &length) != 0) return -1;
    *addrlen = static_cast<int>(length);
    return 0;
}

int os_socket_set_reuse_address(vesk_socket_t s) {
    int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

int os_socket_pending_error(vesk_socket_t s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

int os_socket_last_error(void) { return errno; }

bool os_socket_error_would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool os_socket_error_in_progress(int error) { return error == EINPROGRESS; }
