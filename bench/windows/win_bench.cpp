// Windows figures under Wine, side by side: the DLL's socket engine (its echo
// server in the recommended loop) against a plain echo server on an I/O
// completion port, and the message queue against a plain SRWLOCK + condition
// variable queue.  One measurement per run; run_windows_bench.sh runs them all
// and adds the CPU time of the Wine server.
//
//   vesk_win_bench idle  engine|iocp N SECONDS   N idle connections, then sleeps
//   vesk_win_bench rtt   engine|iocp IDLE        round trips p50 / p99 (us)
//   vesk_win_bench pipe  engine|iocp CONNS       pipelined frames per second
//   vesk_win_bench serve engine|iocp N           a server for N connections (the
//                                                clients: many_clients.cpp), until
//                                                standard input ends
//   vesk_win_bench init                          largest engine set-up
//   vesk_win_bench msgq                          1 producer / 1 consumer items/s
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "vuvidur.h"

namespace {

constexpr int kPayload = 64;
constexpr int kFrame = 3 + kPayload;

double now_us() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

void no_delay(SOCKET s) {
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}

sockaddr_in loopback(u_short port_net) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = port_net;
    return a;
}

u_short port_of(SOCKET s) {
    sockaddr_in a{};
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    return a.sin_port;
}

// ---- The engine's echo server, in the recommended loop ----------------------

void send_run(std::vector<vesk_net_msg *> &run) {
    vesk_net_msg **msgs = run.data();
    int count = static_cast<int>(run.size());
    while (count > 0) {
        const int taken = vesk_net_send_many(msgs, count);
        if (taken < 0) break;
        if (taken == 0) vesk_usleep(0);
        msgs += taken;
        count -= taken;
    }
    run.clear();
}

u_short start_engine(int slots) {
    if (vesk_net_init(slots, 4, 0, 1, 4 << 20, 0, 0) != 0) {
        std::printf("engine set-up failed\n");
        std::exit(1);
    }
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback(0);
    const int listener =
        vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, reinterpret_cast<sockaddr *>(&any));
    vesk_net_attach(listener, ch);
    std::thread([ch] {
        std::vector<uint8_t> batch(64 * (2 + VESK_NET_MAX_RECORD));
        std::vector<vesk_net_msg *> run;
        int32_t run_slot = 0;
        for (;;) {
            if (vesk_net_channel_wait(ch, -1) != VESK_NET_WAIT_EVENT) continue;
            const int n =
                vesk_net_channel_read_many(ch, batch.data(), static_cast<int>(batch.size()));
            for (int at = 0; at < n;) {
                uint16_t length;
                std::memcpy(&length, batch.data() + at, 2);
                uint8_t *event = batch.data() + at + 2;
                at += 2 + length;
                int32_t slot;
                std::memcpy(&slot, event + 1, 4);
                if (event[0] != VESK_EV_TCP_DATA || slot != run_slot) send_run(run);
                if (event[0] == VESK_EV_TCP_DATA) {
                    run_slot = slot;
                    run.push_back(reinterpret_cast<vesk_net_msg *>(event));
                } else if (event[0] == VESK_EV_CLOSED || event[0] == VESK_EV_FAILED) {
                    vesk_net_close(slot);
                }
            }
            send_run(run);
            run_slot = 0;
        }
    }).detach();
    return port_of(vesk_net_get_socket(listener));
}

// ---- A plain echo server on an I/O completion port -------------------------

struct Conn {
    OVERLAPPED overlapped;
    SOCKET socket;
    char buffer[65536];
};

void post_receive(Conn *c) {
    c->overlapped = OVERLAPPED{};
    WSABUF b{sizeof c->buffer, c->buffer};
    DWORD flags = 0;
    if (WSARecv(c->socket, &b, 1, nullptr, &flags, &c->overlapped, nullptr) != 0 &&
        WSAGetLastError() != WSA_IO_PENDING) {
        closesocket(c->socket);
        delete c;
    }
}

