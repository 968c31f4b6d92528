// The timer thread's guard on Windows: structured exceptions are faults too.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "os/os.h"
#include "vuvidur.h"

namespace {

void report_and_exit() {
    std::fputs("guarded fault\n", stderr);
    std::fflush(stderr);
    std::exit(1);
}

void *chain_head() {
    void *head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

uint32_t touch_null(void *) {
    volatile int *nowhere = nullptr;
    return static_cast<uint32_t>(*nowhere);
}

uint32_t divide_by_zero(void *arg) {
    volatile int zero = *static_cast<int *>(arg);
    return static_cast<uint32_t>(100 / zero);
}

uint32_t throw_cpp(void *) { throw std::runtime_error("from a callback"); }

uint32_t raise_error_code(void *) {
    RaiseException(0xE0000001u, 0, 0, nullptr);  // an application's own error
    return 0;
}

uint32_t return_arg(void *arg) { return *static_cast<uint32_t *>(arg); }

// A fault that the body handles itself never reaches the guard.
uint32_t handled_inside(void *) {
    return os::run_guarded([](void *) -> uint32_t { throw 1; }, nullptr, [] {}) == 0 ? 3 : 4;
}

uint32_t exit_thread_inside(void *) {
    vesk_thread_exit();
    return 9;
}

uint32_t VESK_THREADCALL guarded_exit(void *) {
    return os::run_guarded(exit_thread_inside, nullptr, report_and_exit);
}

uint32_t spin(void *) {
    for (;;) Sleep(1);
}

uint32_t VESK_THREADCALL guarded_spin(void *) {
    return os::run_guarded(spin, nullptr, report_and_exit);
}

}  // namespace

TEST(WindowsGuard, ResultPassesThroughAndTheExceptionChainIsRestored) {
    void *before = chain_head();
    uint32_t value = 77;
    EXPECT_EQ(os::run_guarded(return_arg, &value, report_and_exit), 77u);
    EXPECT_EQ(chain_head(), before);
    EXPECT_EQ(os::run_guarded(handled_inside, nullptr, report_and_exit), 3u);
    EXPECT_EQ(chain_head(), before);
}

TEST(WindowsGuardDeathTest, InvalidMemoryAccessIsAFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(os::run_guarded(touch_null, nullptr, report_and_exit), testing::ExitedWithCode(1),
                "guarded fault");
}

TEST(WindowsGuardDeathTest, IntegerDivisionByZeroIsAFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int zero = 0;
    EXPECT_EXIT(os::run_guarded(divide_by_zero, &zero, report_and_exit), testing::ExitedWithCode(1),
                "guarded fault");
}

TEST(WindowsGuardDeathTest, RaisedErrorAndCppExceptionAreFaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(os::run_guarded(raise_error_code, nullptr, report_and_exit),
                testing::ExitedWithCode(1), "guarded fault");
    EXPECT_EXIT(os::run_guarded(throw_cpp, nullptr, report_and_exit), testing::ExitedWithCode(1),
                "guarded fault");
}

TEST(WindowsGuard, ThreadEndingMechanismsPassThroughUntouched) {
    vesk_thread_cell cell{};
    ASSERT_NE(vesk_thread_create(0, &cell, guarded_exit, nullptr), nullptr);
    EXPECT_EQ(vesk_thread_destroy(&cell), 0);
    ASSERT_NE(vesk_thread_create(0, &cell, guarded_spin, nullptr), nullptr);
    Sleep(20);
    EXPECT_EQ(vesk_thread_destroy(&cell), -1);  // terminated: no fault reported, process goes on
}
