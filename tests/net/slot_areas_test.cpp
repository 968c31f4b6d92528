// Slot areas that come with use: a framed connection's receive area that
// grows on a burst, a send area that
// comes with the first unsent bytes, memory refused at either moment, and two
// threads sending on one slot at once.
// test-platform: POSIX (the remote peer uses POSIX sockets)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "frame/memory.h"
#include "net/net_internal.h"
#include "net_test_util.h"

using namespace nettest;

namespace {

// Stands behind the library's allocations: counts the receive-area blocks
// asked for, and refuses every block of at least `refuse_from` bytes.
std::atomic<size_t> g_refuse_from{SIZE_MAX};
std::atomic<int> g_small_areas{0};
std::atomic<int> g_full_areas{0};
std::atomic<bool> g_slow{false};  // every block takes 50 ms

void *counting_alloc(size_t size) {
    if (g_slow.load()) usleep(50000);
    if (size == static_cast<size_t>(net::kSmallReceiveAreaSize)) ++g_small_areas;
    if (size == static_cast<size_t>(net::kReceiveAreaSize)) ++g_full_areas;
    return size >= g_refuse_from.load() ? nullptr : std::malloc(size);
}

struct Allocator {
    explicit Allocator(size_t refuse_from = SIZE_MAX) {
        g_refuse_from.store(refuse_from);
        g_small_areas.store(0);
        g_full_areas.store(0);
        frame::set_allocator(&counting_alloc);
    }
    ~Allocator() { frame::set_allocator(nullptr); }
    void refuse_from(size_t size) { g_refuse_from.store(size); }
};

class SlotAreas : public ::testing::Test {
protected:
    void TearDown() override {
        for (int fd : peers_) close(fd);
        vesk_net_shutdown();
    }
    void start(int ring) {
        ASSERT_EQ(vesk_net_init(8, 1, 0, 1, ring, 0, 0), 0);
        ch_ = vesk_net_channel_open();
        ASSERT_EQ(ch_, 1);
    }
    // A plain client of a new listener of `type`, and the engine's slot for
    // it; `buffer` > 0: the client's receive and the slot's send buffer.
    int connect_client(int type, int *slot, int buffer = 0) {
        sockaddr_in a = loopback();
        const int listener = vesk_net_open(type, as_sockaddr(a));
        EXPECT_EQ(vesk_net_attach(listener, ch_), 0);
        const int fd = plain_connect(slot_address(listener).sin_port, buffer);
        EXPECT_GE(fd, 0);
        peers_.push_back(fd);
        Event ev;
        EXPECT_TRUE(next_event(ch_, ev));
        EXPECT_EQ(ev.kind(), VESK_EV_ACCEPT);
        *slot = ev.accept().slot;
        if (buffer > 0) {
            setsockopt(vesk_net_get_socket(*slot), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        }
        return fd;
    }
    int ch_ = 0;
    std::vector<int> peers_;
};

// Frame `seq` of a stream of `source`: its number and source first, so that
// a frame found elsewhere in the stream is recognised as misplaced.
size_t frame_length(int source, uint32_t seq) {
    return 5 + (seq * 997 + static_cast<uint32_t>(source) * 17) % 2044;
}
Bytes numbered(int source, uint32_t seq) {
    Bytes payload = pattern(frame_length(source, seq), static_cast<uint8_t>(seq * 13 + source));
    payload[0] = static_cast<uint8_t>(source);
    std::memcpy(payload.data() + 1, &seq, 4);
    return payload;
}

}  // namespace

// A burst far larger than the small receive area, frames split across its
// reads and across its growth (or, without memory to grow, across many small
// reads), arrives frame by frame, in order, intact -- also while a small
// channel keeps frames held in the area.
TEST_F(SlotAreas, BurstThroughTheReceiveAreaArrivesInOrderWhetherItGrowsOrNot) {
    struct Case {
        const char *what;
        int ring;
        bool growth_refused;
    } cases[] = {
        {"grows", 1 << 20, false},
        {"grows, frames held for room", 8192, false},
        {"growth refused", 1 << 20, true},
        {"growth refused, frames held for room", 8192, true},
    };
    constexpr uint32_t kFrames = 300;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        start(c.ring);
        Allocator allocator(c.growth_refused ? net::kReceiveAreaSize : SIZE_MAX);
        int slot = 0;
        const int fd = connect_client(VESK_NET_TCP_LISTEN_FRAMED, &slot);
        Bytes burst;
        for (uint32_t i = 0; i < kFrames; ++i) {
            const Bytes f = wire_frame(numbered(0, i));
            burst.insert(burst.end(), f.begin(), f.end());
        }
        ASSERT_GT(burst.size(), static_cast<size_t>(net::kReceiveAreaSize));
        std::thread sender([&] { send_all(fd, burst); });  // blocks while the engine holds
        uint32_t got = 0;
        Event ev;
        while (got < kFrames && next_event(ch_, ev) && ev.kind() == VESK_EV_TCP_DATA &&
               ev.data() == numbered(0, got)) {
            ++got;
        }
        if (got < kFrames) shutdown(fd, SHUT_RDWR);  // lets the sender go
        sender.join();
        ASSERT_EQ(got, kFrames) << "frame " << got << " is missing, misplaced or damaged";
        EXPECT_GE(g_full_areas.load(), 1) << "a read filled the small area";

        // Freed and handed out again: no area until the new connection's
        // first read.
        ASSERT_EQ(vesk_net_close(slot), 0);
        for (int i = 0; i < 2000 && vesk_net_get_socket(slot) != VESK_INVALID_SOCKET; ++i) {
            usleep(500);
        }
        const int small_before = g_small_areas.load();
        EXPECT_EQ(vesk_net_open(VESK_NET_TCP_CONNECT, nullptr), slot);
        EXPECT_EQ(g_small_areas.load(), small_before);
        close(fd);
        peers_.clear();
        vesk_net_shutdown();
    }
    start(8192);  // for TearDown
}

