// UDP slots against hostile senders: datagrams from port 0, forged probe
// replies, probe floods, a reader that falls behind, and large peer tables;
// every campaign checks the counters against what it sent.
// test-platform: POSIX (plain and raw sockets as the senders).
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "net/peer_index.h"
#include "os/os.h"
#include "net_test_util.h"

using namespace nettest;

namespace {

const Bytes kProbe = {0xFE, 0x00, 0x80};
const Bytes kKeepalive = {0xFE, 0x00, 0x00};

vesk_net_stats stats() {
    vesk_net_stats s{};
    s.size = sizeof s;
    EXPECT_EQ(vesk_net_get_stats(&s), 0);
    return s;
}

class UdpHostile : public ::testing::Test {
protected:
    void SetUp() override { start(1 << 16); }
    void TearDown() override {
        for (int fd : fds_) close(fd);
        vesk_net_shutdown();
    }
    void start(int ring) {
        ASSERT_EQ(vesk_net_init(8, 1, 1, 4, ring, 0, 0), 0);
        ch_ = vesk_net_channel_open();
    }
    int open(int type) {
        const sockaddr_in a = loopback();
        const int slot = vesk_net_open(type, as_sockaddr(a));
        EXPECT_GT(slot, 0);
        EXPECT_EQ(vesk_net_attach(slot, ch_), 0);
        return slot;
    }
    int udp(const char *ip = "127.0.0.1") {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback();
        inet_pton(AF_INET, ip, &a.sin_addr);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fds_.push_back(fd);
        return fd;
    }
    static void send_to(int fd, const sockaddr_in &to, const Bytes &d) {
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    // A data frame from `fd` that comes back as the next event: everything
    // sent to the slot before it has been handled.
    void sync(int fd, int slot) {
        send_to(fd, slot_address(slot), wire_frame({'s'}));
        Event ev;
        ASSERT_TRUE(next_event(ch_, ev) && ev.kind() == VESK_EV_UDP_DATA &&
                    ev.data() == Bytes{'s'});
    }
    // Datagrams waiting on fd now.
    static int drain(int fd) {
        int n = 0;
        for (Bytes d; recv_datagram(fd, d, 50);) ++n;
        return n;
    }
    int ch_ = 0;
    std::vector<int> fds_;
};

TEST_F(UdpHostile, DatagramsFromPortZeroAreDroppedAndCountedOnEverySlotType) {
    const int multi = open(VESK_NET_UDP_MULTI);
    const int slots[] = {open(VESK_NET_UDP_ANSWER), multi, open(VESK_NET_UDP_QUIET)};
    const int good = udp();
    for (int slot : slots) {  // each registers 127.0.0.1:0, a peer no datagram can come from
        sockaddr_in zero = loopback(0);
        EXPECT_EQ(vesk_net_add_peer(slot, as_sockaddr(zero)), 0);
    }
    sockaddr_in nowhere = loopback(1);
    nowhere.sin_addr.s_addr = 0;  // address 0 marks a free entry: never stored
    EXPECT_EQ(vesk_net_add_peer(multi, as_sockaddr(nowhere)), 0);
    EXPECT_EQ(vesk_net_remove_peer(slots[0], as_sockaddr(nowhere)), -3);
    const vesk_net_stats before = stats();
    for (int slot : slots) {
        for (const Bytes &d : {kProbe, kKeepalive, wire_frame({'x'})}) {
            if (!send_from_port_zero(slot_address(slot), d)) GTEST_SKIP() << "no raw sockets here";
        }
        sync(good, slot);
    }
    const vesk_net_stats after = stats();
    EXPECT_EQ(after.datagrams_dropped - before.datagrams_dropped, 9u);
    EXPECT_EQ(after.probes_answered, before.probes_answered);
    EXPECT_EQ(after.frames_in - before.frames_in, 3u) << "the three syncs alone";
}

TEST_F(UdpHostile, StrictSlotsTakeProbeRepliesOnlyFromWhereTheyProbed) {
    const int plain = open(VESK_NET_UDP_QUIET);
    const int strict = open(VESK_NET_UDP_ANSWER);
    ASSERT_EQ(vesk_net_set_strict_framing(strict, 1), 0);
    const int forger = udp();
    const int server = udp();
    const Bytes forged = {0xFE, 0x01, 0x80, 6, 6, 6, 6, 0x02, 0x9A};  // "6.6.6.6:666"
    send_to(forger, slot_address(plain), forged);
    Event ev;
    ASSERT_TRUE(next_event(ch_, ev)) << "the default takes a reply from anyone";
    EXPECT_EQ(ev.kind(), VESK_EV_PROBE_REPLY);

    send_to(forger, slot_address(strict), forged);  // before any probe: refused
    sync(forger, strict);
    sockaddr_in server_at = local_address(server);
    ASSERT_EQ(vesk_net_probe(strict, as_sockaddr(server_at)), 0);
    Bytes probe;
    ASSERT_TRUE(recv_datagram(server, probe));
    EXPECT_EQ(probe, kProbe);
    send_to(forger, slot_address(strict), forged);  // same address, other port
    send_to(server, slot_address(strict), forged);  // the one probed
    ASSERT_TRUE(next_event(ch_, ev));
    EXPECT_EQ(ev.kind(), VESK_EV_PROBE_REPLY);
    EXPECT_EQ(ev.slot(), strict);
    EXPECT_TRUE(stays_quiet(ch_));
    EXPECT_EQ(stats().probe_replies_refused, 2u);
    EXPECT_EQ(vesk_net_set_strict_framing(strict, 2), -1);
    // The number's next life starts with no probe noted.
    ASSERT_EQ(vesk_net_close(strict), 0);
    ASSERT_TRUE(stays_quiet(ch_));
    const int again = open(VESK_NET_UDP_ANSWER);
    ASSERT_EQ(vesk_net_set_strict_framing(again, 1), 0);
    send_to(server, slot_address(again), forged);
    sync(server, again);
    EXPECT_EQ(stats().probe_replies_refused, 3u);
}

TEST_F(UdpHostile, ProbePoliciesBoundWhatAFloodFromOneSourceGetsBack) {
    // Answers go to the source the probe names: the flood's own socket here.
    struct Row {
        int policy;
        int answers;
    } rows[] = {{VESK_NET_PROBE_ANSWER_ALL, 200},
                {VESK_NET_PROBE_ANSWER_PACED, 1},
                {VESK_NET_PROBE_ANSWER_NONE, 0}};
    const int other = udp("127.0.0.2");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.policy);
        const int slot = open(VESK_NET_UDP_QUIET);
        ASSERT_EQ(vesk_net_set_probe_policy(slot, row.policy), 0);
        const int flood = udp();
        const vesk_net_stats before = stats();
        for (int i = 0; i < 200; ++i) send_to(flood, slot_address(slot), kProbe);
        sync(flood, slot);
        EXPECT_EQ(drain(flood), row.answers);
        const vesk_net_stats after = stats();
        EXPECT_EQ(after.probes_answered - before.probes_answered, uint64_t(row.answers));
        EXPECT_EQ(after.datagrams_dropped - before.datagrams_dropped, uint64_t(200 - row.answers));
        // Another source is paced on its own.
        send_to(other, slot_address(slot), kProbe);
        sync(other, slot);
        EXPECT_EQ(drain(other), row.policy == VESK_NET_PROBE_ANSWER_NONE ? 0 : 1);
        vesk_net_close(slot);
    }
    for (const int policy : {-1, 3}) EXPECT_EQ(vesk_net_set_probe_policy(1, policy), -1);
    EXPECT_EQ(vesk_net_set_probe_policy(0, 0), -1);
    EXPECT_EQ(vesk_net_set_probe_policy(8, 0), -1) << "a free slot";
}

