// The DLL's entry point, seen the way a developer sees it: a debugger attached
// to a host process receives the load and unload messages.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

// Runs the host under the debug API and returns every debug string it wrote.
std::vector<std::string> debug_strings_of(std::string command_line) {
    std::vector<std::string> strings;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &pi)) {
        ADD_FAILURE() << "CreateProcessA failed: " << GetLastError();
        return strings;
    }
    for (bool running = true; running;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 60000)) {
            ADD_FAILURE() << "no debug event within a minute";
            TerminateProcess(pi.hProcess, 1);
            break;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT: {
                const OUTPUT_DEBUG_STRING_INFO &info = event.u.DebugString;
                if (!info.fUnicode && info.nDebugStringLength > 0) {
                    std::string text(info.nDebugStringLength, '\0');
                    SIZE_T got = 0;
                    ReadProcessMemory(pi.hProcess, info.lpDebugStringData, text.data(), text.size(),
                                      &got);
                    text.resize(got);
                    if (!text.empty() && text.back() == '\0') text.pop_back();
                    strings.push_back(text);
                }
                break;
            }
            case EXCEPTION_DEBUG_EVENT:
                // The loader's initial breakpoint is expected; anything else is
                // left to the process.
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    status = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                running = false;
                break;
            default:
                break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return strings;
}

}  // namespace

TEST(DllEntry, LoadAndUnloadWriteTheirMessagesToTheDebugger) {
    std::string line =
        std::string("\"") + VESK_DLL_HOST + "\" --load-only \"" + VESK_SHARED_LIBRARY + "\"";
    std::vector<std::string> mine;
    for (const std::string &s : debug_strings_of(line)) {
        if (s.find("Vuvidur") != std::string::npos) mine.push_back(s);
    }
    const std::vector<std::string> expected = {"\n Load Vuvidur\n", "\n UnLoad Vuvidur\n"};
    EXPECT_EQ(mine, expected);
}
