// The socket engine's readiness sets over select(): more sockets than a
// default Windows socket set holds, and the outcomes of non-blocking connects.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <vector>

#include "os/os.h"
#include "os/win32/poll_set.h"
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

SOCKET bound_udp() {
    SOCKET s = vesk_socket_create(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any = loopback();
    vesk_socket_bind(s, reinterpret_cast<sockaddr *>(&any), sizeof any);
    os::set_nonblocking(s);
    return s;
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

// Waits in passes of 10 ms until entry `index` reports something.
unsigned wait_for(os::PollSet *set, int index, int passes = 300) {
    for (int i = 0; i < passes; ++i) {
        if (os::poll_wait(set, 10) > 0 && os::poll_ready(set, index) != 0)
            return os::poll_ready(set, index);
    }
    return 0;
}

class WindowsPollSet : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vesk_socket_startup(), 0); }
    void TearDown() override {
        for (SOCKET s : sockets_) vesk_socket_close(s);
        os::poll_destroy(set_);
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
    os::PollSet *set_ = nullptr;
};

}  // namespace

TEST_F(WindowsPollSet, WatchesFarMoreSocketsThanADefaultSocketSetHolds) {
    constexpr int kCount = 300;  // FD_SETSIZE is 64 here
    static_assert(kCount > FD_SETSIZE);
    set_ = os::poll_create(kCount);
    ASSERT_NE(set_, nullptr);
    for (int i = 0; i < kCount; ++i) keep(bound_udp());
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(os::poll_add(set_, sockets_[i], os::kPollRead), i);
    EXPECT_EQ(os::poll_add(set_, sockets_[0], os::kPollRead), -1) << "a full set takes no more";

    EXPECT_EQ(os::poll_wait(set_, 20), 0) << "nothing arrived yet: a timeout";
    constexpr int kTarget = 277;
    sockaddr_in to = bound_address(sockets_[kTarget]);
    SOCKET sender = keep(bound_udp());
    ASSERT_EQ(sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 1);
    EXPECT_EQ(wait_for(set_, kTarget), os::kPollRead);
    EXPECT_EQ(os::poll_wait(set_, 10), 1);
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(os::poll_ready(set_, i), i == kTarget ? os::kPollRead : 0u) << i;
    }
}

TEST_F(WindowsPollSet, RefilledSetForgetsEarlierSocketsAndResults) {
    set_ = os::poll_create(4);
    SOCKET a = keep(bound_udp());
    SOCKET b = keep(bound_udp());
    sockaddr_in to_a = bound_address(a);
    sendto(b, "x", 1, 0, reinterpret_cast<sockaddr *>(&to_a), sizeof to_a);
    os::poll_add(set_, a, os::kPollRead);
    EXPECT_EQ(wait_for(set_, 0), os::kPollRead);
    os::poll_clear(set_);
    EXPECT_EQ(os::poll_add(set_, b, os::kPollRead), 0);
    EXPECT_EQ(os::poll_wait(set_, 10), 0) << "a, still readable, is no longer in the set";
    EXPECT_EQ(os::poll_ready(set_, 0), 0u);
    EXPECT_EQ(os::poll_ready(set_, 1), 0u) << "past the entries added";
}

TEST_F(WindowsPollSet, AcceptedConnectionMakesTheConnectWritableWithNoPendingError) {
    set_ = os::poll_create(2);
    sockaddr_in addr{};
    SOCKET listener = listening(&addr);

    SOCKET client = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    os::set_nonblocking(client);
    if (os::socket_connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        EXPECT_TRUE(os::socket_error_in_progress(os::socket_last_error()));
    }
    os::poll_add(set_, listener, os::kPollRead);
    EXPECT_EQ(wait_for(set_, 0), os::kPollRead);
    sockaddr_in peer{};
    int peer_len = sizeof peer;
    SOCKET accepted =
        keep(os::socket_accept(listener, reinterpret_cast<sockaddr *>(&peer), &peer_len));
    ASSERT_NE(accepted, INVALID_SOCKET);
    EXPECT_EQ(peer_len, 16);
    EXPECT_EQ(peer.sin_port, bound_address(client).sin_port);

    os::poll_clear(set_);
    os::poll_add(set_, client, os::kPollWrite | os::kPollError);
    EXPECT_EQ(wait_for(set_, 0), os::kPollWrite);
    EXPECT_EQ(os::socket_pending_error(client), 0);
    sockaddr_in name{};
    int name_len = sizeof name;
    ASSERT_EQ(os::socket_peer_name(client, reinterpret_cast<sockaddr *>(&name), &name_len), 0);
    EXPECT_EQ(name.sin_port, addr.sin_port);
}

