// Many connections at once through one small channel: every frame arrives
// once, in order per connection, intact, while backpressure holds the
// senders back; and the engine sending to many connections at once.  Each
// runs twice: through the one-at-a-time calls, and through the batched ones
// (wait, read many, send many).
// test-platform: POSIX (the remote peers use POSIX sockets); the engine on
// Windows is exercised against the Linux engine by the interoperation test.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <thread>

#include "net_test_util.h"

using namespace nettest;

namespace {

struct Scale {
    int connections;
    int frames;  // per connection
};

Scale scale() {
    if (sanitized()) return {200, 150};
    return {200, 2000};
}

// Frame `seq` of connection `conn`: its length (1..2048) and bytes follow
// from the pair alone, so the receiver checks every byte without a copy of
// what was sent.  The first bytes carry the connection, sequence number and
// a checksum of the rest where the frame is long enough.
uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

Bytes make_frame_payload(uint32_t conn, uint32_t seq) {
    const uint32_t seed = mix(conn * 100003U + seq);
    Bytes p(1 + seed % 2048);
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = static_cast<uint8_t>(mix(seed + static_cast<uint32_t>(i)));
    if (p.size() >= 12) {
        uint32_t sum = 0;
        for (size_t i = 12; i < p.size(); ++i) sum = sum * 31 + p[i];
        std::memcpy(p.data(), &conn, 4);
        std::memcpy(p.data() + 4, &seq, 4);
        std::memcpy(p.data() + 8, &sum, 4);
    }
    return p;
}

// Writes every connection's frames as fast as the sockets take them.
void write_all(const std::vector<int> &fds, int frames, std::atomic<bool> &stop) {
    struct Out {
        Bytes pending;
        size_t offset = 0;
        uint32_t next = 0;
    };
    std::vector<Out> out(fds.size());
    std::vector<pollfd> polls(fds.size());
    size_t finished = 0;
    while (finished < fds.size() && !stop.load()) {
        for (size_t i = 0; i < fds.size(); ++i) {
            const bool done = out[i].offset == out[i].pending.size() &&
                              out[i].next == static_cast<uint32_t>(frames);
            polls[i] = pollfd{done ? -1 : fds[i], POLLOUT, 0};
        }
        if (poll(polls.data(), polls.size(), 100) <= 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(polls[i].revents & POLLOUT)) continue;
            Out &o = out[i];
            for (;;) {
                if (o.offset == o.pending.size()) {
                    if (o.next == static_cast<uint32_t>(frames)) {
                        ++finished;
                        break;
                    }
                    o.pending = wire_frame(make_frame_payload(static_cast<uint32_t>(i), o.next++));
                    o.offset = 0;
                }
                ssize_t n = send(fds[i], o.pending.data() + o.offset, o.pending.size() - o.offset,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n <= 0) break;
                o.offset += static_cast<size_t>(n);
            }
        }
    }
}

class Load : public ::testing::TestWithParam<bool> {
protected:
    bool batched() const { return GetParam(); }
};

// Takes the next event: one read, or the next of a batch taken with
// read_many after waiting.  Returns the record length (0: none yet).
class EventSource {
public:
    EventSource(int channel, bool batched) : ch_(channel), batched_(batched) {}
    int next(Event &ev) {
        if (!batched_) {
            const int n = vesk_net_channel_read(ch_, ev.bytes);
            if (n == 0) usleep(100);
            return n;
        }
        if (at_ == used_) {
            at_ = used_ = 0;
            if (vesk_net_channel_wait(ch_, 100) != 1) return 0;
            const int n =
                vesk_net_channel_read_many(ch_, batch_.data(), static_cast<int>(batch_.size()));
            if (n <= 0) return n;
            used_ = static_cast<size_t>(n);
        }
        uint16_t length;
        std::memcpy(&length, batch_.data() + at_, 2);
        std::memcpy(ev.bytes, batch_.data() + at_ + 2, length);
        at_ += 2 + length;
        return length;
    }

private:
    int ch_;
    bool batched_;
    std::vector<uint8_t> batch_ = std::vector<uint8_t>(16 * (2 + VESK_NET_MAX_RECORD));
    size_t at_ = 0;
    size_t used_ = 0;
};

