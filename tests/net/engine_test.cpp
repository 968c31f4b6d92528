// Engine set-up and tear-down, the slot allocator's ranges, and channels.
// test-platform: POSIX (POSIX sockets, /proc/self); the engine on Windows is
// exercised against the Linux engine by the interoperation test.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <string>

#include "frame/memory.h"
#include "net/net_internal.h"
#include "net_test_util.h"

using namespace nettest;

namespace {

int open_udp(int type) {
    sockaddr_in a = loopback();
    return vesk_net_open(type, as_sockaddr(a));
}

int open_listener(int type = VESK_NET_TCP_LISTEN_FRAMED) {
    sockaddr_in a = loopback();
    return vesk_net_open(type, as_sockaddr(a));
}

int open_of_type(int type) {
    if (type == VESK_NET_TCP_CONNECT) return vesk_net_open(type, nullptr);
    if (type == VESK_NET_TCP_LISTEN_STREAM || type == VESK_NET_TCP_LISTEN_FRAMED) {
        return open_listener(type);
    }
    return open_udp(type);
}

int open_descriptors() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

}  // namespace

TEST(EngineSetUp, NestedSetUpCountsAndOnlyTheLastTearDownStopsTheEngine) {
    ASSERT_EQ(vesk_net_init(4, 2, 0, 1, 8192, 0, 0), 0);
    // A nested call ignores its arguments, even impossible ones.
    EXPECT_EQ(vesk_net_init(-5, 0, 99, 0, 1, 7, 7), 0);
    vesk_net_shutdown();
    EXPECT_EQ(vesk_net_channel_open(), 1) << "still set up after the first tear-down";
    vesk_net_shutdown();
    EXPECT_EQ(vesk_net_channel_open(), 0) << "torn down by the second";
    vesk_net_shutdown();  // with nothing set up: nothing happens
    ASSERT_EQ(vesk_net_init(2, 1, 0, 1, 4096, 0, 0), 0) << "set up anew afterwards";
    EXPECT_EQ(vesk_net_channel_open(), 1);
    vesk_net_shutdown();
}

TEST(EngineSetUp, ArgumentsTheEngineCannotWorkWithAreRefusedAndLeaveItNotSetUp) {
    struct Case {
        const char *what;
        int slots, channels, reserved, peers, ring;
    } cases[] = {
        {"no slots", 0, 1, 0, 1, 4096},
        {"no channels", 4, 0, 0, 1, 4096},
        {"negative reserved count", 4, 1, -1, 1, 4096},
        {"more reserved slots than slots", 4, 1, 5, 1, 4096},
        {"empty peer table", 4, 1, 0, 0, 4096},
        {"ring too small for one largest event", 4, 1, 0, 1, 2069},
        {"tables larger than one allocation holds", INT_MAX, 1, 0, 1, 4096},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(vesk_net_init(c.slots, c.channels, c.reserved, c.peers, c.ring, 0, 0), -1);
        EXPECT_EQ(vesk_net_channel_open(), 0);
    }
    ASSERT_EQ(vesk_net_init(4, 1, 4, 1, 2070, 0, 0), 0) << "the smallest ring that works";
    vesk_net_shutdown();
    EXPECT_EQ(vesk_net_channel_open(), 0) << "one tear-down undid the one successful set-up";
}

TEST(EngineSetUp, TearDownClosesTheSocketsThatSlotsStillHold) {
    const int before = open_descriptors();
    ASSERT_EQ(vesk_net_init(4, 1, 0, 1, 8192, 0, 0), 0);
    const int engine = open_descriptors() - before;  // the engine's own, if any
    ASSERT_EQ(open_listener(), 1);
    ASSERT_EQ(open_udp(VESK_NET_UDP_ANSWER), 2);
    ASSERT_EQ(vesk_net_open(VESK_NET_TCP_CONNECT, nullptr), 3);
    EXPECT_EQ(open_descriptors(), before + engine + 3);
    vesk_net_shutdown();
    EXPECT_EQ(open_descriptors(), before) << "every slot socket and the engine's own were closed";
}

// Tear-down right after a pass that found a socket ready, while the I/O
// thread looks again for work before it sleeps: the stop must reach it, or
// tear-down waits out the thread's one-second limit and then cancels it.
TEST(EngineSetUp, TearDownJustAfterTrafficStopsTheIoThreadAtOnce) {
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(vesk_net_init(4, 1, 0, 1, 8192, 0, 0), 0);
        const int ch = vesk_net_channel_open();
        const int listener = open_listener();
        ASSERT_EQ(vesk_net_attach(listener, ch), 0);
        const int fd = plain_connect(slot_address(listener).sin_port);
        // Woken as the accept is posted: tear-down starts while that pass ends.
        ASSERT_EQ(vesk_net_channel_wait(ch, 3000), VESK_NET_WAIT_EVENT);
        const auto start = std::chrono::steady_clock::now();
        vesk_net_shutdown();
        const auto took = std::chrono::steady_clock::now() - start;
        close(fd);
        ASSERT_LT(took, std::chrono::milliseconds(500)) << "round " << round;
    }
}

