// Framed messages through the socket engine against the same protocol on
// libevent, Asio and libuv, side by side: echo round-trip latency and pipelined echo
// throughput over loopback, with 1 and 64 connections and payloads of 16,
// 256 and 2048 bytes.  The engine runs in two modes: "engine" polls its
// channel one event at a time and sends one message per call; "batched"
// waits on the channel, takes events with read_many and sends with
// send_many, on both ends.
//
// Each side runs in two processes: an echo server forked at start-up and
// the client in this process.  The protocol is the engine's wire frame (0xFE,
// 16-bit little-endian length, payload); the server sends every frame back.
//   roundtrip/...: one frame per connection in flight; median_us, p99_us and
//                  p99.9_us are the round-trip times of single frames.
//   throughput/...: 32 frames per connection in flight; msgs/s counts echoed
//                   frames.
// The plain engine's users poll their channel (they spin, yielding the
// processor between empty reads); the batched engine's users and libevent's
// client and server sleep until there is something to do.  Only the measured
// side's server runs; the others are stopped meanwhile.
//
// The sides "engine@libevent" and "batched@libevent" are the engine's two
// servers measured with the libevent client that measures the peers, so that
// between them and the peers only the server differs.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net_common.h"
#include "net_peers.h"

using bench::loopback;
using bench::no_delay;
using bench::send_all_many;

