/*
 * One side of the interoperation check between two socket engines in two
 * processes on loopback (built for Linux and for Windows from this one file):
 *
 *   vesk_interop_peer server PORT_FILE
 *       Listens for framed TCP and opens a UDP slot, both on 127.0.0.1, and
 *       writes "TCP_PORT UDP_PORT" to PORT_FILE once they are attached.
 *       Accepts one connection, echoes every frame back on it until the peer
 *       closes, and echoes every UDP datagram back to its sender.  The UDP
 *       slot answers at most one probe a second per source address.
 *   vesk_interop_peer client TCP_PORT UDP_PORT
 *       Connects, sends frames of many sizes (1 to 2048 bytes) and checks the
 *       echoes, probes the server's UDP slot twice and checks that one reply
 *       came, sends (on Linux, as root) a datagram from port 0, which the
 *       server must drop, then a UDP datagram and checks its echo, then
 *       closes the connection.
 *
 * Each side prints what it sees and exits 0 when everything arrived whole and
 * in order, 1 otherwise (including a 30-second deadline).
 */
#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vuvidur.h"

enum { kFrames = 40, kDeadlineMs = 30000, kRing = 1 << 18 };

static const char *g_role = "peer";

static void fail(const char *what) {
    printf("%s: FAIL: %s\n", g_role, what);
    fflush(stdout);
    exit(1);
}

static long now_ms(void) {
#if defined(_WIN32)
    return (long)GetTickCount();
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
#endif
}

