// The guard around the timer thread's loop on POSIX: C++ exceptions.
#include <cxxabi.h>

#include "os/os.h"

uint32_t os::run_guarded(uint32_t (*body)(void *), void *arg, void (*on_fault)(void)) {
    try {
        return body(arg);
    } catch (abi::__forced_unwind &) {
        // Thread cancellation (the forced stop of vesk_thread_destroy) and
        // pthread_exit unwind the stack as an exception; it must go on, or
        // the runtime aborts the process.
        throw;
    } catch (...) {
        on_fault();
    }
    return 0;  // on_fault does not return
}
