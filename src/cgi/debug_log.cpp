// Every append opens and closes the log, so each line is on disk before the
// program goes on, even if it later crashes.
#include "cgi/debug_log.h"

#include <cstdarg>
#include <cstdio>

namespace cgi {

namespace {
constexpr const char *kDebugLogName = "cgidebug.txt";
}

int debug_log_append(const char *format, ...) {
    std::FILE *log = std::fopen(kDebugLogName, "a");
    if (log == nullptr) return EOF;
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
    return std::fclose(log);
}

}  // namespace cgi
