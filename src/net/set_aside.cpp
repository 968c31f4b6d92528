// Sockets of closed slots that still had bytes to send.  The slot is freed
// at once; its socket and a copy of the unsent bytes are kept here, watched
// for writability under key -(index + 1), and flushed by the I/O thread until
// the bytes are out, the connection fails, or kSetAsideMs pass.  Only then is
// the socket closed.  Everything here runs on the I/O thread, or in tear-down
// after it has stopped.
#include <cstring>

#include "net/net_internal.h"

namespace net {

namespace {

int key_of(int index) { return -(index + 1); }

void close_entry(SetAside &a) VESK_REQUIRES(g_io_thread) {
    vesk_socket_close(a.socket);
    vesk_mem_free(a.bytes);
}

}  // namespace

bool set_aside(vesk_socket_t sock, const uint8_t *bytes, int length) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    if (e.aside_count >= e.slot_count) return false;
    const int index = e.aside_count;
    if (os::poller_set(e.poller, sock, key_of(index), 0, os::kPollWrite) != 0) return false;
    auto *copy = static_cast<uint8_t *>(vesk_mem_alloc(0, 0, static_cast<uint32_t>(length)));
    std::memcpy(copy, bytes, static_cast<size_t>(length));
    e.aside[e.aside_count++] = SetAside{sock, copy, length, 0, now_ms()};
    return true;
}

void flush_set_aside(int index) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    if (index < 0 || index >= e.aside_count) return;
    SetAside &a = e.aside[index];
    if (a.length == 0) return;
    const int sent = vesk_socket_send(a.socket, a.bytes + a.sent, a.length);
    if (sent > 0) {
        tally(e.counters.bytes_out, static_cast<uint64_t>(sent));
        a.sent += sent;
        a.length -= sent;
    } else if (sent < 0 && !os::socket_error_would_block(os::socket_last_error())) {
        a.length = 0;  // the connection failed: nothing more can go out
    }
}

void retire_set_aside(uint32_t now) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    for (int i = 0; i < e.aside_count;) {
        SetAside &a = e.aside[i];
        if (a.length > 0 && now - a.since_ms < kSetAsideMs) {
            ++i;
            continue;
        }
        os::poller_set(e.poller, a.socket, key_of(i), os::kPollWrite, 0);
        close_entry(a);
        const int last = --e.aside_count;
        if (i == last) break;
        // The last entry moves into the gap and is watched under its new key.
        a = e.aside[last];
        os::poller_set(e.poller, a.socket, key_of(last), os::kPollWrite, 0);
        os::poller_set(e.poller, a.socket, key_of(i), 0, os::kPollWrite);
    }
}

int set_aside_due(uint32_t now) VESK_REQUIRES(g_io_thread) {
    const Engine &e = g_engine;
    int due = -1;
    for (int i = 0; i < e.aside_count; ++i) {
        const uint32_t age = now - e.aside[i].since_ms;
        const int left = age >= kSetAsideMs ? 0 : static_cast<int>(kSetAsideMs - age);
        if (due < 0 || left < due) due = left;
    }
    return due;
}

void discard_set_aside() VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    for (int i = 0; i < e.aside_count; ++i) {
        if (e.poller != nullptr)
            os::poller_set(e.poller, e.aside[i].socket, key_of(i), os::kPollWrite, 0);
        close_entry(e.aside[i]);
    }
    e.aside_count = 0;
}

}  // namespace net
