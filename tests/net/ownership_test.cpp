// Who owns what in the engine: the free-slot set, a slot freed while an open
// looks for one, tear-down with readers inside, and sends racing a close.
// test-platform: POSIX (POSIX sockets); the same rules hold the Windows engine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "net/free_set.h"
#include "net_test_util.h"

using namespace nettest;

namespace {

// Waits until the reaper has freed `slot` (its socket closed).
void wait_freed(int slot) {
    while (vesk_net_get_socket(slot) != VESK_INVALID_SOCKET) usleep(50);
}

}  // namespace

TEST(FreeSet, LowestMemberOfAnyRangeMatchesASortedSetUnderRandomChanges) {
    std::mt19937 rng(7);
    for (const int count : {1, 63, 64, 65, 4097, 20000}) {
        net::FreeSet set;
        ASSERT_TRUE(set.init(count));
        std::set<int> model;
        for (int n = 1; n <= count; ++n) model.insert(n);
        for (int step = 0; step < 3000; ++step) {
            const int n = 1 + static_cast<int>(rng() % count);
            if (model.count(n) != 0) {
                set.remove(n);
                model.erase(n);
            } else {
                set.add(n);
                model.insert(n);
            }
            const int from = 1 + static_cast<int>(rng() % count);
            const int to = from + static_cast<int>(rng() % (count - from + 1));
            const auto it = model.lower_bound(from);
            const int want = it != model.end() && *it <= to ? *it : 0;
            ASSERT_EQ(set.lowest(from, to), want)
                << count << " slots, [" << from << ", " << to << "]";
            ASSERT_EQ(set.contains(n), model.count(n) != 0);
        }
        set.release();
    }
}

// A slot freed by the I/O thread while an open is looking for one is never
// passed over: with slots j < k < m, j freed and taken again (the search now
// starts above j), m free, and k closed just before the open, the open takes
// k or m, and the next open takes the other.
TEST(Ownership, ASlotFreedWhileAnOpenLooksIsNeverPassedOver) {
    const int slots = sanitized() ? 500 : 4000;
    ASSERT_EQ(vesk_net_init(slots, 1, 0, 1, 65536, 0, 0), 0);
    for (int n = 1; n <= slots; ++n) ASSERT_EQ(vesk_net_open(VESK_NET_TCP_CONNECT, nullptr), n);
    std::mt19937 rng(11);
    int hidden = 0;
    for (int trial = 0; trial < 500; ++trial) {
        const int j = 1 + static_cast<int>(rng() % (slots / 4));
        const int k = slots / 4 + 1 + static_cast<int>(rng() % (slots / 4));
        const int m = slots / 2 + 1 + static_cast<int>(rng() % (slots / 2));
        for (const int n : {j, m}) {
            ASSERT_EQ(vesk_net_close(n), 0);
            wait_freed(n);
        }
        ASSERT_EQ(vesk_net_open(VESK_NET_TCP_CONNECT, nullptr), j);
        ASSERT_EQ(vesk_net_close(k), 0);
        const int first = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
        if (first != k) wait_freed(k);
        const int second = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
        if (std::set<int>{first, second} != std::set<int>{k, m}) {
            ++hidden;
            for (const int n : {first, second}) {
                if (n > 0) vesk_net_close(n);
            }
            vesk_net_shutdown();
            ASSERT_EQ(vesk_net_init(slots, 1, 0, 1, 65536, 0, 0), 0);
            for (int n = 1; n <= slots; ++n) vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
        }
    }
    EXPECT_EQ(hidden, 0) << "trials in which the table looked full with a slot free";
    vesk_net_shutdown();
}

// Tear-down with threads waiting in a channel, or polling it in a loop, or
// both: it wakes them, waits for each to leave, frees nothing they can still
// read, and never needs to cancel its I/O thread (a lost wake-up would cost
// the thread's whole grace, a second, and show here).
TEST(Ownership, TearDownWithReadersWaitingAndPollingEndsPromptlyEveryTime) {
    const int trials = sanitized() ? 60 : 400;
    int slow = 0;
    for (int trial = 0; trial < trials; ++trial) {
        ASSERT_EQ(vesk_net_init(8, 2, 0, 1, 65536, 0, 0), 0);
        const int channel = vesk_net_channel_open();
        ASSERT_GT(channel, 0);
        std::atomic<bool> go{false};
        std::thread waiter([&] {
            go.store(true);
            EXPECT_EQ(vesk_net_channel_wait(channel, -1), -1);
        });
        std::thread poller([&] {
            uint8_t record[VESK_NET_MAX_RECORD];
            while (vesk_net_channel_read(channel, record) == 0) {
            }
        });
        while (!go.load()) std::this_thread::yield();
        if (trial % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const auto start = std::chrono::steady_clock::now();
        vesk_net_shutdown();
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500)) ++slow;
        waiter.join();
        poller.join();
    }
    EXPECT_EQ(slow, 0) << "tear-downs that waited out the I/O thread's grace";
}

// Sends on a connection that another thread closes meanwhile: the socket is
// never closed under a send (ThreadSanitizer reports a race on the descriptor
// otherwise), and once the slot is freed its descriptor number, reused at
// once by a new connection, never receives a byte meant for the old one.
TEST(Ownership, SendsRacingACloseNeverReachTheDescriptorsNextConnection) {
    ASSERT_EQ(vesk_net_init(4, 1, 0, 1, 1 << 20, 0, 0), 0);
    const int channel = vesk_net_channel_open();
    const int listener = plain_listener();
    sockaddr_in to = local_address(listener);
    const int rounds = sanitized() ? 30 : 200;
    for (int round = 0; round < rounds; ++round) {
        const int slot = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
        ASSERT_EQ(vesk_net_attach(slot, channel), 0);
        ASSERT_GE(vesk_net_connect(slot, as_sockaddr(to)), 0);
        const int peer = accept(listener, nullptr, nullptr);
        Event ev;
        ASSERT_TRUE(next_event(channel, ev));
        ASSERT_EQ(ev.kind(), VESK_EV_CONNECT);
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            Message m(slot, pattern(16));
            while (!stop.load()) {
                const int r = vesk_net_send(m.msg());
                EXPECT_TRUE(r == 0 || r == -2 || r == -3) << r;
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(50 + round % 7 * 50));
        ASSERT_EQ(vesk_net_close(slot), 0);
        wait_freed(slot);
        const int stranger = plain_connect(to.sin_port);  // most likely the same number
        const int stranger_peer = accept(listener, nullptr, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        stop.store(true);
        sender.join();
        uint8_t got[16];
        EXPECT_EQ(recv(stranger_peer, got, sizeof got, MSG_DONTWAIT), -1)
            << "bytes of a closed slot reached the connection that reused its descriptor";
        for (const int fd : {stranger, stranger_peer, peer}) close(fd);
        while (vesk_net_channel_read(channel, ev.bytes) > 0) {
        }
    }
    close(listener);
    vesk_net_shutdown();
}
