// Mutexes and semaphores on Windows.  The one-word cell holds the handle of an
// unnamed kernel object: a mutex (owner-held and recursive by nature) or a
// counting semaphore.  The library's own plain mutexes are user-mode locks
// instead (a slim reader/writer lock taken exclusively), which cost no trip
// into the kernel while uncontended: their cell holds the lock's address with
// the lowest bit set, which no handle has (handles are multiples of 4).
#include <windows.h>

#include <new>

#include "os/os.h"
#include "vuvidur.h"

struct vesk_mutex_cell {
    HANDLE handle;
};

struct vesk_sem_cell {
    HANDLE handle;
};

static_assert(sizeof(vesk_mutex_cell) == os::kMutexCellSize);
static_assert(alignof(vesk_mutex_cell) <= alignof(void *));
static_assert(sizeof(vesk_sem_cell) == sizeof(void *));

namespace {

constexpr LONG kSemaphoreMaximum = 0x7FFFFFFF;

// Only a plain success counts: a timeout, a failure and an abandoned mutex
// (its owner ended without releasing it; the caller holds it now) all give 16.
int wait_result(DWORD rc) { return rc == WAIT_OBJECT_0 ? 0 : VESK_WAIT_FAILED; }

constexpr uintptr_t kPlainTag = 1;

SRWLOCK *plain_lock_of(const vesk_mutex_cell *cell) {
    const auto word = reinterpret_cast<uintptr_t>(cell->handle);
    return (word & kPlainTag) != 0 ? reinterpret_cast<SRWLOCK *>(word & ~kPlainTag) : nullptr;
}

}  // namespace

vesk_mutex_cell *os::mutex_init_plain(void *storage) {
    auto *lock = new (std::nothrow) SRWLOCK;
    if (lock != nullptr) InitializeSRWLock(lock);
    static_assert(alignof(SRWLOCK) > 1);
    HANDLE word = lock != nullptr
                      ? reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(lock) | kPlainTag)
                      : nullptr;
    if (word == nullptr) return nullptr;
    return new (storage) vesk_mutex_cell{word};
}

int os::mutex_trylock(vesk_mutex_cell *cell) {
    if (cell == nullptr || cell->handle == nullptr) return -1;
    if (SRWLOCK *lock = plain_lock_of(cell)) return TryAcquireSRWLockExclusive(lock) ? 0 : -1;
    DWORD rc = WaitForSingleObject(cell->handle, 0);
    // An abandoned mutex is held by the caller now, as after vesk_mutex_lock.
    return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED ? 0 : -1;
}

void os::cpu_relax() { YieldProcessor(); }

extern "C" {

VESK_API vesk_mutex_cell *vesk_mutex_create(uint32_t tag1, uint32_t tag2) {
    auto *cell =
        static_cast<vesk_mutex_cell *>(vesk_mem_alloc(tag1, tag2, sizeof(vesk_mutex_cell)));
    cell->handle = CreateMutexA(nullptr, FALSE, nullptr);
    if (cell->handle == nullptr) {
        vesk_mem_free(cell);
        return nullptr;
    }
    return cell;
}

VESK_API void vesk_mutex_destroy(vesk_mutex_cell *cell) {
    if (cell == nullptr || cell->handle == nullptr) return;
    if (SRWLOCK *lock = plain_lock_of(cell)) {
        delete lock;
    } else {
        CloseHandle(cell->handle);
    }
    cell->handle = nullptr;  // a second destroy finds nothing to close
}

VESK_API int vesk_mutex_lock(vesk_mutex_cell *cell) {
    if (cell == nullptr) return -1;
    if (SRWLOCK *lock = plain_lock_of(cell)) {
        AcquireSRWLockExclusive(lock);
        return 0;
    }
    return wait_result(WaitForSingleObject(cell->handle, INFINITE));
}

VESK_API int vesk_mutex_unlock(vesk_mutex_cell *cell) {
    if (cell == nullptr) return -1;
    if (SRWLOCK *lock = plain_lock_of(cell)) {
        ReleaseSRWLockExclusive(lock);
        return 0;
    }
    ReleaseMutex(cell->handle);  // a failed release is not reported
    return 0;
}

VESK_API vesk_sem_cell *vesk_sem_create(uint32_t tag1, uint32_t tag2, int initial) {
    auto *cell = static_cast<vesk_sem_cell *>(vesk_mem_alloc(tag1, tag2, sizeof(vesk_sem_cell)));
    // A negative initial count is refused by the kernel: null handle.
    cell->handle = CreateSemaphoreA(nullptr, initial, kSemaphoreMaximum, nullptr);
    if (cell->handle == nullptr) {
        vesk_mem_free(cell);
        return nullptr;
    }
    return cell;
}

VESK_API int vesk_sem_destroy(vesk_sem_cell *cell) {
    if (cell == nullptr || cell->handle == nullptr) return 0;
    CloseHandle(cell->handle);
    cell->handle = nullptr;
    return 0;
}

VESK_API int vesk_sem_post(vesk_sem_cell *cell) {
    if (cell == nullptr) return -1;
    ReleaseSemaphore(cell->handle, 1, nullptr);  // beyond the maximum: fails, not reported
    return 0;
}

VESK_API int vesk_sem_wait(vesk_sem_cell *cell) {
    if (cell == nullptr) return -1;
    return wait_result(WaitForSingleObject(cell->handle, INFINITE));
}

VESK_API int vesk_sem_trywait(vesk_sem_cell *cell) {
    if (cell == nullptr) return -1;
    return wait_result(WaitForSingleObject(cell->handle, 0));
}

}  // extern "C"
