// Opening a file that must be a regular one, on Windows.  Opening a directory
// already fails here; a named pipe or a device (CON, NUL, COM1...) opens and
// is refused by its type.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "os/os.h"

std::FILE *os::open_regular_file(const char *path) {
    // Text mode, as the settings file has always been read: CR LF arrives as
    // LF.
    int fd = _open(path, _O_RDONLY | _O_TEXT | _O_NOINHERIT);
    if (fd < 0) return nullptr;
    struct _stat info;
    if (_fstat(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
        _close(fd);
        return nullptr;
    }
    std::FILE *file = _fdopen(fd, "rt");
    if (file == nullptr) _close(fd);
    return file;
}
