// The engine at scale, beside libevent: an echo server holding 0, 1,000 and
// 10,000 idle connections.  For each count and each server this prints
//   accept_s   the time to open that many connections one after another
//              (each connect is complete once the server has taken the
//              previous ones off its listen queue),
//   idle_cpu   the server process's processor use over two idle seconds,
//   wakeups/s  its context switches per second meanwhile (an idle server
//              should have none),
//   rtt_us     the median and p99 round trip of 16-byte frames on one more,
//              active connection while the others stay idle.
// Servers run in processes of their own; the client uses plain sockets for
// both, so the two servers are measured by the same yardstick.  The
// descriptor limit is raised to its hard limit (10,000 connections need it),
// and both listeners get a backlog of kBacklog (the engine's user does it
// with listen() on the listener's socket): with the engine's default of 5, a
// client connecting faster than a busy machine schedules the server loses
// SYNs, and each loss costs a one-second retransmission on either server.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

namespace {

constexpr int kMostIdle = 10000;
constexpr int kRoundTrips = 5000;
constexpr int kBacklog = 4096;  // the system's usual limit (net.core.somaxconn)
using Clock = std::chrono::steady_clock;

sockaddr_in loopback(uint16_t port_net) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port_net;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void raise_descriptor_limit() {
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
}

// The engine server, in the recommended form: wait, read many, send many.
[[noreturn]] void engine_server(int report) {
    raise_descriptor_limit();
    if (vesk_net_init(kMostIdle + 64, 1, 0, 1, 8 << 20, 0, 0) != 0) _exit(2);
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback(0);
    const int listener =
        vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, reinterpret_cast<sockaddr *>(&any));
    vesk_net_attach(listener, ch);
    listen(vesk_net_get_socket(listener), kBacklog);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(vesk_net_get_socket(listener), reinterpret_cast<sockaddr *>(&bound), &len);
    (void)!write(report, &bound.sin_port, sizeof bound.sin_port);
    std::vector<uint8_t> batch(64 * (2 + VESK_NET_MAX_RECORD));
    for (;;) {
        if (vesk_net_channel_wait(ch, -1) != 1) continue;
        const int n = vesk_net_channel_read_many(ch, batch.data(), static_cast<int>(batch.size()));
        for (int at = 0; at < n;) {
            uint16_t length;
            std::memcpy(&length, batch.data() + at, 2);
            uint8_t *event = batch.data() + at + 2;
            at += 2 + length;
            int32_t slot;
            std::memcpy(&slot, event + 1, 4);
            if (event[0] == VESK_EV_TCP_DATA) {
                auto *msg = reinterpret_cast<vesk_net_msg *>(event);
                while (vesk_net_send_many(&msg, 1) == 0) vesk_usleep(0);
            } else if (event[0] == VESK_EV_ACCEPT) {
                int32_t accepted;
                std::memcpy(&accepted, event + 5, 4);
                no_delay(vesk_net_get_socket(accepted));
            } else if (event[0] == VESK_EV_CLOSED || event[0] == VESK_EV_FAILED) {
                vesk_net_close(slot);
            }
        }
    }
}

#ifdef BENCH_HAVE_LIBEVENT
void echo_read(bufferevent *bev, void *) {
    evbuffer *in = bufferevent_get_input(bev);
    for (;;) {
        uint8_t header[3];
        if (evbuffer_copyout(in, header, 3) < 3) return;
        const int length = static_cast<int16_t>(header[1] | header[2] << 8);
        const size_t size = 3 + static_cast<size_t>(length > 0 ? length : 0);
        if (evbuffer_get_length(in) < size) return;
        evbuffer_remove_buffer(in, bufferevent_get_output(bev), size);
    }
}

void echo_event(bufferevent *bev, short what, void *) {
    if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) bufferevent_free(bev);
}

void echo_accept(evconnlistener *listener, evutil_socket_t fd, sockaddr *, int, void *) {
    no_delay(fd);
    bufferevent *bev =
        bufferevent_socket_new(evconnlistener_get_base(listener), fd, BEV_OPT_CLOSE_ON_FREE);
    bufferevent_setcb(bev, echo_read, nullptr, echo_event, nullptr);
    bufferevent_enable(bev, EV_READ | EV_WRITE);
}

