// UDP through the engine with plain sockets as the remote peer: data,
// probes, keepalive answers by slot type, and the peer-table results.
// test-platform: POSIX (the remote peer uses POSIX sockets); the engine on
// Windows is exercised against the Linux engine by the interoperation test.
#include <gtest/gtest.h>

#include <chrono>

#include "net_test_util.h"

using namespace nettest;

namespace {

class Udp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vesk_net_init(8, 2, 2, 4, 1 << 16, 0, 0), 0);
        ch_ = vesk_net_channel_open();
        peer_ = plain_udp();
        stranger_ = plain_udp();
    }
    void TearDown() override {
        close(peer_);
        close(stranger_);
        vesk_net_shutdown();
    }
    int open(int type) {
        sockaddr_in a = loopback();
        int slot = vesk_net_open(type, as_sockaddr(a));
        EXPECT_GT(slot, 0);
        EXPECT_EQ(vesk_net_attach(slot, ch_), 0);
        return slot;
    }
    void send_to_slot(int fd, int slot, const Bytes &d) {
        sockaddr_in to = slot_address(slot);
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    // Sends `d` from `fd` to the slot and returns what comes back, if anything.
    bool exchange(int fd, int slot, const Bytes &d, Bytes &answer, int ms = 200) {
        send_to_slot(fd, slot, d);
        return recv_datagram(fd, answer, ms);
    }
    int add_peer(int slot, int fd) {
        sockaddr_in a = local_address(fd);
        return vesk_net_add_peer(slot, as_sockaddr(a));
    }
    int remove_peer(int slot, int fd) {
        sockaddr_in a = local_address(fd);
        return vesk_net_remove_peer(slot, as_sockaddr(a));
    }
    int ch_ = 0;
    int peer_ = -1;
    int stranger_ = -1;
};

const Bytes kKeepalive = {0xFE, 0x00, 0x00};
const Bytes kProbe = {0xFE, 0x00, 0x80};

TEST_F(Udp, DataFrameFromAnySenderBecomesOneEventWithTheReceivedFrameHeader) {
    const int slot = open(VESK_NET_UDP_QUIET);
    send_to_slot(stranger_, slot, wire_frame(pattern(5)));
    Event ev;
    ASSERT_TRUE(next_event(ch_, ev));
    EXPECT_EQ(ev.length, 23);
    auto msg = ev.msg();
    EXPECT_EQ(msg.kind, VESK_EV_UDP_DATA);
    EXPECT_EQ(msg.slot, slot);
    sockaddr_in from = local_address(stranger_);
    EXPECT_EQ(msg.addr, from.sin_addr.s_addr);
    EXPECT_EQ(msg.port, from.sin_port);
    EXPECT_EQ(msg.length, 5);
    EXPECT_EQ(Bytes(ev.bytes + 15, ev.bytes + 18), (Bytes{0xFE, 0x05, 0x00}));
    EXPECT_EQ(ev.data(), pattern(5));

    Bytes wrong = wire_frame(pattern(5));
    wrong[1] = 6;
    send_to_slot(stranger_, slot, wrong);
    Bytes oversized = wire_frame(pattern(2049));
    send_to_slot(stranger_, slot, oversized);
    send_to_slot(stranger_, slot, wire_frame(pattern(2048)));
    ASSERT_TRUE(next_event(ch_, ev));
    EXPECT_EQ(ev.length, 18 + 2048) << "the wrong and oversized datagrams were dropped";
}

TEST_F(Udp, SendReturnsTheDatagramSizeAndPutsTheFrameOnTheWire) {
    const int slot = open(VESK_NET_UDP_ANSWER);
    sockaddr_in to = local_address(peer_);
    Message m(slot, pattern(5), to.sin_addr.s_addr, to.sin_port);
    EXPECT_EQ(m.send(), 8);
    Bytes got;
    sockaddr_in from{};
    ASSERT_TRUE(recv_datagram(peer_, got, 2000, &from));
    EXPECT_EQ(got, wire_frame(pattern(5)));
    EXPECT_EQ(from.sin_port, slot_address(slot).sin_port);
    Message keepalive(slot, {}, to.sin_addr.s_addr, to.sin_port);
    EXPECT_EQ(keepalive.send(), 3);
    ASSERT_TRUE(recv_datagram(peer_, got));
    EXPECT_EQ(got, kKeepalive);
    Message too_long(slot, pattern(2049), to.sin_addr.s_addr, to.sin_port);
    EXPECT_EQ(too_long.send(), -1);
}