TEST(SlotTable, OrdinaryTypesTakeSlotsAboveTheReservedOnesLowestFirst) {
    ASSERT_EQ(vesk_net_init(5, 1, 2, 4, 8192, 0, 0), 0);
    const int types[] = {VESK_NET_TCP_LISTEN_STREAM, VESK_NET_TCP_LISTEN_FRAMED,
                         VESK_NET_TCP_CONNECT, VESK_NET_UDP_ANSWER, VESK_NET_UDP_QUIET};
    EXPECT_EQ(open_of_type(types[0]), 3);
    EXPECT_EQ(open_of_type(types[1]), 4);
    EXPECT_EQ(open_of_type(types[2]), 5);
    for (int type : types) EXPECT_EQ(open_of_type(type), 0) << "ordinary range full, type " << type;
    EXPECT_EQ(open_udp(VESK_NET_UDP_MULTI), 1);
    EXPECT_EQ(open_udp(VESK_NET_UDP_MULTI), 2);
    EXPECT_EQ(open_udp(VESK_NET_UDP_MULTI), 0);
    vesk_net_shutdown();
}

TEST(SlotTable, WithoutReservedSlotsMultiNeverOpensAndWithOnlyReservedOnlyMultiDoes) {
    ASSERT_EQ(vesk_net_init(3, 1, 0, 1, 8192, 0, 0), 0);
    EXPECT_EQ(open_udp(VESK_NET_UDP_MULTI), 0);
    EXPECT_EQ(open_udp(VESK_NET_UDP_ANSWER), 1);
    vesk_net_shutdown();

    ASSERT_EQ(vesk_net_init(2, 1, 2, 3, 8192, 0, 0), 0);
    EXPECT_EQ(open_udp(VESK_NET_UDP_ANSWER), 0);
    EXPECT_EQ(open_listener(), 0);
    EXPECT_EQ(vesk_net_open(VESK_NET_TCP_CONNECT, nullptr), 0);
    EXPECT_EQ(open_udp(VESK_NET_UDP_MULTI), 1);
    vesk_net_shutdown();
}

TEST(SlotTable, OpeningRefusedTypesOrFailingBindsLeavesNoSocketAndNoSlot) {
    ASSERT_EQ(vesk_net_init(4, 1, 0, 1, 8192, 0, 0), 0);
    const int before = open_descriptors();
    sockaddr_in a = loopback();
    for (int type : {0, 7, 8, 9, -1}) {
        EXPECT_EQ(vesk_net_open(type, as_sockaddr(a)), 0) << type;
    }
    EXPECT_EQ(vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, nullptr), 0)
        << "a listener needs an address";
    const int listener = open_listener();
    ASSERT_EQ(listener, 1);
    sockaddr_in taken = slot_address(listener);
    EXPECT_EQ(vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(taken)), 0)
        << "the port is already listened on";
    EXPECT_EQ(open_descriptors(), before + 1);
    EXPECT_EQ(open_listener(), 2) << "the failed opens took no slot";
    vesk_net_shutdown();
}

