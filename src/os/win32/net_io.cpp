// The socket engine's platform operations on Windows Sockets: readiness by
// select(), and the socket calls that the exported wrappers do not cover.
#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <new>

#include "os/os.h"
#include "os/win32/poll_set.h"

static_assert(os::kAfInet == AF_INET);
static_assert(os::kSockStream == SOCK_STREAM);
static_assert(os::kSockDgram == SOCK_DGRAM);
static_assert(os::kIpprotoTcp == IPPROTO_TCP);
static_assert(os::kIpprotoUdp == IPPROTO_UDP);
static_assert(os::kSockaddrInSize == sizeof(sockaddr_in));

namespace {

// A Windows socket set is a count followed by an array of sockets, and select
// reads only as many entries as the count says: a set allocated with room for
// `capacity` sockets holds that many, whatever FD_SETSIZE is.
fd_set *new_socket_set(int capacity) {
    size_t bytes = offsetof(fd_set, fd_array) + sizeof(SOCKET) * static_cast<size_t>(capacity);
    auto *set = static_cast<fd_set *>(::operator new(bytes, std::nothrow));
    if (set != nullptr) set->fd_count = 0;
    return set;
}

void delete_socket_set(fd_set *set) { ::operator delete(set); }

}  // namespace

// select() returns each set compacted to its ready sockets; a small open-
// addressing table from socket to entry index turns that back into per-entry
// results in one sweep, so a pass costs O(sockets) and not O(sockets^2).
struct os::PollSet {
    int capacity;
    int count;
    SOCKET *sockets;      // per entry
    unsigned *interest;   // per entry
    unsigned *ready;      // per entry, filled by os::poll_wait
    int *table;           // entry index + 1, 0 for an empty bucket
    unsigned table_mask;  // bucket count - 1 (a power of two, >= 2 x capacity)
    fd_set *read_set;
    fd_set *write_set;
    fd_set *error_set;
};

namespace {

unsigned bucket_of(SOCKET s, unsigned mask) {
    // Socket values are multiples of 4 on Windows: mix the bits first.
    auto v = static_cast<uint32_t>(s);
    v ^= v >> 16;
    v *= 0x45d9f3bU;
    v ^= v >> 16;
    return v & mask;
}

void add_to(fd_set *set, SOCKET s) { set->fd_array[set->fd_count++] = s; }

// ORs `bits` into every entry that holds one of the sockets that select left
// in `set`.  A socket added twice has two entries; both get the bits.
void mark_ready(os::PollSet *set, const fd_set *result, unsigned bits) {
    for (u_int i = 0; i < result->fd_count; ++i) {
        SOCKET s = result->fd_array[i];
        for (unsigned b = bucket_of(s, set->table_mask); set->table[b] != 0;
             b = (b + 1) & set->table_mask) {
            int index = set->table[b] - 1;
            if (set->sockets[index] == s) set->ready[index] |= bits;
        }
    }
}

}  // namespace

os::PollSet *os::poll_create(int capacity) {
    if (capacity < 1 || capacity > (1 << 24)) return nullptr;
    auto *set = new (std::nothrow) os::PollSet{};
    if (set == nullptr) return nullptr;
    unsigned buckets = 1;
    while (buckets < 2u * static_cast<unsigned>(capacity)) buckets <<= 1;
    set->capacity = capacity;
    set->table_mask = buckets - 1;
    set->sockets = new (std::nothrow) SOCKET[static_cast<size_t>(capacity)];
    set->interest = new (std::nothrow) unsigned[static_cast<size_t>(capacity)];
    set->ready = new (std::nothrow) unsigned[static_cast<size_t>(capacity)];
    set->table = new (std::nothrow) int[buckets]();
    set->read_set = new_socket_set(capacity);
    set->write_set = new_socket_set(capacity);
    set->error_set = new_socket_set(capacity);
    if (set->sockets == nullptr || set->interest == nullptr || set->ready == nullptr ||
        set->table == nullptr || set->read_set == nullptr || set->write_set == nullptr ||
        set->error_set == nullptr) {
        os::poll_destroy(set);
        return nullptr;
    }
    return set;
}

void os::poll_destroy(os::PollSet *set) {
    if (set == nullptr) return;
    delete[] set->sockets;
    delete[] set->interest;
    delete[] set->ready;
    delete[] set->table;
    delete_socket_set(set->read_set);
    delete_socket_set(set->write_set);
    delete_socket_set(set->error_set);
    delete set;
}

void os::poll_clear(os::PollSet *set) {
    // Only the buckets in use are cleared, so an almost empty set is cheap.
    for (int i = 0; i < set->count; ++i) {
        for (unsigned b = bucket_of(set->sockets[i], set->table_mask); set->table[b] != 0;
             b = (b + 1) & set->table_mask) {
            set->table[b] = 0;
        }
    }
    set->count = 0;
}

