// The Windows poller's listeners: connections accepted ahead on the poller's
// own thread reach the caller in arrival order, set up as its own accepts
// were (non-blocking, no-delay, peer address), only while the caller accepts,
// and none is left open when the listener's registration ends.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <vector>

#include "os/os.h"
#include "os/win32/accept_ahead.h"
#include "vuvidur.h"

namespace {

constexpr int kListenerKey = 7;

sockaddr_in local_address(SOCKET s) {
    sockaddr_in a{};
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    return a;
}

class WindowsPollerAccept : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vesk_socket_startup(), 0);
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(listen(listener, 64), 0);
        ASSERT_EQ(os::set_nonblocking(listener), 0);
        poller = os::poller_create(16);
        ASSERT_NE(poller, nullptr);
    }
    void TearDown() override {
        if (poller != nullptr) os::poller_destroy(poller);
        for (SOCKET s : clients) closesocket(s);
        for (SOCKET s : accepted) closesocket(s);
        closesocket(listener);
        vesk_socket_cleanup();
    }

    SOCKET connect_client() {
        SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in to = local_address(listener);
        EXPECT_EQ(connect(c, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
        clients.push_back(c);
        return c;
    }

    // Waits up to 5 s for the listener to be reported and takes what the
    // poller holds, until `want` connections are in `accepted`.
    void accept_until(size_t want) {
        const DWORD start = GetTickCount();
        while (accepted.size() < want && GetTickCount() - start < 5000) {
            os::PollEvent ev[4];
            const int n = os::poller_wait(poller, 100, ev, 4);
            for (int i = 0; i < n; ++i) {
                ASSERT_EQ(ev[i].key, kListenerKey);
                ASSERT_EQ(ev[i].ready, os::kPollRead);
            }
            if (n == 0) continue;
            for (;;) {
                vesk_socket_t s = VESK_INVALID_SOCKET;
                sockaddr_in peer{};
                int len = sizeof peer;
                const int got = os::poller_accept(poller, kListenerKey, &s,
                                                  reinterpret_cast<sockaddr *>(&peer), &len);
                ASSERT_NE(got, -2) << "the poller accepts for a kPollAccept listener";
                if (got == 0) {
                    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
                    break;
                }
                ASSERT_EQ(len, static_cast<int>(sizeof peer));
                accepted.push_back(s);
                peers.push_back(peer);
            }
        }
    }

    SOCKET listener = INVALID_SOCKET;
    os::Poller *poller = nullptr;
    std::vector<SOCKET> clients;
    std::vector<SOCKET> accepted;
    std::vector<sockaddr_in> peers;
};

TEST_F(WindowsPollerAccept, ConnectionsComeInArrivalOrderSetUpAsTheCallersOwnAccepts) {
    ASSERT_EQ(os::poller_set(poller, listener, kListenerKey, 0, os::kPollRead | os::kPollAccept),
              0);
    // More than the poller holds ahead, so that it must take up again once
    // the caller has made room.
    for (int i = 0; i < 40; ++i) connect_client();
    accept_until(clients.size());
    ASSERT_EQ(accepted.size(), clients.size());
    for (size_t i = 0; i < clients.size(); ++i) {
        const sockaddr_in client = local_address(clients[i]);
        EXPECT_EQ(peers[i].sin_port, client.sin_port) << "connection " << i;
        EXPECT_EQ(peers[i].sin_addr.s_addr, client.sin_addr.s_addr);
    }
    // Non-blocking, and no-delay on.
    char byte = 0;
    EXPECT_EQ(recv(accepted[0], &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    BOOL no_delay = FALSE;
    int size = sizeof no_delay;
    ASSERT_EQ(getsockopt(accepted.back(), IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<char *>(&no_delay), &size),
              0);
    EXPECT_TRUE(no_delay);
    // The connection works.
    ASSERT_EQ(send(clients[3], "x", 1, 0), 1);
    u_long off = 0;
    ioctlsocket(accepted[3], FIONBIO, &off);
    ASSERT_EQ(recv(accepted[3], &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'x');
}

// A listener whose caller does not accept (its channel is full) leaves its
// connections in the listen queue; they come once it accepts again.
TEST_F(WindowsPollerAccept, NothingIsAcceptedAheadWhileTheCallerDoesNotAccept) {
    ASSERT_EQ(os::poller_set(poller, listener, kListenerKey, 0, os::kPollAccept), 0);
    connect_client();
    os::PollEvent ev[4];
    EXPECT_EQ(os::poller_wait(poller, 300, ev, 4), 0);
    vesk_socket_t s = VESK_INVALID_SOCKET;
    EXPECT_EQ(os::poller_accept(poller, kListenerKey, &s, nullptr, nullptr), 0);
    // Still in the system's queue: a plain accept takes it.
    sockaddr_in peer{};
    int len = sizeof peer;
    SOCKET plain = accept(listener, reinterpret_cast<sockaddr *>(&peer), &len);
    ASSERT_NE(plain, INVALID_SOCKET);
    accepted.push_back(plain);
    EXPECT_EQ(peer.sin_port, local_address(clients[0]).sin_port);

    connect_client();
    ASSERT_EQ(os::poller_set(poller, listener, kListenerKey, os::kPollAccept,
                             os::kPollRead | os::kPollAccept),
              0);
    accept_until(2);
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_EQ(peers[0].sin_port, local_address(clients[1]).sin_port);
}

// Connections accepted ahead and never taken are closed with the listener's
// registration (their peers see the end), and the listener may be closed at
// once; a poller destroyed with a listener watched ends too.
TEST_F(WindowsPollerAccept, EndingTheRegistrationClosesWhatWasAcceptedAhead) {
    ASSERT_EQ(os::poller_set(poller, listener, kListenerKey, 0, os::kPollRead | os::kPollAccept),
              0);
    SOCKET c = connect_client();
    os::PollEvent ev[4];
    const DWORD start = GetTickCount();
    int n = 0;
    while (n == 0 && GetTickCount() - start < 5000) n = os::poller_wait(poller, 100, ev, 4);
    ASSERT_EQ(n, 1) << "accepted ahead and reported";
    ASSERT_EQ(os::poller_set(poller, listener, kListenerKey, os::kPollRead | os::kPollAccept, 0),
              0);
    closesocket(listener);
    listener = INVALID_SOCKET;
    DWORD limit = 5000;
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit);
    char byte = 0;
    const int got = recv(c, &byte, 1, 0);
    EXPECT_LE(got, 0) << "the peer sees the connection end";
    if (got < 0) {
        EXPECT_NE(WSAGetLastError(), WSAETIMEDOUT);
    }

    // Destroyed while a receive is outstanding and news of a listener is
    // queued, not yet taken.
    SOCKET second = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(second, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(second, 8), 0);
    const sockaddr_in to = local_address(second);
    SOCKET reader = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(reader, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
    clients.push_back(reader);
    SOCKET served = accept(second, nullptr, nullptr);
    ASSERT_NE(served, INVALID_SOCKET);
    accepted.push_back(served);
    os::set_nonblocking(second);
    ASSERT_EQ(os::poller_set(poller, served, 2, 0, os::kPollRead | os::kPollTake), 0);
    ASSERT_EQ(os::poller_set(poller, second, 1, 0, os::kPollRead | os::kPollAccept), 0);
    EXPECT_EQ(os::poller_wait(poller, 50, ev, 4), 0);
    SOCKET late = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(late, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
    clients.push_back(late);
    Sleep(200);
    os::poller_destroy(poller);
    poller = nullptr;
    closesocket(second);
}

// A listener watched and unwatched many times, its poll request outstanding
// at each end: every backlog is freed, once, whichever thread frees it.
TEST_F(WindowsPollerAccept, EveryBacklogIsFreedOnceWhicheverThreadEndsIt) {
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(
            os::poller_set(poller, listener, kListenerKey, 0, os::kPollRead | os::kPollAccept), 0);
        os::PollEvent ev[4];
        EXPECT_EQ(os::poller_wait(poller, 1, ev, 4), 0);  // arms it: its thread polls
        Sleep(3);
        ASSERT_EQ(
            os::poller_set(poller, listener, kListenerKey, os::kPollRead | os::kPollAccept, 0), 0);
    }
    os::poller_destroy(poller);
    poller = nullptr;
    EXPECT_EQ(os::win32::backlogs_alive(), 0);
}

}  // namespace