TEST_F(UdpHostile, AReaderThatFallsBehindLosesNothingTheSystemBufferHolds) {
    vesk_net_shutdown();
    start(3 * (3 + VESK_NET_MAX_RECORD) + 1);  // three largest events
    const int slot = open(VESK_NET_UDP_QUIET);
    EXPECT_GT(vesk_net_set_receive_buffer(slot, 1 << 20), 0);
    const int sender = udp();
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) {
        send_to(sender, slot_address(slot), wire_frame(pattern(40, static_cast<uint8_t>(i))));
    }
    for (int i = 0; i < kCount; ++i) {
        Event ev;
        ASSERT_TRUE(next_event(ch_, ev)) << "datagram " << i;
        ASSERT_EQ(ev.data(), pattern(40, static_cast<uint8_t>(i))) << "datagram " << i;
    }
    EXPECT_EQ(stats().datagrams_dropped, 0u);
    EXPECT_EQ(vesk_net_set_receive_buffer(slot, 0), -1);
}

// The batch calls refuse counts outside a batch, and say when nothing waits.
TEST(DatagramBatches, RefuseCountsOutsideABatchAndReportAnEmptySocket) {
    const int fd = plain_udp();
    uint8_t byte = 0;
    os::Datagram d{&byte, 1, {}};  // address family 0: no datagram can go there
    for (const int count : {0, os::kMaxDatagrams + 1}) {
        EXPECT_EQ(os::socket_receive_datagrams(fd, &d, count), -1);
        EXPECT_EQ(os::socket_send_datagrams(fd, &d, count), -1);
    }
    EXPECT_EQ(os::socket_receive_datagrams(fd, &d, 1), -1);
    EXPECT_TRUE(os::socket_error_would_block(os::socket_last_error()));
    EXPECT_EQ(os::socket_send_datagrams(fd, &d, 1), -1);
    close(fd);
}

// The index beside a peer table against a plain model: lowest free entry on
// every add, finds and removes agree, and entry numbers never move.
TEST(PeerIndex, AgreesWithAPlainTableThroughRandomAddsAndRemoves) {
    constexpr int kEntries = 300;
    std::vector<net::PeerEntry> entries(kEntries);
    net::PeerIndex index;
    ASSERT_TRUE(index.init(entries.data(), kEntries, 12345));
    std::vector<uint64_t> model(kEntries, 0);
    std::mt19937_64 rng(7);
    // The entry holding `k` in the model (0: the lowest free one), or -1.
    const auto entry_of = [&](uint64_t k) {
        const auto at = std::find(model.begin(), model.end(), k);
        return at == model.end() ? -1 : static_cast<int>(at - model.begin());
    };
    for (int step = 0; step < 20000; ++step) {
        const uint64_t k = net::peer_key(0x0100007F + (rng() % 500 << 24), 1 + rng() % 2);
        const int held = entry_of(k);
        ASSERT_EQ(index.find(k), held) << step;
        if (rng() % 3 != 0) {
            const int want = held >= 0 ? held : entry_of(0);
            ASSERT_EQ(index.add(k), want) << step;
            if (want >= 0) model[static_cast<size_t>(want)] = k;
        } else {
            ASSERT_EQ(index.remove(k), held) << step;
            if (held >= 0) model[static_cast<size_t>(held)] = 0;
        }
        ASSERT_EQ(entries[static_cast<size_t>(step % kEntries)].load(),
                  model[static_cast<size_t>(step % kEntries)]);
    }
    index.release();
}

}  // namespace
