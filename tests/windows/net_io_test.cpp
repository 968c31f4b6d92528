// The completion-port poller's readiness for what only Windows words its own
// way (a connect's outcome, urgent data), and the socket calls the engine
// makes on accepted sockets.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <vector>

#include "os/os.h"
#include "vuvidur.h"

namespace {

sockaddr_in loopback(u_short port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

sockaddr_in bound_address(SOCKET s) {
    sockaddr_in a{};
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    return a;
}

// A port on loopback that nothing listens on: bound, then released.
u_short unused_port() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any = loopback();
    bind(s, reinterpret_cast<sockaddr *>(&any), sizeof any);
    u_short port = ntohs(bound_address(s).sin_port);
    closesocket(s);
    return port;
}

// Waits in passes of 10 ms, up to 3 s, until the socket under `key` is
// reported: what it was reported with, or 0.
unsigned wait_for(os::Poller *p, int key) {
    for (int i = 0; i < 300; ++i) {
        os::PollEvent ev[8];
        const int n = os::poller_wait(p, 10, ev, 8);
        for (int j = 0; j < n; ++j) {
            if (ev[j].key == key) return ev[j].ready;
        }
    }
    return 0;
}

class WindowsPollerReadiness : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vesk_socket_startup(), 0);
        p_ = os::poller_create(8);
        ASSERT_NE(p_, nullptr);
    }
    void TearDown() override {
        os::poller_destroy(p_);
        for (SOCKET s : sockets_) vesk_socket_close(s);
        vesk_socket_cleanup();
    }
    SOCKET keep(SOCKET s) {
        sockets_.push_back(s);
        return s;
    }
    // A socket listening on loopback, on a port of the system's choosing,
    // whose address is stored in `addr`.
    SOCKET listening(sockaddr_in *addr, int backlog = 5) {
        SOCKET s = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
        sockaddr_in any = loopback();
        EXPECT_EQ(vesk_socket_bind(s, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
        EXPECT_EQ(os::socket_listen(s, backlog), 0);
        *addr = bound_address(s);
        return s;
    }
    std::vector<SOCKET> sockets_;
    os::Poller *p_ = nullptr;
};

}  // namespace

TEST_F(WindowsPollerReadiness, AcceptedConnectionMakesTheConnectWritableWithNoPendingError) {
    sockaddr_in addr{};
    SOCKET listener = listening(&addr);
    os::set_nonblocking(listener);

    SOCKET client = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    os::set_nonblocking(client);
    if (os::socket_connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        EXPECT_TRUE(os::socket_error_in_progress(os::socket_last_error()));
    }
    ASSERT_EQ(os::poller_set(p_, listener, 1, 0, os::kPollRead), 0);
    EXPECT_EQ(wait_for(p_, 1), os::kPollRead);
    sockaddr_in peer{};
    int peer_len = sizeof peer;
    SOCKET accepted =
        keep(os::socket_accept(listener, reinterpret_cast<sockaddr *>(&peer), &peer_len));
    ASSERT_NE(accepted, INVALID_SOCKET);
    EXPECT_EQ(peer_len, 16);
    EXPECT_EQ(peer.sin_port, bound_address(client).sin_port);

    ASSERT_EQ(os::poller_set(p_, client, 2, 0, os::kPollWrite | os::kPollError), 0);
    EXPECT_EQ(wait_for(p_, 2), os::kPollWrite);
    EXPECT_EQ(os::socket_pending_error(client), 0);
    sockaddr_in name{};
    int name_len = sizeof name;
    ASSERT_EQ(os::socket_peer_name(client, reinterpret_cast<sockaddr *>(&name), &name_len), 0);
    EXPECT_EQ(name.sin_port, addr.sin_port);
}