static struct sockaddr_in loopback(unsigned short port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

static unsigned short port_of_slot(int slot) {
    struct sockaddr_in a;
#if defined(_WIN32)
    int len = sizeof a;
#else
    socklen_t len = sizeof a;
#endif
    if (getsockname(vesk_net_get_socket(slot), (struct sockaddr *)&a, &len) != 0)
        fail("getsockname");
    return ntohs(a.sin_port);
}

/* Frame i carries i * 51 + 1 bytes (1 to 1990), then the largest allowed
 * frame, each byte derived from the frame number and its position. */
static int frame_length(int i) { return i == kFrames - 1 ? VESK_NET_MAX_DATA : i * 51 + 1; }

static unsigned char frame_byte(int i, int k) { return (unsigned char)(i * 7 + k * 13 + (k >> 8)); }

static int frame_matches(int i, const unsigned char *data, int length) {
    if (length != frame_length(i)) return 0;
    for (int k = 0; k < length; ++k) {
        if (data[k] != frame_byte(i, k)) return 0;
    }
    return 1;
}

/* Waits for the next event of `channel` (record into buffer): its length. */
static int next_event(int channel, unsigned char *buffer, long deadline) {
    for (;;) {
        int n = vesk_net_channel_read(channel, buffer);
        if (n > 0) return n;
        if (n < 0) fail("channel read refused");
        if (now_ms() > deadline) fail("deadline passed while waiting for an event");
        vesk_usleep(1000);
    }
}

static int send_msg(int slot, uint32_t addr, uint16_t port, const unsigned char *data, int length) {
    static unsigned char buffer[sizeof(vesk_net_msg) + VESK_NET_MAX_DATA];
    vesk_net_msg *msg = (vesk_net_msg *)buffer;
    memset(buffer, 0, sizeof(vesk_net_msg));
    msg->slot = slot;
    msg->addr = addr;
    msg->port = port;
    msg->length = length;
    memcpy(buffer + sizeof(vesk_net_msg), data, (size_t)length);
    int rc;
    /* -2: an earlier frame is still pending; the I/O thread flushes it. */
    while ((rc = vesk_net_send(msg)) == -2) vesk_usleep(1000);
    return rc;
}

static int run_server(const char *port_file) {
    g_role = "server";
    long deadline = now_ms() + kDeadlineMs;
    unsigned char record[VESK_NET_MAX_RECORD];
    if (vesk_net_init(16, 2, 0, 1, kRing, 0, 0) != 0) fail("vesk_net_init");
    int channel = vesk_net_channel_open();
    struct sockaddr_in any = loopback(0);
    int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, (struct sockaddr *)&any);
    int udp = vesk_net_open(VESK_NET_UDP_ANSWER, (struct sockaddr *)&any);
    if (channel == 0 || listener == 0 || udp == 0) fail("opening the channel and slots");
    if (vesk_net_attach(listener, channel) != 0 || vesk_net_attach(udp, channel) != 0)
        fail("attach");
    if (vesk_net_set_probe_policy(udp, VESK_NET_PROBE_ANSWER_PACED) != 0) fail("probe policy");
    FILE *f = fopen(port_file, "w");
    if (f == NULL) fail("port file");
    fprintf(f, "%u %u\n", port_of_slot(listener), port_of_slot(udp));
    fclose(f);

    int connection = 0, frames = 0, datagrams = 0, closed = 0;
    while (!closed) {
        int n = next_event(channel, record, deadline);
        switch (record[0]) {
            case VESK_EV_ACCEPT: {
                vesk_ev_accept ev;
                memcpy(&ev, record, sizeof ev);
                if (n != 15 || ev.listener != listener || connection != 0) fail("accept event");
                if (ev.addr != htonl(INADDR_LOOPBACK)) fail("accepted peer address");
                connection = ev.slot;
                printf("server: accepted slot %d from port %u\n", connection, ntohs(ev.port));
                break;
            }
            case VESK_EV_TCP_DATA: {
                vesk_net_msg msg;
                memcpy(&msg, record, sizeof msg);
                const unsigned char *data = record + sizeof msg;
                if (msg.slot != connection || n != (int)sizeof msg + msg.length) fail("data event");
                if (!frame_matches(frames, data, msg.length))
                    fail("frame arrived changed or out of order");
                ++frames;
                if (send_msg(connection, 0, 0, data, msg.length) != 0) fail("echo send");
                break;
            }
            case VESK_EV_UDP_DATA: {
                vesk_net_msg msg;
                memcpy(&msg, record, sizeof msg);
                if (msg.slot != udp || msg.addr != htonl(INADDR_LOOPBACK)) fail("UDP data event");
                ++datagrams;
                if (send_msg(udp, msg.addr, msg.port, record + sizeof msg, msg.length) !=
                    msg.length + 3) {
                    fail("UDP echo");
                }
                break;
            }
            case VESK_EV_CLOSED: {
                vesk_ev_closed ev;
                memcpy(&ev, record, sizeof ev);
                if (ev.slot != connection) fail("closed event for another slot");
                closed = 1;
                break;
            }
            default:
                printf("server: unexpected event kind %d\n", record[0]);
                fail("unexpected event");
        }
    }
    vesk_net_stats stats;
    stats.size = sizeof stats;
    if (vesk_net_get_stats(&stats) != 0) fail("stats");
    printf(
        "server: %d frames echoed, %d datagram(s) echoed, peer closed; %u probe(s) answered, "
        "%u datagram(s) dropped\n",
        frames, datagrams, (unsigned)stats.probes_answered, (unsigned)stats.datagrams_dropped);
    if (frames != kFrames || datagrams != 1) fail("counts");
    /* The second probe; and the datagram from port 0 when the client could send one. */
    if (stats.probes_answered != 1 || stats.datagrams_dropped < 1) fail("probe policy counts");
    vesk_net_close(connection);
    vesk_net_close(listener);
    vesk_net_close(udp);
    vesk_net_shutdown();
    printf("server: passed\n");
    return 0;
}