namespace {

constexpr int kMaxConnections = 64;
constexpr int kWindow = 32;  // frames in flight per connection (throughput)
constexpr int kHead = 18;    // vesk_net_msg ahead of the payload
constexpr int kRing = 8 << 20;

using Clock = std::chrono::steady_clock;

// A poll of an engine channel that found nothing gives the processor away.
void idle() { vesk_usleep(0); }

// ---- Engine echo server ------------------------------------------------------

[[noreturn]] void engine_server(int report) {
    const int ch = bench::start_engine_listener(kMaxConnections + 8, kRing, 0, report);
    std::vector<uint8_t> event(VESK_NET_MAX_RECORD);
    for (;;) {
        const int n = vesk_net_channel_read(ch, event.data());
        if (n <= 0) {
            idle();
            continue;
        }
        int32_t slot;
        std::memcpy(&slot, event.data() + 1, 4);
        if (event[0] == VESK_EV_ACCEPT) {
            int32_t accepted;
            std::memcpy(&accepted, event.data() + 5, 4);
            no_delay(vesk_net_get_socket(accepted));
        } else if (event[0] == VESK_EV_TCP_DATA) {
            // A data event has the message layout: sent back as it stands.
            auto *msg = reinterpret_cast<vesk_net_msg *>(event.data());
            while (vesk_net_send(msg) == -2) idle();
        } else if (event[0] == VESK_EV_CLOSED || event[0] == VESK_EV_FAILED) {
            vesk_net_close(slot);
        }
    }
}

[[noreturn]] void engine_batched_server(int report) {
    bench::serve_batched(bench::start_engine_listener(kMaxConnections + 8, kRing, 0, report));
}

#ifdef BENCH_HAVE_LIBEVENT
[[noreturn]] void libevent_server(int report) { bench::serve_libevent(report, 64); }
#endif
#ifdef BENCH_HAVE_ASIO
[[noreturn]] void asio_server(int report) { bench::serve_asio(report, 64); }
#endif
#ifdef BENCH_HAVE_LIBUV
[[noreturn]] void libuv_server(int report) { bench::serve_libuv(report, 64); }
#endif

// ---- Clients -------------------------------------------------------------------

class EchoClient {
public:
    virtual ~EchoClient() = default;
    // Sends one frame of `payload` bytes on connection `conn`.
    virtual void send(int conn, int payload) = 0;
    // Handles echoes until `count` have arrived, calling on_echo(conn) for each.
    virtual void wait(int count, const std::function<void(int)> &on_echo) = 0;
};

class EngineClient final : public EchoClient {
public:
    EngineClient(uint16_t port, int connections, bool batched)
        : batched_(batched), queued_(connections, 0), messages_(connections) {
        static bool started = false;
        if (!started) {
            vesk_net_init(kMaxConnections + 8, 1, 0, 1, kRing, 0, 0);
            channel_ = vesk_net_channel_open();
            started = true;
        }
        channel_ = 1;
        slot_conn_.assign(kMaxConnections + 9, -1);
        sockaddr_in to = loopback(port);
        for (int c = 0; c < connections; ++c) {
            const int slot = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
            vesk_net_attach(slot, channel_);
            no_delay(vesk_net_get_socket(slot));
            if (vesk_net_connect(slot, reinterpret_cast<sockaddr *>(&to)) == 0) {
                std::vector<uint8_t> ev(VESK_NET_MAX_RECORD);
                while (vesk_net_channel_read(channel_, ev.data()) <= 0) idle();
            }
            slots_.push_back(slot);
            slot_conn_[static_cast<size_t>(slot)] = c;
            messages_[static_cast<size_t>(c)].assign(kHead + VESK_NET_MAX_DATA, 0);
            std::memcpy(messages_[static_cast<size_t>(c)].data() + 1, &slot, 4);
        }
        event_.resize(VESK_NET_MAX_RECORD);
    }
    ~EngineClient() override {
        for (int slot : slots_) vesk_net_close(slot);
        vesk_usleep(5000);  // let the I/O thread reap them
        while (vesk_net_channel_read(channel_, event_.data()) > 0) {
        }
    }
    void send(int conn, int payload) override {
        std::vector<uint8_t> &m = messages_[static_cast<size_t>(conn)];
        const int32_t length = payload;
        std::memcpy(m.data() + 11, &length, 4);
        if (batched_) {
            ++queued_[static_cast<size_t>(conn)];  // goes out with the next flush
            return;
        }
        while (vesk_net_send(reinterpret_cast<vesk_net_msg *>(m.data())) == -2) idle();
    }
    void wait(int count, const std::function<void(int)> &on_echo) override {
        if (batched_) {
            wait_batched(count, on_echo);
            return;
        }
        while (count > 0) {
            if (vesk_net_channel_read(channel_, event_.data()) <= 0) {
                idle();
                continue;
            }
            if (event_[0] != VESK_EV_TCP_DATA) continue;
            int32_t slot;
            std::memcpy(&slot, event_.data() + 1, 4);
            --count;
            on_echo(slot_conn_[static_cast<size_t>(slot)]);
        }
    }

private:
    // Each connection's queued frames in one send_many (the same message,
    // repeated: every frame of a connection carries the same payload).
    void flush() {
        for (size_t c = 0; c < queued_.size(); ++c) {
            if (queued_[c] == 0) continue;
            pointers_.assign(static_cast<size_t>(queued_[c]),
                             reinterpret_cast<vesk_net_msg *>(messages_[c].data()));
            send_all_many(pointers_.data(), queued_[c]);
            queued_[c] = 0;
        }
    }
    void wait_batched(int count, const std::function<void(int)> &on_echo) {
        batch_.resize(64 * (2 + VESK_NET_MAX_RECORD));
        flush();
        while (count > 0) {
            if (vesk_net_channel_wait(channel_, -1) != 1) continue;
            const int n = vesk_net_channel_read_many(channel_, batch_.data(),
                                                     static_cast<int>(batch_.size()));
            for (int at = 0; at < n;) {
                uint16_t length;
                std::memcpy(&length, batch_.data() + at, 2);
                const uint8_t *event = batch_.data() + at + 2;
                at += 2 + length;
                if (event[0] != VESK_EV_TCP_DATA) continue;
                int32_t slot;
                std::memcpy(&slot, event + 1, 4);
                --count;
                on_echo(slot_conn_[static_cast<size_t>(slot)]);
            }
            flush();
        }
    }

