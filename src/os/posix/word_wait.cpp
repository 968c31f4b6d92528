// Sleeping on a 32-bit word until another thread changes it: a private futex.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "os/os.h"

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

// Both leave the caller's errno as it was: a wait that found the word changed
// (EAGAIN) or timed out is no error of the caller's.
void os::wait_on_word(const std::atomic<uint32_t> *word, uint32_t expected, int timeout_ms) {
    const int saved = errno;
    timespec limit{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    // The kernel compares the word with `expected` and sleeps only while they
    // are equal, atomically with respect to os::wake_word.
    syscall(SYS_futex, reinterpret_cast<const uint32_t *>(word), FUTEX_WAIT_PRIVATE, expected,
            timeout_ms < 0 ? nullptr : &limit, nullptr, 0);
    errno = saved;
}

void os::wake_word(const std::atomic<uint32_t> *word) {
    const int saved = errno;
    syscall(SYS_futex, reinterpret_cast<const uint32_t *>(word), FUTEX_WAKE_PRIVATE, INT_MAX,
            nullptr, nullptr, 0);
    errno = saved;
}

int os::look_again_worth_us(void) { return 100; }

int os::channel_look_us(void) { return 100; }
