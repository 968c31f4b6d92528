// test-platform: POSIX (the remote peer uses POSIX sockets)
// Connections that break and slots that go away at awkward moments: a peer
// that resets, a reset while bytes wait to be flushed, a shutdown while a
// closed slot's socket is still set aside, a resting listener closed, a
// connect refused at once.
#include <dirent.h>
#include <gtest/gtest.h>

#include "net_test_util.h"

using namespace nettest;

namespace {

int open_descriptors() {
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// Ends the connection with a reset instead of an orderly close.
void reset(int fd) {
    linger abort_now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
    close(fd);
}

class Breakage : public ::testing::Test {
protected:
    void SetUp() override { start(4); }
    void TearDown() override {
        for (int fd : peers_) close(fd);
        vesk_net_shutdown();
    }
    void start(int slots) {
        ASSERT_EQ(vesk_net_init(slots, 1, 0, 1, 1 << 16, 0, 0), 0);
        ch_ = vesk_net_channel_open();
        ASSERT_EQ(ch_, 1);
    }
    int listen() {
        const sockaddr_in a = loopback();
        const int slot = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(a));
        EXPECT_GT(slot, 0);
        EXPECT_EQ(vesk_net_attach(slot, ch_), 0);
        return slot;
    }
    int accept_client(int listener, int *slot) {
        const int fd = plain_connect(slot_address(listener).sin_port);
        EXPECT_GE(fd, 0);
        Event ev;
        EXPECT_TRUE(next_event(ch_, ev));
        EXPECT_EQ(ev.kind(), VESK_EV_ACCEPT);
        *slot = ev.accept().slot;
        return fd;
    }
    // Sends frames to a peer that does not read until one is kept pending.
    void fill_until_pending(int slot) {
        const Bytes payload = pattern(VESK_NET_MAX_DATA);
        for (int i = 0; i < 100000; ++i) {
            Message m(slot, payload);
            const int rc = m.send();
            ASSERT_TRUE(rc == 0 || rc == VESK_NET_SEND_PENDING) << rc;
            if (rc == VESK_NET_SEND_PENDING) return;
        }
        FAIL() << "the socket never filled";
    }
    int ch_ = 0;
    std::vector<int> peers_;
};

TEST_F(Breakage, APeerThatResetsFailsTheSlotOnceAfterItsData) {
    int slot = 0;
    const int fd = accept_client(listen(), &slot);
    ASSERT_TRUE(send_all(fd, wire_frame(pattern(10))));
    Event ev;
    ASSERT_TRUE(next_event(ch_, ev));
    EXPECT_EQ(ev.kind(), VESK_EV_TCP_DATA);
    EXPECT_EQ(ev.data(), pattern(10));
    reset(fd);
    ASSERT_TRUE(next_event(ch_, ev));
    EXPECT_EQ(ev.kind(), VESK_EV_FAILED);
    EXPECT_EQ(ev.slot(), slot);
    EXPECT_TRUE(stays_quiet(ch_, 100)) << "one event per failure";
    Message m(slot, pattern(4));
    EXPECT_EQ(m.send(), VESK_NET_SEND_NOT_READY);
    EXPECT_EQ(vesk_net_close(slot), 0);
}

TEST_F(Breakage, AResetWhileBytesWaitToBeFlushedFailsTheSlotOnce) {
    int slot = 0;
    const int fd = accept_client(listen(), &slot);
    fill_until_pending(slot);
    reset(fd);
    Event ev;
    ASSERT_TRUE(next_event(ch_, ev));
    EXPECT_EQ(ev.kind(), VESK_EV_FAILED);
    EXPECT_EQ(ev.slot(), slot);
    EXPECT_TRUE(stays_quiet(ch_, 100)) << "one event per failure";
    EXPECT_EQ(vesk_net_close(slot), 0);
}

TEST_F(Breakage, ShutdownClosesTheSocketsSetAsideWithTheirBytes) {
    vesk_net_shutdown();
    const int before = open_descriptors();
    start(4);
    int slot = 0;
    const int fd = accept_client(listen(), &slot);
    peers_.push_back(fd);
    fill_until_pending(slot);
    ASSERT_EQ(vesk_net_close(slot), 0);  // set aside: the peer does not read
    // Freed (and its socket set aside) by the I/O thread's next pass.
    for (int i = 0; i < 300 && vesk_net_get_socket(slot) != VESK_INVALID_SOCKET; ++i) {
        usleep(10000);
    }
    ASSERT_EQ(vesk_net_get_socket(slot), VESK_INVALID_SOCKET);
    vesk_net_shutdown();
    // Every socket of the engine is closed: only the peer's stays.
    EXPECT_EQ(open_descriptors(), before + 1);
    // The peer reads what was sent, then sees the end.
    bool ended = false;
    for (int i = 0; i < 10000 && !ended; ++i) {
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 3000), 1);
        uint8_t chunk[65536];
        ended = recv(fd, chunk, sizeof chunk, 0) <= 0;
    }
    EXPECT_TRUE(ended);
    ASSERT_EQ(vesk_net_init(4, 1, 0, 1, 1 << 16, 0, 0), 0);  // for TearDown
}

