// The guard around the timer thread's loop on Windows: C++ exceptions, and
// structured exceptions (invalid memory accesses, division by zero, ...).
//
// The compiler has no __try on 32-bit x86, so the guard registers a handler
// in the thread's exception-registration chain itself: a record on the stack
// whose address the thread block's first word (fs:[0]) holds while the body
// runs.  C++ exceptions are not structured exceptions with this compiler
// (they unwind through their own tables), so a catch clause takes those.
#include <windows.h>

#include "os/os.h"

namespace {

// The system's registration record, followed by what the handler needs.
struct GuardRecord {
    GuardRecord *previous;
    EXCEPTION_DISPOSITION(__cdecl *handler)(EXCEPTION_RECORD *, void *, CONTEXT *, void *);
    void (*on_fault)(void);
};

GuardRecord *chain_head() {
    GuardRecord *head;
    asm volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

void set_chain_head(GuardRecord *head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

// Faults are the exceptions of error severity (the two top bits set):
// access violations, stack overflow, division by zero, illegal instructions,
// floating-point faults, ...  Breakpoints and informational exceptions (a
// debugger's or the runtime's own signalling) are left to others.
bool is_fault(DWORD code) { return (code & 0xC0000000u) == 0xC0000000u; }

EXCEPTION_DISPOSITION __cdecl guard_handler(EXCEPTION_RECORD *record, void *frame, CONTEXT *,
                                            void *) {
    constexpr DWORD kUnwinding = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;
    if ((record->ExceptionFlags & kUnwinding) == 0 && is_fault(record->ExceptionCode)) {
        static_cast<GuardRecord *>(frame)->on_fault();  // ends the process
    }
    return ExceptionContinueSearch;
}

// Puts the record at the head of the chain for its lifetime; the destructor
// also runs when a C++ exception leaves the scope, so the chain never points
// into a stack frame that is gone.
class Registration {
public:
    explicit Registration(void (*on_fault)(void))
        : record_{chain_head(), &guard_handler, on_fault} {
        set_chain_head(&record_);
    }
    ~Registration() { set_chain_head(record_.previous); }
    Registration(const Registration &) = delete;
    Registration &operator=(const Registration &) = delete;

private:
    GuardRecord record_;
};

}  // namespace

uint32_t os::run_guarded(uint32_t (*body)(void *), void *arg, void (*on_fault)(void)) {
    // Forced termination and vesk_thread_exit end the thread without raising
    // anything: they pass by the guard untouched.
    Registration registration(on_fault);
    try {
        return body(arg);
    } catch (...) {
        on_fault();
    }
    return 0;  // on_fault does not return
}
