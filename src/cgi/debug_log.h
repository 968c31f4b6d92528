// The CGI debug log "cgidebug.txt" in the current directory.
#pragma once

namespace cgi {

// Opens the log for appending, writes the formatted text, and closes it
// again: the close's result (0, or EOF when a write or the close failed).
// A log that cannot be opened is skipped without a report; the result is then
// EOF, because the text was not recorded.
int debug_log_append(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace cgi
