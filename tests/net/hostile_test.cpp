// Peers that do not speak the protocol: strict framing, and the counters
// that let a server see what its peers did.
// test-platform: POSIX (the peers use POSIX sockets).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "net_test_util.h"

using namespace nettest;

namespace {

vesk_net_stats stats_now() {
    vesk_net_stats s{};
    s.size = sizeof s;
    EXPECT_EQ(vesk_net_get_stats(&s), 0);
    return s;
}

// The next event of `kind` on the channel, skipping others.
Event event_of(int channel, int kind) {
    Event ev;
    while (next_event(channel, ev) && ev.kind() != kind) {
    }
    EXPECT_EQ(ev.kind(), kind);
    return ev;
}

}  // namespace

TEST(Hostile, StatsRecordOnlyWhatFitsTheCallersSizeAndNeedASetUpEngine) {
    vesk_net_stats s{};
    s.size = sizeof s;
    EXPECT_EQ(vesk_net_get_stats(&s), -1) << "no engine";
    EXPECT_EQ(vesk_net_get_stats(nullptr), -1);
    ASSERT_EQ(vesk_net_init(16, 1, 0, 1, 65536, 0, 0), 0);
    s.size = 7;
    EXPECT_EQ(vesk_net_get_stats(&s), -1) << "below 8";
    // A record that ends inside a 64-bit field gets only the whole fields before it.
    unsigned char raw[sizeof(vesk_net_stats)];
    std::memset(raw, 0xAB, sizeof raw);
    const uint32_t size = offsetof(vesk_net_stats, accepted) + 4;
    std::memcpy(raw, &size, 4);
    ASSERT_EQ(vesk_net_get_stats(reinterpret_cast<vesk_net_stats *>(raw)), 0);
    uint32_t slots = 0;
    std::memcpy(&slots, raw + offsetof(vesk_net_stats, slot_count), 4);
    EXPECT_EQ(slots, 16u);
    for (size_t i = offsetof(vesk_net_stats, accepted); i < sizeof raw; ++i)
        ASSERT_EQ(raw[i], 0xAB);
    vesk_net_shutdown();
}

// One listener with strict framing: a client sending garbage is failed (its
// reader learns why), a well-formed client on the same listener gets every
// frame echoed, and the counters tell what each did.  Without strict framing
// the garbage is only counted as discarded.
TEST(Hostile, StrictFramingFailsGarbageClientsAndTheCountersTellWhatPeersDid) {
    for (const bool strict : {true, false}) {
        ASSERT_EQ(vesk_net_init(16, 1, 0, 1, 1 << 20, 0, 0), 0);
        const int channel = vesk_net_channel_open();
        sockaddr_in any = loopback();
        const int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
        ASSERT_EQ(vesk_net_attach(listener, channel), 0);
        EXPECT_EQ(vesk_net_set_strict_framing(listener, 2), -1);
        EXPECT_EQ(vesk_net_set_strict_framing(99, 1), -1);
        EXPECT_EQ(vesk_net_set_strict_framing(listener, strict ? 1 : 0), 0);
        const uint16_t port = slot_address(listener).sin_port;

        const int good = plain_connect(port);
        const int good_slot = event_of(channel, VESK_EV_ACCEPT).bytes[5];
        const int bad = plain_connect(port);
        const int bad_slot = event_of(channel, VESK_EV_ACCEPT).bytes[5];
        // A keepalive (length 0) is valid even when strict; then garbage.
        ASSERT_TRUE(send_all(bad, Bytes{0xFE, 0x00, 0x00, 'G', 'E', 'T', ' ', '/'}));
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(send_all(good, wire_frame(pattern(100, i))));
        int frames = 0;
        bool bad_failed = false;
        Event ev;
        while ((frames < 10 || (strict && !bad_failed)) && next_event(channel, ev)) {
            if (ev.kind() == VESK_EV_TCP_DATA) {
                EXPECT_EQ(ev.bytes[1], good_slot);
                Message echo(good_slot, Bytes(ev.bytes + 18, ev.bytes + ev.length));
                EXPECT_EQ(echo.send(), 0);
                ++frames;
            } else if (ev.kind() == VESK_EV_FAILED) {
                EXPECT_EQ(ev.bytes[1], bad_slot);
                EXPECT_EQ(vesk_net_last_error(), VESK_NET_ERR_PROTOCOL);
                bad_failed = true;
            }
        }
        EXPECT_EQ(frames, 10);
        EXPECT_EQ(bad_failed, strict);
        EXPECT_EQ(recv_exact(good, 10 * 103).size(), 10u * 103);

        // Every byte both peers sent has been received (the garbage may come last).
        vesk_net_stats s = stats_now();
        for (int i = 0; i < 3000 && s.bytes_in < 10u * 103 + 8; ++i) {
            usleep(1000);
            s = stats_now();
        }
        EXPECT_EQ(s.slot_count, 16u);
        EXPECT_EQ(s.slots_in_use, 3u);
        EXPECT_EQ(s.slots_peak, 3u);
        EXPECT_EQ(s.accepted, 2u);
        EXPECT_EQ(s.protocol_failed, strict ? 1u : 0u);
        EXPECT_EQ(s.bytes_discarded, strict ? 0u : 5u);
        EXPECT_EQ(s.frames_in, 10u);
        EXPECT_EQ(s.frames_out, 10u);
        EXPECT_EQ(s.bytes_in, 10u * 103 + 8);
        EXPECT_EQ(s.bytes_out, 10u * 103);
        ASSERT_EQ(vesk_net_close(bad_slot), 0);
        while (vesk_net_get_socket(bad_slot) != VESK_INVALID_SOCKET) usleep(50);
        EXPECT_EQ(stats_now().slots_in_use, 2u);
        close(good);
        close(bad);
        vesk_net_shutdown();
    }
}
