// Opening a file that must be a regular one, on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os.h"

std::FILE *os::open_regular_file(const char *path) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer, before fstat could tell what the file is.  O_NOCTTY: a terminal
    // named here must not become the process's controlling terminal.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    // Reads of a regular file never return EAGAIN, but a blocking descriptor
    // is what a stream expects.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE *file = fdopen(fd, "r");
    if (file == nullptr) close(fd);
    return file;
}