// A closed slot reports its socket until the I/O thread has freed it, even
// when freeing it is slow (here: its unsent bytes are copied aside through a
// slow allocator).  Once -1 is reported, closing it again is refused and the
// number is the one the next open hands out.
TEST_F(SlotAreas, ASlotReportedWithoutASocketIsFree) {
    start(1 << 16);
    int slot = 0;
    connect_client(VESK_NET_TCP_LISTEN_STREAM, &slot, 4096);
    const Bytes payload = pattern(VESK_NET_MAX_DATA);
    int rc = 0;
    for (int i = 0; i < 100000 && (rc = Message(slot, payload).send()) == 0; ++i) {
    }
    ASSERT_EQ(rc, VESK_NET_SEND_PENDING);
    Allocator allocator;
    g_slow.store(true);
    ASSERT_EQ(vesk_net_close(slot), 0);
    for (int i = 0; i < 2000 && vesk_net_get_socket(slot) != VESK_INVALID_SOCKET; ++i) {
        usleep(100);
    }
    g_slow.store(false);
    ASSERT_EQ(vesk_net_get_socket(slot), VESK_INVALID_SOCKET);
    EXPECT_EQ(vesk_net_close(slot), -1) << "the slot is free";
    EXPECT_EQ(vesk_net_open(VESK_NET_TCP_CONNECT, nullptr), slot);
}