TEST_P(Load, TwoHundredConnectionsThroughASmallChannelDeliverEveryFrameOnceInOrderIntact) {
    const Scale s = scale();
    // A ring of 32 KiB holds about 30 average frames of 200 connections.
    ASSERT_EQ(vesk_net_init(s.connections + 4, 2, 0, 1, 32768, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback();
    const int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
    ASSERT_EQ(vesk_net_attach(listener, ch), 0);
    const uint16_t port = slot_address(listener).sin_port;

    // Connect in a thread: the listen backlog is short, and the engine
    // accepts only while this thread reads the channel.
    std::vector<int> fds(static_cast<size_t>(s.connections), -1);
    std::map<uint16_t, uint32_t> conn_of_port;
    std::atomic<int> connected{0};
    std::thread connector([&] {
        for (int i = 0; i < s.connections; ++i) {
            fds[static_cast<size_t>(i)] = plain_connect(port);
            connected.fetch_add(1);
        }
    });

    std::map<int, uint32_t> conn_of_slot;
    std::map<int, uint32_t> next_seq;
    std::map<uint16_t, int> slot_of_port;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    Event ev;
    while (static_cast<int>(slot_of_port.size()) < s.connections) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "accepting";
        if (!next_event(ch, ev, 100)) continue;
        ASSERT_EQ(ev.kind(), VESK_EV_ACCEPT);
        auto a = ev.accept();
        slot_of_port[a.port] = a.slot;
    }
    connector.join();
    for (int i = 0; i < s.connections; ++i) {
        ASSERT_GE(fds[static_cast<size_t>(i)], 0);
        const uint16_t p = local_address(fds[static_cast<size_t>(i)]).sin_port;
        ASSERT_EQ(slot_of_port.count(p), 1u);
        conn_of_slot[slot_of_port[p]] = static_cast<uint32_t>(i);
        next_seq[slot_of_port[p]] = 0;
    }

    std::atomic<bool> stop{false};
    std::thread writer(write_all, std::cref(fds), s.frames, std::ref(stop));
    const long total = static_cast<long>(s.connections) * s.frames;
    long received = 0;
    EventSource source(ch, batched());
    while (received < total) {
        if (std::chrono::steady_clock::now() > deadline) break;
        const int n = source.next(ev);
        ASSERT_GE(n, 0);
        if (n == 0) continue;
        ASSERT_EQ(ev.kind(), VESK_EV_TCP_DATA) << "only data: no connection failed";
        const int slot = ev.slot();
        ASSERT_EQ(conn_of_slot.count(slot), 1u);
        const uint32_t seq = next_seq[slot]++;
        const Bytes expected = make_frame_payload(conn_of_slot[slot], seq);
        ASSERT_EQ(n, 18 + static_cast<int>(expected.size()))
            << "slot " << slot << " frame " << seq << ": lost, repeated or reordered";
        ASSERT_EQ(std::memcmp(ev.bytes + 18, expected.data(), expected.size()), 0)
            << "slot " << slot << " frame " << seq << " damaged";
        ++received;
    }
    stop.store(true);
    writer.join();
    EXPECT_EQ(received, total);
    EXPECT_TRUE(stays_quiet(ch, 50)) << "nothing beyond what was sent";
    for (int fd : fds) close(fd);
    vesk_net_shutdown();
}

// The other direction: one user thread sends on every connection, retrying
// those with bytes pending; plain readers check what arrives.
TEST_P(Load, EngineSendingToManySlowReadersLosesAndRepeatsNothing) {
    const int connections = sanitized() ? 40 : 200;
    // Batches go out faster: more frames make sure they outrun the readers.
    const int frames = sanitized() ? (batched() ? 160 : 40) : 400;
    ASSERT_EQ(vesk_net_init(connections + 4, 2, 0, 1, 1 << 16, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    sockaddr_in any = loopback();
    const int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
    ASSERT_EQ(vesk_net_attach(listener, ch), 0);
    const uint16_t port = slot_address(listener).sin_port;

    std::vector<int> fds;
    std::vector<int> slots;
    Event ev;
    for (int i = 0; i < connections; ++i) {
        fds.push_back(plain_connect(port));
        ASSERT_GE(fds.back(), 0) << "connection " << i << ": " << std::strerror(errno);
        int small = 8192;
        setsockopt(fds.back(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_TRUE(next_event(ch, ev)) << "no accept for connection " << i;
        ASSERT_EQ(ev.kind(), VESK_EV_ACCEPT) << "event " << ev.kind() << " for connection " << i;
        slots.push_back(ev.accept().slot);
        setsockopt(vesk_net_get_socket(slots.back()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }

    std::atomic<bool> failed{false};
    // The readers start once the sender has been refused (or is done): they
    // are behind by then, whatever the machine's speed.
    std::atomic<bool> behind{false};
    const auto fall_behind = [&behind] {
        behind.store(true);
        behind.notify_all();
    };
    std::thread readers([&] {
        behind.wait(false);
        std::vector<Bytes> got(static_cast<size_t>(connections));
        std::vector<size_t> want(static_cast<size_t>(connections), 0);
        for (int i = 0; i < connections; ++i) {
            for (int f = 0; f < frames; ++f) {
                want[static_cast<size_t>(i)] +=
                    3 +
                    make_frame_payload(static_cast<uint32_t>(i), static_cast<uint32_t>(f)).size();
            }
        }
        std::vector<pollfd> polls(static_cast<size_t>(connections));
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        size_t complete = 0;
        while (complete < static_cast<size_t>(connections) &&
               std::chrono::steady_clock::now() < until) {
            for (int i = 0; i < connections; ++i)
                polls[static_cast<size_t>(i)] = {fds[static_cast<size_t>(i)], POLLIN, 0};
            if (poll(polls.data(), polls.size(), 100) <= 0) continue;
            for (size_t i = 0; i < polls.size(); ++i) {
                if (!(polls[i].revents & POLLIN)) continue;
                uint8_t chunk[4096];  // small reads: slow readers
                ssize_t n = recv(fds[i], chunk, sizeof chunk, 0);
                if (n <= 0) continue;
                got[i].insert(got[i].end(), chunk, chunk + n);
                if (got[i].size() == want[i]) ++complete;
            }
        }
        for (int i = 0; i < connections; ++i) {
            Bytes expected;
            for (int f = 0; f < frames; ++f) {
                Bytes fr = wire_frame(
                    make_frame_payload(static_cast<uint32_t>(i), static_cast<uint32_t>(f)));
                expected.insert(expected.end(), fr.begin(), fr.end());
            }
            if (got[static_cast<size_t>(i)] != expected) failed.store(true);
        }
    });

    std::vector<int> next(static_cast<size_t>(connections), 0);
    int remaining = connections;
    long refusals = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (remaining > 0 && std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < connections; ++i) {
            int &f = next[static_cast<size_t>(i)];
            if (f == frames) continue;
            const int slot = slots[static_cast<size_t>(i)];
            if (batched()) {
                // Batches of up to 32 frames (about 32 KiB) to this
                // connection until one is refused: more than the small
                // socket buffers take, so the rest waits in the send area.
                while (f < frames) {
                    std::vector<Message> batch;
                    std::vector<vesk_net_msg *> msgs;
                    for (int k = f; k < frames && k < f + 32; ++k) {
                        batch.emplace_back(slot, make_frame_payload(static_cast<uint32_t>(i),
                                                                    static_cast<uint32_t>(k)));
                    }
                    for (Message &m : batch) msgs.push_back(m.msg());
                    const int taken =
                        vesk_net_send_many(msgs.data(), static_cast<int>(msgs.size()));
                    ASSERT_GE(taken, 0) << "send_many on slot " << slot;
                    if (taken == 0) {
                        ++refusals;
                        fall_behind();
                        break;
                    }
                    f += taken;
                }
                if (f == frames) --remaining;
                continue;
            }
            Message m(slot, make_frame_payload(static_cast<uint32_t>(i), static_cast<uint32_t>(f)));
            const int rc = m.send();
            ASSERT_TRUE(rc == 0 || rc == -2) << "send on slot " << slot << " gave " << rc;
            if (rc == -2) {
                ++refusals;
                fall_behind();
                continue;
            }
            if (++f == frames) --remaining;
        }
    }
    fall_behind();
    readers.join();
    EXPECT_EQ(remaining, 0);
    EXPECT_GT(refusals, 0) << "the readers never fell behind";
    EXPECT_FALSE(failed.load()) << "a connection's bytes differ from what was sent";
    for (int fd : fds) close(fd);
    vesk_net_shutdown();
}

INSTANTIATE_TEST_SUITE_P(Calls, Load, ::testing::Bool(), [](const auto &info) {
    return std::string(info.param ? "Batched" : "OneAtATime");
});

}  // namespace
