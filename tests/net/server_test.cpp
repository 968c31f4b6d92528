// What a server relies on: a drained-sends event only when asked, the system
// error behind a failure, no Nagle delay, and a listener that takes a burst.
// test-platform: POSIX (the remote peers use POSIX sockets).
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <thread>

#include "net_test_util.h"

using namespace nettest;

namespace {

class Server : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vesk_net_init(1100, 2, 0, 1, 1 << 20, 0, 0), 0);
        ch_ = vesk_net_channel_open();
    }
    void TearDown() override {
        for (int fd : peers_) close(fd);
        vesk_net_shutdown();
    }
    int listen() {
        sockaddr_in a = loopback();
        const int slot = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(a));
        EXPECT_GT(slot, 0);
        EXPECT_EQ(vesk_net_attach(slot, ch_), 0);
        return slot;
    }
    int accept_client(int listener, int *slot, int receive_buffer = 0) {
        const int fd = plain_connect(slot_address(listener).sin_port, receive_buffer);
        peers_.push_back(fd);
        Event ev;
        EXPECT_TRUE(next_event(ch_, ev));
        EXPECT_EQ(ev.kind(), VESK_EV_ACCEPT);
        *slot = ev.accept().slot;
        return fd;
    }
    int ch_ = 0;
    std::vector<int> peers_;
};

bool no_delay(vesk_socket_t s) {
    int on = 0;
    socklen_t length = sizeof on;
    return getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0 && on != 0;
}

TEST_F(Server, SentIsPostedOncePerRequestOnlyWhenNothingIsPendingAndNeverUnasked) {
    const int listener = listen();
    int slot = 0;
    const int fd = accept_client(listener, &slot, 16384);
    EXPECT_EQ(vesk_net_notify_sent(listener), -1) << "a listener";
    EXPECT_EQ(vesk_net_notify_sent(0), -1);
    EXPECT_EQ(vesk_net_notify_sent(5000), -1);

    // Sends with nothing asked: only the peer sees anything.
    Message hello(slot, pattern(10));
    ASSERT_EQ(hello.send(), 0);
    EXPECT_EQ(recv_exact(fd, 13), wire_frame(pattern(10)));
    EXPECT_TRUE(stays_quiet(ch_));

    // Nothing pending: two requests, two events, at once.
    ASSERT_EQ(vesk_net_notify_sent(slot), 0);
    ASSERT_EQ(vesk_net_notify_sent(slot), 0);
    for (int i = 0; i < 2; ++i) {
        Event ev;
        ASSERT_TRUE(next_event(ch_, ev));
        EXPECT_EQ(ev.kind(), VESK_EV_SENT);
        EXPECT_EQ(ev.length, static_cast<int>(sizeof(vesk_ev_sent)));
        EXPECT_EQ(ev.slot(), slot);
    }
    EXPECT_TRUE(stays_quiet(ch_));

    // A backlog: the peer does not read, so the request waits for it.
    int buffer = 16384;
    setsockopt(vesk_net_get_socket(slot), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    // Sends until refusals go on for 200 ms: bytes are stuck pending.
    size_t queued = 13;
    for (int refusals = 0; refusals < 200;) {
        const int rc = Message(slot, pattern(2000)).send();
        ASSERT_TRUE(rc == 0 || rc == VESK_NET_SEND_PENDING) << rc;
        if (rc == 0) {
            queued += 2003;
            refusals = 0;
        } else {
            ++refusals;
            usleep(1000);
        }
    }
    ASSERT_EQ(vesk_net_notify_sent(slot), 0);
    EXPECT_TRUE(stays_quiet(ch_, 200)) << "posted while bytes were still pending";
    // The peer reads everything (the first frame was read already).
    EXPECT_EQ(recv_exact(fd, queued - 13, 10000).size(), queued - 13);
    Event ev;
    ASSERT_TRUE(next_event(ch_, ev));
    EXPECT_EQ(ev.kind(), VESK_EV_SENT);
    EXPECT_EQ(ev.slot(), slot);
    EXPECT_EQ(Message(slot, pattern(5)).send(), 0) << "a send after the event goes";
    EXPECT_TRUE(stays_quiet(ch_));
}

TEST_F(Server, LastErrorTellsTheSystemsReasonPerThreadAndSurvivesSuccesses) {
    const int listener = listen();
    EXPECT_EQ(vesk_net_last_error(), 0);
    sockaddr_in taken = slot_address(listener);
    EXPECT_EQ(vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(taken)), 0);
    EXPECT_EQ(vesk_net_last_error(), VESK_NET_ERR_ADDRESS_IN_USE);
    std::atomic<int> other{-1};
    std::thread([&] { other = vesk_net_last_error(); }).join();
    EXPECT_EQ(other.load(), 0) << "another thread's failure";

    int slot = 0;
    accept_client(listener, &slot);
    EXPECT_EQ(Message(slot, pattern(3)).send(), 0);
    EXPECT_EQ(vesk_net_last_error(), VESK_NET_ERR_ADDRESS_IN_USE) << "reset by a success";
    // A refusal no system call caused.
    EXPECT_EQ(vesk_net_attach(slot, 2), -1);
    EXPECT_EQ(vesk_net_last_error(), 0);

    // A connect that fails later: its reader learns why, with either read.
    const int idle = plain_listener();  // bound, then closed: nobody listens there
    sockaddr_in nobody = local_address(idle);
    close(idle);
    for (const bool many : {false, true}) {
        const int out = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
        ASSERT_EQ(vesk_net_attach(out, ch_), 0);
        ASSERT_EQ(vesk_net_connect(out, as_sockaddr(nobody)), 0) << "in progress";
        EXPECT_EQ(vesk_net_last_error(), 0);
        ASSERT_EQ(vesk_net_channel_wait(ch_, 3000), 1);
        uint8_t batch[2 + VESK_NET_MAX_RECORD];
        const int got = many ? vesk_net_channel_read_many(ch_, batch, sizeof batch)
                             : vesk_net_channel_read(ch_, batch + 2);
        ASSERT_GT(got, 0);
        EXPECT_EQ(batch[2], VESK_EV_CONNECT);
        EXPECT_EQ(vesk_net_last_error(), VESK_NET_ERR_CONNECTION_REFUSED);
        std::thread([] { EXPECT_EQ(vesk_net_last_error(), 0); }).join();
        vesk_net_close(out);
        EXPECT_EQ(vesk_net_attach(slot, 2), -1);  // resets it for the next round
    }
}

