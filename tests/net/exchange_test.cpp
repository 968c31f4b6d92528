// Engine to engine, in two processes (the engine is process-wide): the
// whole framed TCP exchange from listening to reaping, and UDP probes and
// keepalives between two engines with a plain relay in the middle that
// records every datagram.
// test-platform: POSIX (fork()ed engines, POSIX sockets); the Windows engine
// meets the Linux engine in the interoperation test (tests/windows/).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdarg>
#include <string>

#include "net_test_util.h"
#include "test_support.h"

using namespace nettest;

namespace {

// A child process with a pipe each way.
struct Child {
    pid_t pid = -1;
    int to_child = -1;
    int from_child = -1;

    template <typename Body>
    static Child start(Body body) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0) return {};
        Child c;
        c.pid = fork();
        if (c.pid == 0) {
            close(down[1]);
            close(up[0]);
            int code = body(down[0], up[1]);
            vesk_write_coverage_before_exit();
            _exit(code);
        }
        close(down[0]);
        close(up[1]);
        c.to_child = down[1];
        c.from_child = up[0];
        return c;
    }
    int wait_exit() {
        int status = 0;
        waitpid(pid, &status, 0);
        close(to_child);
        close(from_child);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

void put_line(int fd, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    line[n] = '\n';
    (void)!write(fd, line, static_cast<size_t>(n + 1));
}

// One line from a pipe (without the newline); empty at the end.
std::string get_line(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

// The server side of the exchange: listens, answers every frame with
// "echo:" + the frame, and reports each event on `report`.
int serve_framed(int control, int report) {
    if (vesk_net_init(8, 2, 0, 1, 1 << 16, 0, 0) != 0) return 10;
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback();
    const int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
    if (listener == 0 || vesk_net_attach(listener, ch) != 0) return 11;
    put_line(report, "port %u", ntohs(slot_address(listener).sin_port));
    Event ev;
    for (;;) {
        if (!next_event(ch, ev, 5000)) return 12;
        if (ev.kind() == VESK_EV_ACCEPT) {
            auto a = ev.accept();
            put_line(report, "accept listener=%d slot=%d port=%u", a.listener, a.slot,
                     ntohs(a.port));
        } else if (ev.kind() == VESK_EV_TCP_DATA) {
            std::string text(ev.bytes + 18, ev.bytes + ev.length);
            put_line(report, "data slot=%d length=%d text=%s", ev.slot(), ev.msg().length,
                     text.c_str());
            std::string answer = "echo:" + text;
            Message m(ev.slot(), Bytes(answer.begin(), answer.end()));
            if (m.send() != 0) return 13;
        } else if (ev.kind() == VESK_EV_CLOSED) {
            put_line(report, "closed slot=%d", ev.slot());
            if (vesk_net_close(ev.slot()) != 0) return 14;
            for (int i = 0; i < 2000 && vesk_net_get_socket(ev.slot()) != VESK_INVALID_SOCKET;
                 ++i) {
                usleep(500);
            }
            put_line(report, "reaped=%d", vesk_net_get_socket(ev.slot()) == VESK_INVALID_SOCKET);
            break;
        } else {
            put_line(report, "unexpected kind=%d", ev.kind());
        }
    }
    get_line(control);  // the parent's go-ahead to stop
    vesk_net_shutdown();
    return 0;
}

TEST(EngineToEngine, FramedExchangeFromConnectToReapAcrossTwoProcesses) {
    Child server = Child::start(serve_framed);
    ASSERT_GT(server.pid, 0);
    std::string line = get_line(server.from_child);
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "port %u", &port), 1) << line;

    ASSERT_EQ(vesk_net_init(8, 2, 0, 1, 1 << 16, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    const int slot = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
    ASSERT_EQ(vesk_net_attach(slot, ch), 0);
    sockaddr_in to = loopback(static_cast<uint16_t>(port));
    const int rc = vesk_net_connect(slot, as_sockaddr(to));
    ASSERT_TRUE(rc == 0 || rc == 1);
    Event ev;
    if (rc == 0) {
        ASSERT_TRUE(next_event(ch, ev));
        ASSERT_EQ(ev.kind(), VESK_EV_CONNECT);
        EXPECT_EQ(ev.connect().result, 0);
    }
    const unsigned my_port = ntohs(slot_address(slot).sin_port);
    line = get_line(server.from_child);
    EXPECT_EQ(line, "accept listener=1 slot=2 port=" + std::to_string(my_port));

    for (const std::string text : {"hello", "framed world"}) {
        Message m(slot, Bytes(text.begin(), text.end()));
        ASSERT_EQ(m.send(), 0);
        ASSERT_TRUE(next_event(ch, ev));
        ASSERT_EQ(ev.kind(), VESK_EV_TCP_DATA);
        EXPECT_EQ(ev.slot(), slot);
        EXPECT_EQ(std::string(ev.bytes + 18, ev.bytes + ev.length), "echo:" + text);
        EXPECT_EQ(ev.msg().port, htons(static_cast<uint16_t>(port)));
        EXPECT_EQ(get_line(server.from_child),
                  "data slot=2 length=" + std::to_string(text.size()) + " text=" + text);
    }
    ASSERT_EQ(vesk_net_close(slot), 0);
    EXPECT_EQ(get_line(server.from_child), "closed slot=2");
    EXPECT_EQ(get_line(server.from_child), "reaped=1");
    put_line(server.to_child, "stop");
    EXPECT_EQ(server.wait_exit(), 0);
    vesk_net_shutdown();
}

// The far engine: a multi slot whose peer table holds a stranger in entry 1
// and the relay in entry 2; it echoes data frames back to their sender.
int serve_udp(int control, int report) {
    if (vesk_net_init(4, 1, 1, 4, 1 << 16, 0, 0) != 0) return 10;
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback();
    const int slot = vesk_net_open(VESK_NET_UDP_MULTI, as_sockaddr(any));
    if (slot != 1 || vesk_net_attach(slot, ch) != 0) return 11;
    put_line(report, "port %u", ntohs(slot_address(slot).sin_port));
    unsigned relay_port = 0;
    if (std::sscanf(get_line(control).c_str(), "relay %u", &relay_port) != 1) return 12;
    sockaddr_in stranger = loopback(9);
    sockaddr_in relay = loopback(static_cast<uint16_t>(relay_port));
    if (vesk_net_add_peer(slot, as_sockaddr(stranger)) != 0) return 13;
    if (vesk_net_add_peer(slot, as_sockaddr(relay)) != 0) return 14;
    put_line(report, "ready");
    Event ev;
    if (!next_event(ch, ev, 5000) || ev.kind() != VESK_EV_UDP_DATA) return 15;
    auto msg = ev.msg();
    std::string text(ev.bytes + 18, ev.bytes + ev.length);
    put_line(report, "data from port %u: %s", ntohs(msg.port), text.c_str());
    std::string answer = "echo:" + text;
    Message m(slot, Bytes(answer.begin(), answer.end()), msg.addr, msg.port);
    if (m.send() != static_cast<int>(3 + answer.size())) return 16;
    get_line(control);
    vesk_net_shutdown();
    return 0;
}

TEST(EngineToEngine, UdpProbeAndKeepalivesBetweenTwoEnginesThroughARecordingRelay) {
    Child far = Child::start(serve_udp);
    ASSERT_GT(far.pid, 0);
    unsigned far_port = 0;
    ASSERT_EQ(std::sscanf(get_line(far.from_child).c_str(), "port %u", &far_port), 1);
    // The relay: the near engine talks to r1, the far engine hears r2.
    int r1 = plain_udp();
    int r2 = plain_udp();
    put_line(far.to_child, "relay %u", ntohs(local_address(r2).sin_port));
    ASSERT_EQ(get_line(far.from_child), "ready");

    ASSERT_EQ(vesk_net_init(4, 1, 0, 1, 1 << 16, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback();
    const int slot = vesk_net_open(VESK_NET_UDP_ANSWER, as_sockaddr(any));
    ASSERT_EQ(vesk_net_attach(slot, ch), 0);
    sockaddr_in relay_near = local_address(r1);
    ASSERT_EQ(vesk_net_add_peer(slot, as_sockaddr(relay_near)), 0);
    sockaddr_in far_addr = loopback(static_cast<uint16_t>(far_port));
    const sockaddr_in me = slot_address(slot);

    // A direct probe: the far engine tells us the address it saw.
    ASSERT_EQ(vesk_net_probe(slot, as_sockaddr(far_addr)), 0);
    Event ev;
    ASSERT_TRUE(next_event(ch, ev));
    ASSERT_EQ(ev.kind(), VESK_EV_PROBE_REPLY);
    auto reply = ev.probe_reply();
    EXPECT_EQ(reply.value, VESK_CTL_PROBE_REPLY);
    EXPECT_EQ(reply.addr, me.sin_addr.s_addr);
    EXPECT_EQ(reply.port, me.sin_port);

    // A keepalive through the relay: near -> far as keepalive, far answers
    // with its entry index 2, near answers its peer's control frame with a
    // keepalive again.
    Message keepalive(slot, {}, relay_near.sin_addr.s_addr, relay_near.sin_port);
    ASSERT_EQ(keepalive.send(), 3);
    Bytes d;
    sockaddr_in from{};
    ASSERT_TRUE(recv_datagram(r1, d, 2000, &from));
    EXPECT_EQ(d, (Bytes{0xFE, 0x00, 0x00}));
    EXPECT_EQ(from.sin_port, me.sin_port);
    sendto(r2, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&far_addr), sizeof far_addr);
    ASSERT_TRUE(recv_datagram(r2, d));
    EXPECT_EQ(d, (Bytes{0xFE, 0xFE, 0xFF})) << "indexed keepalive -2 from the far engine";
    sendto(r1, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&me), sizeof me);
    ASSERT_TRUE(recv_datagram(r1, d));
    EXPECT_EQ(d, (Bytes{0xFE, 0x00, 0x00})) << "the near engine answers its peer";
    EXPECT_TRUE(stays_quiet(ch, 20)) << "keepalives raise no events";

    // Data goes to anyone and comes back.
    Message hello(slot, Bytes{'h', 'i'}, far_addr.sin_addr.s_addr, far_addr.sin_port);
    ASSERT_EQ(hello.send(), 5);
    EXPECT_EQ(get_line(far.from_child),
              "data from port " + std::to_string(ntohs(me.sin_port)) + ": hi");
    ASSERT_TRUE(next_event(ch, ev));
    ASSERT_EQ(ev.kind(), VESK_EV_UDP_DATA);
    EXPECT_EQ(std::string(ev.bytes + 18, ev.bytes + ev.length), "echo:hi");
    EXPECT_EQ(ev.msg().port, far_addr.sin_port);

    put_line(far.to_child, "stop");
    EXPECT_EQ(far.wait_exit(), 0);
    close(r1);
    close(r2);
    vesk_net_shutdown();
}

}  // namespace
