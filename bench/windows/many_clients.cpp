// The clients of vesk_win_bench's connections test, as a native Linux
// program: N connections to the server that `vesk_win_bench serve` runs under
// Wine, opened by 16 threads at once, each sending one frame and waiting up to
// 3 s for its echo, all held open to the end.  In a separate process the
// clients' sockets do not count against the server's descriptors (a process
// here may hold 20,000, and Wine holds one per socket in the program and one
// in its server), and native connects cost microseconds rather than Wine's
// 2 ms, so that the time measures the server.
//
//   vesk_win_bench_clients WHICH PORT N    prints: many WHICH n=N served=S seconds=T
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr int kClientThreads = 16;
constexpr int kPayload = 64;
constexpr int kFrame = 3 + kPayload;

// Connects, sends one frame and reads its echo; the socket, or -1.
int connect_and_echo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval limit{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char frame[kFrame];
    for (char &c : frame) c = 'x';
    frame[0] = static_cast<char>(0xFE);
    frame[1] = kPayload;
    frame[2] = 0;
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
              send(fd, frame, kFrame, MSG_NOSIGNAL) == kFrame;
    for (int got = 0; ok && got < kFrame;) {
        const ssize_t r = recv(fd, frame, static_cast<size_t>(kFrame - got), 0);
        ok = r > 0;
        got += static_cast<int>(r);
    }
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: vesk_win_bench_clients WHICH PORT N\n");
        return 2;
    }
    const char *which = argv[1];
    const auto port = static_cast<uint16_t>(std::atoi(argv[2]));
    const int n = std::atoi(argv[3]);
    std::vector<std::vector<int>> held(kClientThreads);
    std::atomic<int> served{0};
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kClientThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < n; i += kClientThreads) {
                const int fd = connect_and_echo(port);
                if (fd < 0) break;
                held[static_cast<size_t>(t)].push_back(fd);
                ++served;
            }
        });
    }
    for (auto &t : threads) t.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    std::printf("many %s n=%d served=%d seconds=%.2f\n", which, n, served.load(), took.count());
    for (const auto &fds : held) {
        for (int fd : fds) close(fd);
    }
    return 0;
}
