// The arithmetic behind vesk_rand_next, apart from the generator and the
// clock so that it can be checked for every draw.
#pragma once

#include <cstdint>

namespace text {

// The largest draw: the generator's values are reduced to 15 bits.
constexpr int kRandDrawMax = 32767;

// counter + 5 + 4 * floor(draw * 20000000 / 32768), in 32-bit arithmetic
// (wrapping once the counter nears the top of the int range).
int32_t rand_result(int32_t counter, int32_t draw);

// One draw of the process-wide standard generator, reduced to 0..32767.
int32_t rand_draw();

}  // namespace text
