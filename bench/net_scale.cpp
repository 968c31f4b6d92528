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
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net_common.h"

using bench::loopback;
using bench::no_delay;

namespace {

constexpr int kMostIdle = 10000;
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

#ifdef BENCH_HAVE_LIBEVENT
[[noreturn]] void libevent_server(int report) {
    raise_descriptor_limit();
    bench::serve_libevent(report, kBacklog);
}
#endif

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
        const pid_t pid = bench::fork_server(s.serve, &port);
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