u_short start_iocp() {
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any = loopback(0);
    bind(listener, reinterpret_cast<sockaddr *>(&any), sizeof any);
    listen(listener, SOMAXCONN);
    std::thread([port] {
        for (;;) {
            DWORD n = 0;
            ULONG_PTR key = 0;
            OVERLAPPED *ov = nullptr;
            const BOOL ok = GetQueuedCompletionStatus(port, &n, &key, &ov, INFINITE);
            if (ov == nullptr) continue;
            Conn *c = reinterpret_cast<Conn *>(ov);
            if (!ok || n == 0) {
                closesocket(c->socket);
                delete c;
                continue;
            }
            for (DWORD sent = 0; sent < n;) {
                const int r = send(c->socket, c->buffer + sent, static_cast<int>(n - sent), 0);
                if (r <= 0) break;
                sent += static_cast<DWORD>(r);
            }
            post_receive(c);
        }
    }).detach();
    std::thread([port, listener] {
        for (;;) {
            SOCKET s = accept(listener, nullptr, nullptr);
            if (s == INVALID_SOCKET) continue;
            no_delay(s);
            auto *c = new Conn;
            c->socket = s;
            CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), port, 0, 0);
            post_receive(c);
        }
    }).detach();
    return port_of(listener);
}

u_short start_server(const std::string &which, int slots) {
    return which == "iocp" ? start_iocp() : start_engine(slots);
}

// ---- Clients ---------------------------------------------------------------

SOCKET client(u_short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    no_delay(s);
    return s;
}