TEST_F(Udp, ProbeOfThreeBytesIsAnsweredWithTheProbersAddressFourBytesAreNot) {
    for (int type : {VESK_NET_UDP_ANSWER, VESK_NET_UDP_MULTI, VESK_NET_UDP_QUIET}) {
        SCOPED_TRACE(type);
        const int slot = open(type);
        Bytes answer;
        ASSERT_TRUE(exchange(stranger_, slot, kProbe, answer, 2000));
        sockaddr_in me = local_address(stranger_);
        Bytes expected = {0xFE, 0x01, 0x80};
        const auto *addr = reinterpret_cast<const uint8_t *>(&me.sin_addr.s_addr);
        const auto *port = reinterpret_cast<const uint8_t *>(&me.sin_port);
        expected.insert(expected.end(), addr, addr + 4);
        expected.insert(expected.end(), port, port + 2);
        EXPECT_EQ(answer, expected);
        EXPECT_FALSE(exchange(stranger_, slot, Bytes{0xFE, 0x00, 0x80, 0x00}, answer));
        EXPECT_TRUE(stays_quiet(ch_, 10)) << "probes raise no event";
    }
}

TEST_F(Udp, ProbeSentByTheEngineAndItsReplyBecomeAProbeReplyEvent) {
    const int slot = open(VESK_NET_UDP_QUIET);
    sockaddr_in dest = local_address(peer_);
    EXPECT_EQ(vesk_net_probe(slot, as_sockaddr(dest)), 0);
    Bytes got;
    ASSERT_TRUE(recv_datagram(peer_, got));
    EXPECT_EQ(got, kProbe);
    const Bytes reply = {0xFE, 0x01, 0x80, 10, 0, 0, 7, 0x12, 0x34};
    send_to_slot(peer_, slot, reply);
    Event ev;
    ASSERT_TRUE(next_event(ch_, ev));
    ASSERT_EQ(ev.length, 14);
    auto r = ev.probe_reply();
    EXPECT_EQ(r.kind, VESK_EV_PROBE_REPLY);
    EXPECT_EQ(r.slot, slot);
    EXPECT_EQ(Bytes(ev.bytes + 5, ev.bytes + 14), reply);
}

TEST_F(Udp, ProbeIsRefusedUnlessTheSlotIsAReadyAttachedUdpSlot) {
    sockaddr_in dest = local_address(peer_);
    sockaddr_in a = loopback();
    const int unattached = vesk_net_open(VESK_NET_UDP_ANSWER, as_sockaddr(a));
    const int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(a));
    ASSERT_EQ(vesk_net_attach(listener, ch_), 0);
    const int udp = open(VESK_NET_UDP_ANSWER);
    EXPECT_EQ(vesk_net_probe(unattached, as_sockaddr(dest)), -1);
    EXPECT_EQ(vesk_net_probe(listener, as_sockaddr(dest)), -1);
    EXPECT_EQ(vesk_net_probe(0, as_sockaddr(dest)), -1);
    EXPECT_EQ(vesk_net_probe(99, as_sockaddr(dest)), -1);
    EXPECT_EQ(vesk_net_probe(udp, nullptr), -1);
    EXPECT_EQ(vesk_net_probe(udp, as_sockaddr(dest)), 0);
}

TEST_F(Udp, KeepalivesAreAnsweredOnlyForRegisteredPeersAsEachTypeDoes) {
    const int answer_slot = open(VESK_NET_UDP_ANSWER);
    const int quiet_slot = open(VESK_NET_UDP_QUIET);
    const int multi_slot = open(VESK_NET_UDP_MULTI);
    Bytes got;
    EXPECT_FALSE(exchange(peer_, answer_slot, kKeepalive, got)) << "not registered yet";

    ASSERT_EQ(add_peer(answer_slot, peer_), 0);
    ASSERT_TRUE(exchange(peer_, answer_slot, Bytes{0xFE, 0xFD, 0xFF}, got))
        << "every 3-byte control frame of the peer";
    EXPECT_EQ(got, kKeepalive);
    EXPECT_FALSE(exchange(stranger_, answer_slot, kKeepalive, got));

    ASSERT_EQ(add_peer(quiet_slot, peer_), 0);
    EXPECT_FALSE(exchange(peer_, quiet_slot, kKeepalive, got)) << "a quiet slot never answers";

    int third = plain_udp();
    ASSERT_EQ(add_peer(multi_slot, stranger_), 0);  // entry 1
    ASSERT_EQ(add_peer(multi_slot, third), 0);      // entry 2
    ASSERT_EQ(add_peer(multi_slot, peer_), 0);      // entry 3
    ASSERT_TRUE(exchange(peer_, multi_slot, kKeepalive, got));
    EXPECT_EQ(got, (Bytes{0xFE, 0xFD, 0xFF})) << "the indexed keepalive -3";
    EXPECT_FALSE(exchange(peer_, multi_slot, Bytes{0xFE, 0xFE, 0xFF}, got)) << "not entry 2";
    ASSERT_TRUE(exchange(third, multi_slot, Bytes{0xFE, 0xFE, 0xFF}, got));
    EXPECT_EQ(got, (Bytes{0xFE, 0xFE, 0xFF})) << "echoed by the peer in entry 2";
    ASSERT_EQ(remove_peer(multi_slot, peer_), 0);
    EXPECT_FALSE(exchange(peer_, multi_slot, kKeepalive, got)) << "removed";
    EXPECT_TRUE(stays_quiet(ch_, 10)) << "control frames raise no events";
    close(third);
}