int os::poll_add(os::PollSet *set, vesk_socket_t s, unsigned interest) {
    if (set->count >= set->capacity) return -1;
    int index = set->count++;
    set->sockets[index] = s;
    set->interest[index] = interest;
    set->ready[index] = 0;
    unsigned b = bucket_of(s, set->table_mask);
    while (set->table[b] != 0) b = (b + 1) & set->table_mask;
    set->table[b] = index + 1;
    return index;
}

int os::poll_wait(os::PollSet *set, int timeout_ms) {
    set->read_set->fd_count = 0;
    set->write_set->fd_count = 0;
    set->error_set->fd_count = 0;
    for (int i = 0; i < set->count; ++i) {
        set->ready[i] = 0;
        if (set->interest[i] & os::kPollRead) add_to(set->read_set, set->sockets[i]);
        if (set->interest[i] & os::kPollWrite) add_to(set->write_set, set->sockets[i]);
        // Only sockets that ask for it watch the exception set: a
        // non-blocking connect that fails is reported there and nowhere else,
        // but so is urgent (out-of-band) data, which the receive never reads.
        // An established connection in the set would be reported ready at
        // every pass with nothing to read, and the I/O thread would spin.
        if (set->interest[i] & os::kPollError) add_to(set->error_set, set->sockets[i]);
    }
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    // Every entry asks for something (interest is never 0), so at least one
    // set is non-empty, as select requires.
    int rc = select(0, set->read_set->fd_count ? set->read_set : nullptr,
                    set->write_set->fd_count ? set->write_set : nullptr,
                    set->error_set->fd_count ? set->error_set : nullptr,
                    timeout_ms < 0 ? nullptr : &timeout);
    if (rc <= 0) return rc < 0 ? -1 : 0;
    mark_ready(set, set->read_set, os::kPollRead);
    mark_ready(set, set->write_set, os::kPollWrite);
    // A socket in the exception set has failed: as on POSIX, it counts as
    // readable and writable too, so that whoever waits on it looks at it.
    mark_ready(set, set->error_set, os::kPollRead | os::kPollWrite | os::kPollError);
    int ready = 0;
    for (int i = 0; i < set->count; ++i) {
        set->ready[i] &= set->interest[i];
        if (set->ready[i] != 0) ++ready;
    }
    return ready;
}

unsigned os::poll_ready(const os::PollSet *set, int index) {
    if (index < 0 || index >= set->count) return 0;
    return set->ready[index];
}

int os::socket_send_pieces(vesk_socket_t s, const os::Piece *pieces, int count) {
    WSABUF buffers[os::kMaxPieces];
    if (count < 0 || count > os::kMaxPieces) return -1;
    for (int i = 0; i < count; ++i) {
        buffers[i].len = static_cast<ULONG>(pieces[i].length);
        buffers[i].buf = static_cast<CHAR *>(const_cast<void *>(pieces[i].data));
    }
    DWORD sent = 0;
    if (WSASend(s, buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0) return -1;
    return static_cast<int>(sent);
}

int os::socket_listen(vesk_socket_t s, int backlog) { return listen(s, backlog) == 0 ? 0 : -1; }

int os::listen_backlog_largest(void) { return SOMAXCONN; }

namespace {

// Turns a boolean socket option on: 0 or -1.
int set_option_on(vesk_socket_t s, int level, int name) {
    BOOL on = TRUE;
    return setsockopt(s, level, name, reinterpret_cast<const char *>(&on), sizeof on) == 0 ? 0 : -1;
}

}  // namespace

int os::socket_set_no_delay(vesk_socket_t s) { return set_option_on(s, IPPROTO_TCP, TCP_NODELAY); }

vesk_socket_t os::socket_accept(vesk_socket_t s, struct sockaddr *addr, int *addrlen) {
    return accept(s, addr, addrlen);  // INVALID_SOCKET is VESK_INVALID_SOCKET
}

// A socket accepted here has the listening socket's properties, its
// non-blocking mode among them: setting the mode again would cost every
// connection a call for nothing (three requests to the Wine server).
vesk_socket_t os::socket_accept_nonblocking(vesk_socket_t s, struct sockaddr *addr, int *addrlen) {
    return os::socket_accept(s, addr, addrlen);
}

int os::socket_connect(vesk_socket_t s, const struct sockaddr *addr, int addrlen) {
    return connect(s, addr, addrlen) == 0 ? 0 : -1;
}

int os::socket_peer_name(vesk_socket_t s, struct sockaddr *addr, int *addrlen) {
    return getpeername(s, addr, addrlen) == 0 ? 0 : -1;
}

int os::socket_set_reuse_address(vesk_socket_t s) {
    return set_option_on(s, SOL_SOCKET, SO_REUSEADDR);
}

int os::socket_pending_error(vesk_socket_t s) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0) {
        return WSAGetLastError();
    }
    return error;
}

int os::socket_last_error(void) { return WSAGetLastError(); }

bool os::socket_error_would_block(int error) { return error == WSAEWOULDBLOCK; }

// A non-blocking connect that has started answers WSAEWOULDBLOCK (10035).
bool os::socket_error_in_progress(int error) { return error == WSAEWOULDBLOCK; }
