// The DLL's entry point: the loader calls it with a reason code.  Loading and
// unloading only write their messages; thread attach and detach do nothing.
#include <windows.h>

#include "frame/entry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        frame::on_load();
    } else if (reason == DLL_PROCESS_DETACH) {
        frame::on_unload();
    }
    return TRUE;  // loading never fails on the library's account
}
