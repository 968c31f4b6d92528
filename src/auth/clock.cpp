// The ticket scheme's clock and its test hook.
#include "auth/clock.h"

#include <atomic>
#include <ctime>

namespace auth {
namespace {
std::atomic<ClockFn> g_test_clock{nullptr};
}

uint32_t now() {
    if (const ClockFn clock = g_test_clock.load(std::memory_order_acquire)) return clock();
    return static_cast<uint32_t>(std::time(nullptr));
}

void set_clock_for_testing(ClockFn clock) { g_test_clock.store(clock, std::memory_order_release); }

}  // namespace auth
