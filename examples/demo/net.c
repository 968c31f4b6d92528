/* The socket engine: a server engine and a client engine, each in its own
 * process, on loopback.  The client connects, both sides exchange framed
 * messages, the client closes and the server reaps the slot; then each side
 * probes the other over UDP and learns the address under which it is seen.
 * Every event is printed as it arrives; the server's lines come through a
 * pipe so that the two processes' output stays in order. */
#define _DEFAULT_SOURCE
#include <stdio.h>

#include "demo.h"

#if defined(_WIN32)

int demo_net(void) {
    puts("(this part of the demonstration runs on POSIX systems)");
    return 0;
}

#else

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vuvidur.h"

enum { WAIT_MS = 3000 };

static struct sockaddr_in loopback(unsigned short port_net) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = port_net;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

static unsigned short slot_port(int slot) {
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    memset(&a, 0, sizeof a);
    getsockname(vesk_net_get_socket(slot), (struct sockaddr *)&a, &len);
    return a.sin_port;
}

/* The next event of a channel, waiting up to WAIT_MS: its length, or 0. */
static int next_event(int channel, unsigned char *record) {
    int waited;
    for (waited = 0; waited < WAIT_MS * 10; ++waited) {
        int n = vesk_net_channel_read(channel, record);
        if (n != 0) return n > 0 ? n : 0;
        usleep(100);
    }
    return 0;
}

static int32_t int_at(const unsigned char *p) {
    int32_t v;
    memcpy(&v, p, 4);
    return v;
}

static const char *address_text(uint32_t addr, uint16_t port, char *out, size_t size) {
    struct in_addr in;
    in.s_addr = addr;
    snprintf(out, size, "%s:%u", inet_ntoa(in), ntohs(port));
    return out;
}

/* Describes one event record in words. */
static void describe(const unsigned char *rec, int length, char *out, size_t size) {
    char where[32];
    switch (rec[0]) {
        case VESK_EV_TCP_DATA:
        case VESK_EV_UDP_DATA: {
            vesk_net_msg m;
            memcpy(&m, rec, sizeof m);
            snprintf(out, size, "%s slot=%d from %s length=%d \"%.*s\"",
                     rec[0] == VESK_EV_TCP_DATA ? "TCP_DATA" : "UDP_DATA", (int)m.slot,
                     address_text(m.addr, m.port, where, sizeof where), (int)m.length, length - 18,
                     (const char *)rec + 18);
            break;
        }
        case VESK_EV_CONNECT:
            snprintf(out, size, "CONNECT slot=%d result=%d", (int)int_at(rec + 1),
                     (int)int_at(rec + 5));
            break;
        case VESK_EV_ACCEPT: {
            vesk_ev_accept a;
            memcpy(&a, rec, sizeof a);
            snprintf(out, size, "ACCEPT listener=%d new slot=%d peer %s", (int)a.listener,
                     (int)a.slot, address_text(a.addr, a.port, where, sizeof where));
            break;
        }
        case VESK_EV_PROBE_REPLY: {
            vesk_ev_probe_reply r;
            memcpy(&r, rec, sizeof r);
            snprintf(out, size, "PROBE_REPLY slot=%d: the other side sees this slot as %s",
                     (int)r.slot, address_text(r.addr, r.port, where, sizeof where));
            break;
        }
        case VESK_EV_CLOSED:
        case VESK_EV_FAILED:
            snprintf(out, size, "%s slot=%d", rec[0] == VESK_EV_CLOSED ? "CLOSED" : "FAILED",
                     (int)int_at(rec + 1));
            break;
        default:
            snprintf(out, size, "kind %d, %d bytes", rec[0], length);
    }
}

/* ---- the server process ---------------------------------------------------- */

static int report_fd = -1;

static void report(const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0) return;
    if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
    line[n++] = '\n';
    if (write(report_fd, line, (size_t)n) < 0) return;
}

static int send_text(int slot, const char *text, uint32_t addr, uint16_t port) {
    unsigned char buffer[18 + 256];
    vesk_net_msg head;
    int length = (int)strlen(text);
    memset(&head, 0, sizeof head);
    head.slot = slot;
    head.addr = addr;
    head.port = port;
    head.length = length;
    memcpy(buffer, &head, sizeof head);
    memcpy(buffer + 18, text, (size_t)length);
    return vesk_net_send((vesk_net_msg *)buffer);
}

