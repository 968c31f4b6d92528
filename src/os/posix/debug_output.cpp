// The debug-output channel on POSIX, chosen by VESK_DEBUG_OUTPUT: unset or
// empty discards the text (as with no debugger attached), "stderr" writes it
// to standard error, any other value is a file path opened for appending.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os.h"

void os::debug_output(const char *text) {
    const char *target = std::getenv("VESK_DEBUG_OUTPUT");
    if (target == nullptr || target[0] == '\0') return;
    if (std::strcmp(target, "stderr") == 0) {
        std::fputs(text, stderr);
        std::fflush(stderr);
        return;
    }
    if (std::FILE *file = std::fopen(target, "a")) {
        std::fputs(text, file);
        std::fclose(file);
    }
}
