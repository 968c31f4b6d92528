// Processes on Windows: the command line is handed to CreateProcessA as it
// is, and the child gets a console of its own.
#include <windows.h>

#include <cstddef>
#include <cstdio>

#include "vuvidur.h"

// The caller's record is the platform's PROCESS_INFORMATION, field for field.
static_assert(sizeof(vesk_process_info) == sizeof(PROCESS_INFORMATION));
static_assert(offsetof(vesk_process_info, process) == offsetof(PROCESS_INFORMATION, hProcess));
static_assert(offsetof(vesk_process_info, thread) == offsetof(PROCESS_INFORMATION, hThread));
static_assert(offsetof(vesk_process_info, process_id) ==
              offsetof(PROCESS_INFORMATION, dwProcessId));
static_assert(offsetof(vesk_process_info, thread_id) == offsetof(PROCESS_INFORMATION, dwThreadId));

namespace {

// CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS
constexpr DWORD kCreationFlags = 0x30;
static_assert(kCreationFlags == (CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS));

}  // namespace

extern "C" {

VESK_API int vesk_process_create(char *cmdline, vesk_process_info *pi) {
    if (cmdline == nullptr || pi == nullptr) return -2;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, cmdline, nullptr, nullptr, FALSE, kCreationFlags, nullptr, nullptr,
                        &startup, reinterpret_cast<PROCESS_INFORMATION *>(pi))) {
        std::printf("\r\nErr = %d", static_cast<int>(GetLastError()));
        std::fflush(stdout);
        return -3;
    }
    std::printf("\r\nvesk_process_create OK! hProc = %u", static_cast<unsigned>(pi->process));
    std::fflush(stdout);
    return 0;
}

VESK_API int vesk_process_kill(intptr_t process, uint32_t exit_code) {
    // The handle stays open: it is the caller's.
    return TerminateProcess(reinterpret_cast<HANDLE>(process), exit_code) ? 0 : -1;
}

}  // extern "C"