bool exchange(SOCKET s, int frames) {
    static const std::vector<char> frame = [] {
        std::vector<char> f(kFrame, 'x');
        f[0] = static_cast<char>(0xFE);
        f[1] = kPayload;
        f[2] = 0;
        return f;
    }();
    std::vector<char> out;
    for (int i = 0; i < frames; ++i) out.insert(out.end(), frame.begin(), frame.end());
    if (send(s, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) {
        return false;
    }
    char in[kFrame * 64];
    for (int got = 0; got < kFrame * frames;) {
        const int r = recv(s, in, std::min<int>(sizeof in, kFrame * frames - got), 0);
        if (r <= 0) return false;
        got += r;
    }
    return true;
}

std::vector<SOCKET> idle_clients(u_short port, int n) {
    std::vector<SOCKET> all;
    for (int i = 0; i < n; ++i) {
        SOCKET s = client(port);
        if (s != INVALID_SOCKET) all.push_back(s);
    }
    // Every one is accepted and answered once before the measurement.
    for (SOCKET s : all) exchange(s, 1);
    return all;
}

void run_rtt(const std::string &which, int idle) {
    const u_short port = start_server(which, idle + 8);
    auto idlers = idle_clients(port, idle);
    SOCKET s = client(port);
    for (int i = 0; i < 200; ++i) exchange(s, 1);
    std::vector<double> times;
    for (int i = 0; i < 3000; ++i) {
        const double t0 = now_us();
        if (!exchange(s, 1)) break;
        times.push_back(now_us() - t0);
    }
    std::sort(times.begin(), times.end());
    if (times.empty()) return;
    std::printf("rtt %s idle=%d p50_us=%.0f p99_us=%.0f\n", which.c_str(), idle,
                times[times.size() / 2], times[times.size() * 99 / 100]);
}

void run_pipe(const std::string &which, int conns) {
    const u_short port = start_server(which, conns + 8);
    std::atomic<long long> frames{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < conns; ++i) {
        threads.emplace_back([&] {
            SOCKET s = client(port);
            while (!stop.load()) {
                if (!exchange(s, 32)) break;
                frames += 32;
            }
            closesocket(s);
        });
    }
    Sleep(500);
    const long long f0 = frames.load();
    const double t0 = now_us();
    Sleep(2000);
    const double rate = static_cast<double>(frames.load() - f0) * 1e6 / (now_us() - t0);
    stop = true;
    for (auto &t : threads) t.join();
    std::printf("pipe %s conns=%d frames_per_s=%.0f\n", which.c_str(), conns, rate);
}

// The connections test's server: its clients are a native program of their
// own (many_clients.cpp), run by the script once the port is printed.  Serves
// until standard input ends.
void run_serve(const std::string &which, int n) {
    const u_short port = start_server(which, n + 8);
    std::printf("listening %u\n", static_cast<unsigned>(ntohs(port)));
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
}

void run_idle(const std::string &which, int n, int seconds) {
    const u_short port = start_server(which, n + 8);
    auto idlers = idle_clients(port, n);
    Sleep(500);
    std::printf("idle-start %s %d\n", which.c_str(), static_cast<int>(idlers.size()));
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    std::printf("idle-end\n");
    std::fflush(stdout);
    Sleep(1000);  // the script reads the counters before the process ends
}

void run_init() {
    int good = 0;
    int bad = 64 << 20;
    while (bad - good > std::max(1, good / 100)) {
        const int mid = good + (bad - good) / 2;
        if (vesk_net_init(mid, 16, 0, 1, 65536, 0, 0) == 0) {
            vesk_net_shutdown();
            good = mid;
        } else {
            bad = mid;
        }
    }
    std::printf("init largest_slots=%d (within 1 %%)\n", good);
}

// ---- The message queue against a plain one ----------------------------------

struct PlainQueue {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE ready = CONDITION_VARIABLE_INIT;
    std::deque<void *> items;
    void put(void *item) {
        AcquireSRWLockExclusive(&lock);
        items.push_back(item);
        ReleaseSRWLockExclusive(&lock);
        WakeConditionVariable(&ready);
    }
    void *take() {
        AcquireSRWLockExclusive(&lock);
        while (items.empty()) SleepConditionVariableSRW(&ready, &lock, INFINITE, 0);
        void *item = items.front();
        items.pop_front();
        ReleaseSRWLockExclusive(&lock);
        return item;
    }
};

template <typename Put, typename Take>
double items_per_s(Put put, Take take) {
    constexpr int kItems = 2000000;
    const double t0 = now_us();
    std::thread producer([&] {
        for (int i = 1; i <= kItems; ++i) put(reinterpret_cast<void *>(static_cast<uintptr_t>(i)));
    });
    for (int i = 0; i < kItems; ++i) take();
    producer.join();
    return kItems * 1e6 / (now_us() - t0);
}

void run_msgq() {
    vesk_msgq q;
    vesk_msgq_create(&q);
    const double library = items_per_s(
        [&](void *item) {
            while (vesk_msgq_put(&q, item) != 0) Sleep(0);
        },
        [&] { return vesk_msgq_get(&q); });
    vesk_msgq_destroy(&q);
    PlainQueue plain;
    const double reference =
        items_per_s([&](void *item) { plain.put(item); }, [&] { return plain.take(); });
    std::printf("msgq vesk_msgq=%.0f srwlock_queue=%.0f ratio=%.2f\n", library, reference,
                library / reference);
}

}  // namespace

int main(int argc, char **argv) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string which = argc > 2 ? argv[2] : "engine";
    const int n = argc > 3 ? std::atoi(argv[3]) : 0;
    if (mode == "idle") {
        run_idle(which, n, argc > 4 ? std::atoi(argv[4]) : 3);
    } else if (mode == "rtt") {
        run_rtt(which, n);
    } else if (mode == "pipe") {
        run_pipe(which, n);
    } else if (mode == "serve") {
        run_serve(which, n);
    } else if (mode == "init") {
        run_init();
    } else if (mode == "msgq") {
        run_msgq();
    } else {
        std::printf("usage: vesk_win_bench idle|rtt|pipe|serve|init|msgq [engine|iocp] [N]\n");
        return 2;
    }
    std::fflush(stdout);
    // Server threads never return: leave without tearing anything down.
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}
