// UDP slots beside a plain epoll + recvmmsg server, both serving the same
// presence protocol (heartbeats are data frames, keepalives are answered
// with the sender's entry at most once a second, probes are answered) in
// processes of their own, measured by the same clients:
//   rate       the server's processor time per datagram (all its threads)
//              under a fixed load of 16-byte heartbeats from 64 sockets,
//              and what the kernel dropped at its socket;
//   strangers  the same for keepalives from senders not in the peer table,
//              with a table of 64 and of 30,000 entries;
//   presence   2,000 clients, each sending a heartbeat and a keepalive every
//              1.1 s: the share of keepalives answered and the server's
//              share of one core;
//   add_peer   vesk_net_add_peer into an empty table and on average while
//              a 30,000-entry table fills (in this process).
// Usage: bench_net_udp [rate|strangers|presence|add_peer] (all without one).
// Only C calls that every version of the engine has are used, so that the
// same program measures an older build too (docs/benchmarks.md).
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net_common.h"
#include "vuvidur.h"

namespace {

using bench::cpu_seconds;
using bench::loopback;
using Clock = std::chrono::steady_clock;
constexpr int kBatch = 64;
constexpr int kReceiveBuffer = 4 << 20;

struct Shared {
    std::atomic<long> delivered;  // heartbeats the server's application saw
};
Shared *g_shared = nullptr;

uint16_t port_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return a.sin_port;
}

// Root may pass net.core.rmem_max; both servers get the same buffer.
void big_receive_buffer(int fd) {
    const int size = kReceiveBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// A stranger's address for the table's entries: 10.x.y.z:1.
sockaddr_in filler(int i) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(1);
    a.sin_addr.s_addr = htonl(0x0A000000u + static_cast<uint32_t>(i) + 1);
    return a;
}

uint64_t key_of(uint32_t addr, uint16_t port) { return uint64_t{port} << 32 | addr; }

// ---- The servers -----------------------------------------------------------

void serve_engine(int report, int table, int filled) {
    if (vesk_net_init(4, 1, 1, table, 1 << 22, 0, 0) != 0) _exit(2);
    const int ch = vesk_net_channel_open();
    const sockaddr_in any = loopback(0);
    const int slot = vesk_net_open(VESK_NET_UDP_MULTI, reinterpret_cast<const sockaddr *>(&any));
    vesk_net_attach(slot, ch);
    big_receive_buffer(static_cast<int>(vesk_net_get_socket(slot)));
    for (int i = 0; i < filled; ++i) {
        const sockaddr_in a = filler(i);
        vesk_net_add_peer(slot, reinterpret_cast<const sockaddr *>(&a));
    }
    const uint16_t port = port_of(static_cast<int>(vesk_net_get_socket(slot)));
    (void)!write(report, &port, sizeof port);
    std::unordered_set<uint64_t> known;
    std::vector<uint8_t> buffer(64 * (2 + VESK_NET_MAX_RECORD));
    for (;;) {
        if (vesk_net_channel_wait(ch, -1) <= 0) continue;
        const int used =
            vesk_net_channel_read_many(ch, buffer.data(), static_cast<int>(buffer.size()));
        long heartbeats = 0;
        for (int at = 0; at + 2 < used;) {
            int16_t length;
            std::memcpy(&length, &buffer[static_cast<size_t>(at)], 2);
            const uint8_t *record = &buffer[static_cast<size_t>(at) + 2];
            at += 2 + length;
            if (record[0] != VESK_EV_UDP_DATA) continue;
            ++heartbeats;
            sockaddr_in from{};
            from.sin_family = AF_INET;
            std::memcpy(&from.sin_addr, record + 5, 4);
            std::memcpy(&from.sin_port, record + 9, 2);
            if (known.insert(key_of(from.sin_addr.s_addr, from.sin_port)).second)
                vesk_net_add_peer(slot, reinterpret_cast<const sockaddr *>(&from));
        }
        g_shared->delivered.fetch_add(heartbeats, std::memory_order_relaxed);
    }
}

