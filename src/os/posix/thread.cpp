// Threads and sleeping on POSIX.
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "vuvidur.h"

namespace {

constexpr int kGraceMilliseconds = 1000;

// Lives on the creating thread's stack until the new thread has published its
// kernel id: vesk_thread_create returns only after that.
struct ThreadStart {
    vesk_thread_fn start;
    void *arg;
    uint32_t tid = 0;
    sem_t ready;  // posted once tid is set
};

void *posix_thread_main(void *raw) {
    auto *launch = static_cast<ThreadStart *>(raw);
    vesk_thread_fn start = launch->start;
    void *arg = launch->arg;
    // Forced termination must work on a thread that never reaches a
    // cancellation point (a thread that loops forever), so the thread accepts
    // asynchronous cancellation, the closest POSIX has to TerminateThread.
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    launch->tid = static_cast<uint32_t>(syscall(SYS_gettid));
    sem_post(&launch->ready);  // `launch` must not be touched after this
    uint32_t code = start(arg);
    return reinterpret_cast<void *>(static_cast<uintptr_t>(code));
}

int64_t now_ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Joins the thread if it ends within the grace period: 0 joined, ETIMEDOUT
// still running, another error number if the join failed.  The period is
// kept on the monotonic clock, as a wall clock set or slewed meanwhile must
// not shorten it; the join itself waits until a wall-clock time (the
// monotonic join is unknown to ThreadSanitizer, which would then miss the
// order the join gives), so it waits in short slices until the period is
// over.
int join_within_grace(pthread_t handle) {
    constexpr int64_t kSliceNs = 50 * 1000000LL;
    const int64_t end = now_ns(CLOCK_MONOTONIC) + kGraceMilliseconds * 1000000LL;
    for (;;) {
        const int64_t left = end - now_ns(CLOCK_MONOTONIC);
        if (left <= 0) return ETIMEDOUT;
        const int64_t until = now_ns(CLOCK_REALTIME) + (left < kSliceNs ? left : kSliceNs);
        const timespec deadline{static_cast<time_t>(until / 1000000000),
                                static_cast<long>(until % 1000000000)};
        const int rc = pthread_timedjoin_np(handle, nullptr, &deadline);
        // glibc's join does not return EINTR today; waiting on keeps it right if one ever does.
        if (rc != ETIMEDOUT && rc != EINTR) return rc;  // GCOVR_EXCL_BR_LINE
    }
}

}  // namespace

extern "C" {

VESK_API vesk_thread_cell *vesk_thread_create(int, vesk_thread_cell *cell, vesk_thread_fn start,
                                              void *arg) {
    bool own_cell = cell == nullptr;
    if (own_cell) {
        cell = static_cast<vesk_thread_cell *>(vesk_mem_alloc(0, 0, sizeof(vesk_thread_cell)));
    }
    ThreadStart launch;
    launch.start = start;
    launch.arg = arg;
    // A semaphore that failed to initialise is never used: no thread is made.
    const bool ready_made = start != nullptr && sem_init(&launch.ready, 0, 0) == 0;
    pthread_t handle{};
    if (!ready_made || pthread_create(&handle, nullptr, posix_thread_main, &launch) != 0) {
        if (ready_made) sem_destroy(&launch.ready);
        std::fputs("Error while creating a new thread\n", stdout);
        if (own_cell) vesk_mem_free(cell);
        return nullptr;
    }
    while (sem_wait(&launch.ready) != 0 && errno == EINTR) {
    }
    sem_destroy(&launch.ready);
    cell->handle = static_cast<uintptr_t>(handle);
    cell->id = launch.tid;
    return cell;
}

VESK_API int vesk_thread_destroy(vesk_thread_cell *cell) {
    if (cell == nullptr) return -1;
    auto handle = static_cast<pthread_t>(cell->handle);
    const int rc = join_within_grace(handle);
    if (rc == 0) return 0;
    if (rc == ETIMEDOUT) {
        // Still running after the grace period: terminate it and reap it, so
        // that the thread is gone when this returns.
        pthread_cancel(handle);
        pthread_join(handle, nullptr);
    }
    return -1;
}

VESK_API void vesk_thread_exit(void) { pthread_exit(nullptr); }

VESK_API void vesk_usleep(int usec) {
    int ms = usec > 0 ? usec / 1000 : 0;  // truncating; negative sleeps 0 ms
    if (ms == 0) {
        sched_yield();  // give up the rest of the time slice
        return;
    }
    timespec request{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

}  // extern "C"
