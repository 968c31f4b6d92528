// The timer table: ten slots, added to and removed from by callers' threads
// and run by the timer thread's passes.
//
// Locking: one recursive lock guards the table.  A pass holds it from start
// to end, callbacks included, so that neither side ever sees a half-filled or
// half-cleared slot and a removal from another thread waits for a running
// callback to return before it clears that callback's data.  It is recursive
// because callbacks run on the timer thread inside the pass and may add and
// remove timers, their own included: those calls proceed at once.
//
// The lock is the library's own mutex, not a std::recursive_mutex: when a
// stuck callback is terminated by force, a std::mutex can stay held for ever
// (Windows runs no cleanup for a terminated thread), while the library's
// mutex is handed to the next locker as an abandoned mutex.
#include <cstring>
#include <ctime>

#include "frame/memory.h"
#include "os/mutex_guard.h"
#include "timer/timer.h"
#include "vuvidur.h"

namespace {

// Recursive, and recovered when its holder was terminated: a lock result of
// 16 (abandoned) still means that the caller holds it.
// Created on first use, so that a program that never uses timers allocates
// nothing for them (and unloading the library leaves nothing behind).
vesk_mutex_cell *table_lock() {
    // The marked branches are the compiler's guard of the local static.
    static vesk_mutex_cell *const created = vesk_mutex_create(0, 0);  // GCOVR_EXCL_BR_LINE
    if (created == nullptr) frame::out_of_memory("the timer table's mutex could not be created");
    return created;
}

uint32_t g_add_count = 0;  // successful adds since the last init: bookkeeping, never read
timer::Slot g_slots[VESK_TIMER_SLOTS];

bool slot_held(int index) {
    return index >= 0 && index < VESK_TIMER_SLOTS && g_slots[index].in_use == 1;
}

}  // namespace

uint32_t timer::now() { return static_cast<uint32_t>(std::time(nullptr)); }

int timer::add_at(const TimerSpec &spec, uint32_t now) {
    os::MutexGuard guard(table_lock());
    for (int index = 0; index < VESK_TIMER_SLOTS; ++index) {
        timer::Slot &slot = g_slots[index];
        if (slot.in_use != 0) continue;
        ++g_add_count;
        slot.in_use = 1;
        slot.index = index;
        slot.interval = spec.interval;
        slot.extra = spec.extra;
        slot.created = now;
        slot.last_run = now;  // so the first run comes `interval` seconds on, never at once
        slot.run_count = 0;
        slot.spec = spec;
        return index;
    }
    return VESK_TIMER_NO_SLOT;
}

int timer::run_due(uint32_t now) {
    os::MutexGuard guard(table_lock());
    // Slots are read afresh at each step: a callback may have changed the
    // table, and a timer it added in a higher slot is examined in this pass.
    for (int index = 0; index < VESK_TIMER_SLOTS; ++index) {
        timer::Slot &slot = g_slots[index];
        if (slot.in_use != 1 || now - slot.last_run < slot.interval) continue;
        slot.run_count = static_cast<uint8_t>(slot.run_count + 1);
        slot.last_run = now;
        if (slot.spec.callback != nullptr) {
            slot.spec.callback(slot.index, slot.spec.context, slot.spec.param, slot.spec.data);
        }
    }
    return 0;
}

timer::Slot timer::slot_snapshot(int index) {
    os::MutexGuard guard(table_lock());
    return g_slots[index];
}

extern "C" {

VESK_API int vesk_timer_init(void) {
    {
        os::MutexGuard guard(table_lock());
        g_add_count = 0;
        std::memset(g_slots, 0, sizeof g_slots);
    }
    // Outside the table lock: a stop in progress may be waiting for a pass
    // that needs it.
    timer::thread_forget();
    return 0;
}

VESK_API int vesk_timer_add(TimerSpec spec) {
    os::MutexGuard guard(table_lock());
    return timer::add_at(spec, timer::now());
}

VESK_API int vesk_timer_remove(int index) {
    os::MutexGuard guard(table_lock());
    if (!slot_held(index)) return -1;
    std::memset(&g_slots[index], 0, sizeof g_slots[index]);
    return 0;
}

VESK_API int vesk_timer_remove_all(void) {
    os::MutexGuard guard(table_lock());
    for (int index = 0; index < VESK_TIMER_SLOTS; ++index) {
        if (slot_held(index)) std::memset(&g_slots[index], 0, sizeof g_slots[index]);
    }
    return 0;
}

}  // extern "C"
