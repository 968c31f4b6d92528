/* An echo server in C, written the recommended way (docs/server.md): wait for
 * events, take them in batches, queue each reply in its client's outgoing
 * queue, send each queue touched once per batch with vesk_net_send_many, and
 * when a client's socket is full ask for VESK_EV_SENT instead of waiting.  A
 * client that leaves more than QUEUE_LIMIT bytes unread is dropped.
 * Usage: echo_c [PORT] (7000 by default). */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vuvidur.h"

#define SLOTS 2048
#define BATCH (64 * (2 + VESK_NET_MAX_RECORD))
#define QUEUE_LIMIT (256 * 1024)
#define PER_CALL 1024 /* messages vesk_net_send_many takes at most */

/* One client's replies: message records (18-byte head and payload) back to
 * back; those before `sent` are gone. */
typedef struct queue {
    unsigned char *bytes;
    size_t used, sent, capacity;
    int open;    /* accepted and not dropped: events of other slots are stale */
    int waiting; /* a VESK_EV_SENT was asked for */
    int touched; /* listed in `touched` for this batch */
} queue;

static queue queues[SLOTS + 1];
static int touched[SLOTS];
static int touched_count;

static void drop(int slot) {
    free(queues[slot].bytes);
    memset(&queues[slot], 0, sizeof queues[slot]);
    vesk_net_close(slot);
}

/* Appends a copy of a data event (a message record) to the slot's queue:
 * 0, or -1 when the client is too far behind. */
static int push(int slot, const unsigned char *record, size_t length) {
    queue *q = &queues[slot];
    if (q->used - q->sent + length > QUEUE_LIMIT) return -1;
    if (q->sent > 0 && q->sent == q->used) q->used = q->sent = 0;
    if (q->used + length > q->capacity) {
        size_t capacity = q->capacity ? q->capacity : 4096;
        unsigned char *bigger;
        while (capacity < q->used + length) capacity *= 2;
        bigger = realloc(q->bytes, capacity);
        if (bigger == NULL) return -1;
        q->bytes = bigger;
        q->capacity = capacity;
    }
    memcpy(q->bytes + q->used, record, length);
    q->used += length;
    if (!q->touched) {
        q->touched = 1;
        touched[touched_count++] = slot;
    }
    return 0;
}

/* Sends what the slot takes now; when it takes nothing more, asks for one
 * VESK_EV_SENT and leaves the rest queued.  A slot that is gone is dropped
 * (its VESK_EV_CLOSED or VESK_EV_FAILED may still come: nothing is left to
 * do then). */
static void flush(int slot) {
    queue *q = &queues[slot];
    vesk_net_msg *msgs[PER_CALL];
    while (!q->waiting && q->sent < q->used) {
        int count = 0, taken, i;
        size_t at = q->sent;
        while (at < q->used && count < PER_CALL) {
            int32_t length;
            memcpy(&length, q->bytes + at + 11, 4); /* vesk_net_msg.length */
            msgs[count++] = (vesk_net_msg *)(q->bytes + at);
            at += sizeof(vesk_net_msg) + (size_t)length;
        }
        taken = vesk_net_send_many(msgs, count);
        if (taken < 0) {
            drop(slot);
            return;
        }
        if (taken == 0) { /* earlier bytes still pending: told when they are out */
            if (vesk_net_notify_sent(slot) != 0)
                drop(slot);
            else
                q->waiting = 1;
            return;
        }
        for (i = 0; i < taken; ++i) {
            int32_t length;
            memcpy(&length, q->bytes + q->sent + 11, 4);
            q->sent += sizeof(vesk_net_msg) + (size_t)length;
        }
    }
}

int main(int argc, char **argv) {
    static unsigned char batch[BATCH];
    struct sockaddr_in any;
    int ch, listener;
    memset(&any, 0, sizeof any);
    any.sin_family = AF_INET;
    any.sin_port = htons((unsigned short)(argc > 1 ? atoi(argv[1]) : 7000));
    if (vesk_net_init(SLOTS, 1, 0, 1, 1 << 20, 0, 0) != 0) return 1;
    ch = vesk_net_channel_open();
    listener = vesk_net_open(VESK_NET_TCP_LISTEN_FRAMED, (struct sockaddr *)&any);
    if (listener == 0 || vesk_net_attach(listener, ch) != 0) {
        fprintf(stderr, "echo_c: cannot listen on port %d: system error %d\n", ntohs(any.sin_port),
                vesk_net_last_error());
        return 1;
    }
    printf("echo_c: listening on port %d\n", ntohs(any.sin_port));
    fflush(stdout);
    for (;;) {
        int used, at, i;
        if (vesk_net_channel_wait(ch, -1) != VESK_NET_WAIT_EVENT) break;
        used = vesk_net_channel_read_many(ch, batch, sizeof batch);
        for (at = 0; at < used;) {
            uint16_t length;
            unsigned char *rec;
            int32_t slot;
            memcpy(&length, batch + at, 2);
            rec = batch + at + 2;
            at += 2 + length;
            /* An accept names the listener first and the new slot at 5. */
            memcpy(&slot, rec + (rec[0] == VESK_EV_ACCEPT ? 5 : 1), 4);
            if (slot < 1 || slot > SLOTS) continue;
            if (rec[0] == VESK_EV_ACCEPT) queues[slot].open = 1;
            /* Events still queued for a client dropped earlier: its number is
             * not in use again before its next VESK_EV_ACCEPT. */
            if (!queues[slot].open) continue;
            switch (rec[0]) {
                case VESK_EV_TCP_DATA: /* a data event is a message: queue it as the reply */
                    if (push(slot, rec, length) != 0) {
                        printf("echo_c: dropped a client that leaves its replies unread\n");
                        fflush(stdout);
                        drop(slot);
                    }
                    break;
                case VESK_EV_SENT:
                    queues[slot].waiting = 0;
                    flush(slot);
                    break;
                case VESK_EV_CLOSED:
                case VESK_EV_FAILED:
                    drop(slot);
                    break;
            }
        }
        for (i = 0; i < touched_count; ++i) { /* one call per client per batch */
            queues[touched[i]].touched = 0;
            flush(touched[i]);
        }
        touched_count = 0;
    }
    vesk_net_shutdown();
    return 0;
}
