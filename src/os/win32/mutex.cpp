// Mutexes and semaphores on Windows.  The one-word cell holds the handle of an
// unnamed kernel object: a mutex (owner-held and recursive by nature) or a
// counting semaphore.
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

}  // namespace

// The same kernel mutex as vesk_mutex_create's: nothing cheaper works with
// the wait functions that vesk_mutex_lock uses.
vesk_mutex_cell *os::mutex_init_plain(void *storage) {
    auto *cell = new (storage) vesk_mutex_cell{CreateMutexA(nullptr, FALSE, nullptr)};
    return cell->handle != nullptr ? cell : nullptr;
}

int os::mutex_trylock(vesk_mutex_cell *cell) {
    if (cell == nullptr || cell->handle == nullptr) return -1;
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
    CloseHandle(cell->handle);
    cell->handle = nullptr;  // a second destroy finds nothing to close
}

VESK_API int vesk_mutex_lock(vesk_mutex_cell *cell) {
    if (cell == nullptr) return -1;
    return wait_result(WaitForSingleObject(cell->handle, INFINITE));
}

VESK_API int vesk_mutex_unlock(vesk_mutex_cell *cell) {
    if (cell == nullptr) return -1;
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