    bool batched_;
    std::vector<int> queued_;
    std::vector<vesk_net_msg *> pointers_;
    std::vector<uint8_t> batch_;
    int channel_ = 1;
    std::vector<int> slots_;
    std::vector<int> slot_conn_;
    std::vector<std::vector<uint8_t>> messages_;
    std::vector<uint8_t> event_;
};

#ifdef BENCH_HAVE_LIBEVENT
class LibeventClient final : public EchoClient {
public:
    LibeventClient(uint16_t port, int connections) : base_(event_base_new()) {
        sockaddr_in to = loopback(port);
        frame_.assign(3 + VESK_NET_MAX_DATA, 0);
        for (int c = 0; c < connections; ++c) {
            auto *conn = new Conn{this, c, nullptr};
            conn->bev = bufferevent_socket_new(base_, -1, BEV_OPT_CLOSE_ON_FREE);
            bufferevent_setcb(conn->bev, on_read, nullptr, nullptr, conn);
            bufferevent_enable(conn->bev, EV_READ | EV_WRITE);
            bufferevent_socket_connect(conn->bev, reinterpret_cast<sockaddr *>(&to), sizeof to);
            no_delay(bufferevent_getfd(conn->bev));
            conns_.push_back(conn);
        }
    }
    ~LibeventClient() override {
        for (Conn *c : conns_) {
            bufferevent_free(c->bev);
            delete c;
        }
        event_base_free(base_);
    }
    void send(int conn, int payload) override {
        frame_[0] = VESK_FRAME_MARK;
        frame_[1] = static_cast<uint8_t>(payload & 0xFF);
        frame_[2] = static_cast<uint8_t>(payload >> 8);
        bufferevent_write(conns_[static_cast<size_t>(conn)]->bev, frame_.data(),
                          static_cast<size_t>(3 + payload));
    }
    void wait(int count, const std::function<void(int)> &on_echo) override {
        remaining_ = count;
        on_echo_ = &on_echo;
        while (remaining_ > 0) event_base_loop(base_, EVLOOP_ONCE);
    }

private:
    struct Conn {
        LibeventClient *owner;
        int index;
        bufferevent *bev;
    };
    static void on_read(bufferevent *bev, void *arg) {
        auto *conn = static_cast<Conn *>(arg);
        evbuffer *in = bufferevent_get_input(bev);
        while (const size_t size = bench::whole_frame(in)) {
            evbuffer_drain(in, size);
            --conn->owner->remaining_;
            (*conn->owner->on_echo_)(conn->index);
        }
    }
    event_base *base_;
    std::vector<Conn *> conns_;
    std::vector<uint8_t> frame_;
    int remaining_ = 0;
    const std::function<void(int)> *on_echo_ = nullptr;
};
#endif

uint16_t g_engine_port = 0;
uint16_t g_batched_port = 0;
uint16_t g_libevent_port = 0;
uint16_t g_asio_port = 0;
uint16_t g_libuv_port = 0;

// The peers' servers are measured with the libevent client: one client for
// all of them, so that only the server differs.  The engine's servers are
// measured with both clients.
enum class Side { engine, batched, libevent, asio, libuv, engine_lc, batched_lc };

int server_index(Side side) {
    if (side == Side::engine_lc) return static_cast<int>(Side::engine);
    if (side == Side::batched_lc) return static_cast<int>(Side::batched);
    return static_cast<int>(side);
}

// Each side's server process.  Only the measured side's server runs: the
// others are stopped, so that a polling server cannot take processor time
// from another side's measurement.
pid_t g_server[5] = {-1, -1, -1, -1, -1};

class ServerRunning {
public:
    explicit ServerRunning(Side side) : pid_(g_server[server_index(side)]) {
        if (pid_ > 0) kill(pid_, SIGCONT);
    }
    ~ServerRunning() {
        if (pid_ > 0) kill(pid_, SIGSTOP);
    }
    ServerRunning(const ServerRunning &) = delete;
    ServerRunning &operator=(const ServerRunning &) = delete;

private:
    pid_t pid_;
};

std::unique_ptr<EchoClient> make_client(Side side, int connections) {
#ifdef BENCH_HAVE_LIBEVENT
    if (side == Side::libevent)
        return std::make_unique<LibeventClient>(g_libevent_port, connections);
    if (side == Side::asio) return std::make_unique<LibeventClient>(g_asio_port, connections);
    if (side == Side::libuv) return std::make_unique<LibeventClient>(g_libuv_port, connections);
    if (side == Side::engine_lc)
        return std::make_unique<LibeventClient>(g_engine_port, connections);
    if (side == Side::batched_lc)
        return std::make_unique<LibeventClient>(g_batched_port, connections);
#endif
    if (side == Side::batched)
        return std::make_unique<EngineClient>(g_batched_port, connections, true);
    return std::make_unique<EngineClient>(g_engine_port, connections, false);
}

void roundtrip(benchmark::State &state, Side side, int connections, int payload) {
    ServerRunning server(side);
    auto client = make_client(side, connections);
    std::vector<Clock::time_point> sent(static_cast<size_t>(connections));
    // Reserved ahead: a vector that grows while frames are in flight stalls
    // the client (copies, page faults) in the middle of a measurement.
    std::vector<double> rtts;
    rtts.reserve(static_cast<size_t>(state.max_iterations) * static_cast<size_t>(connections));
    for (auto _ : state) {
        for (int c = 0; c < connections; ++c) {
            sent[static_cast<size_t>(c)] = Clock::now();
            client->send(c, payload);
        }
        client->wait(connections, [&](int c) {
            rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() -
                                                                     sent[static_cast<size_t>(c)])
                               .count());
        });
    }
    std::sort(rtts.begin(), rtts.end());
    if (!rtts.empty()) {
        state.counters["median_us"] = rtts[rtts.size() / 2];
        state.counters["p99_us"] = rtts[rtts.size() * 99 / 100];
        state.counters["p99.9_us"] = rtts[rtts.size() * 999 / 1000];
    }
    state.SetItemsProcessed(static_cast<int64_t>(rtts.size()));
}

