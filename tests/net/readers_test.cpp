// Several readers at once, waiting in vesk_net_channel_wait or polling their
// channels: events reach every channel once, in order, a reader that goes off
// with its event does not hold up the channels of others, and the reader's
// own error numbers stay as they were.
// test-platform: POSIX (the remote peers use POSIX sockets).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
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

// How a reader takes its events: waiting, then all at once; or polling,
// one at a time or all at once.
enum class Take { kWait, kPollOne, kPollMany };

// The next events as read_many stores them (each after its length); bytes.
int take_events(const Room &room, Take how, std::vector<uint8_t> &batch) {
    if (how == Take::kWait && vesk_net_channel_wait(room.channel, 100) != 1) return 0;
    if (how != Take::kPollOne) {
        return vesk_net_channel_read_many(room.channel, batch.data(),
                                          static_cast<int>(batch.size()));
    }
    const int length = vesk_net_channel_read(room.channel, batch.data() + 2);
    if (length <= 0) return length;
    const auto stored = static_cast<uint16_t>(length);
    std::memcpy(batch.data(), &stored, 2);
    return 2 + length;
}

// Takes everything and checks it, until `want` frames came or the deadline
// passes.  Every frame carries its connection's sequence number, so a frame
// lost, repeated or reordered shows.
void read_room(Room &room, long want, Clock::time_point deadline, Take how) {
    std::vector<uint8_t> batch(32 * (2 + VESK_NET_MAX_RECORD));
    while (room.frames < want && room.fault.empty() && Clock::now() < deadline) {
        const int n = take_events(room, how, batch);
        if (n < 0) {
            room.fault = "read failed: " + std::to_string(n);
            return;
        }
        if (n == 0 && how != Take::kWait) std::this_thread::yield();
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

// Two readers, each with its own channel and connections, taking their
// events the way `how` says.
void two_readers(const Take (&how)[2]) {
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
        readers[i] = std::thread(read_room, std::ref(rooms[i]), want, deadline, how[i]);
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

TEST(Readers, TwoWaitingReadersGetEveryFrameOfTheirOwnChannelOnceInOrder) {
    two_readers({Take::kWait, Take::kWait});
}

TEST(Readers, PollingReadersGetEveryFrameOfTheirOwnChannelOnceInOrder) {
    two_readers({Take::kPollOne, Take::kPollMany});
    two_readers({Take::kPollOne, Take::kWait});
}

// A poll or a wait (which may sleep on a futex) leaves the caller's errno and
// vesk_net_last_error as they were before the call, while the engine accepts.
TEST(Readers, AReaderKeepsItsOwnErrorNumbers) {
    constexpr int kClients = 150;
    ASSERT_EQ(vesk_net_init(kClients + 4, 1, 0, 1, 1 << 16, 0, 0), 0);
    const int channel = vesk_net_channel_open();
    sockaddr_in any = loopback();
    const int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
    ASSERT_EQ(vesk_net_attach(listener, channel), 0);
    sockaddr_in taken = slot_address(listener);
    ASSERT_EQ(vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(taken)), 0);
    const int noted = vesk_net_last_error();
    ASSERT_EQ(noted, EADDRINUSE);
    std::vector<int> fds;
    Event ev;
    for (int i = 0; i < kClients; ++i) {
        fds.push_back(plain_connect(taken.sin_port));
        const bool poll = i % 2 == 0;
        int got = 0;
        for (int tries = 0; got == 0 && tries < 1000000; ++tries) {
            errno = ERANGE;
            got = poll ? vesk_net_channel_read(channel, ev.bytes)
                       : vesk_net_channel_wait(channel, 1000);
            ASSERT_EQ(errno, ERANGE) << (poll ? "poll " : "wait ") << i;
            ASSERT_EQ(vesk_net_last_error(), noted) << (poll ? "poll " : "wait ") << i;
        }
        if (!poll) got = vesk_net_channel_read(channel, ev.bytes);
        ASSERT_GT(got, 0);
        ASSERT_EQ(ev.kind(), VESK_EV_ACCEPT);
    }
    for (int fd : fds) close(fd);
    vesk_net_shutdown();
}

TEST(Readers, BurstsOnManyConnectionsReachTheirReaderWhileAnotherThreadWaitsInTheEngine) {
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
    std::thread reader(read_room, std::ref(room), want, Clock::now() + std::chrono::seconds(60),
                       Take::kWait);
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

TEST(Readers, AReaderBusyWithItsEventDoesNotHoldUpAChannelThatIsOnlyPolled) {
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