// Reads everything the engine sent until the end: the byte count.
size_t read_to_end(int fd) {
    size_t total = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1) return total;
        uint8_t chunk[65536];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return total;
        total += static_cast<size_t>(n);
    }
}

TEST_F(Breakage, SocketsSetAsideAreFlushedOrDroppedEachOnItsOwn) {
    const int listener = listen();
    int slots[3] = {};
    int fds[3] = {};
    for (int i = 0; i < 3; ++i) {
        fds[i] = accept_client(listener, &slots[i]);
        fill_until_pending(slots[i]);
        ASSERT_EQ(vesk_net_close(slots[i]), 0);
    }
    // The first peer breaks off; the last two read everything, the last one
    // first, so that entries leave the set from the middle and the end.
    reset(fds[0]);
    const size_t last = read_to_end(fds[2]);
    const size_t middle = read_to_end(fds[1]);
    close(fds[1]);
    close(fds[2]);
    // Each got whole frames, and more than one socket buffer's worth: the
    // kept bytes were flushed after the close.
    for (size_t got : {middle, last}) {
        EXPECT_EQ(got % (3 + VESK_NET_MAX_DATA), 0u) << got;
        EXPECT_GT(got, 3u * (3 + VESK_NET_MAX_DATA));
    }
}

TEST_F(Breakage, ARestingListenerCanBeClosedAndItsNumberReused) {
    vesk_net_shutdown();
    start(2);  // one listener and one connection
    const int listener = listen();
    int first = 0;
    peers_.push_back(accept_client(listener, &first));
    // No slot for a second connection: the listener rests.
    peers_.push_back(plain_connect(slot_address(listener).sin_port));
    EXPECT_TRUE(stays_quiet(ch_, 200));
    ASSERT_EQ(vesk_net_close(listener), 0);
    ASSERT_EQ(vesk_net_close(first), 0);
    // Both numbers come free; the closed listener accepts nothing more.
    int again = 0;
    for (int i = 0; i < 300 && again == 0; ++i) {
        const sockaddr_in a = loopback();
        again = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(a));
        if (again == 0) usleep(10000);
    }
    EXPECT_EQ(again, listener);
    EXPECT_TRUE(stays_quiet(ch_, 100));
}

TEST_F(Breakage, AConnectRefusedAtOnceLeavesTheSlotOpenedForAnotherTry) {
    const int listener = listen();
    const int slot = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
    ASSERT_GT(slot, 0);
    ASSERT_EQ(vesk_net_attach(slot, ch_), 0);
    sockaddr_in wrong = slot_address(listener);
    wrong.sin_family = AF_UNIX;  // not an IPv4 address: the system refuses at once
    EXPECT_EQ(vesk_net_connect(slot, as_sockaddr(wrong)), VESK_NET_CONNECT_FAILED);
    EXPECT_TRUE(stays_quiet(ch_, 100)) << "no event for a connect refused at once";
    const sockaddr_in right = slot_address(listener);
    const int rc = vesk_net_connect(slot, as_sockaddr(right));
    ASSERT_GE(rc, 0);
    bool connected = rc == VESK_NET_CONNECTED;
    bool accepted = false;
    while (!connected || !accepted) {
        Event ev;
        ASSERT_TRUE(next_event(ch_, ev));
        if (ev.kind() == VESK_EV_CONNECT) {
            EXPECT_EQ(ev.connect().result, 0);
            connected = true;
        } else {
            ASSERT_EQ(ev.kind(), VESK_EV_ACCEPT);
            accepted = true;
        }
    }
}

}  // namespace
