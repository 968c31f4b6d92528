// Socket wrappers on loopback.
// test-platform: POSIX (POSIX sockets, fcntl, SIGPIPE); the Windows
// counterparts are in tests/windows/socket_test.cpp.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "os/os.h"
#include "vuvidur.h"

namespace {

sockaddr_in loopback(uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

sockaddr_in bound_address(int s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    return a;
}

}  // namespace

TEST(Socket, StartupAndCleanupHaveNothingToDo) {
    EXPECT_EQ(vesk_socket_startup(), 0);
    EXPECT_EQ(vesk_socket_cleanup(), 0);
}

TEST(Socket, FailedCreateReturnsInvalidAndReportsBindError) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(vesk_socket_create(9999, SOCK_DGRAM, 0), VESK_INVALID_SOCKET);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("bind error!", 0), 0u) << err;
}

TEST(Socket, UdpDatagramRoundTripReportsTheSender) {
    vesk_socket_t a = vesk_socket_create(AF_INET, SOCK_DGRAM, 0);
    vesk_socket_t b = vesk_socket_create(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any = loopback();
    ASSERT_EQ(vesk_socket_bind(a, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    ASSERT_EQ(vesk_socket_bind(b, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    sockaddr_in to = bound_address(b);
    EXPECT_EQ(vesk_socket_sendto(a, "hello", 5, 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              5);

    char buf[16] = {};
    sockaddr_in from{};
    int fromlen = sizeof from;
    EXPECT_EQ(
        vesk_socket_recvfrom(b, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen),
        5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(fromlen, static_cast<int>(sizeof from));
    EXPECT_EQ(from.sin_port, bound_address(a).sin_port);
    EXPECT_EQ(vesk_socket_close(a), 0);
    EXPECT_EQ(vesk_socket_close(b), 0);
}

TEST(Socket, SetNonblockingSwitchesTheModeAndFailsOnAClosedSocket) {
    vesk_socket_t s = vesk_socket_create(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, VESK_INVALID_SOCKET);
    EXPECT_EQ(os::set_nonblocking(s), 0);
    EXPECT_NE(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    char byte;
    EXPECT_EQ(vesk_socket_recvfrom(s, &byte, 1, 0, nullptr, nullptr), -1);
    vesk_socket_close(s);
    EXPECT_EQ(os::set_nonblocking(s), -1);
}

// Windows reports a broken connection as an error; a POSIX send must not
// kill the whole process with SIGPIPE instead.
TEST(Socket, SendToAClosedPeerFailsInsteadOfRaisingSigpipe) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback();
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    addr = bound_address(listener);
    vesk_socket_t client = vesk_socket_create(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    int accepted = accept(listener, nullptr, nullptr);
    close(accepted);
    close(listener);

    char data[4096] = {};
    int rc = 0;
    for (int i = 0; i < 100 && rc >= 0; ++i) rc = vesk_socket_send(client, data, sizeof data);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
    vesk_socket_close(client);
}