// The engine sends from user threads on accepted sockets: one that blocked
// would stall a sender while the peer reads nothing.  The socket takes the
// listener's non-blocking mode, with no call of its own.
TEST_F(WindowsPollSet, ASocketAcceptedFromANonBlockingListenerNeverBlocks) {
    set_ = os::poll_create(1);
    sockaddr_in addr{};
    SOCKET listener = listening(&addr);
    ASSERT_EQ(os::set_nonblocking(listener), 0);

    // Nothing waiting: the accept says "would block" rather than waiting.
    EXPECT_EQ(os::socket_accept_nonblocking(listener, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_TRUE(os::socket_error_would_block(os::socket_last_error()));

    SOCKET client = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(os::socket_connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    os::poll_add(set_, listener, os::kPollRead);
    ASSERT_EQ(wait_for(set_, 0), os::kPollRead);
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

// Windows reports a failed non-blocking connect only in the exception set;
// the set reports it as writable too, as POSIX does, so that a caller that
// waits for the connect to end is never left waiting.
TEST_F(WindowsPollSet, RefusedConnectIsReportedAsWritableAndFailedWithTheRefusal) {
    set_ = os::poll_create(1);
    SOCKET client = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    os::set_nonblocking(client);
    sockaddr_in nowhere = loopback(unused_port());
    ASSERT_EQ(os::socket_connect(client, reinterpret_cast<sockaddr *>(&nowhere), sizeof nowhere),
              -1);
    int error = os::socket_last_error();
    ASSERT_EQ(error, WSAEWOULDBLOCK);
    EXPECT_TRUE(os::socket_error_in_progress(error));
    os::poll_add(set_, client, os::kPollWrite | os::kPollError);
    EXPECT_EQ(wait_for(set_, 0), os::kPollWrite | os::kPollError);
    EXPECT_EQ(os::socket_pending_error(client), WSAECONNREFUSED);
}

TEST_F(WindowsPollSet, AddressReuseLetsASecondSocketBindAPortInTimeWait) {
    SOCKET a = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(os::socket_set_reuse_address(a), 0);
    BOOL on = FALSE;
    int len = sizeof on;
    getsockopt(a, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(&on), &len);
    EXPECT_TRUE(on);
    EXPECT_EQ(os::socket_set_reuse_address(INVALID_SOCKET), -1);
}

// Urgent (out-of-band) data lands in select's exception set.  An established
// connection watched for reading must not report it: the receive reads only
// ordinary data, so the socket would be reported ready at every pass with
// nothing to read, and the I/O thread would spin.
TEST_F(WindowsPollSet, UrgentDataDoesNotMakeAnEstablishedConnectionReady) {
    set_ = os::poll_create(1);
    sockaddr_in addr{};
    SOCKET listener = listening(&addr, 1);
    SOCKET sender = keep(vesk_socket_create(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(sender, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    SOCKET receiver = keep(os::socket_accept(listener, nullptr, nullptr));
    ASSERT_NE(receiver, INVALID_SOCKET);
    os::set_nonblocking(receiver);

    ASSERT_EQ(send(sender, "!", 1, MSG_OOB), 1);
    os::poll_add(set_, receiver, os::kPollRead);
    EXPECT_EQ(os::poll_wait(set_, 200), 0) << "urgent data reported as readiness";
    EXPECT_EQ(os::poll_ready(set_, 0), 0u);

    ASSERT_EQ(send(sender, "x", 1, 0), 1);
    EXPECT_EQ(wait_for(set_, 0), os::kPollRead) << "ordinary data is still seen";
}
