// vesk_module_dir: the directory of the process's executable, with its
// trailing separator.
#include "config/module_dir.h"

#include <cstring>

#include "os/os.h"
#include "vuvidur.h"

void config::cut_to_directory(char *path, const char *fallback) {
    const char *last = nullptr;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') last = p;
    }
    if (last == nullptr || last - path <= 1) {
        std::strcpy(path, fallback);
        return;
    }
    path[last - path + 1] = '\0';
}

extern "C" VESK_API int vesk_module_dir(char *buffer) {
    if (buffer == nullptr) return -1;
    if (os::module_path(buffer, VESK_MODULE_DIR_SIZE) <= 0) {
        buffer[0] = '\0';
        return -1;
    }
    config::cut_to_directory(buffer, os::fallback_directory());
    return 0;
}