// The engine sends from user threads on accepted sockets: one that blocked
// would stall a sender while the peer reads nothing.  The socket takes the
// listener's non-blocking mode, with no call of its own.
TEST_F(WindowsPollerReadiness, ASocketAcceptedFromANonBlockingListenerNeverBlocks) {
    sockaddr_in addr{};
    SOCKET listener = listening(&addr);
    ASSERT_EQ(os::set_nonblocking(listener), 0);

    // Nothing waiting: the accept says "would block" rather than waiting.
    EXPECT_EQ(os::socket_accept_nonblocking(listener, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_TRUE(os::socket_error_would_block(os::socket_last_error()));

    SOCKET client = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(os::socket_connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(os::poller_set(p_, listener, 1, 0, os::kPollRead), 0);
    ASSERT_EQ(wait_for(p_, 1), os::kPollRead);
    SOCKET accepted = keep(os::socket_accept_nonblocking(listener, nullptr, nullptr));
    ASSERT_NE(accepted, INVALID_SOCKET);
    // Were it blocking, the time limits would end the receive and the send
    // (WSAETIMEDOUT) instead of the test hanging.
    const DWORD limit_ms = 2000;
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        setsockopt(accepted, SOL_SOCKET, option, reinterpret_cast<const char *>(&limit_ms),
                   sizeof limit_ms);
    }
    char byte = 0;
    EXPECT_EQ(recv(accepted, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    // A send that fills the socket's buffers ends with "would block" too.
    const std::vector<char> chunk(64 * 1024, 'x');
    const int size = static_cast<int>(chunk.size());
    int last = 0;
    for (int i = 0; i < 4096 && (last = send(accepted, chunk.data(), size, 0)) > 0; ++i) {
    }
    EXPECT_EQ(last, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

// Windows words a failed non-blocking connect as a failure of its own; the
// poller reports it as writable too, as POSIX does, so that a caller that
// waits for the connect to end is never left waiting.
TEST_F(WindowsPollerReadiness, RefusedConnectIsReportedAsWritableAndFailedWithTheRefusal) {
    SOCKET client = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    os::set_nonblocking(client);
    sockaddr_in nowhere = loopback(unused_port());
    ASSERT_EQ(os::socket_connect(client, reinterpret_cast<sockaddr *>(&nowhere), sizeof nowhere),
              -1);
    int error = os::socket_last_error();
    ASSERT_EQ(error, WSAEWOULDBLOCK);
    EXPECT_TRUE(os::socket_error_in_progress(error));
    ASSERT_EQ(os::poller_set(p_, client, 1, 0, os::kPollWrite | os::kPollError), 0);
    EXPECT_EQ(wait_for(p_, 1), os::kPollWrite | os::kPollError);
    EXPECT_EQ(os::socket_pending_error(client), WSAECONNREFUSED);
}

TEST_F(WindowsPollerReadiness, AddressReuseLetsASecondSocketBindAPortInTimeWait) {
    SOCKET a = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(os::socket_set_reuse_address(a), 0);
    BOOL on = FALSE;
    int len = sizeof on;
    getsockopt(a, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(&on), &len);
    EXPECT_TRUE(on);
    EXPECT_EQ(os::socket_set_reuse_address(INVALID_SOCKET), -1);
}

// Urgent (out-of-band) data is never asked for.  An established connection
// watched for reading must not report it: the engine's receive reads only
// ordinary data, so the socket would be reported ready at every pass with
// nothing to read, and the I/O thread would spin.  Both ways of watching a
// stream: a poll request, and a receive whose completion brings the bytes.
TEST_F(WindowsPollerReadiness, UrgentDataDoesNotMakeAnEstablishedConnectionReady) {
    sockaddr_in addr{};
    SOCKET listener = listening(&addr, 2);
    SOCKET senders[2];
    SOCKET receivers[2];
    for (int i = 0; i < 2; ++i) {
        senders[i] = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
        ASSERT_EQ(connect(senders[i], reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        receivers[i] = keep(os::socket_accept(listener, nullptr, nullptr));
        ASSERT_NE(receivers[i], INVALID_SOCKET);
        os::set_nonblocking(receivers[i]);
        ASSERT_EQ(send(senders[i], "!", 1, MSG_OOB), 1);
    }
    ASSERT_EQ(os::poller_set(p_, receivers[0], 1, 0, os::kPollRead), 0);
    ASSERT_EQ(os::poller_set(p_, receivers[1], 2, 0, os::kPollRead | os::kPollTake), 0);
    os::PollEvent ev[4];
    EXPECT_EQ(os::poller_wait(p_, 200, ev, 4), 0) << "urgent data reported as readiness";

    for (SOCKET s : senders) ASSERT_EQ(send(s, "x", 1, 0), 1);
    EXPECT_EQ(wait_for(p_, 1), os::kPollRead) << "ordinary data is still seen";
    char byte = 0;
    for (int i = 0; i < 300 && os::poller_take(p_, 2, &byte, 1) != 1; ++i) {
        os::poller_wait(p_, 10, ev, 4);
    }
    EXPECT_EQ(byte, 'x') << "the receive brings the ordinary byte, not the urgent one";
}