void serve_epoll(int report, int, int filled) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    const sockaddr_in any = loopback(0);
    bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any);
    big_receive_buffer(fd);
    struct Peer {
        int entry;
        int64_t answered_ms;
    };
    std::unordered_map<uint64_t, Peer> peers;
    for (int i = 0; i < filled; ++i) {
        const sockaddr_in a = filler(i);
        peers[key_of(a.sin_addr.s_addr, a.sin_port)] = Peer{i + 1, -1000};
    }
    const uint16_t port = port_of(fd);
    (void)!write(report, &port, sizeof port);
    const int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    uint8_t in[kBatch][2052];
    iovec in_vec[kBatch];
    sockaddr_in from[kBatch];
    mmsghdr msgs[kBatch];
    uint8_t out[kBatch][9];
    iovec out_vec[kBatch];
    sockaddr_in to[kBatch];
    mmsghdr answers[kBatch];
    for (;;) {
        epoll_event ready;
        if (epoll_wait(ep, &ready, 1, -1) <= 0) continue;
        for (;;) {
            for (int i = 0; i < kBatch; ++i) {
                in_vec[i] = {in[i], sizeof in[i]};
                msgs[i] = mmsghdr{};
                msgs[i].msg_hdr.msg_iov = &in_vec[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
                msgs[i].msg_hdr.msg_name = &from[i];
                msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            }
            const int n = recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0) break;
            const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    Clock::now().time_since_epoch())
                                    .count();
            int count = 0;
            long heartbeats = 0;
            for (int i = 0; i < n; ++i) {
                const int size = static_cast<int>(msgs[i].msg_len);
                if (size < 3 || in[i][0] != 0xFE || from[i].sin_port == 0) continue;
                const int16_t length = static_cast<int16_t>(in[i][1] | in[i][2] << 8);
                const uint64_t key = key_of(from[i].sin_addr.s_addr, from[i].sin_port);
                int16_t value = 0;
                int answer_size = 3;
                if (length > 0 && length == size - 3) {
                    ++heartbeats;
                    peers.try_emplace(key, Peer{static_cast<int>(peers.size()) + 1, -1000});
                    continue;
                } else if (length == VESK_CTL_PROBE && size == 3) {
                    value = VESK_CTL_PROBE_REPLY;
                    answer_size = 9;
                    std::memcpy(out[count] + 3, &from[i].sin_addr, 4);
                    std::memcpy(out[count] + 7, &from[i].sin_port, 2);
                } else if (length == 0 && size == 3) {
                    const auto p = peers.find(key);
                    if (p == peers.end() || now - p->second.answered_ms < 1000) continue;
                    p->second.answered_ms = now;
                    value = static_cast<int16_t>(-p->second.entry);
                } else {
                    continue;
                }
                out[count][0] = 0xFE;
                out[count][1] = static_cast<uint8_t>(value & 0xFF);
                out[count][2] = static_cast<uint8_t>((value >> 8) & 0xFF);
                out_vec[count] = {out[count], static_cast<size_t>(answer_size)};
                to[count] = from[i];
                answers[count] = mmsghdr{};
                answers[count].msg_hdr.msg_iov = &out_vec[count];
                answers[count].msg_hdr.msg_iovlen = 1;
                answers[count].msg_hdr.msg_name = &to[count];
                answers[count].msg_hdr.msg_namelen = sizeof to[count];
                ++count;
            }
            if (count > 0) sendmmsg(fd, answers, static_cast<unsigned>(count), MSG_DONTWAIT);
            if (heartbeats > 0)
                g_shared->delivered.fetch_add(heartbeats, std::memory_order_relaxed);
        }
    }
}

struct Server {
    pid_t pid = -1;
    uint16_t port = 0;  // network order
    const char *name = "";
};

Server start(const char *name, void (*serve)(int, int, int), int table, int filled) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    g_shared->delivered.store(0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        serve(fds[1], table, filled);
        _exit(0);
    }
    close(fds[1]);
    Server s{pid, 0, name};
    if (read(fds[0], &s.port, sizeof s.port) != sizeof s.port) s.pid = -1;
    close(fds[0]);
    return s;
}

void stop(Server &s) {
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
}

// ---- Measuring -------------------------------------------------------------

