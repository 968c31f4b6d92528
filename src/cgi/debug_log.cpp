// Every append opens and closes the log, so each line is on disk before the
// program goes on, even if it later crashes.
#include "cgi/debug_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cgi {

namespace {

constexpr const char *kDebugLogName = "cgidebug.txt";
constexpr const char *kDebugLogVariable = "VESK_CGI_LOG";
constexpr const char *kDebugLogOff = "off";

// The log's path, or NULL when it is switched off.  The log records every
// query string, which may carry what a site must not keep in a file in its
// web directory, so the operator can move it or turn it off.  Unset or empty:
// the file in the current directory, as it always was.
const char *debug_log_path() {
    const char *setting = std::getenv(kDebugLogVariable);
    if (setting == nullptr || setting[0] == '\0') return kDebugLogName;
    if (std::strcmp(setting, kDebugLogOff) == 0) return nullptr;
    return setting;
}

}  // namespace

int debug_log_append(const char *format, ...) {
    const char *path = debug_log_path();
    if (path == nullptr) return 0;
    std::FILE *log = std::fopen(path, "a");
    if (log == nullptr) return EOF;
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
    return std::fclose(log);
}

}  // namespace cgi