static int serve(int control) {
    unsigned char rec[VESK_NET_MAX_RECORD];
    char text[600];
    if (vesk_net_init(8, 1, 0, 1, 65536, 0, 0) != 0) return 1;
    int ch = vesk_net_channel_open();
    struct sockaddr_in any = loopback(0);
    int listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, (struct sockaddr *)&any);
    vesk_net_attach(listener, ch);
    unsigned short port = slot_port(listener);
    report("@PORT %u", ntohs(port));
    report("engine up; channel %d; listening slot %d (framed) on 127.0.0.1:%u", ch, listener,
           ntohs(port));
    for (;;) {
        int n = next_event(ch, rec);
        if (n <= 0) return 2;
        describe(rec, n, text, sizeof text);
        report("event %s", text);
        if (rec[0] == VESK_EV_TCP_DATA) {
            vesk_net_msg m;
            memcpy(&m, rec, sizeof m);
            int rc = send_text(m.slot, "hello, client", 0, 0);
            report("sent \"hello, client\" on slot %d: %d", (int)m.slot, rc);
        } else if (rec[0] == VESK_EV_CLOSED) {
            int slot = int_at(rec + 1);
            report("vesk_net_close(%d) = %d", slot, vesk_net_close(slot));
            for (n = 0; n < 1000 && vesk_net_get_socket(slot) != VESK_INVALID_SOCKET; ++n) {
                usleep(1000);
            }
            report("slot %d reaped by the I/O thread: %s", slot,
                   vesk_net_get_socket(slot) == VESK_INVALID_SOCKET ? "yes" : "no");
            break;
        }
    }
    /* UDP: a slot of type 4; tell the client its port, learn the client's. */
    int udp = vesk_net_open(VESK_NET_UDP_ANSWER, (struct sockaddr *)&any);
    vesk_net_attach(udp, ch);
    report("UDP slot %d bound to 127.0.0.1:%u", udp, ntohs(slot_port(udp)));
    report("@UDPPORT %u", ntohs(slot_port(udp)));
    unsigned client_port = 0;
    char line[64];
    int got = (int)read(control, line, sizeof line - 1);
    if (got <= 0) return 3;
    line[got] = '\0';
    sscanf(line, "%u", &client_port);
    struct sockaddr_in client = loopback(htons((unsigned short)client_port));
    report("vesk_net_probe(%d, client) = %d", udp, vesk_net_probe(udp, (struct sockaddr *)&client));
    int n = next_event(ch, rec);
    if (n <= 0) return 4;
    describe(rec, n, text, sizeof text);
    report("event %s", text);
    vesk_net_shutdown();
    report("engine shut down");
    report("@END");
    return 0;
}

/* ---- the client process (this one) ------------------------------------------ */

/* Prints the server's lines up to and including the first one that starts
 * with `until`, kept in `last`.  Lines starting with '@' carry values for
 * this process and are not printed. */
static int follow_server(FILE *from, const char *until, char *last, size_t size) {
    char line[600];
    while (fgets(line, sizeof line, from) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] != '@') printf("  server | %s\n", line);
        if (strncmp(line, until, strlen(until)) == 0) {
            if (last != NULL && size > 0) {
                size_t n = strlen(line) < size ? strlen(line) : size - 1;
                memcpy(last, line, n);
                last[n] = '\0';
            }
            fflush(stdout);
            return 0;
        }
    }
    return -1;
}

static void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    printf("  client | ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
}

/* Waits for the next event on the channel and prints it. */
static int say_event(int ch, unsigned char *rec) {
    char text[600];
    int n = next_event(ch, rec);
    if (n <= 0) {
        say("no event within %d ms", WAIT_MS);
        return -1;
    }
    describe(rec, n, text, sizeof text);
    say("event %s", text);
    return 0;
}

static int client(FILE *from, int control) {
    unsigned char rec[VESK_NET_MAX_RECORD];
    char line[128];
    unsigned port = 0, server_udp = 0;
    if (follow_server(from, "@PORT", line, sizeof line) != 0) return 1;
    sscanf(line, "@PORT %u", &port);
    if (follow_server(from, "engine up", NULL, 0) != 0) return 1;

    if (vesk_net_init(8, 1, 0, 1, 65536, 0, 0) != 0) return 2;
    int ch = vesk_net_channel_open();
    int slot = vesk_net_open(VESK_NET_TCP_CONNECT, NULL);
    vesk_net_attach(slot, ch);
    struct sockaddr_in server = loopback(htons((unsigned short)port));
    int rc = vesk_net_connect(slot, (struct sockaddr *)&server);
    say("engine up; channel %d; slot %d connects to 127.0.0.1:%u: vesk_net_connect = %d", ch, slot,
        port, rc);
    if (rc == 0 && say_event(ch, rec) != 0) return 3;
    if (follow_server(from, "event ACCEPT", NULL, 0) != 0) return 4;

    say("sent \"hello, server\" on slot %d: %d", slot, send_text(slot, "hello, server", 0, 0));
    if (follow_server(from, "sent", NULL, 0) != 0) return 5;
    if (say_event(ch, rec) != 0) return 6;
    say("vesk_net_close(%d) = %d", slot, vesk_net_close(slot));
    if (follow_server(from, "slot", NULL, 0) != 0) return 7; /* closed and reaped */

    struct sockaddr_in any = loopback(0);
    int udp = vesk_net_open(VESK_NET_UDP_QUIET, (struct sockaddr *)&any);
    vesk_net_attach(udp, ch);
    if (follow_server(from, "@UDPPORT", line, sizeof line) != 0) return 8;
    sscanf(line, "@UDPPORT %u", &server_udp);
    say("UDP slot %d bound to 127.0.0.1:%u", udp, ntohs(slot_port(udp)));
    struct sockaddr_in server_udp_addr = loopback(htons((unsigned short)server_udp));
    say("vesk_net_probe(%d, server) = %d", udp,
        vesk_net_probe(udp, (struct sockaddr *)&server_udp_addr));
    if (say_event(ch, rec) != 0) return 9;

    char port_line[32];
    int len = snprintf(port_line, sizeof port_line, "%u\n", ntohs(slot_port(udp)));
    if (write(control, port_line, (size_t)len) != len) return 10;
    if (follow_server(from, "@END", NULL, 0) != 0) return 11;
    vesk_net_shutdown();
    say("engine shut down");
    return 0;
}

int demo_net(void) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return 1;
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        close(up[0]);
        close(down[1]);
        report_fd = up[1];
        _exit(serve(down[0]));
    }
    close(up[1]);
    close(down[0]);
    FILE *from = fdopen(up[0], "r");
    int rc = client(from, down[1]);
    close(down[1]);
    fclose(from);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        printf("  server process ended with status %d\n", status);
        rc = rc != 0 ? rc : 1;
    }
    return rc;
}

#endif
