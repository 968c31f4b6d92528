// The socket engine on Windows: slot areas that come with use (large tables,
// set-up beyond the address space), and the I/O thread on its completion
// port (connect outcomes, bursts of accepts, closes and resets while the
// socket is watched, sends left pending, tear-down with requests outstanding).
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "../net/records.h"
#include "vuvidur.h"

using nettest::unpack_accept;
using nettest::unpack_connect;

namespace {

using Bytes = std::vector<uint8_t>;

sockaddr_in loopback(u_short port_net = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = port_net;
    return a;
}

const sockaddr *as_sockaddr(const sockaddr_in &a) { return reinterpret_cast<const sockaddr *>(&a); }

u_short slot_port(int slot) {
    sockaddr_in a{};
    int len = sizeof a;
    getsockname(vesk_net_get_socket(slot), reinterpret_cast<sockaddr *>(&a), &len);
    return a.sin_port;
}

// The next event of the channel (its kind, bytes in `ev`), or 0 after 5 s.
int next_event(int channel, Bytes &ev) {
    ev.assign(4096, 0);
    for (int i = 0; i < 50; ++i) {
        const int n = vesk_net_channel_read(channel, ev.data());
        if (n > 0) {
            ev.resize(static_cast<size_t>(n));
            return ev[0];
        }
        vesk_net_channel_wait(channel, 100);
    }
    return 0;
}

int send_frame(int slot, const Bytes &payload) {
    Bytes rec(18 + payload.size() + 1);
    vesk_net_msg head{};
    head.slot = slot;
    head.length = static_cast<int32_t>(payload.size());
    std::memcpy(rec.data(), &head, sizeof head);
    std::memcpy(&rec[18], payload.data(), payload.size());
    return vesk_net_send(reinterpret_cast<vesk_net_msg *>(rec.data()));
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

SOCKET plain_connect(u_short port_net) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port_net);
    if (connect(s, as_sockaddr(a), sizeof a) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool recv_exact(SOCKET s, Bytes &out, size_t n) {
    out.assign(n, 0);
    DWORD limit = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit);
    for (size_t got = 0; got < n;) {
        const int r = recv(s, reinterpret_cast<char *>(&out[got]), static_cast<int>(n - got), 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// A listener on its own channel, and `count` plain clients accepted into it.
struct Server {
    int channel = 0;
    int listener = 0;
    std::vector<SOCKET> clients;
    std::vector<int> slots;
    void open(int count) {
        channel = vesk_net_channel_open();
        sockaddr_in any = loopback();
        listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, as_sockaddr(any));
        ASSERT_GT(listener, 0);
        ASSERT_EQ(vesk_net_attach(listener, channel), 0);
        for (int i = 0; i < count; ++i) clients.push_back(plain_connect(slot_port(listener)));
        Bytes ev;
        while (static_cast<int>(slots.size()) < count &&
               next_event(channel, ev) == VESK_EV_ACCEPT) {
            slots.push_back(unpack_accept(ev.data()).slot);
        }
        ASSERT_EQ(static_cast<int>(slots.size()), count);
    }
    ~Server() {
        for (SOCKET c : clients) closesocket(c);
    }
};

}  // namespace

TEST(WindowsEngineMemory, TenThousandSlotsSetUpAndSetUpBeyondTheAddressSpaceIsRefused) {
    ASSERT_EQ(vesk_net_init(10000, 16, 0, 1, 65536, 0, 0), 0) << "records only, no areas";
    {
        Server server;
        server.open(20);
        ASSERT_EQ(send_frame(server.slots[19], pattern(100, 3)), 0);
        Bytes got;
        ASSERT_TRUE(recv_exact(server.clients[19], got, 103));
    }
    vesk_net_shutdown();
    // 30 million slot records, and 8,000 rings of 1 MiB: neither fits a
    // 32-bit address space.  Refused, nothing left set up, the process goes on.
    EXPECT_EQ(vesk_net_init(30000000, 1, 0, 1, 8192, 0, 0), -1);
    EXPECT_EQ(vesk_net_init(4, 8000, 0, 1, 1 << 20, 0, 0), -1);
    EXPECT_EQ(vesk_net_channel_open(), 0);
    ASSERT_EQ(vesk_net_init(4, 2, 0, 1, 1 << 20, 0, 0), 0) << "memory given back";
    vesk_net_shutdown();
}

TEST(WindowsEnginePort, ConnectOutcomesArriveForRefusedAndAcceptedConnects) {
    ASSERT_EQ(vesk_net_init(8, 2, 0, 1, 65536, 0, 0), 0);
    const int ch = vesk_net_channel_open();
    SOCKET spare = socket(AF_INET, SOCK_STREAM, 0);  // bound, never listening
    sockaddr_in any = loopback();
    bind(spare, as_sockaddr(any), sizeof any);
    int len = sizeof any;
    getsockname(spare, reinterpret_cast<sockaddr *>(&any), &len);
    const int refused = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
    ASSERT_EQ(vesk_net_attach(refused, ch), 0);
    const int rc = vesk_net_connect(refused, as_sockaddr(any));
    Bytes ev;
    if (rc == VESK_NET_IN_PROGRESS) {
        ASSERT_EQ(next_event(ch, ev), VESK_EV_CONNECT);
        EXPECT_EQ(unpack_connect(ev.data()).slot, refused);
        EXPECT_EQ(unpack_connect(ev.data()).result, -1);
    } else {
        EXPECT_EQ(rc, VESK_NET_CONNECT_FAILED);
    }
    Server server;
    server.open(0);
    const int good = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
    ASSERT_EQ(vesk_net_attach(good, ch), 0);
    const sockaddr_in to = loopback(slot_port(server.listener));
    if (vesk_net_connect(good, as_sockaddr(to)) == VESK_NET_IN_PROGRESS) {
        ASSERT_EQ(next_event(ch, ev), VESK_EV_CONNECT);
        EXPECT_EQ(unpack_connect(ev.data()).result, 0);
    }
    ASSERT_EQ(send_frame(good, pattern(10, 1)), 0);
    EXPECT_EQ(next_event(server.channel, ev), VESK_EV_ACCEPT);
    EXPECT_EQ(next_event(server.channel, ev), VESK_EV_TCP_DATA);
    closesocket(spare);
    vesk_net_shutdown();
}

// 300 connections arrive at once, each sends a frame: every one is accepted
// and every frame delivered, whatever the listen queue's length.
TEST(WindowsEnginePort, BurstOfConnectionsIsAcceptedAndEveryFrameDelivered) {
    ASSERT_EQ(vesk_net_init(400, 2, 0, 1, 1 << 20, 0, 0), 0);
    {
        Server server;
        server.open(300);
        for (size_t i = 0; i < server.clients.size(); ++i) {
            Bytes frame = {0xFE, 4, 0, 1, 2, 3, static_cast<uint8_t>(i)};
            send(server.clients[i], reinterpret_cast<const char *>(frame.data()), 7, 0);
        }
        std::vector<int> seen(401, 0);
        Bytes ev;
        for (int i = 0; i < 300 && next_event(server.channel, ev) == VESK_EV_TCP_DATA; ++i) {
            ++seen[static_cast<size_t>(nettest::unpack_msg(ev.data()).slot)];
        }
        for (int slot : server.slots) EXPECT_EQ(seen[static_cast<size_t>(slot)], 1) << slot;
    }
    vesk_net_shutdown();
}

// More connections than free slots: the listener rests with the rest waiting
// (in the system's listen queue or among those accepted ahead for it), and
// each comes, in the order the clients connected, as slots are freed; none
// is lost and every one works.
TEST(WindowsEnginePort, ConnectionsWaitingForAFreeSlotComeInOrderAsSlotsAreFreed) {
    ASSERT_EQ(vesk_net_init(4, 2, 0, 1, 65536, 0, 0), 0);  // a listener and 3 connections
    {
        Server server;
        server.open(0);
        for (int i = 0; i < 10; ++i) {
            server.clients.push_back(plain_connect(slot_port(server.listener)));
        }
        // Each accepted client sends a frame; the slot is closed once it came.
        size_t accepted = 0;
        size_t delivered = 0;
        Bytes ev;
        while (delivered < server.clients.size()) {
            const int kind = next_event(server.channel, ev);
            ASSERT_NE(kind, 0) << accepted << " accepted, " << delivered << " delivered";
            if (kind == VESK_EV_ACCEPT) {
                ASSERT_LT(accepted, server.clients.size());
                sockaddr_in a{};
                int len = sizeof a;
                getsockname(server.clients[accepted], reinterpret_cast<sockaddr *>(&a), &len);
                ASSERT_EQ(unpack_accept(ev.data()).port, a.sin_port) << "connection " << accepted;
                const Bytes frame = {0xFE, 1, 0, static_cast<uint8_t>(accepted)};
                send(server.clients[accepted], reinterpret_cast<const char *>(frame.data()), 4, 0);
                ++accepted;
            } else {
                ASSERT_EQ(kind, VESK_EV_TCP_DATA);
                ++delivered;
                ASSERT_EQ(vesk_net_close(nettest::unpack_msg(ev.data()).slot), 0);
            }
        }
    }
    vesk_net_shutdown();
}

// Closing a watched slot cancels its request: the number comes back free and
// is handed out again, and a reset connection is reported as ended.
TEST(WindowsEnginePort, ClosesAndResetsOfWatchedSocketsAreSeenAndTheirSlotsReused) {
    ASSERT_EQ(vesk_net_init(16, 2, 0, 1, 65536, 0, 0), 0);
    {
        Server server;
        server.open(2);
        for (int round = 0; round < 30; ++round) {
            const int slot = server.slots[0];
            ASSERT_EQ(vesk_net_close(slot), 0);
            for (int i = 0; i < 500 && vesk_net_get_socket(slot) != VESK_INVALID_SOCKET; ++i) {
                Sleep(1);
            }
            ASSERT_EQ(vesk_net_get_socket(slot), VESK_INVALID_SOCKET) << "reaped, round " << round;
            closesocket(server.clients[0]);
            server.clients[0] = plain_connect(slot_port(server.listener));
            Bytes ev;
            ASSERT_EQ(next_event(server.channel, ev), VESK_EV_ACCEPT);
            ASSERT_EQ(unpack_accept(ev.data()).slot, slot) << "the lowest free number again";
        }
        linger hard{1, 0};
        setsockopt(server.clients[1], SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&hard),
                   sizeof hard);
        closesocket(server.clients[1]);
        server.clients[1] = INVALID_SOCKET;
        Bytes ev;
        const int kind = next_event(server.channel, ev);
        EXPECT_TRUE(kind == VESK_EV_FAILED || kind == VESK_EV_CLOSED) << kind;
    }
    vesk_net_shutdown();
}

// Bytes a send leaves pending make the watched slot want writability as well:
// its request is replaced, and everything reaches a reader that starts late.
TEST(WindowsEnginePort, PendingBytesOfAWatchedSlotAreFlushedWhenTheReaderCatchesUp) {
    ASSERT_EQ(vesk_net_init(8, 2, 0, 1, 65536, 0, 0), 0);
    {
        Server server;
        server.open(1);
        const int slot = server.slots[0];
        constexpr int kFrames = 300;
        const int small = 8192;  // buffers that 600 KB cannot pass through at once
        setsockopt(vesk_net_get_socket(slot), SOL_SOCKET, SO_SNDBUF,
                   reinterpret_cast<const char *>(&small), sizeof small);
        setsockopt(server.clients[0], SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&small),
                   sizeof small);
        bool intact = false;
        std::thread reader([&] {
            Sleep(200);  // the socket's buffers fill up meanwhile
            Bytes got;
            for (int i = 0; i < kFrames; ++i) {
                if (!recv_exact(server.clients[0], got, 2003) ||
                    Bytes(got.begin() + 3, got.end()) != pattern(2000, static_cast<uint8_t>(i))) {
                    return;
                }
            }
            intact = true;
        });
        int refused = 0;
        for (int i = 0; i < kFrames && refused < 100000;) {
            const int rc = send_frame(slot, pattern(2000, static_cast<uint8_t>(i)));
            if (rc == 0) {
                ++i;
            } else {
                ASSERT_EQ(rc, -2);  // still pending: tried again
                ++refused;
                Sleep(1);
            }
        }
        reader.join();
        EXPECT_GT(refused, 0) << "bytes were left pending at least once";
        std::printf("sends refused while bytes were pending: %d\n", refused);
        EXPECT_TRUE(intact) << "every frame arrived whole and in order";
    }
    vesk_net_shutdown();
}

