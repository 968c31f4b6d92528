// The executable's path on POSIX: the kernel's /proc/self/exe link.
#include <unistd.h>

#include "os/os.h"

int os::module_path(char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    ssize_t length = readlink("/proc/self/exe", buffer, size);
    // readlink does not terminate, and a result of `size` may be truncated:
    // only a path with room left for the terminator is known to be whole.
    if (length <= 0 || static_cast<size_t>(length) >= size) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[length] = '\0';
    return static_cast<int>(length);
}

const char *os::fallback_directory(void) { return "/"; }