// Without memory for a send area, nothing is lost silently: a send of which
// nothing went out is refused with -2 and goes out when sent again; a send
// of which a part went out fails the connection with VESK_EV_FAILED, since
// the stream cannot go on without the rest.
TEST_F(SlotAreas, SendWhoseRestCannotBeKeptIsRefusedOrFailsTheConnection) {
    start(1 << 16);
    // One-byte sends: each goes out whole or not at all.
    int slot = 0;
    int fd = connect_client(VESK_NET_TCP_LISTEN_STREAM, &slot, 4096);
    {
        Allocator allocator(net::kSendAreaSize);
        uint32_t sent = 0;
        int rc = 0;
        while (sent < 1000000 &&
               (rc = Message(slot, Bytes{static_cast<uint8_t>(sent)}).send()) == 0) {
            ++sent;
        }
        ASSERT_EQ(rc, VESK_NET_SEND_PENDING) << "after " << sent << " bytes";
        EXPECT_TRUE(stays_quiet(ch_)) << "the slot is not failed";
        allocator.refuse_from(SIZE_MAX);
        std::thread reader([&] {
            const Bytes got = recv_exact(fd, sent + 1);
            ASSERT_EQ(got.size(), sent + 1);
            for (uint32_t i = 0; i <= sent; ++i) ASSERT_EQ(got[i], static_cast<uint8_t>(i));
        });
        Message again(slot, Bytes{static_cast<uint8_t>(sent)});
        for (int i = 0; i < 20000 && (rc = again.send()) == VESK_NET_SEND_PENDING; ++i) {
            usleep(200);
        }
        EXPECT_EQ(rc, 0);
        reader.join();
    }

    // One large send: a part goes out, the rest cannot be kept.
    fd = connect_client(VESK_NET_TCP_LISTEN_STREAM, &slot, 4096);
    {
        Allocator allocator(net::kSendAreaSize);
        EXPECT_EQ(Message(slot, pattern(net::kSendAreaSize)).send(), 0);
        Event ev;
        ASSERT_TRUE(next_event(ch_, ev));
        EXPECT_EQ(ev.kind(), VESK_EV_FAILED);
        EXPECT_EQ(ev.slot(), slot);
        EXPECT_EQ(Message(slot, pattern(1)).send(), VESK_NET_SEND_NOT_READY);
    }
}

// Two threads send on one framed slot at once (one frame at a time, and in
// batches) to a peer that starts reading late, so that the socket fills and
// the send area comes while both race.  Each accepted frame arrives once,
// whole, and each thread's frames in their order; a refused send is retried.
TEST_F(SlotAreas, TwoThreadsSendingOnOneSlotNeitherLoseNorMixTheirFrames) {
    start(1 << 16);
    int slot = 0;
    const int fd = connect_client(VESK_NET_TCP_LISTEN_FRAMED, &slot, 16384);
    constexpr uint32_t kPerThread = 3000;
    std::atomic<size_t> total{0};
    auto sender = [&](int source, uint32_t per_call) {
        for (uint32_t seq = 0; seq < kPerThread;) {
            std::vector<Message> batch;
            std::vector<vesk_net_msg *> msgs;
            for (uint32_t i = seq; i < std::min(seq + per_call, kPerThread); ++i) {
                batch.emplace_back(slot, numbered(source, i));
            }
            for (auto &m : batch) msgs.push_back(m.msg());
            const int taken = per_call == 1
                                  ? (batch[0].send() == 0 ? 1 : 0)
                                  : vesk_net_send_many(msgs.data(), static_cast<int>(msgs.size()));
            if (taken < 0) return;  // the counts below tell
            for (int i = 0; i < taken; ++i) total += 3 + frame_length(source, seq++);
            if (taken == 0) std::this_thread::yield();
        }
    };
    std::thread first(sender, 1, 1);
    std::thread second(sender, 2, 4);
    usleep(20000);  // the peer reads late, whatever the threads have done by then
    Bytes stream;
    std::atomic<bool> done{false};  // set once `total` is final
    std::thread reader([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(done.load() && stream.size() >= total.load()) &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            uint8_t chunk[65536];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            stream.insert(stream.end(), chunk, chunk + n);
        }
    });
    first.join();
    second.join();
    done.store(true);
    reader.join();
    ASSERT_EQ(stream.size(), total.load());
    uint32_t next[3] = {0, 0, 0};
    for (size_t at = 0; at < stream.size();) {
        ASSERT_EQ(stream[at], 0xFE) << "at byte " << at;
        const size_t length = stream[at + 1] | (stream[at + 2] << 8);
        ASSERT_LE(at + 3 + length, stream.size());
        const int source = stream[at + 3];
        ASSERT_TRUE(source == 1 || source == 2);
        const uint32_t seq = next[source]++;
        ASSERT_EQ(Bytes(stream.begin() + static_cast<long>(at) + 3,
                        stream.begin() + static_cast<long>(at + 3 + length)),
                  numbered(source, seq))
            << "frame " << seq << " of thread " << source;
        at += 3 + length;
    }
    EXPECT_EQ(next[1], kPerThread);
    EXPECT_EQ(next[2], kPerThread);
}
