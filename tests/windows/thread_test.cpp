// Threads on Windows: what the cell holds, the exit codes and the stop policy.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "vuvidur.h"

namespace {

std::atomic<DWORD> g_seen_id{0};

uint32_t VESK_THREADCALL record_id(void *) {
    g_seen_id = GetCurrentThreadId();
    return 5;
}

uint32_t VESK_THREADCALL spin_until_terminated(void *arg) {
    static_cast<std::atomic<bool> *>(arg)->store(true);
    for (;;) Sleep(1);
    return 0;
}

uint32_t VESK_THREADCALL exit_early(void *) {
    vesk_thread_exit();
    return 9;  // never reached
}

struct LockHolder {
    vesk_mutex_cell *mutex;
    std::atomic<bool> holding{false};
};

uint32_t VESK_THREADCALL lock_and_spin(void *arg) {
    auto *holder = static_cast<LockHolder *>(arg);
    vesk_mutex_lock(holder->mutex);
    holder->holding = true;
    for (;;) Sleep(1);
    return 0;
}

// A second handle to the thread, valid after vesk_thread_destroy closed the cell's.
HANDLE duplicate(uintptr_t handle) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(handle), GetCurrentProcess(),
                    &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

DWORD exit_code_of(HANDLE thread) {
    DWORD code = 0xDEAD;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

}  // namespace

TEST(WindowsThread, CellHoldsTheThreadHandleAndItsIdentifier) {
    vesk_thread_cell cell{};
    ASSERT_EQ(vesk_thread_create(20000, &cell, record_id, nullptr), &cell);
    EXPECT_EQ(GetThreadId(reinterpret_cast<HANDLE>(cell.handle)), cell.id);
    EXPECT_EQ(vesk_thread_destroy(&cell), 0);
    EXPECT_EQ(cell.id, g_seen_id.load());
}

TEST(WindowsThread, ReturnedValueIsTheExitCodeAndDestroyClosesTheHandle) {
    vesk_thread_cell cell{};
    ASSERT_NE(vesk_thread_create(0, &cell, record_id, nullptr), nullptr);
    HANDLE copy = duplicate(cell.handle);
    EXPECT_EQ(vesk_thread_destroy(&cell), 0);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(reinterpret_cast<HANDLE>(cell.handle), &flags))
        << "the cell's handle is still open";
    EXPECT_EQ(exit_code_of(copy), 5u);
}

TEST(WindowsThread, ExitEndsTheThreadWithCodeZero) {
    vesk_thread_cell cell{};
    ASSERT_NE(vesk_thread_create(0, &cell, exit_early, nullptr), nullptr);
    HANDLE copy = duplicate(cell.handle);
    EXPECT_EQ(vesk_thread_destroy(&cell), 0);
    EXPECT_EQ(exit_code_of(copy), 0u);
}

TEST(WindowsThread, ThreadOutlivingTheGraceIsTerminatedWithExitCodeTen) {
    std::atomic<bool> running{false};
    vesk_thread_cell cell{};
    ASSERT_NE(vesk_thread_create(0, &cell, spin_until_terminated, &running), nullptr);
    while (!running) Sleep(1);
    HANDLE copy = duplicate(cell.handle);
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(vesk_thread_destroy(&cell), -1);
    EXPECT_GE(GetTickCount64() - start, 990u);
    // Gone by the time destroy returns, not merely asked to end.
    EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(copy), 10u);
}

TEST(WindowsThread, MutexOfATerminatedOwnerIsAbandonedToTheNextLocker) {
    LockHolder holder{vesk_mutex_create(0, 0)};
    vesk_thread_cell cell{};
    ASSERT_NE(vesk_thread_create(0, &cell, lock_and_spin, &holder), nullptr);
    while (!holder.holding) Sleep(1);
    EXPECT_EQ(vesk_thread_destroy(&cell), -1);
    EXPECT_EQ(vesk_mutex_lock(holder.mutex), VESK_WAIT_FAILED);
    // The caller owns it now: a release succeeds (only an owner's does).
    auto handle = *reinterpret_cast<HANDLE *>(holder.mutex);
    EXPECT_TRUE(ReleaseMutex(handle));
    EXPECT_EQ(vesk_mutex_lock(holder.mutex), 0);
    vesk_mutex_unlock(holder.mutex);
    vesk_mutex_destroy(holder.mutex);
    vesk_mem_free(holder.mutex);
}
