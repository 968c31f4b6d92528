// A timer thread that cannot be created.  The death-test child runs in a
// fresh process (re-executed), so no stack of an earlier thread is cached
// there, and its address space is then capped below what one more thread's
// stack needs: the same refusal a crowded server meets.
// test-platform: POSIX (setrlimit, /proc/self/statm)
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "vuvidur.h"

namespace {

constexpr rlim_t kHeadroom = 1 << 20;  // for small allocations, far below a stack

TEST(TimerStartDeathTest, ThreadThatCannotBeCreatedIsReportedAndALaterStartWorks) {
    pthread_attr_t attr;
    size_t stack_size = 0;
    ASSERT_EQ(pthread_getattr_default_np(&attr), 0);
    pthread_attr_getstacksize(&attr, &stack_size);
    pthread_attr_destroy(&attr);
    if (stack_size <= 2 * kHeadroom) GTEST_SKIP() << "thread stacks too small to run out of";

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vesk_timer_init();
            unsigned long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            rlimit saved{};
            getrlimit(RLIMIT_AS, &saved);
            rlimit capped = saved;
            capped.rlim_cur = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + kHeadroom;
            if (pages == 0 || setrlimit(RLIMIT_AS, &capped) != 0) std::_Exit(2);
            int refused = vesk_timer_start();
            setrlimit(RLIMIT_AS, &saved);
            int started = vesk_timer_start();
            int stopped = vesk_timer_stop();
            std::fprintf(stderr, "start %d, then %d, stop %d\n", refused, started, stopped);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "start -1, then 0, stop 0");
}

}  // namespace
