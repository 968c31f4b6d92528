// Socket wrappers on POSIX.  The socket layer needs no start-up here.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "os/os.h"

extern "C" {

VESK_API vesk_socket_t vesk_socket_create(int af, int type, int protocol) {
    int s = socket(af, type, protocol);
    if (s < 0) {
        std::perror("bind error!");
        return VESK_INVALID_SOCKET;
    }
    return s;
}

VESK_API int vesk_socket_bind(vesk_socket_t s, const struct sockaddr *addr, int addrlen) {
    return bind(s, addr, static_cast<socklen_t>(addrlen));
}

VESK_API int vesk_socket_close(vesk_socket_t s) { return close(s); }

// MSG_NOSIGNAL: a send on a connection the peer has closed fails with EPIPE
// instead of killing the process with SIGPIPE, as sends do on Windows.
VESK_API int vesk_socket_send(vesk_socket_t s, const void *buf, int len) {
    return static_cast<int>(send(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL));
}

VESK_API int vesk_socket_sendto(vesk_socket_t s, const void *buf, int len, int flags,
                                const struct sockaddr *to, int tolen) {
    return static_cast<int>(sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to,
                                   static_cast<socklen_t>(tolen)));
}

VESK_API int vesk_socket_recvfrom(vesk_socket_t s, void *buf, int len, int flags,
                                  struct sockaddr *from, int *fromlen) {
    socklen_t length = fromlen != nullptr ? static_cast<socklen_t>(*fromlen) : 0;
    auto rc = recvfrom(s, buf, static_cast<size_t>(len), flags, from,
                       fromlen != nullptr ? &length : nullptr);
    if (fromlen != nullptr && rc >= 0) *fromlen = static_cast<int>(length);
    return static_cast<int>(rc);
}

VESK_API int vesk_socket_startup(void) { return 0; }

VESK_API int vesk_socket_cleanup(void) { return 0; }

}  // extern "C"

int os::set_nonblocking(vesk_socket_t s) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    return 0;
}
