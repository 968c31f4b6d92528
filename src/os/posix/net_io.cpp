// The socket engine's platform operations on POSIX: the socket calls that the
// exported wrappers do not cover (readiness is in poller.cpp).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/os.h"

static_assert(os::kAfInet == AF_INET);
static_assert(os::kSockStream == SOCK_STREAM);
static_assert(os::kSockDgram == SOCK_DGRAM);
static_assert(os::kIpprotoTcp == IPPROTO_TCP);
static_assert(os::kIpprotoUdp == IPPROTO_UDP);
static_assert(os::kSockaddrInSize == sizeof(sockaddr_in));

static_assert(os::kMaxPieces <= IOV_MAX);

int os::socket_send_pieces(vesk_socket_t s, const os::Piece *pieces, int count) {
    iovec vectors[os::kMaxPieces];
    if (count < 0 || count > os::kMaxPieces) return -1;
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<void *>(pieces[i].data);
        vectors[i].iov_len = static_cast<size_t>(pieces[i].length);
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = static_cast<size_t>(count);
    const ssize_t sent = sendmsg(s, &message, MSG_NOSIGNAL);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

static_assert(os::kMaxDatagrams <= UIO_MAXIOV);

namespace {

// The system's records for a batch of 1 to kMaxDatagrams datagrams: one
// vector and one message each, naming the datagram's bytes and address.
// False for a count outside that.
bool describe_batch(const os::Datagram *batch, int count, mmsghdr *messages, iovec *vectors) {
    if (count < 1 || count > os::kMaxDatagrams) return false;
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = batch[i].data;
        vectors[i].iov_len = static_cast<size_t>(batch[i].length);
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = const_cast<unsigned char *>(batch[i].address);
        messages[i].msg_hdr.msg_namelen = sizeof batch[i].address;
    }
    return true;
}

}  // namespace

int os::socket_receive_datagrams(vesk_socket_t s, os::Datagram *batch, int count) {
    mmsghdr messages[os::kMaxDatagrams];
    iovec vectors[os::kMaxDatagrams];
    if (!describe_batch(batch, count, messages, vectors)) return -1;
    const int n = recvmmsg(s, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    for (int i = 0; i < n; ++i) {
        batch[i].length = static_cast<int>(messages[i].msg_len);
        // A sender without an IPv4 address (none on an IPv4 socket) reads as
        // port 0, which the engine drops.
        if (messages[i].msg_hdr.msg_namelen != sizeof batch[i].address) {
            std::memset(batch[i].address, 0, sizeof batch[i].address);
        }
    }
    return n > 0 ? n : -1;
}

int os::socket_send_datagrams(vesk_socket_t s, const os::Datagram *batch, int count) {
    mmsghdr messages[os::kMaxDatagrams];
    iovec vectors[os::kMaxDatagrams];
    if (!describe_batch(batch, count, messages, vectors)) return -1;
    const int n = sendmmsg(s, messages, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n > 0 ? n : -1;
}

int os::socket_listen(vesk_socket_t s, int backlog) { return listen(s, backlog) == 0 ? 0 : -1; }

int os::listen_backlog_largest(void) { return SOMAXCONN; }

int os::socket_set_no_delay(vesk_socket_t s) {
    int on = 1;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : -1;
}

namespace {

vesk_socket_t accept_with(vesk_socket_t s, struct sockaddr *addr, int *addrlen, int flags) {
    socklen_t length = addrlen != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
    int fd = accept4(s, addr, addrlen != nullptr ? &length : nullptr, flags);
    if (fd < 0) return VESK_INVALID_SOCKET;
    if (addrlen != nullptr) *addrlen = static_cast<int>(length);
    return fd;
}

}  // namespace

vesk_socket_t os::socket_accept(vesk_socket_t s, struct sockaddr *addr, int *addrlen) {
    return accept_with(s, addr, addrlen, 0);
}

vesk_socket_t os::socket_accept_nonblocking(vesk_socket_t s, struct sockaddr *addr, int *addrlen) {
    return accept_with(s, addr, addrlen, SOCK_NONBLOCK);
}

int os::socket_connect(vesk_socket_t s, const struct sockaddr *addr, int addrlen) {
    return connect(s, addr, static_cast<socklen_t>(addrlen)) == 0 ? 0 : -1;
}

int os::socket_peer_name(vesk_socket_t s, struct sockaddr *addr, int *addrlen) {
    socklen_t length = static_cast<socklen_t>(*addrlen);
    if (getpeername(s, addr, &length) != 0) return -1;
    *addrlen = static_cast<int>(length);
    return 0;
}

int os::socket_ignore_unreachable(vesk_socket_t) { return 0; }

int os::socket_set_receive_buffer(vesk_socket_t s, int bytes) {
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return -1;
    int given = 0;
    socklen_t size = sizeof given;
    return getsockopt(s, SOL_SOCKET, SO_RCVBUF, &given, &size) == 0 ? given : -1;
}

int os::socket_set_reuse_address(vesk_socket_t s) {
    int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

int os::socket_pending_error(vesk_socket_t s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

int os::socket_last_error(void) { return errno; }

// EAGAIN and EWOULDBLOCK are one value on Linux, so the second test is never reached there.
bool os::socket_error_would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;  // GCOVR_EXCL_BR_LINE
}

bool os::socket_error_in_progress(int error) { return error == EINPROGRESS; }
