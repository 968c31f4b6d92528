// Readers waiting in vesk_net_channel_wait run the engine's passes while they
// look for their next event: events must still reach every channel once, in
// order, and a reader that goes off with its event must not hold up the
// channels of others.
// test-platform: POSIX (the remote peers use POSIX sockets).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "net_test_util.h"

using namespace nettest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnections = 6;  // per channel

int frames_per_connection() { return sanitized() ? 300 : 3000; }

// One reader's channel, its listener and what it has taken so far.
struct Room {
    int channel = 0;
    int listener = 0;
    uint16_t port = 0;
    std::map<int, uint32_t> next_seq;  // per accepted slot
    long frames = 0;
    std::string fault;
};

// Waits, takes everything with read_many and checks it, until `want` frames
// came or the deadline passes.  Every frame carries its connection's sequence
// number, so a frame lost, repeated or reordered shows.
void read_room(Room &room, long want, Clock::time_point deadline) {
    std::vector<uint8_t> batch(32 * (2 + VESK_NET_MAX_RECORD));
    while (room.frames < want && room.fault.empty() && Clock::now() < deadline) {
        if (vesk_net_channel_wait(room.channel, 100) != 1) continue;
        const int n =
            vesk_net_channel_read_many(room.channel, batch.data(), static_cast<int>(batch.size()));
        for (int at = 0; at < n;) {
            uint16_t length;
            std::memcpy(&length, batch.data() + at, 2);
            const uint8_t *ev = batch.data() + at + 2;
            at += 2 + length;
            int32_t slot;
            std::memcpy(&slot, ev + 1, 4);
            if (ev[0] == VESK_EV_ACCEPT) {
                int32_t accepted;
                std::memcpy(&accepted, ev + 5, 4);
                room.next_seq[accepted] = 0;
                continue;
            }
            if (ev[0] != VESK_EV_TCP_DATA || room.next_seq.count(slot) == 0 || length != 18 + 4) {
                room.fault = "unexpected event " + std::to_string(ev[0]) + " for slot " +
                             std::to_string(slot);
                return;
            }
            uint32_t seq;
            std::memcpy(&seq, ev + 18, 4);
            if (seq != room.next_seq[slot]++) {
                room.fault = "slot " + std::to_string(slot) + ": frame " + std::to_string(seq) +
                             " out of turn";
                return;
            }
            ++room.frames;
        }
    }
}

TEST(ReaderPasses, TwoReadersRunningPassesGetEveryFrameOfTheirOwnChannelOnceInOrder) {
    ASSERT_EQ(vesk_net_init(2 * kConnections + 4, 2, 0, 1, 1 << 16, 0, 0), 0);
    Room rooms[2];
    for (Room &r : rooms) {
        r.channel = vesk_net_channel_open();
        sockaddr_in any = loopback();
        r.listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
        ASSERT_EQ(vesk_net_attach(r.listener, r.channel), 0);
        r.port = slot_address(r.listener).sin_port;
    }
    const int frames = frames_per_connection();
    const long want = static_cast<long>(kConnections) * frames;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::thread readers[2];
    for (int i = 0; i < 2; ++i) {
        readers[i] = std::thread(read_room, std::ref(rooms[i]), want, deadline);
    }
    // Small frames in small writes, from both rooms' peers at once: many
    // passes, some run by one reader for the other's channel.
    std::vector<int> fds;
    for (Room &r : rooms) {
        for (int c = 0; c < kConnections; ++c) fds.push_back(plain_connect(r.port));
    }
    for (int seq = 0; seq < frames; ++seq) {
        const Bytes frame =
            wire_frame(Bytes{static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8),
                             static_cast<uint8_t>(seq >> 16), 0});
        for (int fd : fds) ASSERT_TRUE(send_all(fd, frame));
    }
    for (std::thread &t : readers) t.join();
    for (const Room &r : rooms) {
        EXPECT_EQ(r.fault, "");
        EXPECT_EQ(r.frames, want);
        EXPECT_EQ(r.next_seq.size(), static_cast<size_t>(kConnections));
        EXPECT_TRUE(stays_quiet(r.channel, 50)) << "nothing beyond what was sent";
    }
    for (int fd : fds) close(fd);
    vesk_net_shutdown();
}

