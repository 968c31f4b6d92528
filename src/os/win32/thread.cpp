// Threads and sleeping on Windows, through the C runtime's thread start so
// that the runtime's per-thread state is set up and torn down with the thread.
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <type_traits>

#include "vuvidur.h"

namespace {

constexpr DWORD kGraceMilliseconds = 1000;
constexpr DWORD kTerminatedExitCode = 10;

// The start routine is handed to the runtime unchanged: same signature.
using RuntimeStart = unsigned(__stdcall *)(void *);
static_assert(std::is_same_v<vesk_thread_fn, RuntimeStart>);
static_assert(sizeof(uint32_t) == sizeof(unsigned));

}  // namespace

extern "C" {

VESK_API vesk_thread_cell *vesk_thread_create(int, vesk_thread_cell *cell, vesk_thread_fn start,
                                              void *arg) {
    bool own_cell = cell == nullptr;
    if (own_cell) {
        cell = static_cast<vesk_thread_cell *>(vesk_mem_alloc(0, 0, sizeof(vesk_thread_cell)));
    }
    unsigned id = 0;
    uintptr_t handle = 0;
    if (start != nullptr) handle = _beginthreadex(nullptr, 0, start, arg, 0, &id);
    if (handle == 0) {
        std::fputs("Error while creating a new thread\n", stdout);
        if (own_cell) vesk_mem_free(cell);
        return nullptr;
    }
    cell->handle = handle;
    cell->id = id;
    return cell;
}

VESK_API int vesk_thread_destroy(vesk_thread_cell *cell) {
    if (cell == nullptr) return -1;
    auto handle = reinterpret_cast<HANDLE>(cell->handle);
    int result = 0;
    if (WaitForSingleObject(handle, kGraceMilliseconds) != WAIT_OBJECT_0) {
        result = -1;
        // Termination only starts the thread's end; wait for it, so that the
        // thread is gone (and runs no more code) when this returns.
        if (TerminateThread(handle, kTerminatedExitCode)) WaitForSingleObject(handle, INFINITE);
    }
    CloseHandle(handle);
    return result;
}

VESK_API void vesk_thread_exit(void) { _endthreadex(0); }

VESK_API void vesk_usleep(int usec) {
    // Truncating; below 1000 (and for a negative value) Sleep(0) gives up the
    // rest of the time slice.
    Sleep(usec > 0 ? static_cast<DWORD>(usec / 1000) : 0);
}

}  // extern "C"
