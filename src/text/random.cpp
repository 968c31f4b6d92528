// Random numbers over the process-wide standard generator, which the padded
// envelope also draws its filler from: seeding here reseeds it there too.
#include "text/random.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "vuvidur.h"

namespace {

// Raised by every vesk_rand_next and never lowered.  Atomic, so that callers
// on several threads each see a value of their own.
std::atomic<int32_t> g_call_counter{0};

// How far a draw is shifted down to keep its 15 highest bits: the results'
// arithmetic assumes draws of 0..32767 whatever RAND_MAX the platform has.
constexpr int draw_shift() {
    int shift = 0;
    for (unsigned long long max = RAND_MAX;
         max > static_cast<unsigned long long>(text::kRandDrawMax); max >>= 1) {
        ++shift;
    }
    return shift;
}

void rand_seed_from_clock() { std::srand(static_cast<unsigned>(std::time(nullptr))); }

}  // namespace

int32_t text::rand_draw() {
    return static_cast<int32_t>(std::rand() >> draw_shift()) & text::kRandDrawMax;
}

int32_t text::rand_result(int32_t counter, int32_t draw) {
    // Exact in 64-bit integers (and in double precision, where it began).
    auto scaled =
        static_cast<uint32_t>(static_cast<int64_t>(draw) * 20000000 / (text::kRandDrawMax + 1));
    uint32_t sum = static_cast<uint32_t>(counter) + 5u + 4u * scaled;
    return static_cast<int32_t>(sum);
}

extern "C" {

VESK_API int vesk_rand_next(void) {
    // Reseeded from the whole-second clock on every call, so two calls in one
    // second draw the same value; the counter keeps their results apart.
    rand_seed_from_clock();
    int32_t counter = static_cast<int32_t>(
        static_cast<uint32_t>(g_call_counter.fetch_add(1, std::memory_order_relaxed)) + 1u);
    return text::rand_result(counter, text::rand_draw());
}

VESK_API void vesk_rand_init(void) {
    rand_seed_from_clock();
    for (int i = 0; i < 3; ++i) static_cast<void>(std::rand());
}

}  // extern "C"
