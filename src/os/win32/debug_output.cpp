// The debug-output channel on Windows is the debugger's: OutputDebugStringA.
#include <windows.h>

#include "os/os.h"

void os::debug_output(const char *text) { OutputDebugStringA(text); }
