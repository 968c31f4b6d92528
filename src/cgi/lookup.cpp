// cgiGetValue: the first field of the given name, copied into the caller's
// buffer.
#include <cstring>

#include "cgi/form.h"
#include "cgi/request.h"
#include "vuvidur.h"

namespace {
constexpr int kNoSuchField = 4;
}

extern "C" VESK_API int cgiGetValue(const char *name, char *buffer, int size) {
    // No buffer to terminate, or no name to look for: report "no such field"
    // and write nothing.
    if (name == nullptr || buffer == nullptr || size < 1) return kNoSuchField;
    for (const cgi::FormField &field : cgi::request_state().fields) {
        // C-string comparison: a name decoded with a NUL in it ends there.
        if (std::strcmp(field.name.c_str(), name) == 0) {
            return cgi::form_copy_value(field.bytes(), buffer, size);
        }
    }
    buffer[0] = '\0';
    return kNoSuchField;
}
