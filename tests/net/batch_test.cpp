// The calls a busy server uses instead of polling and sending one at a time:
// waiting on a channel, taking many events under one lock, and sending many
// frames of one slot in one system call.
// test-platform: POSIX (the remote peers use POSIX sockets).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/net_internal.h"
#include "net_test_util.h"

using namespace nettest;

namespace {

using Clock = std::chrono::steady_clock;

int elapsed_ms(Clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A waiter on its own thread; done() once the wait has returned.
struct Waiter {
    std::atomic<int> result{99};
    std::thread thread;
    Waiter(int channel, int timeout_ms)
        : thread([this, channel, timeout_ms] {
              result.store(vesk_net_channel_wait(channel, timeout_ms));
          }) {}
    ~Waiter() {
        if (thread.joinable()) thread.join();
    }
    bool done_within(int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (result.load() == 99 && Clock::now() < until) usleep(1000);
        return result.load() != 99;
    }
};

TEST(ChannelWait, WokenByAPostByAReleaseAndByShutdownAndNeverTakesTheEvent) {
    ASSERT_EQ(vesk_net_init(4, 3, 0, 1, 1 << 16, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback();
    const int udp = vesk_net_open(VESK_NET_UDP_QUIET, as_sockaddr(any));
    ASSERT_EQ(vesk_net_attach(udp, ch), 0);

    EXPECT_EQ(vesk_net_channel_wait(ch, 0), 0) << "just looks";
    EXPECT_EQ(vesk_net_channel_wait(99, 0), -1);
    EXPECT_EQ(vesk_net_channel_wait(3, 10), -1) << "not in use";
    auto start = Clock::now();
    EXPECT_EQ(vesk_net_channel_wait(ch, 60), 0);
    EXPECT_GE(elapsed_ms(start), 55) << "the whole timeout";

    {
        Waiter w(ch, -1);
        usleep(50 * 1000);  // asleep by now
        EXPECT_FALSE(w.done_within(1));
        int fd = plain_udp();
        sockaddr_in to = slot_address(udp);
        Bytes frame = wire_frame(pattern(9));
        sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        ASSERT_TRUE(w.done_within(2000));
        EXPECT_EQ(w.result.load(), 1);
        close(fd);
    }
    EXPECT_EQ(vesk_net_channel_wait(ch, -1), 1) << "the event is still there";
    Event ev;
    ASSERT_TRUE(next_event(ch, ev));
    EXPECT_EQ(ev.data(), pattern(9));

    {
        Waiter w(ch, -1);
        usleep(20 * 1000);
        ASSERT_EQ(vesk_net_channel_close(ch), 0);
        ASSERT_TRUE(w.done_within(2000)) << "stranded by the release";
        EXPECT_EQ(w.result.load(), -1);
    }
    const int other = vesk_net_channel_open();
    Waiter a(other, -1);
    Waiter b(other, 5000);
    usleep(20 * 1000);
    vesk_net_shutdown();  // returns only once both have left
    a.thread.join();      // one that had not yet come in is refused as well
    b.thread.join();
    EXPECT_EQ(a.result.load(), -1);
    EXPECT_EQ(b.result.load(), -1);
}

// Events posted by the engine, with a malformed header placed between them.
TEST(ReadMany, TakesWholeEventsAndStopsBeforeAMalformedOneWhichTheNextCallReports) {
    ASSERT_EQ(vesk_net_init(2, 1, 0, 1, 1 << 16, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    auto post = [&](uint8_t tag, int size) {
        Bytes record(static_cast<size_t>(size), tag);
        record[0] = VESK_EV_TCP_DATA;
        ASSERT_TRUE(net::post_event(ch, record.data(), size));
    };
    post(0xA1, 18);
    post(0xA2, VESK_NET_MAX_RECORD);
    net::Channel &c = net::channel_at(ch);
    c.lock.lock();
    const uint8_t bad[3] = {0xFD, 0x05, 0x00};
    vesk_ring_write(&c.ring, bad, 3);
    c.lock.unlock();
    post(0xA3, 30);

    constexpr int kEntry = 2 + VESK_NET_MAX_RECORD;
    std::vector<uint8_t> buf(3 * kEntry);
    EXPECT_EQ(vesk_net_channel_read_many(ch, buf.data(), kEntry - 1), -1) << "too small for one";
    EXPECT_EQ(vesk_net_channel_read_many(ch, nullptr, kEntry), -1);
    EXPECT_EQ(vesk_net_channel_read_many(ch, buf.data(), kEntry), 2 + 18) << "one entry's room";
    EXPECT_EQ(buf[2], VESK_EV_TCP_DATA);
    EXPECT_EQ(buf[3], 0xA1);
    const int n = vesk_net_channel_read_many(ch, buf.data(), static_cast<int>(buf.size()));
    ASSERT_EQ(n, kEntry) << "the good event before the malformed one, and no more";
    uint16_t length;
    std::memcpy(&length, buf.data(), 2);
    EXPECT_EQ(length, VESK_NET_MAX_RECORD);
    EXPECT_EQ(buf[kEntry - 1], 0xA2);
    EXPECT_EQ(vesk_net_channel_read_many(ch, buf.data(), static_cast<int>(buf.size())), -3);
    EXPECT_EQ(vesk_net_channel_read_many(ch, buf.data(), static_cast<int>(buf.size())), 2 + 30);
    EXPECT_EQ(buf[3], 0xA3);
    EXPECT_EQ(vesk_net_channel_read_many(ch, buf.data(), static_cast<int>(buf.size())), 0);
    vesk_net_shutdown();
    EXPECT_EQ(vesk_net_channel_read_many(ch, buf.data(), static_cast<int>(buf.size())), -1);
}

class SendMany : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vesk_net_init(4, 1, 0, 1, 1 << 16, 0, 0), 0);
        ch_ = vesk_net_channel_open();
        sockaddr_in any = loopback();
        const int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
        ASSERT_EQ(vesk_net_attach(listener, ch_), 0);
        fd_ = plain_connect(slot_address(listener).sin_port);
        Event ev;
        ASSERT_TRUE(next_event(ch_, ev));
        ASSERT_EQ(ev.kind(), VESK_EV_ACCEPT);
        slot_ = ev.accept().slot;
    }
    void TearDown() override {
        close(fd_);
        vesk_net_shutdown();
    }
    // Sends the messages in one call; the frames of those taken are appended
    // to `wire`.
    int send(std::vector<Message> &batch, Bytes *wire = nullptr) {
        std::vector<vesk_net_msg *> msgs;
        for (Message &m : batch) msgs.push_back(m.msg());
        const int taken = vesk_net_send_many(msgs.data(), static_cast<int>(msgs.size()));
        for (int i = 0; wire != nullptr && i < taken; ++i) {
            const Message &m = batch[static_cast<size_t>(i)];
            wire->insert(wire->end(), m.storage.begin() + 15, m.storage.end() - 1);
        }
        return taken;
    }
    int ch_ = 0;
    int fd_ = -1;
    int slot_ = 0;
};

TEST_F(SendMany, FramesEachMessageAndRefusesAsSendDoes) {
    // Payloads whose frames (3 bytes longer) fall on each side of the sizes
    // where small frames are copied differently (4, 8, 16, 256 bytes).
    const std::vector<size_t> sizes = {10, 0, 1, 4, 5, 12, 13, 14, 29, 253, 254, 11};
    std::vector<Message> batch;
    Bytes expected;
    for (size_t i = 0; i < sizes.size(); ++i) {
        batch.emplace_back(slot_, pattern(sizes[i], static_cast<uint8_t>(i)));
        Bytes f = wire_frame(pattern(sizes[i], static_cast<uint8_t>(i)));
        expected.insert(expected.end(), f.begin(), f.end());
    }
    ASSERT_EQ(send(batch), static_cast<int>(sizes.size()));
    EXPECT_EQ(recv_exact(fd_, expected.size()), expected);

    EXPECT_EQ(vesk_net_send_many(nullptr, 1), -1);
    vesk_net_msg *none[1] = {batch[0].msg()};
    EXPECT_EQ(vesk_net_send_many(none, 0), -1);
    vesk_net_msg *first_missing[2] = {nullptr, batch[0].msg()};
    EXPECT_EQ(vesk_net_send_many(first_missing, 2), -1);
    std::vector<Message> bad;
    bad.emplace_back(slot_, pattern(4));
    bad[0].set_length(VESK_NET_MAX_DATA + 1);
    EXPECT_EQ(send(bad), -1) << "the first message's length";
    std::vector<Message> stranger;
    stranger.emplace_back(99, pattern(4));
    EXPECT_EQ(send(stranger), -2);
    // A later message that is refused or names another slot ends the batch.
    std::vector<Message> mixed;
    mixed.emplace_back(slot_, pattern(5));
    mixed.emplace_back(slot_, pattern(6));
    mixed.emplace_back(slot_, pattern(7));
    mixed[1].set_length(-1);
    EXPECT_EQ(send(mixed), 1);
    mixed[1].set_length(6);
    std::memcpy(mixed[2].storage.data() + 1, &ch_, 4);  // another slot number
    EXPECT_EQ(send(mixed), 2);
    EXPECT_EQ(recv_exact(fd_, 8 + 8 + 9).size(), 25u);
    // One call gathers at most 1024 frames: the rest of a longer batch is
    // left for the next call, not dropped.
    std::vector<Message> many;
    for (int i = 0; i < 1030; ++i) many.emplace_back(slot_, pattern(1, static_cast<uint8_t>(i)));
    ASSERT_EQ(send(many), 1024);
    Bytes got = recv_exact(fd_, 1024 * 4);
    ASSERT_EQ(got.size(), 1024u * 4);
    EXPECT_EQ(got[3], 0);
    EXPECT_EQ(got[1023 * 4 + 3], static_cast<uint8_t>(1023));
    ASSERT_EQ(vesk_net_close(slot_), 0);
    std::vector<Message> late;
    late.emplace_back(slot_, pattern(4));
    usleep(20 * 1000);
    EXPECT_EQ(send(late), -3);
}

// A peer that does not read: batches go out until the socket is full, the
// rest of one batch is kept, further batches are refused with 0 until it is
// flushed, and the peer finally reads every frame taken, in order, once
// (frames not taken are simply not part of what is expected).
TEST_F(SendMany, KeepsTheUnsentRestInOrderAndRefusesWhileItIsPending) {
    int small = 16384;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(vesk_net_get_socket(slot_), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    Bytes wire;
    uint8_t seed = 0;
    auto batch_of = [&](int count) {
        std::vector<Message> batch;
        for (int i = 0; i < count; ++i, ++seed)
            batch.emplace_back(slot_, pattern(700 + seed % 300, seed));
        return batch;
    };
    int taken = 0;
    for (int round = 0; round < 1000; ++round) {
        auto batch = batch_of(64);
        taken = send(batch, &wire);
        if (taken == 0) break;
    }
    ASSERT_EQ(taken, 0) << "the socket never filled: nothing was ever kept pending";

    Bytes received;
    std::atomic<bool> sending{true};
    std::thread reader([&] {
        while (sending.load() || received.size() < wire.size()) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) break;
            uint8_t chunk[65536];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            received.insert(received.end(), chunk, chunk + n);
        }
    });
    for (int sent = 0; sent < 200;) {
        auto batch = batch_of(16);
        const int n = send(batch, &wire);
        sent += n;
        if (n == 0) usleep(200);
    }
    sending.store(false);
    reader.join();
    ASSERT_EQ(received.size(), wire.size());
    EXPECT_TRUE(received == wire);
}

}  // namespace
