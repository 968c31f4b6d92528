// The engine at scale, beside libevent and Asio: an echo server holding 0,
// 1,000, 10,000 and 19,000 idle connections (a process here may hold 20,000
// descriptors).  For each count and each server this prints
//   accept_s   the time to open that many connections (from client processes
//              of their own, each connecting one after another) plus one echo
//              on a further connection, so that the server has taken them all,
//   idle_cpu   the server process's processor use over two idle seconds,
//   wakeups/s  its context switches per second meanwhile (an idle server
//              should have none),
//   rss_kib    the growth of the server's resident memory per idle
//              connection, in KiB (kernel socket buffers are not in it; what
//              set-up reserved for every possible connection is in rss_mib),
//   rss_mib    the server's whole resident memory with them,
//   rtt_us     the median, p99 and p99.9 round trip of 16-byte frames on one
//              more, active connection while the others stay idle.
// Then, for each server, the processor it spends on sparse traffic: one
// connection sending a 16-byte frame every 1,000, 200 and 100 us (waiting for
// each echo), for two seconds each; `cpu` is the server process's share of
// one core.  A server whose threads look again for work before they sleep
// pays for the looks here.
// Servers run in processes of their own; the clients use plain sockets for
// all, so the servers are measured by the same yardstick.  Every listener
// gets a backlog of kBacklog.  Each client process connects from a loopback
// address of its own (127.0.0.2, 127.0.0.3, ...), as clients of a real server
// come from many: from one address, the kernel's search for a free local
// port to one server address slows to about a millisecond per connect once
// half the local port range is taken (about 14,000 connections here), and
// that, not the server, would be what the time measured.
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net_common.h"
#include "net_peers.h"

using bench::loopback;
using bench::no_delay;

namespace {

constexpr int kMostIdle = 19000;
constexpr int kPerClient = 9500;  // idle connections per client process
constexpr int kRoundTrips = 5000;
constexpr int kBacklog = 4096;  // the system's usual limit (net.core.somaxconn)
using Clock = std::chrono::steady_clock;

void raise_descriptor_limit() {
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
}

// The engine's server in the recommended loop: wait, read many, send many.
[[noreturn]] void engine_server(int report) {
    raise_descriptor_limit();
    bench::serve_batched(bench::start_engine_listener(kMostIdle + 64, 8 << 20, kBacklog, report));
}

// The same, with a 60 s idle timeout on every connection: deadlines must cost
// nothing while none is due.
[[noreturn]] void engine_idle_timeout_server(int report) {
    raise_descriptor_limit();
    const int ch = bench::start_engine_listener(kMostIdle + 64, 8 << 20, kBacklog, report);
    vesk_net_set_idle_timeout(1, 60000);  // the listener is slot 1
    bench::serve_batched(ch);
}

// The engine's server with a table of exactly `g_table_slots` slots.  (With a
// listen queue of 4 the kernel drops connections that find it full, and its
// retransmission timers, seconds long, decide what such a run measures.)
int g_table_slots = 0;
[[noreturn]] void engine_server_sized(int report) {
    raise_descriptor_limit();
    bench::serve_batched(bench::start_engine_listener(g_table_slots, 8 << 20, 0, report));
}

#ifdef BENCH_HAVE_LIBEVENT
[[noreturn]] void libevent_server(int report) {
    raise_descriptor_limit();
    bench::serve_libevent(report, kBacklog);
}
#endif

#ifdef BENCH_HAVE_ASIO
[[noreturn]] void asio_server(int report) {
    raise_descriptor_limit();
    bench::serve_asio(report, kBacklog);
}
#endif

// Processor seconds and context switches of every thread of a process.
struct Usage {
    double cpu_s = 0;
    long switches = 0;
    long rss_kib = 0;
};

Usage usage_of(pid_t pid) {
    Usage u;
    u.cpu_s = bench::cpu_seconds(pid);
    std::string line;
    std::ifstream process_status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(process_status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) u.rss_kib = std::stol(line.substr(6));
    }
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

// A connection to the server; from 127.0.0.`source`, when not 0, with the
// local port chosen by connect (which lets addresses share ports).
int connect_to(uint16_t port, int source = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (source != 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7F000000u | static_cast<uint32_t>(source));
        if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            close(fd);
            return -1;
        }
    }
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

// A client process holding `count` idle connections from 127.0.0.`source`:
// it reports how many it opened through `report` and holds them until killed.
pid_t hold_idle(uint16_t port, int source, int count, int *report) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        raise_descriptor_limit();
        int opened = 0;
        while (opened < count && connect_to(port, source) >= 0) ++opened;
        (void)!write(fds[1], &opened, sizeof opened);
        for (;;) pause();
    }
    close(fds[1]);
    *report = fds[0];
    return pid;
}

// Idle connections from client processes of `per_client` each, every one
// from a loopback address of its own; `connected` is how many they opened.
struct IdleClients {
    std::vector<std::pair<pid_t, int>> holders;  // pid, report pipe
    int connected = 0;