void throughput(benchmark::State &state, Side side, int connections, int payload) {
    ServerRunning server(side);
    auto client = make_client(side, connections);
    for (int c = 0; c < connections; ++c) {
        for (int w = 0; w < kWindow; ++w) client->send(c, payload);
    }
    const int batch = connections * kWindow;
    int64_t echoed = 0;
    for (auto _ : state) {
        // Every echo puts the next frame of its connection in flight.
        client->wait(batch, [&](int c) { client->send(c, payload); });
        echoed += batch;
    }
    client->wait(batch, [](int) {});  // drain what is still in flight
    state.counters["msgs/s"] =
        benchmark::Counter(static_cast<double>(echoed), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(echoed * payload * 2);
}

}  // namespace

int main(int argc, char **argv) {
    // Servers first, before this process starts any thread.
    std::vector<pid_t> servers;
    servers.push_back(g_server[0] = bench::fork_server(engine_server, &g_engine_port));
    servers.push_back(g_server[1] = bench::fork_server(engine_batched_server, &g_batched_port));
    std::vector<std::pair<const char *, Side>> sides = {{"engine", Side::engine},
                                                        {"batched", Side::batched}};
#ifdef BENCH_HAVE_LIBEVENT
    servers.push_back(g_server[2] = bench::fork_server(libevent_server, &g_libevent_port));
    sides.emplace_back("engine@libevent", Side::engine_lc);
    sides.emplace_back("batched@libevent", Side::batched_lc);
    sides.emplace_back("libevent", Side::libevent);
#ifdef BENCH_HAVE_ASIO
    servers.push_back(g_server[3] = bench::fork_server(asio_server, &g_asio_port));
    sides.emplace_back("asio", Side::asio);
#endif
#ifdef BENCH_HAVE_LIBUV
    servers.push_back(g_server[4] = bench::fork_server(libuv_server, &g_libuv_port));
    sides.emplace_back("libuv", Side::libuv);
#endif
#endif
    for (pid_t pid : servers) kill(pid, SIGSTOP);  // each runs only while measured
    for (const char *kind : {"roundtrip", "throughput"}) {
        for (int connections : {1, kMaxConnections}) {
            for (int payload : {16, 256, 2048}) {
                for (const auto &[side, which] : sides) {
                    const std::string name = std::string(kind) + "/" + side +
                                             "/conns:" + std::to_string(connections) +
                                             "/payload:" + std::to_string(payload);
                    auto *fn = std::strcmp(kind, "roundtrip") == 0 ? roundtrip : throughput;
                    benchmark::RegisterBenchmark(name.c_str(), fn, which, connections, payload)
                        ->UseRealTime()
                        ->MinTime(0.5);
                }
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vesk_net_shutdown();
    for (pid_t pid : servers) {
        kill(pid, SIGCONT);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return 0;
}
