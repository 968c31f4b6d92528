// Threads, the stop policy and sleeping.
#include <gtest/gtest.h>
#ifndef _WIN32  // POSIX: kernel thread ids and /proc; Windows: tests/windows/thread_test.cpp
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <string>

#include "vuvidur.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

#ifndef _WIN32
std::atomic<uint32_t> g_seen_tid{0};

uint32_t VESK_THREADCALL record_tid(void *) {
    g_seen_tid = static_cast<uint32_t>(syscall(SYS_gettid));
    return 0;
}
#endif

uint32_t VESK_THREADCALL return_at_once(void *) { return 5; }

uint32_t VESK_THREADCALL spin_forever(void *arg) {
    auto *spinning = static_cast<std::atomic<bool> *>(arg);
    spinning->store(true);
    for (;;) {
        asm volatile("" ::: "memory");  // a loop the compiler may not remove
    }
    return 0;
}

uint32_t VESK_THREADCALL exit_early(void *arg) {
    vesk_thread_exit();
    static_cast<std::atomic<bool> *>(arg)->store(true);  // never reached
    return 1;
}

#ifndef _WIN32
bool thread_exists(uint32_t tid) {
    struct stat st;
    return stat(("/proc/self/task/" + std::to_string(tid)).c_str(), &st) == 0;
}
#endif

}  // namespace

#ifndef _WIN32  // POSIX only: the kernel's thread id
TEST(Thread, CallersCellIsFilledWithHandleAndKernelIdBeforeCreateReturns) {
    vesk_thread_cell cell{};
    EXPECT_EQ(vesk_thread_create(20000, &cell, record_tid, nullptr), &cell);
    EXPECT_NE(cell.handle, 0u);
    EXPECT_NE(cell.id, 0u);
    EXPECT_EQ(vesk_thread_destroy(&cell), 0);
    EXPECT_EQ(cell.id, g_seen_tid.load());
}
#endif

TEST(Thread, ReservedArgumentHasNoEffectAndACellIsAllocatedWhenNoneIsGiven) {
    vesk_thread_cell *cell = vesk_thread_create(0, nullptr, return_at_once, nullptr);
    ASSERT_NE(cell, nullptr);
    EXPECT_NE(cell->id, 0u);
    EXPECT_EQ(vesk_thread_destroy(cell), 0);
    vesk_mem_free(cell);
}

TEST(Thread, DestroyOfAFinishedThreadReturnsZeroWithoutWaitingTheGrace) {
    vesk_thread_cell cell{};
    ASSERT_NE(vesk_thread_create(0, &cell, return_at_once, nullptr), nullptr);
    auto start = Clock::now();
    EXPECT_EQ(vesk_thread_destroy(&cell), 0);
    EXPECT_LT(elapsed_ms(start), 900);
}

TEST(Thread, DestroyTerminatesAThreadThatNeverEndsAfterTheGrace) {
    std::atomic<bool> spinning{false};
    vesk_thread_cell cell{};
    ASSERT_NE(vesk_thread_create(0, &cell, spin_forever, &spinning), nullptr);
    while (!spinning) vesk_usleep(1000);
    auto start = Clock::now();
    EXPECT_EQ(vesk_thread_destroy(&cell), -1);
    EXPECT_GE(elapsed_ms(start), 1000) << "terminated before the grace period ended";
#ifndef _WIN32  // POSIX only: /proc/self/task
    EXPECT_FALSE(thread_exists(cell.id)) << "the thread outlived its destruction";
#endif
}

TEST(Thread, ExitEndsTheCallingThreadAtOnce) {
    std::atomic<bool> ran_past_exit{false};
    vesk_thread_cell cell{};
    ASSERT_NE(vesk_thread_create(0, &cell, exit_early, &ran_past_exit), nullptr);
    EXPECT_EQ(vesk_thread_destroy(&cell), 0);
    EXPECT_FALSE(ran_past_exit);
}

TEST(Thread, CreationFailurePrintsTheMessageAndLeavesTheCallersCell) {
    vesk_thread_cell cell{7, 9};
    testing::internal::CaptureStdout();
    EXPECT_EQ(vesk_thread_create(0, &cell, nullptr, nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error while creating a new thread\n");
    EXPECT_EQ(cell.handle, 7u);
    EXPECT_EQ(cell.id, 9u);
}

TEST(Sleep, MicrosecondsAreTruncatedToWholeMilliseconds) {
    // Lower bounds only: a sleep may always last longer than asked.
    auto start = Clock::now();
    vesk_usleep(999);  // 0 ms: only yields
    vesk_usleep(-5);   // negative: 0 ms
    long short_sleeps = elapsed_ms(start);
    start = Clock::now();
    vesk_usleep(20500);
    EXPECT_GE(elapsed_ms(start), 20);
    start = Clock::now();
    vesk_usleep(500000);
    EXPECT_GE(elapsed_ms(start), 500);
    EXPECT_LT(short_sleeps, 500) << "a sub-millisecond sleep took as long as a real one";
}
