// The POSIX backend's internal calls at their edges: the executable's path,
// the poller, gathered sends, accept and connect, the debug-output channel
// and the timer thread's guard.
// test-platform: POSIX (the backend under src/os/posix)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "os/os.h"

namespace {

TEST(ModulePath, RefusesNoBufferAndNeverGivesATruncatedPath) {
    char whole[4096];
    const int length = os::module_path(whole, sizeof whole);
    ASSERT_GT(length, 1);
    EXPECT_EQ(std::strlen(whole), static_cast<size_t>(length));
    EXPECT_EQ(whole[0], '/');
    EXPECT_EQ(os::module_path(nullptr, sizeof whole), 0);
    char small[4096];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(os::module_path(small, 0), 0);
    EXPECT_EQ(small[0], 'x') << "a buffer of size 0 is not written";
    // Exactly the path's length leaves no room for the terminator.
    EXPECT_EQ(os::module_path(small, static_cast<size_t>(length)), 0);
    EXPECT_STREQ(small, "");
}

TEST(Poller, RefusesNoCapacityAndTreatsAnUnchangedInterestAsDone) {
    EXPECT_EQ(os::poller_create(0), nullptr);
    EXPECT_EQ(os::poller_create(-1), nullptr);
    os::Poller *p = os::poller_create(1);
    ASSERT_NE(p, nullptr);
    // No system call for an unchanged interest, so even a socket that does
    // not exist is accepted; a real change for it fails.
    EXPECT_EQ(os::poller_set(p, -1, 1, os::kPollRead, os::kPollRead), 0);
    EXPECT_EQ(os::poller_set(p, -1, 1, 0, os::kPollRead), -1);
    os::poller_destroy(p);
    os::poller_destroy(nullptr);
}

// The size of this process's descriptor table, from /proc.
int descriptor_table_size() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("FDSize:", 0) == 0) return std::atoi(line.c_str() + 7);
    }
    return -1;
}

// Growing the table later, from an accept on the I/O thread, would stall
// that thread; the poller grows it once, and leaves no descriptor behind.
TEST(Poller, ReadiesTheDescriptorTableForItsSocketsAndKeepsNoExtraDescriptor) {
    const int before = descriptor_table_size();
    ASSERT_GT(before, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlim_t wanted = static_cast<rlim_t>(before) * 4;
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < wanted) GTEST_SKIP();
    rlimit raised = saved;
    raised.rlim_cur = std::max(saved.rlim_cur, wanted);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    const int probe = dup(2);
    close(probe);
    os::Poller *p = os::poller_create(before * 2);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(descriptor_table_size(), before * 2);
    // The epoll instance and the wake-up descriptor are the poller's only
    // ones: the next free descriptor is the third above the probe's.
    const int next = dup(2);
    EXPECT_EQ(next, probe + 2);
    close(next);
    os::poller_destroy(p);
    setrlimit(RLIMIT_NOFILE, &saved);
}

// A listening loopback socket and its address.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    Listener() {
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length), 0);
    }
    ~Listener() { close(fd); }
    const sockaddr *address() const { return reinterpret_cast<const sockaddr *>(&addr); }
};

TEST(SocketCalls, AcceptWithoutAddressConnectRefusedAndPieceCountsChecked) {
    Listener listener;
    ASSERT_EQ(listen(listener.fd, 1), 0);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(os::socket_connect(client, listener.address(), sizeof listener.addr), 0);
    const int server = os::socket_accept(listener.fd, nullptr, nullptr);
    ASSERT_NE(server, VESK_INVALID_SOCKET);

    // A count outside 0..kMaxPieces is refused before anything is sent.
    os::Piece piece{"x", 1};
    EXPECT_EQ(os::socket_send_pieces(client, &piece, -1), -1);
    EXPECT_EQ(os::socket_send_pieces(client, &piece, os::kMaxPieces + 1), -1);
    EXPECT_EQ(os::socket_send_pieces(client, &piece, 1), 1);
    char got[4] = {};
    EXPECT_EQ(recv(server, got, sizeof got, 0), 1);
    close(server);
    close(client);

    // A port with nothing listening: the connect fails.
    Listener closed;
    int refused = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(os::socket_connect(refused, closed.address(), sizeof closed.addr), -1);
    close(refused);
}

TEST(DebugOutput, GoesToTheNamedFileAndAnUnopenableOneIsSkipped) {
    const std::string path = testing::TempDir() + "vesk_debug_output.txt";
    std::remove(path.c_str());
    setenv("VESK_DEBUG_OUTPUT", path.c_str(), 1);
    os::debug_output("one ");
    os::debug_output("two");
    setenv("VESK_DEBUG_OUTPUT", "/nonexistent-dir/vesk/out.txt", 1);
    os::debug_output("lost");
    setenv("VESK_DEBUG_OUTPUT", "", 1);
    os::debug_output("discarded");
    unsetenv("VESK_DEBUG_OUTPUT");
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "one two");
    std::remove(path.c_str());
}

bool g_fault_seen = false;
struct Escaped {};

TEST(RunGuarded, AnExceptionFromTheBodyReachesTheFaultHandler) {
    uint32_t seven = 7;
    EXPECT_EQ(os::run_guarded([](void *arg) { return *static_cast<uint32_t *>(arg); }, &seven,
                              [] { std::abort(); }),
              7u);
    // The handler ends the process in the library; here it leaves by an
    // exception of its own so that the test can see it was called.
    EXPECT_THROW(os::run_guarded([](void *) -> uint32_t { throw 42; }, nullptr,
                                 [] {
                                     g_fault_seen = true;
                                     throw Escaped{};
                                 }),
                 Escaped);
    EXPECT_TRUE(g_fault_seen);
}

}  // namespace
