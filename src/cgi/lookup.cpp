// The field lookups: cgiGetValue (the first field of a name, copied into the
// caller's buffer) and the extensions that reach every field of a name, its
// bytes as sent, and the files of a multipart POST.
#include <cstring>

#include "cgi/form.h"
#include "cgi/request.h"
#include "vuvidur.h"

namespace {

constexpr int kNoSuchField = 4;
constexpr int kFound = 0;
constexpr const char *kDefaultFileType = "application/octet-stream";

// C-string comparison: a name decoded with a NUL in it ends there.
bool named(const cgi::FormField &field, const char *name) {
    return std::strcmp(field.name.c_str(), name) == 0;
}

// The index-th field called `name` (only file fields when `files_only`), or
// nullptr.
const cgi::FormField *nth_field(const char *name, int index, bool files_only = false) {
    if (name == nullptr || index < 0) return nullptr;
    for (const cgi::FormField &field : cgi::request_state().fields) {
        if ((!files_only || field.is_file) && named(field, name) && index-- == 0) return &field;
    }
    return nullptr;
}

int copy_field(const char *name, int index, char *buffer, int size) {
    // No buffer to terminate, or no name to look for: report "no such field"
    // and write nothing.
    if (name == nullptr || buffer == nullptr || size < 1) return kNoSuchField;
    const cgi::FormField *field = nth_field(name, index);
    if (field == nullptr) {
        buffer[0] = '\0';
        return kNoSuchField;
    }
    return cgi::form_copy_value(field->bytes(), buffer, size);
}

}  // namespace

extern "C" {

VESK_API int cgiGetValue(const char *name, char *buffer, int size) {
    return copy_field(name, 0, buffer, size);
}

VESK_API int cgiCountValues(const char *name) {
    if (name == nullptr) return 0;
    int count = 0;
    for (const cgi::FormField &field : cgi::request_state().fields) count += named(field, name);
    return count;
}

VESK_API int cgiGetValueAt(const char *name, int index, char *buffer, int size) {
    return copy_field(name, index, buffer, size);
}

VESK_API int cgiGetBytes(const char *name, int index, const char **data, int *size) {
    if (data == nullptr || size == nullptr) return kNoSuchField;
    const cgi::FormField *field = nth_field(name, index);
    if (field == nullptr) return kNoSuchField;
    // Bodies are at most INT_MAX bytes long, and so is every value in them.
    std::string_view bytes = field->bytes();
    *data = bytes.data();
    *size = static_cast<int>(bytes.size());
    return kFound;
}

VESK_API int cgiGetFile(const char *name, int index, vesk_cgi_file *file) {
    if (file == nullptr) return kNoSuchField;
    const cgi::FormField *field = nth_field(name, index, true);
    if (field == nullptr) return kNoSuchField;
    file->filename = field->filename.c_str();
    file->content_type =
        field->content_type.empty() ? kDefaultFileType : field->content_type.c_str();
    file->data = field->body_data;
    file->size = static_cast<int32_t>(field->body_size);
    return kFound;
}

}  // extern "C"