// The kernel's drop count at the UDP socket bound to `port` (network order).
long kernel_drops(uint16_t port) {
    std::ifstream udp("/proc/net/udp");
    std::string line;
    std::getline(udp, line);
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", ntohs(port));
    while (std::getline(udp, line)) {
        std::istringstream fields(line);
        std::string slot, local, f;
        fields >> slot >> local;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, want) != 0) continue;
        for (int i = 0; i < 10 && fields >> f; ++i) {
        }
        long drops = 0;
        fields >> drops;
        return drops;
    }
    return -1;
}

std::vector<int> client_sockets(int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        const sockaddr_in any = loopback(0);
        bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any);
        fds.push_back(fd);
    }
    return fds;
}

// Sends `rate` datagrams a second of `frame` for `seconds`, round robin over
// the sockets, in batches every millisecond; the count sent.
long paced_send(const std::vector<int> &fds, uint16_t port, const std::vector<uint8_t> &frame,
                int rate, int seconds) {
    const sockaddr_in to = loopback(port);
    const long total = static_cast<long>(rate) * seconds;
    const auto start = Clock::now();
    long sent = 0;
    while (sent < total) {
        const auto due =
            static_cast<long>(std::chrono::duration<double>(Clock::now() - start).count() * rate);
        for (; sent < std::min(due, total); ++sent) {
            sendto(fds[static_cast<size_t>(sent) % fds.size()], frame.data(), frame.size(), 0,
                   reinterpret_cast<const sockaddr *>(&to), sizeof to);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return sent;
}

void measure_rate(const char *mode, Server s, const std::vector<uint8_t> &frame, int rate,
                  int table) {
    const std::vector<int> fds = client_sockets(64);
    const sockaddr_in to = loopback(s.port);
    for (const int fd : fds)  // every client is a peer before the clock starts
        sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr *>(&to),
               sizeof to);
    usleep(300 * 1000);
    const long delivered_before = g_shared->delivered.load();
    const long drops_before = kernel_drops(s.port);
    const double cpu_before = cpu_seconds(s.pid);
    const long sent = paced_send(fds, s.port, frame, rate, 3);
    usleep(300 * 1000);
    const double cpu = cpu_seconds(s.pid) - cpu_before;
    const long drops = kernel_drops(s.port) - drops_before;
    std::printf(
        "%-9s %-7s table=%-6d rate=%-6d sent=%-7ld delivered=%-7ld kernel_drops=%-6ld "
        "cpu_us_per_datagram=%.2f\n",
        mode, s.name, table, rate, sent, g_shared->delivered.load() - delivered_before, drops,
        cpu * 1e6 / static_cast<double>(sent));
    std::fflush(stdout);
    for (const int fd : fds) close(fd);
}

void measure_presence(Server s, int clients) {
    const std::vector<int> fds = client_sockets(clients);
    const sockaddr_in to = loopback(s.port);
    const uint8_t heartbeat[] = {0xFE, 16,  0,   'h', 'e', 'a', 'r', 't', 'b', 'e',
                                 'a',  't', '-', '-', '-', '-', '-', '-', '-'};
    const uint8_t keepalive[] = {0xFE, 0, 0};
    const int ep = epoll_create1(0);
    for (int i = 0; i < clients; ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fds[static_cast<size_t>(i)];
        epoll_ctl(ep, EPOLL_CTL_ADD, fds[static_cast<size_t>(i)], &ev);
        sendto(fds[static_cast<size_t>(i)], heartbeat, sizeof heartbeat, 0,
               reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    usleep(500 * 1000);  // every client registered
    const auto period = std::chrono::milliseconds(1100);
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(6);
    std::vector<Clock::time_point> next(static_cast<size_t>(clients));
    for (int i = 0; i < clients; ++i) next[static_cast<size_t>(i)] = start + period * i / clients;
    long keepalives = 0, answers = 0;
    const double cpu_before = cpu_seconds(s.pid);
    uint8_t in[64];
    int cursor = 0;
    while (Clock::now() < end) {
        for (int n = 0; n < clients; ++n, cursor = (cursor + 1) % clients) {
            auto &due = next[static_cast<size_t>(cursor)];
            if (due > Clock::now()) break;
            const int fd = fds[static_cast<size_t>(cursor)];
            sendto(fd, heartbeat, sizeof heartbeat, 0, reinterpret_cast<const sockaddr *>(&to),
                   sizeof to);
            sendto(fd, keepalive, sizeof keepalive, 0, reinterpret_cast<const sockaddr *>(&to),
                   sizeof to);
            ++keepalives;
            due += period;
        }
        epoll_event ready[256];
        const int n = epoll_wait(ep, ready, 256, 1);
        for (int i = 0; i < n; ++i) {
            while (recv(ready[i].data.fd, in, sizeof in, MSG_DONTWAIT) == 3) ++answers;
        }
    }
    const double cpu = cpu_seconds(s.pid) - cpu_before;
    usleep(200 * 1000);
    for (const int fd : fds) {
        while (recv(fd, in, sizeof in, MSG_DONTWAIT) == 3) ++answers;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("presence  %-7s clients=%-5d keepalives=%-6ld answered=%.1f%% cpu=%.1f%%\n", s.name,
                clients, keepalives,
                100.0 * static_cast<double>(answers) / static_cast<double>(keepalives),
                100.0 * cpu / seconds);
    std::fflush(stdout);
    for (const int fd : fds) close(fd);
    close(ep);
}

void measure_add_peer(int table) {
    vesk_net_init(4, 1, 1, table, 1 << 16, 0, 0);
    const int ch = vesk_net_channel_open();
    const sockaddr_in any = loopback(0);
    const int slot = vesk_net_open(VESK_NET_UDP_MULTI, reinterpret_cast<const sockaddr *>(&any));
    vesk_net_attach(slot, ch);
    const auto timed = [&](int from, int to) {
        const auto start = Clock::now();
        for (int i = from; i < to; ++i) {
            const sockaddr_in a = filler(i);
            vesk_net_add_peer(slot, reinterpret_cast<const sockaddr *>(&a));
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
               (to - from);
    };
    const double first = timed(0, 1);
    const double fill = timed(1, table);
    const sockaddr_in last = filler(table - 1);
    const auto start = Clock::now();
    vesk_net_remove_peer(slot, reinterpret_cast<const sockaddr *>(&last));
    const double remove = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    std::printf("add_peer  engine  table=%-6d first_us=%.2f fill_avg_us=%.3f remove_last_us=%.2f\n",
                table, first, fill, remove);
    vesk_net_close(slot);
    vesk_net_shutdown();
}

void raise_descriptor_limit() {
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
}

}  // namespace

int main(int argc, char **argv) {
    raise_descriptor_limit();
    g_shared = static_cast<Shared *>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (g_shared) Shared{};
    const std::string only = argc > 1 ? argv[1] : "";
    const auto wanted = [&](const char *mode) { return only.empty() || only == mode; };
    const struct {
        const char *name;
        void (*serve)(int, int, int);
    } servers[] = {{"engine", serve_engine}, {"epoll", serve_epoll}};
    std::vector<uint8_t> heartbeat = {0xFE, 16, 0};
    heartbeat.resize(19, '-');
    if (wanted("rate")) {
        for (const auto &sv : servers) {
            Server s = start(sv.name, sv.serve, 64, 0);
            measure_rate("rate", s, heartbeat, 100000, 64);
            stop(s);
        }
    }
    if (wanted("strangers")) {
        // Keepalives from senders the table does not hold: none is answered.
        const std::vector<uint8_t> keepalive = {0xFE, 0, 0};
        for (const int table : {64, 30000}) {
            for (const auto &sv : servers) {
                Server s = start(sv.name, sv.serve, table, table);
                measure_rate("strangers", s, keepalive, 100000, table);
                stop(s);
            }
        }
    }
    if (wanted("presence")) {
        for (const auto &sv : servers) {
            Server s = start(sv.name, sv.serve, 4096, 0);
            measure_presence(s, 2000);
            stop(s);
        }
    }
    if (wanted("add_peer")) measure_add_peer(30000);
    return 0;
}
