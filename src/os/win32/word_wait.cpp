// Sleeping on a 32-bit word until another thread changes it.  Words hash to a
// small table of slim locks with condition variables: a waiter compares the
// word under the lock and sleeps on the condition, which releases the lock
// atomically; a waker takes and releases the same lock before it signals, so
// a waiter between its comparison and its sleep cannot miss the signal.
#include <windows.h>

#include <cstdint>

#include "os/os.h"

namespace {

struct Bucket {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

constexpr unsigned kBuckets = 64;
Bucket g_buckets[kBuckets];

Bucket &bucket_of(const void *word) {
    auto v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(word) >> 2);
    v *= 0x9E3779B1u;
    return g_buckets[v >> 26];
}

}  // namespace

void os::wait_on_word(const std::atomic<uint32_t> *word, uint32_t expected, int timeout_ms) {
    Bucket &b = bucket_of(word);
    AcquireSRWLockExclusive(&b.lock);
    if (word->load() == expected) {
        SleepConditionVariableSRW(&b.changed, &b.lock,
                                  timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms), 0);
    }
    ReleaseSRWLockExclusive(&b.lock);
}

void os::wake_word(const std::atomic<uint32_t> *word) {
    Bucket &b = bucket_of(word);
    AcquireSRWLockExclusive(&b.lock);
    ReleaseSRWLockExclusive(&b.lock);
    WakeAllConditionVariable(&b.changed);
}

int os::look_again_worth_us(void) { return 1000; }

int os::channel_look_us(void) { return 500; }
