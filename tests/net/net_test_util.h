// Helpers for the socket engine's tests: loopback addresses, plain sockets
// as the remote peer, and waiting for events.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "records.h"
#include "vuvidur.h"

namespace nettest {

using Bytes = std::vector<uint8_t>;

inline sockaddr_in loopback(uint16_t port_host_order = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_host_order);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline const sockaddr *as_sockaddr(const sockaddr_in &a) {
    return reinterpret_cast<const sockaddr *>(&a);
}

// The address a socket is bound to.
inline sockaddr_in local_address(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return a;
}

// The address of an engine slot's socket.
inline sockaddr_in slot_address(int slot) { return local_address(vesk_net_get_socket(slot)); }

// Whether the tests run under a sanitizer (the Makefile sets this), so that
// heavy tests can scale down.
inline bool sanitized() {
    const char *v = std::getenv("VESK_SANITIZED");
    return v != nullptr && *v != '\0';
}

struct Event {
    int length = 0;
    uint8_t bytes[VESK_NET_MAX_RECORD] = {};
    int kind() const { return bytes[0]; }
    int slot() const {
        int32_t s;
        std::memcpy(&s, bytes + 1, 4);
        return s;
    }
    Msg msg() const { return unpack_msg(bytes); }
    Accept accept() const { return unpack_accept(bytes); }
    Connect connect() const { return unpack_connect(bytes); }
    ProbeReply probe_reply() const { return unpack_probe_reply(bytes); }
    Bytes data() const {  // payload of a data event
        return Bytes(bytes + 18, bytes + length);
    }
};

// Polls the channel until an event arrives (true) or `timeout_ms` passes
// (false).  A negative read result is a test failure: it is returned in
// ev.length with false.
inline bool next_event(int channel, Event &ev, int timeout_ms = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        ev.length = vesk_net_channel_read(channel, ev.bytes);
        if (ev.length != 0) return ev.length > 0;
        if (std::chrono::steady_clock::now() > deadline) return false;
        usleep(200);
    }
}

// True when nothing arrives on the channel within `ms`.
inline bool stays_quiet(int channel, int ms = 50) {
    Event ev;
    return !next_event(channel, ev, ms) && ev.length == 0;
}

// A plain blocking TCP socket connected to 127.0.0.1:port (network order),
// with a receive buffer of `receive_buffer` bytes when above 0.  (Set before
// the connection: a buffer shrunk afterwards below one loopback segment
// makes the kernel trickle data at a few hundred KB/s to a sender without
// Nagle's delay.)
inline int plain_connect(uint16_t port_net, int receive_buffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in a = loopback();
    a.sin_port = port_net;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A plain listening TCP socket on 127.0.0.1, any port.
inline int plain_listener() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback();
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(fd, 64);
    return fd;
}

// A plain UDP socket bound to 127.0.0.1, any port.
inline int plain_udp() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback();
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    return fd;
}

inline bool send_all(int fd, const Bytes &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Receives exactly n bytes (fewer when the peer ends or time runs out).
inline Bytes recv_exact(int fd, size_t n, int timeout_ms = 3000) {
    Bytes out;
    out.reserve(n);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        uint8_t chunk[65536];
        size_t want = n - out.size() < sizeof chunk ? n - out.size() : sizeof chunk;
        ssize_t got = recv(fd, chunk, want, 0);
        if (got <= 0) break;
        out.insert(out.end(), chunk, chunk + got);
    }
    return out;
}

// Whether a datagram arrives on fd within ms; its bytes in `out`.
inline bool recv_datagram(int fd, Bytes &out, int ms = 2000, sockaddr_in *from = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    uint8_t buf[65536];
    sockaddr_in src{};
    socklen_t len = sizeof src;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&src), &len);
    if (n < 0) return false;
    out.assign(buf, buf + n);
    if (from != nullptr) *from = src;
    return true;
}

// Sends `payload` to `to` in a UDP datagram whose source port is 0 (a raw
// socket builds the header): false when raw sockets are not allowed here.
inline bool send_from_port_zero(const sockaddr_in &to, const Bytes &payload) {
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (fd < 0) return false;
    Bytes datagram(8 + payload.size());
    const uint16_t length = htons(static_cast<uint16_t>(datagram.size()));
    std::memcpy(&datagram[2], &to.sin_port, 2);  // source port 0, checksum 0 (none)
    std::memcpy(&datagram[4], &length, 2);
    std::memcpy(datagram.data() + 8, payload.data(), payload.size());
    const bool sent = sendto(fd, datagram.data(), datagram.size(), 0,
                             reinterpret_cast<const sockaddr *>(&to), sizeof to) > 0;
    close(fd);
    return sent;
}

inline Bytes wire_frame(const Bytes &payload) {
    Bytes f = {0xFE, static_cast<uint8_t>(payload.size() & 0xFF),
               static_cast<uint8_t>((payload.size() >> 8) & 0xFF)};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// A message record for vesk_net_send: 18 bytes of head, then the payload.
struct Message {
    std::vector<uint8_t> storage;
    // One spare byte behind the payload keeps storage[18] valid when the
    // payload is empty.
    Message(int slot, const Bytes &payload, uint32_t addr = 0, uint16_t port = 0)
        : storage(18 + payload.size() + 1) {
        vesk_net_msg head{};
        head.slot = slot;
        head.addr = addr;
        head.port = port;
        head.length = static_cast<int32_t>(payload.size());
        std::memcpy(storage.data(), &head, sizeof head);
        if (!payload.empty()) std::memcpy(&storage[18], payload.data(), payload.size());
    }
    vesk_net_msg *msg() { return reinterpret_cast<vesk_net_msg *>(storage.data()); }
    void set_length(int32_t length) { std::memcpy(storage.data() + 11, &length, 4); }
    int send() { return vesk_net_send(msg()); }
};

inline Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

}  // namespace nettest
