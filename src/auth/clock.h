// The clock of the ticket scheme: seconds since 1970 as 32-bit unsigned
// numbers.  Tests replace it to reach a ticket's expiry without waiting.
#pragma once

#include <cstdint>

namespace auth {

using ClockFn = uint32_t (*)();

// time(), truncated to 32 bits, or the test clock when one is set.
uint32_t now();

// Replaces the clock for this process; nullptr goes back to time().
void set_clock_for_testing(ClockFn clock);

}  // namespace auth