    IdleClients(uint16_t port, int count, int per_client) {
        for (int left = count; left > 0; left -= per_client) {
            int report = -1;
            const int source = 2 + static_cast<int>(holders.size());
            const pid_t pid = hold_idle(port, source, std::min(left, per_client), &report);
            if (pid > 0) holders.emplace_back(pid, report);
        }
        for (const auto &[pid, report] : holders) {
            int opened = 0;
            if (read(report, &opened, sizeof opened) == sizeof opened) connected += opened;
            close(report);
        }
    }
    ~IdleClients() {
        for (const auto &[pid, report] : holders) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    IdleClients(const IdleClients &) = delete;
    IdleClients &operator=(const IdleClients &) = delete;
};

void measure(const char *name, uint16_t port, pid_t server, int idle_count) {
    const Usage empty = usage_of(server);
    const auto start = Clock::now();
    auto idle = std::make_unique<IdleClients>(port, idle_count, kPerClient);
    const int connected = idle->connected;
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
    rtts.reserve(kRoundTrips);  // never grown while measuring
    for (int i = 0; served && i < kRoundTrips; ++i) {
        const auto t = Clock::now();
        if (!echo_once(active)) break;
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    std::sort(rtts.begin(), rtts.end());
    auto at = [&](size_t per_mille) {
        return rtts.empty() ? -1.0 : rtts[rtts.size() * per_mille / 1000];
    };
    const double rss_per =
        idle_count > 0 ? static_cast<double>(after.rss_kib - empty.rss_kib) / idle_count : 0.0;
    std::printf(
        "%-9s idle=%-6d connected=%-6d accept_s=%-7.3f idle_cpu=%5.2f%%  wakeups/s=%-7.1f "
        "rss_kib=%-6.2f rss_mib=%-6.1f rtt_us median=%-7.1f p99=%-7.1f p99.9=%.1f\n",
        name, idle_count, connected, accept_s, (after.cpu_s - before.cpu_s) / 2 * 100,
        static_cast<double>(after.switches - before.switches) / 2, rss_per,
        static_cast<double>(after.rss_kib) / 1024, at(500), at(990), at(999));
    std::fflush(stdout);
    idle.reset();
    if (active >= 0) close(active);
    sleep(1);  // the server lets the closed connections go
}

void measure_sparse(const char *name, uint16_t port, pid_t server) {
    const int fd = connect_to(port);
    no_delay(fd);
    for (int gap_us : {1000, 200, 100}) {
        const Usage before = usage_of(server);
        const auto start = Clock::now();
        auto next = start;
        int pings = 0;
        while (Clock::now() - start < std::chrono::seconds(2)) {
            if (!echo_once(fd)) break;
            ++pings;
            next += std::chrono::microseconds(gap_us);
            std::this_thread::sleep_until(next);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const Usage after = usage_of(server);
        std::printf("sparse    %-9s gap_us=%-5d pings/s=%-6.0f cpu=%.1f%%\n", name, gap_us,
                    pings / seconds, (after.cpu_s - before.cpu_s) / seconds * 100);
        std::fflush(stdout);
    }
    close(fd);
}

// Accepting N connections into a table of N + 16 slots, from four client
// processes that each connect one after another (so at most four connections
// wait to be taken), each from a loopback address of its own; the cost per
// connection should not grow with N.
void measure_full_table_accepts() {
    for (const int count : {5000, 15000, 19000}) {
        g_table_slots = count + 16;
        uint16_t port = 0;
        const pid_t server = bench::fork_server(engine_server_sized, &port);
        usleep(100 * 1000);
        const auto start = Clock::now();
        auto idle = std::make_unique<IdleClients>(port, count, (count + 3) / 4);
        const int connected = idle->connected;
        const int active = connect_to(port);
        const bool served = active >= 0 && echo_once(active);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf(
            "accept    engine    table=%-6d connected=%-6d served=%d accept_s=%-7.3f "
            "us_per_conn=%.1f\n",
            g_table_slots, connected, served ? 1 : 0, seconds,
            seconds * 1e6 / std::max(connected, 1));
        std::fflush(stdout);
        idle.reset();
        if (active >= 0) close(active);
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        sleep(1);
    }
}

// A server's processor time per echoed message under a paced load: 64
// connections, `rate` frames a second in all (round robin), for three seconds.
// The engine's server is the echo example (a process of its own, `echo PORT`).
double cpu_per_message_us(pid_t server, uint16_t port, int rate, long *echoed_out) {
    constexpr int kConns = 64;
    std::vector<int> fds;
    const int ep = epoll_create1(0);
    for (int i = 0; i < kConns; ++i) {
        const int fd = connect_to(port);
        if (fd < 0) break;
        no_delay(fd);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        fds.push_back(fd);
    }
    usleep(200 * 1000);
    const Usage before = usage_of(server);
    const auto gap = std::chrono::nanoseconds(1000000000L / rate);
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(3);
    auto next = start;
    long sent = 0;
    long bytes_back = 0;
    uint8_t frame[19] = {0xFE, 16, 0};
    uint8_t in[65536];
    while (Clock::now() < end && !fds.empty()) {
        if (Clock::now() >= next) {
            (void)!send(fds[static_cast<size_t>(sent) % fds.size()], frame, sizeof frame,
                        MSG_NOSIGNAL);
            ++sent;
            next += gap;
        }
        epoll_event ready[kConns];
        const int n = epoll_wait(ep, ready, kConns, 0);
        for (int i = 0; i < n; ++i) {
            const ssize_t got = recv(ready[i].data.fd, in, sizeof in, 0);
            if (got > 0) bytes_back += got;
        }
        if (n <= 0) std::this_thread::sleep_until(std::min(next, Clock::now() + gap));
    }
    usleep(100 * 1000);  // the last echoes
    for (const int fd : fds) {
        ssize_t got;
        while ((got = recv(fd, in, sizeof in, MSG_DONTWAIT)) > 0) bytes_back += got;
    }
    const Usage after = usage_of(server);
    for (const int fd : fds) close(fd);
    close(ep);
    *echoed_out = bytes_back / static_cast<long>(sizeof frame);
    return *echoed_out > 0 ? (after.cpu_s - before.cpu_s) * 1e6 / *echoed_out : -1;
}

// A free loopback port for a server started by path.
uint16_t free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return a.sin_port;
}

void measure_cpu_per_message(const char *echo_path) {
    for (const int rate : {2000, 20000}) {
        {
            const uint16_t port = free_port();
            const pid_t pid = fork();
            if (pid == 0) {
                const int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                const std::string arg = std::to_string(ntohs(port));
                execl(echo_path, echo_path, arg.c_str(), static_cast<char *>(nullptr));
                _exit(127);
            }
            int probe = -1;
            for (int i = 0; i < 200 && (probe = connect_to(port)) < 0; ++i) usleep(10 * 1000);
            if (probe >= 0) close(probe);
            long echoed = 0;
            const double us = cpu_per_message_us(pid, port, rate, &echoed);
            std::printf("cpu       engine    rate=%-6d echoed=%-7ld cpu_us_per_msg=%.2f\n", rate,
                        echoed, us);
            std::fflush(stdout);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
#ifdef BENCH_HAVE_LIBEVENT
        {
            uint16_t port = 0;
            const pid_t pid = bench::fork_server(libevent_server, &port);
            usleep(100 * 1000);
            long echoed = 0;
            const double us = cpu_per_message_us(pid, port, rate, &echoed);
            std::printf("cpu       libevent  rate=%-6d echoed=%-7ld cpu_us_per_msg=%.2f\n", rate,
                        echoed, us);
            std::fflush(stdout);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
#endif
        sleep(1);
    }
}

}  // namespace

// `bench_net_scale [SERVER]`: all servers, or the one named; `bench_net_scale
// accept`: accepting into a nearly full table only; `bench_net_scale cpu
// [ECHO]`: processor time per message only (ECHO: the echo example's path).
int main(int argc, char **argv) {
    raise_descriptor_limit();
    if (argc > 1 && std::strcmp(argv[1], "accept") == 0) {
        measure_full_table_accepts();
        return 0;
    }
    // The echo example beside this program's build tree.
    const std::string self = argv[0];
    const std::string echo = self.substr(0, self.rfind('/') + 1) + "../examples/echo";
    if (argc > 1 && std::strcmp(argv[1], "cpu") == 0) {
        measure_cpu_per_message(argc > 2 ? argv[2] : echo.c_str());
        return 0;
    }
    struct Server {
        const char *name;
        void (*serve)(int);
    };
    std::vector<Server> servers = {{"engine", engine_server},
                                   {"engine-idle60", engine_idle_timeout_server}};
#ifdef BENCH_HAVE_LIBEVENT
    servers.push_back({"libevent", libevent_server});
#endif
#ifdef BENCH_HAVE_ASIO
    servers.push_back({"asio", asio_server});
#endif
    // A fresh server for every count, so that its memory growth is that of
    // the count alone.
    for (int idle_count : {0, 1000, 10000, kMostIdle}) {
        for (const Server &s : servers) {
            if (argc > 1 && std::strcmp(argv[1], s.name) != 0) continue;
            uint16_t port = 0;
            const pid_t pid = bench::fork_server(s.serve, &port);
            usleep(100 * 1000);  // set-up done before the first measurement
            measure(s.name, port, pid, idle_count);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    for (const Server &s : servers) {
        if (argc > 1 && std::strcmp(argv[1], s.name) != 0) continue;
        uint16_t port = 0;
        const pid_t pid = bench::fork_server(s.serve, &port);
        usleep(100 * 1000);
        measure_sparse(s.name, port, pid);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (argc == 1) {
        measure_full_table_accepts();
        if (access(echo.c_str(), X_OK) == 0) measure_cpu_per_message(echo.c_str());
    }
    return 0;
}
