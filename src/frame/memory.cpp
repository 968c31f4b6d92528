// Memory functions, placeholders and the debug word.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "frame/memory.h"
#include "vuvidur.h"

namespace {

// Tests replace the allocator to inject failures; everything else uses malloc.
std::atomic<void *(*)(size_t)> g_allocator{&std::malloc};

// No function of the library reads the debug word; atomic so that callers on
// several threads may set it without a data race.
std::atomic<int> g_debug_word{0};

// Set by the first thread that ends the process for want of memory.
std::atomic<bool> g_out_of_memory{false};

}  // namespace

void frame::out_of_memory(const char *cause) {
    if (!g_out_of_memory.exchange(true)) {
        std::fprintf(stderr, "vuvidur: out of memory (%s)\n", cause);
        std::exit(1);
    }
    // Another thread is ending the process: its exit ends this thread too.
    // Reached only when two threads run out of memory at the same moment.
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));  // GCOVR_EXCL_LINE
}

void *(*frame::set_allocator(void *(*allocator)(size_t)))(size_t) {
    return g_allocator.exchange(allocator ? allocator : &std::malloc);
}

void *frame::try_alloc(size_t size) { return g_allocator.load(std::memory_order_relaxed)(size); }

extern "C" {

VESK_API void *vesk_mem_alloc(uint32_t, uint32_t, uint32_t size) {
    void *block = g_allocator.load(std::memory_order_relaxed)(size);
    if (block == nullptr) {
        // Callers never test the result, so the process cannot go on.
        char cause[64];
        std::snprintf(cause, sizeof cause, "allocation of %u bytes failed",
                      static_cast<unsigned>(size));
        frame::out_of_memory(cause);
    }
    return block;
}

VESK_API void vesk_mem_free(void *block) {
    std::free(block);  // free(NULL) is a no-op
}

VESK_API void *vesk_mem_realloc(void *block, uint32_t size) { return std::realloc(block, size); }

VESK_API int vesk_mem_set(void *buf, int fill, uint32_t len) {
    std::memset(buf, fill & 0xFF, len);
    return 0;
}

VESK_API int vesk_set_debug_word(int value) {
    g_debug_word.store(value, std::memory_order_relaxed);
    return 0;
}

VESK_API int vesk_stub_zero(void) { return 0; }

VESK_API void vesk_stub_void(void) {}

}  // extern "C"
