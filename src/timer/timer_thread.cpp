// The timer thread: a pass over the timer table every 500 milliseconds until
// the service is stopped.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "frame/memory.h"
#include "os/mutex_guard.h"
#include "os/os.h"
#include "timer/timer.h"
#include "vuvidur.h"

namespace {

constexpr int kTickMicroseconds = VESK_TIMER_TICK_MS * 1000;
constexpr int kThreadReserved = 20000;  // vesk_thread_create's unused argument
constexpr int kStartFailed = -1;

// Serialises start, stop and forget.  Never held by a pass, so holding it
// while waiting for the thread to end cannot deadlock.
// The library's plain mutex, created on first use; a std::mutex would do as
// well, but one kind of lock is used throughout.
vesk_mutex_cell *control_lock() {
    alignas(void *) static unsigned char storage[os::kMutexCellSize];
    // The marked branches are the compiler's guard of the local static.
    static vesk_mutex_cell *const created = os::mutex_init_plain(storage);  // GCOVR_EXCL_BR_LINE
    // Made on first use, by a call that cannot report its failure.
    if (created == nullptr) frame::out_of_memory("the timer service's mutex could not be created");
    return created;
}
vesk_thread_cell *g_thread = nullptr;  // the running thread's cell, NULL when none
// Written by the stopping thread, polled by the timer thread: 0 run, 1 stop.
std::atomic<uint32_t> g_stop{0};

uint32_t thread_loop(void *) {
    while (g_stop.load(std::memory_order_acquire) == 0) {
        vesk_usleep(kTickMicroseconds);
        // Checked again after the sleep, so that a stop never meets one more
        // pass; the thread ends with exit code 0 either way.
        if (g_stop.load(std::memory_order_acquire) != 0) break;
        timer::run_due(timer::now());
    }
    return 0;
}

[[noreturn]] void end_on_fault() {
    // A supervisor must not read this as a clean exit: status 1, not 0.
    std::fputs("vuvidur: a timer callback raised an exception; ending the process\n", stderr);
    std::exit(1);
}

uint32_t VESK_THREADCALL thread_main(void *arg) {
    return os::run_guarded(thread_loop, arg, end_on_fault);
}

}  // namespace

void timer::thread_forget() {
    os::MutexGuard guard(control_lock());
    g_thread = nullptr;  // a thread still running is left to run
    g_stop.store(0, std::memory_order_release);
}

extern "C" {

VESK_API int vesk_timer_start(void) {
    os::MutexGuard guard(control_lock());
    // A second start while a thread is running would double the passes and
    // lose the first thread's cell: it does nothing.
    if (g_thread != nullptr) return 0;
    g_thread = vesk_thread_create(kThreadReserved, nullptr, thread_main, nullptr);
    // A start that created no thread must not pass for one: no timer would
    // ever run.  A later start tries again.
    return g_thread != nullptr ? 0 : kStartFailed;
}

VESK_API int vesk_timer_stop(void) {
    os::MutexGuard guard(control_lock());
    g_stop.store(1, std::memory_order_release);  // stays 1 until the next init
    if (g_thread != nullptr) {
        vesk_thread_destroy(g_thread);  // waits up to 1000 ms, then terminates it
        vesk_mem_free(g_thread);
        g_thread = nullptr;
    }
    return 0;
}

}  // extern "C"
