// The socket engine's platform operations on Windows Sockets: the socket calls
// that the exported wrappers do not cover (readiness is poller.cpp's).
#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>

#include <cstring>

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

// Winsock has no call for several datagrams: one recvfrom (sendto) each.
int os::socket_receive_datagrams(vesk_socket_t s, os::Datagram *batch, int count) {
    if (count < 1 || count > os::kMaxDatagrams) return -1;
    int n = 0;
    for (; n < count; ++n) {
        auto *from = reinterpret_cast<sockaddr *>(batch[n].address);
        int from_size = sizeof batch[n].address;
        const int got =
            recvfrom(s, static_cast<char *>(batch[n].data), batch[n].length, 0, from, &from_size);
        if (got >= 0) {
            batch[n].length = got;
        } else if (WSAGetLastError() != WSAEMSGSIZE) {
            break;  // the datagram was cut to its room, which its length keeps
        }
        if (from_size != static_cast<int>(sizeof batch[n].address)) {
            std::memset(batch[n].address, 0, sizeof batch[n].address);
        }
    }
    return n > 0 ? n : -1;
}

int os::socket_send_datagrams(vesk_socket_t s, const os::Datagram *batch, int count) {
    if (count < 1 || count > os::kMaxDatagrams) return -1;
    int n = 0;
    for (; n < count; ++n) {
        const auto *to = reinterpret_cast<const sockaddr *>(batch[n].address);
        if (sendto(s, static_cast<const char *>(batch[n].data), batch[n].length, 0, to,
                   sizeof batch[n].address) < 0) {
            break;
        }
    }
    return n > 0 ? n : -1;
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

int os::socket_ignore_unreachable(vesk_socket_t s) {
    BOOL report = FALSE;
    DWORD returned = 0;
    return WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                    nullptr) == 0
               ? 0
               : -1;
}

int os::socket_set_receive_buffer(vesk_socket_t s, int bytes) {
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes),
                   sizeof bytes) != 0) {
        return -1;
    }
    int given = 0;
    int size = sizeof given;
    return getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&given), &size) == 0
               ? given
               : -1;
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
