// The timer service's internals: the slot table (timer_table.cpp) and the
// timer thread (timer_thread.cpp).
#pragma once

#include <cstdint>

#include "vuvidur.h"

namespace timer {

// One entry of the table.  `spec.data` is the area whose address a callback
// receives: it lives as long as the timer, so what a callback writes there is
// still there at its next run.
struct Slot {
    uint32_t in_use;    // 1 while the slot holds a timer
    int32_t index;      // the slot's own number
    uint32_t interval;  // seconds between runs
    uint32_t extra;     // the caller's word, never interpreted
    uint32_t created;   // clock second of the add (bookkeeping only)
    uint32_t last_run;  // clock second of the add, then of each run
    uint8_t run_count;  // runs so far, modulo 256 (bookkeeping only)
    TimerSpec spec;
};

// The wall clock in whole seconds, as 32 bits: schedules compare it in
// unsigned arithmetic, so a clock that steps back makes every timer due.
uint32_t now();

// vesk_timer_add with the clock reading given.
int add_at(const TimerSpec &spec, uint32_t now);
// One pass over the table at clock second `now`: runs every timer whose
// interval has elapsed since its last run.  Always 0.
int run_due(uint32_t now);
// A copy of slot `index` (0..VESK_TIMER_SLOTS - 1), read under the table lock.
Slot slot_snapshot(int index);

// Forgets the timer thread without stopping it and clears the stop flag
// (part of vesk_timer_init).
void thread_forget();

}  // namespace timer