static int run_client(unsigned short tcp_port, unsigned short udp_port) {
    g_role = "client";
    long deadline = now_ms() + kDeadlineMs;
    unsigned char record[VESK_NET_MAX_RECORD];
    unsigned char payload[VESK_NET_MAX_DATA];
    if (vesk_net_init(16, 2, 0, 1, kRing, 0, 0) != 0) fail("vesk_net_init");
    int channel = vesk_net_channel_open();
    struct sockaddr_in any = loopback(0);
    int slot = vesk_net_open(VESK_NET_TCP_CONNECT, (struct sockaddr *)&any);
    int udp = vesk_net_open(VESK_NET_UDP_ANSWER, (struct sockaddr *)&any);
    if (channel == 0 || slot == 0 || udp == 0) fail("opening the channel and slots");
    if (vesk_net_attach(slot, channel) != 0 || vesk_net_attach(udp, channel) != 0) fail("attach");

    struct sockaddr_in server = loopback(tcp_port);
    int rc = vesk_net_connect(slot, (struct sockaddr *)&server);
    if (rc < 0) fail("connect refused");
    if (rc == 0) {
        int n = next_event(channel, record, deadline);
        vesk_ev_connect ev;
        memcpy(&ev, record, sizeof ev);
        if (n != 9 || ev.kind != VESK_EV_CONNECT || ev.slot != slot || ev.result != 0)
            fail("connect event");
    }
    printf("client: connected on slot %d\n", slot);

    for (int i = 0; i < kFrames; ++i) {
        for (int k = 0; k < frame_length(i); ++k) payload[k] = frame_byte(i, k);
        if (send_msg(slot, 0, 0, payload, frame_length(i)) != 0) fail("send");
    }
    for (int echoed = 0; echoed < kFrames;) {
        int n = next_event(channel, record, deadline);
        vesk_net_msg msg;
        memcpy(&msg, record, sizeof msg);
        if (msg.kind != VESK_EV_TCP_DATA || msg.slot != slot || n != (int)sizeof msg + msg.length) {
            fail("echo event");
        }
        if (!frame_matches(echoed, record + sizeof msg, msg.length))
            fail("echo changed or out of order");
        ++echoed;
    }
    printf("client: %d frames echoed whole and in order\n", kFrames);

    struct sockaddr_in server_udp = loopback(udp_port);
    if (vesk_net_probe(udp, (struct sockaddr *)&server_udp) != 0) fail("probe");
    int n = next_event(channel, record, deadline);
    vesk_ev_probe_reply reply;
    memcpy(&reply, record, sizeof reply);
    if (n != 14 || reply.kind != VESK_EV_PROBE_REPLY || reply.slot != udp)
        fail("probe reply event");
    if (reply.mark != VESK_FRAME_MARK || reply.value != VESK_CTL_PROBE_REPLY)
        fail("probe reply frame");
    if (reply.addr != htonl(INADDR_LOOPBACK) || ntohs(reply.port) != port_of_slot(udp)) {
        fail("probe reply names another address than this slot's");
    }
    printf("client: probe answered, seen as port %u\n", ntohs(reply.port));
    /* A second probe within the second: the server's paced policy leaves it
       unanswered, which the echo below shows (the server handles the
       datagrams of one socket in order). */
    if (vesk_net_probe(udp, (struct sockaddr *)&server_udp) != 0) fail("second probe");
#if !defined(_WIN32)
    {
        /* A datagram from port 0, built on a raw socket: the server drops it. */
        unsigned char raw[8 + 4] = {0, 0, 0, 0, 0, 12, 0, 0, 0xFE, 1, 0, 'z'};
        int fd = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
        memcpy(raw + 2, &server_udp.sin_port, 2);
        if (fd >= 0 && sendto(fd, raw, sizeof raw, 0, (struct sockaddr *)&server_udp,
                              sizeof server_udp) == (int)sizeof raw) {
            printf("client: sent a datagram from port 0\n");
        } else {
            printf("client: no raw socket here; no datagram from port 0\n");
        }
        if (fd >= 0) close(fd);
    }
#endif

    static const unsigned char hello[] = "datagram across engines";
    if (send_msg(udp, server_udp.sin_addr.s_addr, server_udp.sin_port, hello, sizeof hello) !=
        (int)sizeof hello + 3) {
        fail("UDP send");
    }
    n = next_event(channel, record, deadline);
    vesk_net_msg msg;
    memcpy(&msg, record, sizeof msg);
    if (msg.kind == VESK_EV_PROBE_REPLY) fail("the second probe was answered");
    if (msg.kind != VESK_EV_UDP_DATA || msg.slot != udp || msg.length != (int)sizeof hello ||
        memcmp(record + sizeof msg, hello, sizeof hello) != 0 || msg.port != server_udp.sin_port) {
        fail("UDP echo");
    }
    printf("client: datagram echoed\n");

    vesk_net_close(slot);
    vesk_net_close(udp);
    vesk_usleep(50000); /* let the I/O thread close the socket before the engine ends */
    vesk_net_shutdown();
    printf("client: passed\n");
    return 0;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[1], "server") == 0) return run_server(argv[2]);
    if (argc == 4 && strcmp(argv[1], "client") == 0) {
        return run_client((unsigned short)atoi(argv[2]), (unsigned short)atoi(argv[3]));
    }
    fprintf(stderr, "usage: %s server PORT_FILE | client TCP_PORT UDP_PORT\n", argv[0]);
    return 2;
}
