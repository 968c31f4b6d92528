// The socket wrappers on Windows Sockets: start-up and clean-up, error
// reporting, non-blocking mode.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

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

// Keeps the socket layer started for one test.
struct SocketLayer {
    SocketLayer() { EXPECT_EQ(vesk_socket_startup(), 0); }
    ~SocketLayer() { vesk_socket_cleanup(); }
};

}  // namespace

TEST(WindowsSocket, StartupsAreCountedAndEachNeedsItsCleanup) {
    EXPECT_EQ(vesk_socket_cleanup(), -1) << "clean-up without a start-up";
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    ASSERT_EQ(vesk_socket_startup(), 0);
    ASSERT_EQ(vesk_socket_startup(), 0);
    EXPECT_EQ(vesk_socket_cleanup(), 0);
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_NE(s, INVALID_SOCKET) << "one start-up is still in force";
    closesocket(s);
    EXPECT_EQ(vesk_socket_cleanup(), 0);
    EXPECT_EQ(socket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(WindowsSocket, StartupAsksForVersionTwoTwo) {
    ASSERT_EQ(vesk_socket_startup(), 0);
    // A second start-up asking for the highest version reports what the
    // layer supports; the library's own must have been granted 2.2.
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    WSACleanup();
    vesk_socket_cleanup();
}

TEST(WindowsSocket, FailedCreateNamesTheSocketLayersReasonAndKeepsTheErrorCode) {
    SocketLayer layer;
    testing::internal::CaptureStderr();
    EXPECT_EQ(vesk_socket_create(9999, SOCK_DGRAM, 0), VESK_INVALID_SOCKET);
    int error = WSAGetLastError();  // before anything else can overwrite it
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, WSAEAFNOSUPPORT);
    EXPECT_EQ(err.rfind("bind error!: ", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(err.find("No error"), std::string::npos)
        << "a stale runtime error was described: " << err;
}

TEST(WindowsSocket, NonblockingReceiveReportsWouldBlock10035) {
    SocketLayer layer;
    vesk_socket_t s = vesk_socket_create(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any = loopback();
    ASSERT_EQ(vesk_socket_bind(s, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    EXPECT_EQ(os::set_nonblocking(s), 0);
    char byte;
    EXPECT_EQ(vesk_socket_recvfrom(s, &byte, 1, 0, nullptr, nullptr), -1);
    EXPECT_EQ(WSAGetLastError(), 10035);
    EXPECT_TRUE(os::socket_error_would_block(os::socket_last_error()));
    EXPECT_EQ(vesk_socket_close(s), 0);
    EXPECT_EQ(os::set_nonblocking(s), -1) << "a closed socket";
    EXPECT_EQ(vesk_socket_close(s), -1);
}

TEST(WindowsSocket, UdpDatagramRoundTripReportsTheSender) {
    SocketLayer layer;
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
    vesk_socket_close(a);
    vesk_socket_close(b);
}

TEST(WindowsSocket, SendOnAConnectionThePeerClosedFails) {
    SocketLayer layer;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback();
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    addr = bound_address(listener);
    vesk_socket_t client = vesk_socket_create(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    SOCKET accepted = accept(listener, nullptr, nullptr);
    closesocket(accepted);
    closesocket(listener);
    char data[4096] = {};
    int rc = 0;
    for (int i = 0; i < 100 && rc >= 0; ++i) {
        rc = vesk_socket_send(client, data, sizeof data);
        Sleep(1);
    }
    EXPECT_EQ(rc, -1);
    vesk_socket_close(client);
}