// Tear-down while connects, receives and accepts are outstanding, repeatedly.
TEST(WindowsEnginePort, TearDownWithRequestsOutstandingEndsCleanlyAndSetUpWorksAgain) {
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(vesk_net_init(64, 4, 0, 1, 65536, 0, 0), 0);
        Server server;
        server.open(20);
        const int ch = vesk_net_channel_open();
        for (int i = 0; i < 5; ++i) {
            const int slot = vesk_net_open(VESK_NET_TCP_CONNECT, nullptr);
            vesk_net_attach(slot, ch);
            const sockaddr_in to = loopback(slot_port(server.listener));
            vesk_net_connect(slot, as_sockaddr(to));
        }
        send_frame(server.slots[0], pattern(10, 0));
        vesk_net_shutdown();
        EXPECT_EQ(vesk_net_channel_open(), 0);
    }
}

// A connection's bytes come with its receive's completion and wait in the
// poller until the engine takes them.  A server whose channel is full stops
// taking: what was received waits, the rest stays in the socket, and a reader
// that catches up gets every frame in order.  Streams (raw slots) take less
// per read than a receive brings, so the rest is reported again.
TEST(WindowsEnginePort, ReceivedBytesWaitForASlowReaderAndArriveWholeAndInOrder) {
    ASSERT_EQ(vesk_net_init(8, 2, 0, 1, 8192, 0, 0), 0);  // a ring of a few frames
    for (const int type : {VESK_NET_TCP_LISTEN_FRAMED, VESK_NET_TCP_LISTEN_STREAM}) {
        const int channel = vesk_net_channel_open();
        sockaddr_in any = loopback();
        const int listener = vesk_net_open(type, as_sockaddr(any));
        ASSERT_EQ(vesk_net_attach(listener, channel), 0);
        SOCKET client = plain_connect(slot_port(listener));
        Bytes ev;
        ASSERT_EQ(next_event(channel, ev), VESK_EV_ACCEPT);
        constexpr int kFrames = 400;
        constexpr size_t kPayload = 1000;
        Bytes wire;
        for (int i = 0; i < kFrames; ++i) {
            const Bytes p = pattern(kPayload, static_cast<uint8_t>(i));
            wire.push_back(0xFE);
            wire.push_back(kPayload & 0xFF);
            wire.push_back(kPayload >> 8);
            wire.insert(wire.end(), p.begin(), p.end());
        }
        std::thread writer([&] {
            for (size_t at = 0; at < wire.size();) {
                const int n = send(client, reinterpret_cast<const char *>(&wire[at]),
                                   static_cast<int>(wire.size() - at), 0);
                if (n <= 0) return;
                at += static_cast<size_t>(n);
            }
            shutdown(client, SD_SEND);
        });
        Sleep(300);  // the ring fills, the server stops reading
        Bytes got;
        int kind = 0;
        while ((kind = next_event(channel, ev)) == VESK_EV_TCP_DATA) {
            got.insert(got.end(), ev.begin() + 18, ev.end());
        }
        writer.join();
        EXPECT_EQ(kind, VESK_EV_CLOSED) << "the end comes after the last bytes";
        const Bytes sent = type == VESK_NET_TCP_LISTEN_FRAMED ? [&] {
            Bytes payloads;
            for (int i = 0; i < kFrames; ++i) {
                const Bytes p = pattern(kPayload, static_cast<uint8_t>(i));
                payloads.insert(payloads.end(), p.begin(), p.end());
            }
            return payloads;
        }()
                                                              : wire;
        EXPECT_TRUE(got == sent) << "type " << type << ": " << got.size() << " of " << sent.size()
                                 << " bytes, in order";
        closesocket(client);
        vesk_net_close(listener);
        vesk_net_channel_close(channel);
    }
    vesk_net_shutdown();
}
