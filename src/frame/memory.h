// Internal hooks of the memory functions.
#pragma once

#include <cstddef>

namespace frame {

// Replaces the allocator behind vesk_mem_alloc (NULL restores malloc) and
// returns the previous one.  For tests that inject allocation failures.
void *(*set_allocator(void *(*allocator)(size_t)))(size_t);

// Allocates `size` bytes with the allocator behind vesk_mem_alloc, but
// returns NULL on failure instead of ending the process: for callers that
// can refuse their own work.  Released with vesk_mem_free.
void *try_alloc(size_t size);

}  // namespace frame
