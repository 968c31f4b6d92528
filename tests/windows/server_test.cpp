// The engine's server helpers on Windows Sockets: the system's reason for a
// failure in Windows numbers, no Nagle delay, and VESK_EV_SENT.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>

#include "vuvidur.h"

namespace {

// The next event of `channel` within about 3 s; its length, 0 when none.
int next_event(int channel, unsigned char *record) {
    for (int i = 0; i < 300; ++i) {
        const int n = vesk_net_channel_read(channel, record);
        if (n != 0) return n;
        Sleep(10);
    }
    return 0;
}

int32_t slot_in(const unsigned char *record, int at) {
    int32_t slot;
    std::memcpy(&slot, record + at, 4);
    return slot;
}

// A framed listener on a free loopback port, attached to `channel`; its
// address in `here`.
int open_loopback_listener(int channel, sockaddr_in &here) {
    here = sockaddr_in{};
    here.sin_family = AF_INET;
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int listener =
        vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, reinterpret_cast<sockaddr *>(&here));
    if (listener <= 0 || vesk_net_attach(listener, channel) != 0) return 0;
    int length = sizeof here;
    getsockname(vesk_net_get_socket(listener), reinterpret_cast<sockaddr *>(&here), &length);
    return listener;
}

}  // namespace

TEST(WindowsServer, LastErrorIsAWindowsNumberNoDelayIsSetAndSentIsPosted) {
    ASSERT_EQ(vesk_net_init(8, 1, 0, 1, 1 << 16, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    sockaddr_in away{};
    away.sin_family = AF_INET;
    away.sin_addr.s_addr = inet_addr("203.0.113.7");  // not an address of this host
    EXPECT_EQ(vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, reinterpret_cast<sockaddr *>(&away)), 0);
    EXPECT_EQ(vesk_net_last_error(), VESK_NET_ERR_ADDRESS_NOT_AVAIL);

    sockaddr_in here{};
    const int listener = open_loopback_listener(ch, here);
    ASSERT_GT(listener, 0);
    const int client = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
    ASSERT_GT(client, 0);
    ASSERT_EQ(vesk_net_attach(client, ch), 0);
    const int started = vesk_net_connect(client, reinterpret_cast<sockaddr *>(&here));
    ASSERT_GE(started, 0);

    unsigned char record[VESK_NET_MAX_RECORD];
    int accepted = 0;
    bool connected = started == VESK_NET_CONNECTED;
    while (accepted == 0 || !connected) {
        ASSERT_GT(next_event(ch, record), 0);
        if (record[0] == VESK_EV_ACCEPT) accepted = slot_in(record, 5);
        if (record[0] == VESK_EV_CONNECT) connected = slot_in(record, 5) == 0;
    }
    for (const int slot : {accepted, client}) {
        BOOL on = FALSE;
        int size = sizeof on;
        getsockopt(vesk_net_get_socket(slot), IPPROTO_TCP, TCP_NODELAY,
                   reinterpret_cast<char *>(&on), &size);
        EXPECT_TRUE(on) << "slot " << slot;
    }
    ASSERT_EQ(vesk_net_notify_sent(accepted), 0);
    const int n = next_event(ch, record);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(record[0], VESK_EV_SENT);
    EXPECT_EQ(slot_in(record, 1), accepted);
    EXPECT_EQ(vesk_net_notify_sent(listener), -1);
    vesk_net_shutdown();
}

// An accepted connection that sends nothing is closed by the listener's idle
// timeout, its reader learns why, and the counters say so.
TEST(WindowsServer, IdleTimeoutClosesASilentConnectionAndTheCountersSaySo) {
    ASSERT_EQ(vesk_net_init(8, 1, 0, 1, 1 << 16, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    sockaddr_in here{};
    const int listener = open_loopback_listener(ch, here);
    ASSERT_GT(listener, 0);
    ASSERT_EQ(vesk_net_set_idle_timeout(listener, 300), 0);
    const int client = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
    ASSERT_EQ(vesk_net_attach(client, ch), 0);
    ASSERT_GE(vesk_net_connect(client, reinterpret_cast<sockaddr *>(&here)), 0);
    unsigned char record[VESK_NET_MAX_RECORD];
    int accepted = 0;
    bool closed = false;
    while (!closed) {
        ASSERT_GT(next_event(ch, record), 0);
        if (record[0] == VESK_EV_ACCEPT) accepted = slot_in(record, 5);
        if (record[0] == VESK_EV_CLOSED && slot_in(record, 1) == accepted) {
            EXPECT_EQ(vesk_net_last_error(), VESK_NET_ERR_TIMED_OUT);
            closed = true;
        }
    }
    vesk_net_stats stats{};
    stats.size = sizeof stats;
    ASSERT_EQ(vesk_net_get_stats(&stats), 0);
    EXPECT_EQ(stats.slot_count, 8u);
    EXPECT_EQ(stats.accepted, 1u);
    EXPECT_EQ(stats.idle_closed, 1u);
    vesk_net_shutdown();
}
