// Internal hooks of the memory functions.
#pragma once

#include <cstddef>

// Replaces the allocator behind vesk_mem_alloc (NULL restores malloc) and
// returns the previous one.  For tests that inject allocation failures.
void *(*mem_set_allocator(void *(*allocator)(size_t)))(size_t);
