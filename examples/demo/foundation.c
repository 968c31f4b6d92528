/* Foundations: memory, a mutex-guarded counter shared by two threads, a ring
 * buffer round trip and a child process. */
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include "demo.h"
#include "vuvidur.h"

#define INCREMENTS 100000

struct counter {
    vesk_mutex_cell *lock;
    long value;
};

static uint32_t VESK_THREADCALL count_up(void *arg) {
    struct counter *c = arg;
    for (int i = 0; i < INCREMENTS; ++i) {
        vesk_mutex_lock(c->lock);
        c->value++;
        vesk_mutex_unlock(c->lock);
    }
    return 0;
}

static int show_memory(void) {
    char *block = vesk_mem_alloc(0, 0, 32);
    vesk_mem_set(block, 0x141, 31); /* only the low byte counts: 'A' */
    block[31] = '\0';
    printf("vesk_mem_alloc + vesk_mem_set(0x141): %s\n", block);
    vesk_mem_free(block);
    return 0;
}

static int show_threads(void) {
    struct counter c = {vesk_mutex_create(0, 0), 0};
    vesk_thread_cell a, b;
    vesk_thread_create(0, &a, count_up, &c);
    vesk_thread_create(0, &b, count_up, &c);
    int ra = vesk_thread_destroy(&a), rb = vesk_thread_destroy(&b);
    printf("two threads (ids %u, %u) each added %d under one mutex: counter = %ld\n", a.id, b.id,
           INCREMENTS, c.value);
    vesk_mutex_destroy(c.lock);
    vesk_mem_free(c.lock);
    return (ra == 0 && rb == 0 && c.value == 2L * INCREMENTS) ? 0 : 1;
}

static int show_ring(void) {
    vesk_ring ring;
    vesk_ring_init(&ring, 16);
    const char *first = "hello, ", *second = "ring!";
    int w1 = vesk_ring_write(&ring, first, (int)strlen(first));
    int w2 = vesk_ring_write(&ring, second, (int)strlen(second));
    int full = vesk_ring_write(&ring, "xxxx", 4); /* 12 stored, 3 free: refused whole */
    char out[32] = {0};
    int got = vesk_ring_read(&ring, out, (int)sizeof out - 1);
    printf("ring of 16: writes %d, %d, then a 4-byte write %d (no room); read %d bytes: \"%s\"\n",
           w1, w2, full, got, out);
    vesk_ring_free(&ring);
    return (w1 == 0 && w2 == 0 && full == -3 && strcmp(out, "hello, ring!") == 0) ? 0 : 1;
}

static int show_process(void) {
    char cmdline[] = "sh -c \"echo '  (child) hello from a new session'\"";
    vesk_process_info pi;
    int rc = vesk_process_create(cmdline, &pi);
    printf("\n");
    fflush(stdout);
    int status = 0;
    if (rc == 0) waitpid((pid_t)pi.process, &status, 0);
    printf("vesk_process_create -> %d; child exited with status %d\n", rc, WEXITSTATUS(status));
    return rc == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int demo_foundation(void) {
    int failures = 0;
    failures += show_memory();
    failures += show_threads();
    failures += show_ring();
    failures += show_process();
    return failures;
}
