// Memory functions, placeholders and the debug word.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/memory.h"
#include "vuvidur.h"

namespace {

// Tests replace the allocator to inject failures; everything else uses malloc.
std::atomic<void *(*)(size_t)> g_allocator{&std::malloc};

// No function of the library reads the debug word; atomic so that callers on
// several threads may set it without a data race.
std::atomic<int> g_debug_word{0};

}  // namespace

void *(*frame::set_allocator(void *(*allocator)(size_t)))(size_t) {
    return g_allocator.exchange(allocator ? allocator : &std::malloc);
}

void *frame::try_alloc(size_t size) { return g_allocator.load(std::memory_order_relaxed)(size); }

extern "C" {

VESK_API void *vesk_mem_alloc(uint32_t, uint32_t, uint32_t size) {
    void *block = g_allocator.load(std::memory_order_relaxed)(size);
    if (block == nullptr) {
        // Callers never test the result, so the process cannot go on.  Exit
        // status 1 (not 0): a supervisor must not read this as a clean exit.
        std::fprintf(stderr, "vuvidur: out of memory (allocation of %u bytes failed)\n",
                     static_cast<unsigned>(size));
        std::exit(1);
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
