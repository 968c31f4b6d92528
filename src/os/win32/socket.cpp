// Socket wrappers on Windows Sockets 2.2.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <type_traits>

#include "os/os.h"

static_assert(std::is_same_v<vesk_socket_t, SOCKET>);
static_assert(VESK_INVALID_SOCKET == INVALID_SOCKET);

namespace {

constexpr WORD kSocketLayerVersion = MAKEWORD(2, 2);

// "bind error!" followed by the description of the socket layer's own error.
// The C runtime's error number is not set by a failed socket(), so perror
// would describe whatever an earlier call left there.
void report_socket_failure() {
    int error = WSAGetLastError();
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = '\0';
    if (n > 0) {
        std::fprintf(stderr, "bind error!: %s\n", text);
    } else {
        std::fprintf(stderr, "bind error!: socket error %d\n", error);
    }
    WSASetLastError(error);  // the caller may still ask why
}

}  // namespace

extern "C" {

VESK_API vesk_socket_t vesk_socket_create(int af, int type, int protocol) {
    SOCKET s = socket(af, type, protocol);
    if (s == INVALID_SOCKET) report_socket_failure();
    return s;
}

VESK_API int vesk_socket_bind(vesk_socket_t s, const struct sockaddr *addr, int addrlen) {
    return bind(s, addr, addrlen);
}

VESK_API int vesk_socket_close(vesk_socket_t s) { return closesocket(s); }

VESK_API int vesk_socket_send(vesk_socket_t s, const void *buf, int len) {
    return send(s, static_cast<const char *>(buf), len, 0);
}

VESK_API int vesk_socket_sendto(vesk_socket_t s, const void *buf, int len, int flags,
                                const struct sockaddr *to, int tolen) {
    return sendto(s, static_cast<const char *>(buf), len, flags, to, tolen);
}

VESK_API int vesk_socket_recvfrom(vesk_socket_t s, void *buf, int len, int flags,
                                  struct sockaddr *from, int *fromlen) {
    return recvfrom(s, static_cast<char *>(buf), len, flags, from, fromlen);
}

VESK_API int vesk_socket_startup(void) {
    WSADATA data;
    int rc = WSAStartup(kSocketLayerVersion, &data);
    if (rc != 0) return rc;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        // Another version was granted: hand the layer back.  The result stays
        // 0, as callers have always seen it.
        WSACleanup();
    }
    return 0;
}

VESK_API int vesk_socket_cleanup(void) { return WSACleanup(); }

}  // extern "C"

int os::set_nonblocking(vesk_socket_t s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == SOCKET_ERROR ? -1 : 0;
}