// A peer that answers every answer (as another engine's slot registered
// with this one does) must not turn one keepalive into a datagram storm:
// each slot answers a peer at most once a second, and a peer that waits a
// second gets its answer again.
TEST_F(Udp, AnswersToAPeerThatAnswersBackArePacedToOneASecond) {
    const int answer_slot = open(VESK_NET_UDP_ANSWER);
    const int multi_slot = open(VESK_NET_UDP_MULTI);
    ASSERT_EQ(add_peer(answer_slot, peer_), 0);
    ASSERT_EQ(add_peer(multi_slot, stranger_), 0);  // entry 1
    const auto count_answers = [&](int fd, int slot, int ms) {
        Bytes got;
        int answers = 0;
        send_to_slot(fd, slot, kKeepalive);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (!recv_datagram(fd, got, 20)) continue;
            ++answers;
            send_to_slot(fd, slot, got);  // answer the answer, at once
        }
        return answers;
    };
    for (int slot : {answer_slot, multi_slot}) {
        SCOPED_TRACE(slot);
        const int fd = slot == answer_slot ? peer_ : stranger_;
        EXPECT_EQ(count_answers(fd, slot, 600), 1) << "one answer, then silence";
        usleep(500 * 1000);
        Bytes got;
        EXPECT_TRUE(exchange(fd, slot, kKeepalive, got)) << "a second later: answered again";
    }
    EXPECT_TRUE(stays_quiet(ch_, 10)) << "control frames raise no events";
}

TEST_F(Udp, PeerTableCallsGiveTheDocumentedResults) {
    const int multi = open(VESK_NET_UDP_MULTI);
    const int answer = open(VESK_NET_UDP_ANSWER);
    const int quiet = open(VESK_NET_UDP_QUIET);
    sockaddr_in a = loopback();
    const int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(a));
    ASSERT_EQ(vesk_net_attach(listener, ch_), 0);
    const int unattached = vesk_net_open(VESK_NET_UDP_ANSWER, as_sockaddr(a));
    const int tcp = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);  // opened, no channel

    std::vector<int> fds;
    for (int i = 0; i < 5; ++i) fds.push_back(plain_udp());
    // Multi: the same peer twice uses one entry; the fifth peer overflows a
    // table of four.
    EXPECT_EQ(add_peer(multi, fds[0]), 0);
    EXPECT_EQ(add_peer(multi, fds[0]), 0);
    EXPECT_EQ(add_peer(multi, fds[1]), 0);
    EXPECT_EQ(add_peer(multi, fds[2]), 0);
    EXPECT_EQ(add_peer(multi, fds[3]), 0);
    EXPECT_EQ(add_peer(multi, fds[4]), -2) << "the first one too many";
    EXPECT_EQ(remove_peer(multi, fds[4]), -2) << "unknown to a multi slot";
    EXPECT_EQ(remove_peer(multi, fds[1]), 0);
    EXPECT_EQ(add_peer(multi, fds[4]), 0) << "took the freed entry";

    // Single-peer slots keep their first peer.
    EXPECT_EQ(add_peer(answer, fds[0]), 0);
    EXPECT_EQ(add_peer(answer, fds[1]), 0);
    EXPECT_EQ(remove_peer(answer, fds[1]), -3) << "the second was not stored";
    EXPECT_EQ(remove_peer(answer, fds[0]), 0);
    EXPECT_EQ(remove_peer(quiet, fds[0]), -3);

    // Other slots.
    EXPECT_EQ(add_peer(listener, fds[0]), -1);
    EXPECT_EQ(remove_peer(listener, fds[0]), -3);
    EXPECT_EQ(add_peer(unattached, fds[0]), -1) << "no channel";
    EXPECT_EQ(vesk_net_add_peer(answer, nullptr), -1);
    EXPECT_EQ(vesk_net_remove_peer(answer, nullptr), -1);
    EXPECT_EQ(add_peer(0, fds[0]), -1);
    EXPECT_EQ(remove_peer(99, fds[0]), -1);
    EXPECT_EQ(add_peer(tcp, fds[0]), 0) << "TCP: nothing to do, whatever the state";
    EXPECT_EQ(vesk_net_add_peer(tcp, nullptr), 0);
    EXPECT_EQ(remove_peer(tcp, fds[0]), -1) << "removing needs a ready slot";
    EXPECT_EQ(add_peer(8, fds[0]), -1) << "a free slot";
    for (int fd : fds) close(fd);
}

}  // namespace