TEST_F(Server, ConnectionSlotsHaveNoDelayBothWays) {
    const int listener = listen();
    int accepted = 0;
    accept_client(listener, &accepted);
    EXPECT_TRUE(no_delay(vesk_net_get_socket(accepted)));
    const int out = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
    ASSERT_GT(out, 0);
    EXPECT_TRUE(no_delay(vesk_net_get_socket(out)));
}

// Every client of a burst connects at once; each sends a frame and gets it
// back (the test answers on the engine's side), with no client left waiting
// for a retransmitted handshake.
TEST_F(Server, ABurstOfAThousandConnectsIsAllServed) {
    const int clients = sanitized() ? 300 : 1000;
    const int listener = listen();
    const uint16_t port = slot_address(listener).sin_port;
    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a = loopback();
        a.sin_port = port;
        connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fds.push_back(fd);
        peers_.push_back(fd);
    }
    std::atomic<bool> done{false};
    std::thread server([&] {
        Event ev;
        while (!done.load()) {
            if (!next_event(ch_, ev, 100)) continue;
            if (ev.kind() == VESK_EV_TCP_DATA) Message(ev.slot(), ev.data()).send();
        }
    });
    size_t answered = 0;
    std::vector<size_t> got(fds.size(), 0);
    std::vector<bool> sent(fds.size(), false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (answered < fds.size() && std::chrono::steady_clock::now() < deadline) {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!sent[i]) {
                const Bytes f = wire_frame(pattern(8, static_cast<uint8_t>(i)));
                sent[i] = send(fds[i], f.data(), f.size(), MSG_NOSIGNAL) == 11;
            } else if (got[i] < 11) {
                uint8_t buf[11];
                const ssize_t n = recv(fds[i], buf, 11 - got[i], 0);
                if (n > 0 && (got[i] += static_cast<size_t>(n)) == 11) ++answered;
            }
        }
        usleep(1000);
    }
    done = true;
    server.join();
    EXPECT_EQ(answered, fds.size());
}

}  // namespace
