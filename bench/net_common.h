// What the socket-engine benchmarks share: loopback addresses, echo servers
// forked into processes of their own (the engine's, in the recommended loop,
// and libevent's), and the echo of a batch of events.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if __has_include(<event2/event.h>)
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#define BENCH_HAVE_LIBEVENT 1
#endif

#include "vuvidur.h"

namespace bench {

inline sockaddr_in loopback(uint16_t port_net) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port_net;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// The processor time of every thread of process `pid` so far, in seconds
// (utime + stime of /proc/PID/stat).
inline double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the command name, which is in parentheses.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Every side turns Nagle's algorithm off, as a request/response protocol
// would; the engine leaves socket options to its users, who reach the socket
// with vesk_net_get_socket.
inline void no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Writes the port a listening socket is bound to into the pipe `report`.
inline void report_port(int report, int fd) {
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
    (void)!write(report, &bound.sin_port, sizeof bound.sin_port);
}

// Runs serve(report) in a child process and returns its pid; the child
// reports its port through the pipe.
inline pid_t fork_server(void (*serve)(int), uint16_t *port) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        serve(fds[1]);
    }
    close(fds[1]);
    if (read(fds[0], port, sizeof *port) != sizeof *port) *port = 0;
    close(fds[0]);
    return pid;
}

// Sets up an engine with a framed listener on loopback (a backlog of
// `backlog` when above the engine's 5), reports its port, and returns the
// channel its events arrive in.
inline int start_engine_listener(int slots, int ring, int backlog, int report) {
    if (vesk_net_init(slots, 1, 0, 1, ring, 0, 0) != 0) _exit(2);
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback(0);
    const int listener =
        vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, reinterpret_cast<sockaddr *>(&any));
    vesk_net_attach(listener, ch);
    if (backlog > 5) listen(vesk_net_get_socket(listener), backlog);
    report_port(report, vesk_net_get_socket(listener));
    return ch;
}

// Sends every message of a run with send_many, waiting while earlier bytes
// are pending; a refusal (the slot is gone) drops the rest.
inline void send_all_many(vesk_net_msg *const *msgs, int count) {
    while (count > 0) {
        const int taken = vesk_net_send_many(msgs, count);
        if (taken < 0) return;
        if (taken == 0) vesk_usleep(0);
        msgs += taken;
        count -= taken;
    }
}

// Waits until the channel has events, takes a batch of them with read_many,
// and calls on_event(event, length, slot) for each record in order.
template <class OnEvent>
void take_batch(int ch, std::vector<uint8_t> &batch, OnEvent &&on_event) {
    if (vesk_net_channel_wait(ch, -1) != VESK_NET_WAIT_EVENT) return;
    const int n = vesk_net_channel_read_many(ch, batch.data(), static_cast<int>(batch.size()));
    for (int at = 0; at < n;) {
        uint16_t length;
        std::memcpy(&length, batch.data() + at, 2);
        uint8_t *event = batch.data() + at + 2;
        at += 2 + length;
        int32_t slot;
        std::memcpy(&slot, event + 1, 4);
        on_event(event, length, slot);
    }
}

// The engine's echo server in the recommended loop: sleep until events
// arrive, take them all, echo each slot's run of frames with one call.
[[noreturn]] inline void serve_batched(int ch) {
    std::vector<uint8_t> batch(64 * (2 + VESK_NET_MAX_RECORD));
    std::vector<vesk_net_msg *> run;
    int32_t run_slot = 0;
    for (;;) {
        take_batch(ch, batch, [&](uint8_t *event, uint16_t, int32_t slot) {
            if (event[0] != VESK_EV_TCP_DATA || slot != run_slot) {
                send_all_many(run.data(), static_cast<int>(run.size()));
                run.clear();
            }
            if (event[0] == VESK_EV_TCP_DATA) {
                run_slot = slot;
                run.push_back(reinterpret_cast<vesk_net_msg *>(event));
            } else if (event[0] == VESK_EV_CLOSED || event[0] == VESK_EV_FAILED) {
                vesk_net_close(slot);
            }
        });
        send_all_many(run.data(), static_cast<int>(run.size()));
        run.clear();
        run_slot = 0;
    }
}

#ifdef BENCH_HAVE_LIBEVENT
// The size of the whole frame at the front of `in`, or 0 while it is not
// all there.
inline size_t whole_frame(evbuffer *in) {
    uint8_t header[3];
    if (evbuffer_copyout(in, header, 3) < 3) return 0;
    const int length = static_cast<int16_t>(header[1] | header[2] << 8);
    const size_t size = 3 + static_cast<size_t>(length > 0 ? length : 0);
    return evbuffer_get_length(in) < size ? 0 : size;
}

inline void echo_read(bufferevent *bev, void *) {
    evbuffer *in = bufferevent_get_input(bev);
    // Whole frames go back as they stand.
    while (const size_t size = whole_frame(in)) {
        evbuffer_remove_buffer(in, bufferevent_get_output(bev), size);
    }
}

inline void echo_event(bufferevent *bev, short what, void *) {
    if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) bufferevent_free(bev);
}

inline void echo_accept(evconnlistener *listener, evutil_socket_t fd, sockaddr *, int, void *) {
    no_delay(fd);
    bufferevent *bev =
        bufferevent_socket_new(evconnlistener_get_base(listener), fd, BEV_OPT_CLOSE_ON_FREE);
    bufferevent_setcb(bev, echo_read, nullptr, echo_event, nullptr);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
}

// libevent's echo server of the same protocol, blocking in epoll.
[[noreturn]] inline void serve_libevent(int report, int backlog) {
    event_base *base = event_base_new();
    sockaddr_in any = loopback(0);
    evconnlistener *listener = evconnlistener_new_bind(
        base, echo_accept, nullptr, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, backlog,
        reinterpret_cast<sockaddr *>(&any), sizeof any);
    report_port(report, evconnlistener_get_fd(listener));
    event_base_dispatch(base);
    _exit(0);
}
#endif

}  // namespace bench