TEST(ReaderPasses, BurstsOnManyConnectionsReachTheirReaderWhileAnotherThreadWaitsInTheEngine) {
    // A thread that waits on a channel with nothing for it runs passes for
    // the reader's connections too: frames of 40 connections at once, in
    // bursts of ten per write, come through passes of three threads, every
    // one once and in order.
    constexpr int kMany = 40;
    ASSERT_EQ(vesk_net_init(kMany + 4, 2, 0, 1, 1 << 18, 0, 0), 0);
    Room room;
    room.channel = vesk_net_channel_open();
    const int idle = vesk_net_channel_open();
    sockaddr_in any = loopback();
    room.listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
    ASSERT_EQ(vesk_net_attach(room.listener, room.channel), 0);
    room.port = slot_address(room.listener).sin_port;
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        while (!done.load()) vesk_net_channel_wait(idle, 20);
    });
    const int frames = frames_per_connection() / 10;
    const long want = static_cast<long>(kMany) * frames;
    std::thread reader(read_room, std::ref(room), want, Clock::now() + std::chrono::seconds(60));
    std::vector<int> fds;
    for (int c = 0; c < kMany; ++c) fds.push_back(plain_connect(room.port));
    for (int seq = 0; seq < frames; seq += 10) {
        for (int fd : fds) {
            Bytes burst;  // ten frames in one write
            for (int k = seq; k < seq + 10; ++k) {
                const Bytes frame =
                    wire_frame(Bytes{static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8), 0, 0});
                burst.insert(burst.end(), frame.begin(), frame.end());
            }
            ASSERT_TRUE(send_all(fd, burst));
        }
    }
    reader.join();
    done.store(true);
    waiter.join();
    EXPECT_EQ(room.fault, "");
    EXPECT_EQ(room.frames, want);
    EXPECT_EQ(room.next_seq.size(), static_cast<size_t>(kMany));
    for (int fd : fds) close(fd);
    vesk_net_shutdown();
}

TEST(ReaderPasses, AReaderBusyWithItsEventDoesNotHoldUpAChannelThatIsOnlyPolled) {
    ASSERT_EQ(vesk_net_init(4, 2, 0, 1, 1 << 16, 0, 0), 0);
    const int waited = vesk_net_channel_open();
    const int polled = vesk_net_channel_open();
    sockaddr_in any = loopback();
    const int udp_waited = vesk_net_open(VESK_NET_UDP_QUIET, as_sockaddr(any));
    const int udp_polled = vesk_net_open(VESK_NET_UDP_QUIET, as_sockaddr(any));
    ASSERT_EQ(vesk_net_attach(udp_waited, waited), 0);
    ASSERT_EQ(vesk_net_attach(udp_polled, polled), 0);
    const int fd = plain_udp();
    auto send_to = [fd](int slot) {
        sockaddr_in to = slot_address(slot);
        const Bytes frame = wire_frame(pattern(8));
        sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    };

    // A reader that runs passes while it looks, takes its event, and then
    // stays away from the engine for half a second.
    std::atomic<bool> took{false};
    std::thread reader([&] {
        for (int i = 0; i < 200; ++i) {
            send_to(udp_waited);
            if (vesk_net_channel_wait(waited, 1000) != 1) return;
            Event ev;
            if (vesk_net_channel_read(waited, ev.bytes) <= 0) return;
        }
        took.store(true);
        usleep(500 * 1000);
    });
    while (!took.load()) usleep(100);
    send_to(udp_polled);
    const auto sent = Clock::now();
    Event ev;
    ASSERT_TRUE(next_event(polled, ev, 2000));
    EXPECT_EQ(ev.kind(), VESK_EV_UDP_DATA);
    EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(250))
        << "delivered only once the busy reader came back";
    reader.join();
    close(fd);
    vesk_net_shutdown();
}

}  // namespace
