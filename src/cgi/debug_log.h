// The CGI debug log: "cgidebug.txt" in the current directory, unless the
// environment variable VESK_CGI_LOG moves it or switches it off.
#pragma once

namespace cgi {

// Opens the log for appending, writes the formatted text, and closes it
// again: the close's result (0, or EOF when a write or the close failed).
// A log that cannot be opened is skipped without a report; the result is then
// EOF, because the text was not recorded.  A log switched off
// (VESK_CGI_LOG=off) records nothing and loses nothing: the result is 0.
int debug_log_append(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace cgi
