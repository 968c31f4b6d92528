// The executable's path on Windows: the main module's file name.
#include <windows.h>

#include <climits>

#include "os/os.h"

int os::module_path(char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    DWORD room = size > INT_MAX ? INT_MAX : static_cast<DWORD>(size);
    DWORD length = GetModuleFileNameA(nullptr, buffer, room);
    // A path that does not fit comes back cut to the buffer (length == room):
    // only a path with room left for the terminator is known to be whole.
    if (length == 0 || length >= room) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<int>(length);
}

const char *os::fallback_directory(void) { return "C:\\"; }
