// The socket engine's platform operations on Windows Sockets: the socket calls
// that the exported wrappers do not cover (readiness is poller.cpp's).
#include <winsock2.h>
#include <windows.h>

#include "os/os.h"

static_assert(os::kAfInet == AF_INET);
static_assert(os::kSockStream == SOCK_STREAM);
static_assert(os::kSockDgram == SOCK_DGRAM);
static_assert(os::kIpprotoTcp == IPPROTO_TCP);
static_assert(os::kIpprotoUdp == IPPROTO_UDP);
static_assert(os::kSockaddrInSize == sizeof(sockaddr_in));

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
