// Internal hooks of the memory functions.
#pragma once

#include <cstddef>

namespace frame {

// Replaces the allocator behind vesk_mem_alloc (NULL restores malloc) and
// returns the previous one.  For tests that inject allocation failures.
void *(*set_allocator(void *(*allocator)(size_t)))(size_t);

}  // namespace frame
