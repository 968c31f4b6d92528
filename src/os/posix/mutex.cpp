// Mutexes and semaphores on POSIX.  The one-word cell holds a pointer to a
// heap pthread_mutex_t / sem_t.
#include <pthread.h>
#include <semaphore.h>

#include <cerrno>
#include <climits>
#include <new>

#include "os/os.h"
#include "vuvidur.h"

struct vesk_mutex_cell {
    pthread_mutex_t *mutex;
};

struct vesk_sem_cell {
    sem_t *sem;
};

static_assert(sizeof(vesk_mutex_cell) == os::kMutexCellSize);
static_assert(alignof(vesk_mutex_cell) <= alignof(void *));
static_assert(sizeof(vesk_sem_cell) == sizeof(void *));

namespace {

// Recursive (the owner may lock again) and robust (a mutex whose owner died
// is handed to the next locker with EOWNERDEAD: the abandoned-mutex case).
pthread_mutex_t *posix_mutex_new() {
    auto *mutex = new (std::nothrow) pthread_mutex_t;
    if (mutex == nullptr) return nullptr;
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    // glibc's attribute calls never fail on an initialised attribute and a valid kind.
    // GCOVR_EXCL_BR_START
    ok = ok && pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0;
    ok = ok && pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0;
    // GCOVR_EXCL_BR_STOP
    ok = ok && pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!ok) {
        delete mutex;  // GCOVR_EXCL_BR_LINE: delete's own null test
        return nullptr;
    }
    return mutex;
}

// Neither recursive nor robust: no owner bookkeeping and no robust-list
// registration per lock, and a contended lock spins a little before it
// sleeps.  The callers never lock it twice and never end holding it.
pthread_mutex_t *posix_mutex_new_plain() {
    auto *mutex = new (std::nothrow) pthread_mutex_t;
    if (mutex == nullptr) return nullptr;
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
#if defined(__GLIBC__)  // the adaptive kind is a glibc extension
    // Never fails on an initialised attribute and a valid kind.
    // GCOVR_EXCL_BR_START
    ok = ok && pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP) == 0;
    // GCOVR_EXCL_BR_STOP
#endif
    ok = ok && pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!ok) {
        delete mutex;  // GCOVR_EXCL_BR_LINE: delete's own null test
        return nullptr;
    }
    return mutex;
}

}  // namespace

vesk_mutex_cell *os::mutex_init_plain(void *storage) {
    auto *cell = new (storage) vesk_mutex_cell{posix_mutex_new_plain()};
    return cell->mutex != nullptr ? cell : nullptr;
}

int os::mutex_trylock(vesk_mutex_cell *cell) {
    if (cell == nullptr || cell->mutex == nullptr) return -1;
    int rc = pthread_mutex_trylock(cell->mutex);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(cell->mutex);  // held now, as after vesk_mutex_lock
        return 0;
    }
    return rc == 0 ? 0 : -1;
}

void os::cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

extern "C" {

VESK_API vesk_mutex_cell *vesk_mutex_create(uint32_t tag1, uint32_t tag2) {
    auto *cell =
        static_cast<vesk_mutex_cell *>(vesk_mem_alloc(tag1, tag2, sizeof(vesk_mutex_cell)));
    cell->mutex = posix_mutex_new();
    if (cell->mutex == nullptr) {
        vesk_mem_free(cell);
        return nullptr;
    }
    return cell;
}

VESK_API void vesk_mutex_destroy(vesk_mutex_cell *cell) {
    if (cell == nullptr || cell->mutex == nullptr) return;
    pthread_mutex_destroy(cell->mutex);
    delete cell->mutex;  // GCOVR_EXCL_BR_LINE: delete's own null test
    cell->mutex = nullptr;
}

VESK_API int vesk_mutex_lock(vesk_mutex_cell *cell) {
    if (cell == nullptr) return -1;
    if (cell->mutex == nullptr)
        return VESK_WAIT_FAILED;  // destroyed: a failed wait, as on a closed handle
    int rc = pthread_mutex_lock(cell->mutex);
    if (rc == 0) return 0;
    if (rc == EOWNERDEAD) {
        // The previous owner ended while holding it: the caller holds it now,
        // and the result still says that the wait was not a plain success.
        pthread_mutex_consistent(cell->mutex);
    }
    return VESK_WAIT_FAILED;
}

VESK_API int vesk_mutex_unlock(vesk_mutex_cell *cell) {
    if (cell == nullptr) return -1;
    if (cell->mutex != nullptr)
        pthread_mutex_unlock(cell->mutex);  // a failed release is not reported
    return 0;
}

VESK_API vesk_sem_cell *vesk_sem_create(uint32_t tag1, uint32_t tag2, int initial) {
    auto *cell = static_cast<vesk_sem_cell *>(vesk_mem_alloc(tag1, tag2, sizeof(vesk_sem_cell)));
    cell->sem = nullptr;
    if (initial >= 0) {
        cell->sem = new (std::nothrow) sem_t;
        if (cell->sem != nullptr && sem_init(cell->sem, 0, static_cast<unsigned>(initial)) != 0) {
            delete cell->sem;  // GCOVR_EXCL_BR_LINE: delete's own null test
            cell->sem = nullptr;
        }
    }
    if (cell->sem == nullptr) {
        vesk_mem_free(cell);
        return nullptr;
    }
    return cell;
}

VESK_API int vesk_sem_destroy(vesk_sem_cell *cell) {
    if (cell == nullptr || cell->sem == nullptr) return 0;
    sem_destroy(cell->sem);
    delete cell->sem;  // GCOVR_EXCL_BR_LINE: delete's own null test
    cell->sem = nullptr;
    return 0;
}

VESK_API int vesk_sem_post(vesk_sem_cell *cell) {
    if (cell == nullptr) return -1;
    if (cell->sem == nullptr) return 0;  // destroyed: a failed release is not reported
    // The maximum count is 0x7FFFFFFF (SEM_VALUE_MAX on Linux): a post beyond
    // it fails with EOVERFLOW, which is not reported.
    sem_post(cell->sem);
    return 0;
}

VESK_API int vesk_sem_wait(vesk_sem_cell *cell) {
    if (cell == nullptr) return -1;
    if (cell->sem == nullptr) return VESK_WAIT_FAILED;
    int rc;
    do {
        rc = sem_wait(cell->sem);
    } while (rc != 0 && errno == EINTR);  // a signal is not a failed wait
    return rc == 0 ? 0 : VESK_WAIT_FAILED;
}

VESK_API int vesk_sem_trywait(vesk_sem_cell *cell) {
    if (cell == nullptr) return -1;
    if (cell->sem == nullptr) return VESK_WAIT_FAILED;
    return sem_trywait(cell->sem) == 0 ? 0 : VESK_WAIT_FAILED;
}

}  // extern "C"
