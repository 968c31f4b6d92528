// Internal hooks of the memory functions.
#pragma once

#include <cstddef>
#include <new>

namespace frame {

// Replaces the allocator behind vesk_mem_alloc (NULL restores malloc) and
// returns the previous one.  For tests that inject allocation failures.
void *(*set_allocator(void *(*allocator)(size_t)))(size_t);

// Allocates `size` bytes with the allocator behind vesk_mem_alloc, but
// returns NULL on failure instead of ending the process: for callers that
// can refuse their own work.  Released with vesk_mem_free.
void *try_alloc(size_t size);

// The out-of-memory policy, for resources the library needs and cannot get
// where the call has no way to report it: writes one line naming `cause` to
// standard error and ends the process with status 1 (a supervisor must not
// read it as a clean exit).  When several threads get here at once, one
// writes and ends the process; the others wait for the end, so that exactly
// one line is written.
[[noreturn]] void out_of_memory(const char *cause);

// Runs `body` and returns its result; a std::bad_alloc that escapes it ends
// the process by the out-of-memory policy, so that no C++ exception crosses
// an exported call.
template <typename Body>
auto no_throw(Body body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc &) {  // GCOVR_EXCL_BR_LINE: only bad_alloc is thrown here
        out_of_memory("a C++ allocation failed");
    }
}

}  // namespace frame
