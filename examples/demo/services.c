/* Services: a producer thread and a consumer over the blocking message
 * queue, a timer that ticks three times and then removes itself, and a
 * settings file read from beside this executable. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "vuvidur.h"

#define ITEMS 5

static const char *const kWork[ITEMS] = {"parse", "check", "store", "index", "report"};

static uint32_t VESK_THREADCALL producer(void *arg) {
    vesk_msgq *queue = (vesk_msgq *)arg;
    for (int i = 0; i < ITEMS; ++i) {
        vesk_usleep(20000); /* the consumer is already waiting in vesk_msgq_get */
        vesk_msgq_put(queue, (void *)kWork[i]);
    }
    return 0;
}

static int demo_queue(void) {
    vesk_msgq queue;
    vesk_msgq_create(&queue);
    vesk_thread_cell *thread = vesk_thread_create(0, NULL, producer, &queue);
    if (thread == NULL) return 1;
    int in_order = 1;
    for (int i = 0; i < ITEMS; ++i) {
        const char *item = (const char *)vesk_msgq_get(&queue);
        printf("queue: consumer took \"%s\"\n", item);
        in_order &= item == kWork[i];
    }
    vesk_thread_destroy(thread);
    vesk_mem_free(thread);
    printf("queue: %d items in put order, %d left\n", ITEMS, vesk_msgq_count(&queue));
    vesk_msgq_destroy(&queue);
    return in_order ? 0 : 1;
}

/* Runs on the timer thread.  The slot's data keeps the tick count between
 * runs; the third tick removes its own timer. */
static int tick(int32_t index, void *context, void *param, uint8_t *data) {
    (void)param;
    data[0] += 1;
    printf("timer: tick %d (slot %d)\n", data[0], index);
    fflush(stdout);
    if (data[0] == 3) vesk_timer_remove(index);
    vesk_sem_post((vesk_sem_cell *)context);
    return 0;
}

static int demo_timer(void) {
    vesk_sem_cell *ticks = vesk_sem_create(0, 0, 0);
    TimerSpec timer_spec;
    memset(&timer_spec, 0, sizeof timer_spec);
    timer_spec.interval = 0; /* every pass, about twice a second */
    timer_spec.callback = tick;
    timer_spec.context = ticks;
    vesk_timer_init();
    int slot = vesk_timer_add(timer_spec);
    vesk_timer_start();
    for (int i = 0; i < 3; ++i) vesk_sem_wait(ticks);
    vesk_timer_stop();
    int removed = vesk_timer_remove(slot) == -1; /* already gone: it removed itself */
    printf("timer: stopped after three ticks; slot %d %s\n", slot,
           removed ? "is free" : "still in use");
    vesk_sem_destroy(ticks);
    vesk_mem_free(ticks);
    return removed ? 0 : 1;
}

static int demo_settings(void) {
    static const char kName[] = "demo_services.cfg";
    char path[VESK_MODULE_DIR_SIZE + sizeof kName];
    if (vesk_module_dir(path) != 0) return 1;
    strcat(path, kName);
    FILE *file = fopen(path, "w");
    if (file == NULL) return 1;
    fputs("greeting = hello\nworkers=4\n\tname\tdemo\r\n", file);
    fclose(file);

    SettingsTable table;
    int rc = vesk_config_load(kName, &table);
    printf("settings: %s: load %d, %d entries\n", path, rc, table.count);
    int failures = rc != 0;
    const char *keys[] = {"greeting", "workers", "name", "missing"};
    for (int i = 0; i < 4; ++i) {
        char value[VESK_SETTINGS_TEXT_SIZE];
        int found = vesk_config_get(&table, keys[i], value);
        if (found == 0) {
            printf("settings: %s = %s\n", keys[i], value);
        } else {
            printf("settings: %s is not set (%d)\n", keys[i], found);
        }
        failures += (found == 0) != (i < 3);
    }
    remove(path);
    return failures == 0 ? 0 : 1;
}

int demo_services(void) {
    int failures = demo_queue();
    failures += demo_timer();
    failures += demo_settings();
    return failures == 0 ? 0 : 1;
}