TEST(SlotTable, ClosedSlotKeepsItsSocketUntilReapedThenIsHandedOutClearedAgain) {
    ASSERT_EQ(vesk_net_init(3, 1, 0, 1, 8192, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    const int slot = open_udp(VESK_NET_UDP_ANSWER);
    ASSERT_EQ(slot, 1);
    ASSERT_EQ(vesk_net_attach(slot, ch), 0);
    const vesk_socket_t sock = vesk_net_get_socket(slot);
    ASSERT_GE(sock, 0);
    ASSERT_EQ(vesk_net_close(slot), 0);
    // Reaping happens at the start of the I/O thread's next pass; until then
    // the old handle is still reported.
    vesk_socket_t seen = vesk_net_get_socket(slot);
    EXPECT_TRUE(seen == sock || seen == VESK_INVALID_SOCKET);
    for (int i = 0; i < 2000 && vesk_net_get_socket(slot) != VESK_INVALID_SOCKET; ++i) usleep(500);
    EXPECT_EQ(vesk_net_get_socket(slot), VESK_INVALID_SOCKET);
    EXPECT_EQ(vesk_net_close(slot), -1) << "a free slot cannot be closed";
    EXPECT_EQ(fcntl(sock, F_GETFD), -1) << "the reaper closed the socket";

    ASSERT_EQ(open_udp(VESK_NET_UDP_ANSWER), slot) << "the reaped slot is the lowest free one";
    Message m(slot, pattern(4));
    EXPECT_EQ(m.send(), -3) << "the new slot starts without a channel";
    vesk_net_shutdown();
}

TEST(SlotTable, NumbersOutOfRangeAndFreeSlotsAreRefused) {
    ASSERT_EQ(vesk_net_init(3, 2, 0, 1, 8192, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    for (int slot : {0, -1, 4, 1 /* free */}) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(vesk_net_close(slot), -1);
        EXPECT_EQ(vesk_net_attach(slot, ch), -1);
        EXPECT_EQ(vesk_net_get_socket(slot), VESK_INVALID_SOCKET);
    }
    const int slot = open_udp(VESK_NET_UDP_ANSWER);
    EXPECT_EQ(vesk_net_attach(slot, 0), -1);
    EXPECT_EQ(vesk_net_attach(slot, 3), -1);
    EXPECT_EQ(vesk_net_attach(slot, 2), -1) << "channel 2 is not claimed";
    EXPECT_EQ(vesk_net_attach(slot, ch), 0);
    vesk_net_shutdown();
}

TEST(Channels, ClaimsAreLowestFirstAndAReleasedChannelComesBackEmpty) {
    ASSERT_EQ(vesk_net_init(4, 3, 0, 1, 8192, 0, 0), 0);
    EXPECT_EQ(vesk_net_channel_open(), 1);
    EXPECT_EQ(vesk_net_channel_open(), 2);
    EXPECT_EQ(vesk_net_channel_open(), 3);
    EXPECT_EQ(vesk_net_channel_open(), 0);

    // Leave an unread event in channel 1: a datagram to a UDP slot.
    const int slot = open_udp(VESK_NET_UDP_QUIET);
    ASSERT_EQ(vesk_net_attach(slot, 1), 0);
    int peer = plain_udp();
    sockaddr_in to = slot_address(slot);
    Bytes d = wire_frame(pattern(5));
    sendto(peer, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    bool stored = false;
    for (int i = 0; i < 3000 && !stored; ++i) {
        net::Channel &c = net::channel_at(1);
        c.lock.lock();
        stored = vesk_ring_has_data(&c.ring) != 0;
        c.lock.unlock();
        if (!stored) usleep(1000);
    }
    ASSERT_TRUE(stored);
    ASSERT_EQ(vesk_net_close(slot), 0);
    ASSERT_EQ(vesk_net_channel_close(1), 0);
    EXPECT_EQ(vesk_net_channel_open(), 1);
    Event ev;
    EXPECT_EQ(vesk_net_channel_read(1, ev.bytes), 0) << "no leftover event after a new claim";
    close(peer);
    vesk_net_shutdown();
}

TEST(Channels, ReleasingOrReadingAChannelNotInUseIsRefused) {
    ASSERT_EQ(vesk_net_init(4, 2, 0, 1, 8192, 0, 0), 0);
    Event ev;
    EXPECT_EQ(vesk_net_channel_close(1), -1);
    EXPECT_EQ(vesk_net_channel_close(0), -1);
    EXPECT_EQ(vesk_net_channel_close(3), -1);
    EXPECT_EQ(vesk_net_channel_read(1, ev.bytes), -1);
    EXPECT_EQ(vesk_net_channel_read(0, ev.bytes), -1);
    ASSERT_EQ(vesk_net_channel_open(), 1);
    EXPECT_EQ(vesk_net_channel_read(1, nullptr), -1);
    EXPECT_EQ(vesk_net_channel_read(1, ev.bytes), 0) << "empty: 0 at once";
    EXPECT_EQ(vesk_net_channel_close(1), 0);
    EXPECT_EQ(vesk_net_channel_close(1), -1);
    EXPECT_EQ(vesk_net_channel_read(1, ev.bytes), -1);
    vesk_net_shutdown();
}

namespace {

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace

// 1024 slots reserve 384 MiB of areas; an idle engine must not touch them.
TEST(EngineMemory, IdleEngineOfAThousandSlotsStaysFarBelowItsReservedAreas) {
    if (sanitized()) GTEST_SKIP() << "sanitizer shadow memory distorts resident sizes";
    const long before = resident_kib();
    ASSERT_EQ(vesk_net_init(1024, 64, 0, 1, 65536, 0, 0), 0);
    usleep(20000);  // a few idle passes of the I/O thread
    const long after = resident_kib();
    std::printf("resident: %ld KiB before set-up, %ld KiB with the idle engine (+%ld KiB)\n",
                before, after, after - before);
    EXPECT_LT(after - before, 2 * 1024) << "KiB added by an idle engine";
    EXPECT_LT(after, 8 * 1024) << "KiB resident in all";
    vesk_net_shutdown();
}

namespace {

// Refuses every block of at least g_refuse_from bytes; smaller ones succeed.
std::atomic<size_t> g_refuse_from{SIZE_MAX};
void *refuse_large(size_t size) {
    return size >= g_refuse_from.load() ? nullptr : std::malloc(size);
}

struct RefuseLarge {
    explicit RefuseLarge(size_t from) {
        g_refuse_from.store(from);
        frame::set_allocator(&refuse_large);
    }
    ~RefuseLarge() { frame::set_allocator(nullptr); }
};

}  // namespace

// Set-up that cannot get its memory reports it and leaves nothing behind,
// rather than ending the process; the same arguments work once memory is there.
TEST(EngineMemory, SetUpWithoutItsMemoryReturnsMinusOneAndUndoesEverything) {
    struct Case {
        const char *what;
        int slots, channels, ring;
        size_t refuse_from;
    } cases[] = {
        {"channel rings", 8, 4, 1 << 20, 1 << 20},
        {"slot table", 100000, 1, 8192, 1 << 20},
    };
    const int before = open_descriptors();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        {
            RefuseLarge refuse(c.refuse_from);
            EXPECT_EQ(vesk_net_init(c.slots, c.channels, 0, 1, c.ring, 0, 0), -1);
        }
        EXPECT_EQ(vesk_net_channel_open(), 0) << "count left at 0";
        EXPECT_EQ(vesk_net_open(VESK_NET_TCP_CONNECT, nullptr), 0);
        EXPECT_EQ(open_descriptors(), before) << "nothing of the engine stays open";
    }
    ASSERT_EQ(vesk_net_init(8, 4, 0, 1, 1 << 20, 0, 0), 0);
    vesk_net_shutdown();
}

// A framed connection gets its receive area at its first read (an idle one
// holds none) and gives it back when its slot is reaped.  One that cannot get
// the area fails visibly instead of being read, or retried, for ever.  The
// second connection uses the first one's slot number: had the area been kept,
// it would read without asking for memory.
TEST(EngineMemory, FramedConnectionWithoutMemoryForItsFirstReadFailsVisibly) {
    ASSERT_EQ(vesk_net_init(4, 1, 0, 1, 8192, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    const int server = plain_listener();
    const sockaddr_in to = local_address(server);
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "area refused" : "area given");
        const int slot = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
        ASSERT_EQ(slot, 1) << "opening needs no area, and the number is reused";
        ASSERT_EQ(vesk_net_attach(slot, ch), 0);
        ASSERT_GE(vesk_net_connect(slot, as_sockaddr(to)), 0);
        const int peer = accept(server, nullptr, nullptr);
        ASSERT_GE(peer, 0);
        Event ev;
        ASSERT_TRUE(next_event(ch, ev));
        ASSERT_EQ(ev.kind(), VESK_EV_CONNECT);
        {
            RefuseLarge refuse(refused ? net::kSmallReceiveAreaSize : SIZE_MAX);
            ASSERT_TRUE(send_all(peer, wire_frame(pattern(16))));
            ASSERT_TRUE(next_event(ch, ev));
        }
        if (refused) {
            EXPECT_EQ(ev.kind(), VESK_EV_FAILED);
        } else {
            ASSERT_EQ(ev.kind(), VESK_EV_TCP_DATA);
            EXPECT_EQ(ev.data(), pattern(16));
        }
        ASSERT_EQ(vesk_net_close(slot), 0);
        for (int i = 0; i < 2000 && vesk_net_get_socket(slot) != VESK_INVALID_SOCKET; ++i) {
            usleep(500);
        }
        close(peer);
    }
    close(server);
    vesk_net_shutdown();
}

// A thread's look for more work before it sleeps is kept while work comes
// within it, fades when work keeps coming later (sparse traffic must not keep
// a thread busy), and one late arrival among prompt ones barely shortens it.
TEST(LookAgain, KeptForPromptWorkFadingForSparseWorkAndForgivingOneLateArrival) {
    using std::chrono::microseconds;
    const auto prompt = microseconds(os::look_again_worth_us());
    const auto late = prompt + microseconds(1);
    // The I/O thread's window, and a channel's (longer on some platforms):
    // each fades in steps of its own size.
    for (const int full : {net::kLookAgainMicroseconds, os::channel_look_us(), 500}) {
        SCOPED_TRACE(full);
        EXPECT_EQ(net::next_look_window(0, prompt, full), full) << "one prompt arrival restores it";
        int window = net::next_look_window(full, late, full);
        EXPECT_GE(window, full * 3 / 4);
        EXPECT_EQ(net::next_look_window(window, microseconds(10), full), full);
        int lates = 0;
        for (window = full; window > 0 && lates < 100; ++lates) {
            window = net::next_look_window(window, late, full);
        }
        EXPECT_EQ(window, 0);
        EXPECT_LE(lates, 10) << "sparse traffic should stop the looks after a few arrivals";
        EXPECT_EQ(net::next_look_window(0, late, full), 0);
    }
}
