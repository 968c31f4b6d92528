// One message relayed through a fan-out ("chat") server, the engine's and
// Asio's side by side.  kMembers clients share one room; every frame a member
// sends goes to every other member.  Member A sends a frame; member B, on
// receiving it, answers with a frame of its own; A's clock stops when B's
// answer arrives.  That is two passes through the server, each delivering
// the frame to kMembers - 1 sockets, and every other member reads
// everything.  Printed per server: p50, p99, p99.9 and the largest of
// kRounds such round trips, in microseconds.
//
// Servers run in processes of their own; the clients are plain sockets in
// this process, the same for both.  The engine's server is the recommended
// loop: wait, take the events with read_many, queue each frame for every
// other member, and send each member's queue with one send_many.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "net_common.h"
#include "net_peers.h"

using bench::loopback;
using bench::no_delay;

namespace {

constexpr int kMembers = 16;
constexpr int kRounds = 20000;
constexpr int kPayload = 64;
constexpr size_t kHead = 18;  // vesk_net_msg ahead of the payload
using Clock = std::chrono::steady_clock;

// ---- The engine's chat server ------------------------------------------------

[[noreturn]] void engine_server(int report) {
    const int ch = bench::start_engine_listener(kMembers + 16, 8 << 20, 0, report);
    std::vector<uint8_t> batch(64 * (2 + VESK_NET_MAX_RECORD));
    std::set<int32_t> members;
    // Per member: the frames queued for it in one pass (copies with the
    // member's slot), as offsets into its arena.
    std::vector<std::vector<uint8_t>> arena(kMembers + 17);
    std::vector<std::vector<size_t>> queued(kMembers + 17);
    std::vector<vesk_net_msg *> run;
    for (;;) {
        bench::take_batch(ch, batch, [&](const uint8_t *event, uint16_t length, int32_t slot) {
            if (event[0] == VESK_EV_ACCEPT) {
                int32_t accepted;
                std::memcpy(&accepted, event + 5, 4);
                no_delay(vesk_net_get_socket(accepted));
                members.insert(accepted);
            } else if (event[0] == VESK_EV_CLOSED || event[0] == VESK_EV_FAILED) {
                members.erase(slot);
                vesk_net_close(slot);
            } else if (event[0] == VESK_EV_TCP_DATA) {
                for (int32_t to : members) {
                    if (to == slot) continue;
                    std::vector<uint8_t> &a = arena[static_cast<size_t>(to)];
                    queued[static_cast<size_t>(to)].push_back(a.size());
                    a.insert(a.end(), event, event + length);
                    std::memcpy(a.data() + queued[static_cast<size_t>(to)].back() + 1, &to, 4);
                }
            }
        });
        for (int32_t to : members) {
            std::vector<uint8_t> &a = arena[static_cast<size_t>(to)];
            std::vector<size_t> &q = queued[static_cast<size_t>(to)];
            if (q.empty()) continue;
            run.clear();
            for (size_t offset : q)
                run.push_back(reinterpret_cast<vesk_net_msg *>(a.data() + offset));
            bench::send_all_many(run.data(), static_cast<int>(run.size()));
            q.clear();
            a.clear();
        }
    }
}

// ---- Asio's chat server ------------------------------------------------------

#ifdef BENCH_HAVE_ASIO
// The echo's session, whose whole frames go to every other member.
using Room = std::set<bench::AsioSession *>;

void chat_accept(asio::ip::tcp::acceptor &acceptor, Room &room) {
    acceptor.async_accept([&acceptor, &room](std::error_code ec, asio::ip::tcp::socket socket) {
        if (!ec) {
            auto session = std::make_shared<bench::AsioSession>(
                std::move(socket),
                [&room](bench::AsioSession &from, const uint8_t *frames, size_t size) {
                    for (bench::AsioSession *member : room) {
                        if (member != &from) member->deliver(frames, size);
                    }
                },
                [&room](bench::AsioSession &gone) { room.erase(&gone); });
            room.insert(session.get());
            session->start();
        }
        chat_accept(acceptor, room);
    });
}

[[noreturn]] void asio_server(int report) {
    asio::io_context io(1);
    Room room;
    asio::ip::tcp::acceptor acceptor(io);
    const asio::ip::tcp::endpoint any(asio::ip::address_v4::loopback(), 0);
    acceptor.open(any.protocol());
    acceptor.bind(any);
    acceptor.listen(64);
    bench::report_port(report, acceptor.native_handle());
    chat_accept(acceptor, room);
    io.run();
    _exit(0);
}
#endif

// ---- The members -------------------------------------------------------------

struct Member {
    int fd = -1;
    std::vector<uint8_t> input;
};

void send_frame(int fd, uint8_t tag) {
    uint8_t frame[3 + kPayload] = {VESK_FRAME_MARK, kPayload & 0xFF, kPayload >> 8, tag};
    (void)!send(fd, frame, sizeof frame, MSG_NOSIGNAL);
}

// Reads what member `m` has; returns the tags of the whole frames read.
std::vector<uint8_t> take_frames(Member &m) {
    uint8_t chunk[65536];
    std::vector<uint8_t> tags;
    for (;;) {
        const ssize_t n = recv(m.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n <= 0) break;
        m.input.insert(m.input.end(), chunk, chunk + n);
    }
    const size_t whole = bench::whole_frames(m.input.data(), m.input.size());
    for (size_t at = 0; at < whole; at += 3 + kPayload) tags.push_back(m.input[at + 3]);
    m.input.erase(m.input.begin(), m.input.begin() + static_cast<long>(whole));
    return tags;
}

void measure(const char *name, uint16_t port) {
    std::vector<Member> members(kMembers);
    const int ep = epoll_create1(0);
    for (int i = 0; i < kMembers; ++i) {
        members[static_cast<size_t>(i)].fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = loopback(port);
        if (connect(members[static_cast<size_t>(i)].fd, reinterpret_cast<sockaddr *>(&to),
                    sizeof to) != 0) {
            std::printf("%-6s could not connect\n", name);
            return;
        }
        no_delay(members[static_cast<size_t>(i)].fd);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, members[static_cast<size_t>(i)].fd, &ev);
    }
    usleep(200 * 1000);  // every member is in the room before the first frame
    std::vector<double> rtts;
    rtts.reserve(kRounds);
    epoll_event ready[kMembers];
    for (int round = 0; round < kRounds; ++round) {
        const auto start = Clock::now();
        send_frame(members[0].fd, 'A');
        bool answered = false;
        while (!answered) {
            const int n = epoll_wait(ep, ready, kMembers, 1000);
            if (n <= 0) {
                std::printf("%-6s lost a frame in round %d\n", name, round);
                return;
            }
            for (int i = 0; i < n; ++i) {
                const uint32_t who = ready[i].data.u32;
                for (uint8_t tag : take_frames(members[who])) {
                    if (who == 1 && tag == 'A') send_frame(members[1].fd, 'B');
                    if (who == 0 && tag == 'B') answered = true;
                }
            }
        }
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    // The bystanders' queues are drained before the next server is measured.
    usleep(100 * 1000);
    for (Member &m : members) {
        take_frames(m);
        close(m.fd);
    }
    close(ep);
    std::sort(rtts.begin(), rtts.end());
    std::printf("%-6s members=%d rounds=%d relay_us p50=%-7.1f p99=%-7.1f p99.9=%-7.1f max=%.1f\n",
                name, kMembers, kRounds, rtts[rtts.size() / 2], rtts[rtts.size() * 99 / 100],
                rtts[rtts.size() * 999 / 1000], rtts.back());
    std::fflush(stdout);
}

}  // namespace

int main() {
    struct Server {
        const char *name;
        void (*serve)(int);
    };
    std::vector<Server> servers = {{"engine", engine_server}};
#ifdef BENCH_HAVE_ASIO
    servers.push_back({"asio", asio_server});
#endif
    for (const Server &s : servers) {
        uint16_t port = 0;
        const pid_t pid = bench::fork_server(s.serve, &port);
        measure(s.name, port);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return 0;
}
