// Waiting for a channel's next event without using the processor: a short
// spin for the common case of an event that is about to arrive, then sleep
// on the channel's signal word until a post, a release or tear-down changes
// it.  The waiter counts itself among the sleepers before it looks at the
// channel a last time, and a poster publishes its event before it looks for
// sleepers (channel_signal): one of the two always sees the other.
#include <chrono>
#include <thread>

#include "net/net_internal.h"

namespace net {

namespace {

// An answer usually comes within a round trip: the waiter looks again for
// up to the channel's look-again window (net_internal.h), giving the
// processor away between looks (the I/O thread may need it), before it
// sleeps, which costs a wake-up.
constexpr int kSpins = 100;

using Clock = std::chrono::steady_clock;

// 1 event, 0 none, -1 the channel is gone (released, or the engine stops).
int look(const Channel &ch) {
    if (ch.has_events.load(std::memory_order_seq_cst) != 0) return 1;
    if (ch.in_use.load(std::memory_order_seq_cst) == 0) return -1;
    if (g_engine.closing.load(std::memory_order_seq_cst) != 0) return -1;
    return 0;
}

// After a sleep: the window for the next wait, from when the event came.
void after_sleep(Channel &ch, int window_us, Clock::time_point start) {
    ch.look_us.store(next_look_window(window_us, Clock::now() - start, os::channel_look_us()),
                     std::memory_order_relaxed);
}

int wait_for_event(Channel &ch, int timeout_ms) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    const int window_us = ch.look_us.load(std::memory_order_relaxed);
    const auto window = std::chrono::microseconds(window_us);
    bool spinning = true;
    bool slept = false;
    for (int round = 0;; ++round) {
        const int seen = look(ch);
        if (seen != 0 || timeout_ms == 0) {
            if (slept) after_sleep(ch, window_us, start);
            return seen;
        }
        if (round < kSpins) continue;
        if (spinning) {
            // A bounded look: at most the window, giving the processor away
            // between looks, then a sleep.
            spinning = Clock::now() - start < window && (timeout_ms < 0 || Clock::now() < deadline);
            if (spinning) {
                std::this_thread::yield();
                continue;
            }
        }
        int left = -1;
        if (timeout_ms > 0) {
            const auto now = Clock::now();
            if (now >= deadline) {
                after_sleep(ch, window_us, start);  // nothing came within the wait
                return look(ch);
            }
            left = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        }
        const uint32_t word = ch.signal.load(std::memory_order_seq_cst);
        ch.sleepers.fetch_add(1, std::memory_order_seq_cst);
        if (look(ch) == 0) os::wait_on_word(&ch.signal, word, left);
        ch.sleepers.fetch_sub(1, std::memory_order_seq_cst);
        slept = true;
    }
}

}  // namespace

}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_channel_wait(int channel, int timeout_ms) {
    // Counted before anything of the engine is touched: tear-down waits for
    // every reader to leave before it frees the channels.
    const ReaderCount reader;
    if (!reader.entered() || !channel_in_range(channel)) return -1;
    return wait_for_event(channel_at(channel), timeout_ms);
}

}  // extern "C"