[[noreturn]] void libevent_server(int report) {
    raise_descriptor_limit();
    event_base *base = event_base_new();
    sockaddr_in any = loopback(0);
    evconnlistener *listener = evconnlistener_new_bind(
        base, echo_accept, nullptr, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, kBacklog,
        reinterpret_cast<sockaddr *>(&any), sizeof any);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(evconnlistener_get_fd(listener), reinterpret_cast<sockaddr *>(&bound), &len);
    (void)!write(report, &bound.sin_port, sizeof bound.sin_port);
    event_base_dispatch(base);
    _exit(0);
}
#endif

pid_t fork_server(void (*serve)(int), uint16_t *port) {
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

// Processor seconds and context switches of every thread of a process.
struct Usage {
    double cpu_s = 0;
    long switches = 0;
};

Usage usage_of(pid_t pid) {
    Usage u;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the command name, which is in parentheses.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long utime = 0;
    unsigned long stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    u.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    for (int tid = pid; tid < pid + 64; ++tid) {  // the server's threads follow its pid
        std::ifstream status(tasks + std::to_string(tid) + "/status");
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                u.switches += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return u;
}

int connect_to(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool echo_once(int fd) {
    uint8_t frame[19] = {0xFE, 16, 0};
    if (send(fd, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame))
        return false;
    size_t got = 0;
    while (got < sizeof frame) {
        const ssize_t n = recv(fd, frame + got, sizeof frame - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

void measure(const char *name, uint16_t port, pid_t server, int idle_count) {
    std::vector<int> idle;
    const auto start = Clock::now();
    for (int i = 0; i < idle_count; ++i) {
        const int fd = connect_to(port);
        if (fd < 0) break;
        idle.push_back(fd);
    }
    const int active = connect_to(port);
    no_delay(active);
    // The first echo proves that the server took every connection before it.
    const bool served = active >= 0 && echo_once(active);
    const double accept_s = std::chrono::duration<double>(Clock::now() - start).count();

    usleep(200 * 1000);
    const Usage before = usage_of(server);
    sleep(2);
    const Usage after = usage_of(server);

    std::vector<double> rtts;
    for (int i = 0; served && i < kRoundTrips; ++i) {
        const auto t = Clock::now();
        if (!echo_once(active)) break;
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    std::sort(rtts.begin(), rtts.end());
    const double median = rtts.empty() ? -1 : rtts[rtts.size() / 2];
    const double p99 = rtts.empty() ? -1 : rtts[rtts.size() * 99 / 100];
    std::printf(
        "%-9s idle=%-6d connected=%-6zu accept_s=%-7.3f idle_cpu=%5.1f%%  wakeups/s=%-7.1f rtt_us "
        "median=%-7.1f p99=%.1f\n",
        name, idle_count, idle.size(), accept_s, (after.cpu_s - before.cpu_s) / 2 * 100,
        static_cast<double>(after.switches - before.switches) / 2, median, p99);
    std::fflush(stdout);
    for (int fd : idle) close(fd);
    if (active >= 0) close(active);
    sleep(1);  // the server lets the closed connections go
}

}  // namespace

int main() {
    raise_descriptor_limit();
    struct Server {
        const char *name;
        void (*serve)(int);
    };
    std::vector<Server> servers = {{"engine", engine_server}};
#ifdef BENCH_HAVE_LIBEVENT
    servers.push_back({"libevent", libevent_server});
#endif
    std::vector<std::pair<pid_t, uint16_t>> running;
    for (const Server &s : servers) {
        uint16_t port = 0;
        const pid_t pid = fork_server(s.serve, &port);
        running.emplace_back(pid, port);
    }
    for (int idle_count : {0, 1000, kMostIdle}) {
        for (size_t i = 0; i < servers.size(); ++i) {
            measure(servers[i].name, running[i].second, running[i].first, idle_count);
        }
    }
    for (const auto &[pid, port] : running) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return 0;
}
