// The CGI form decoder over arbitrary bytes: pair splitting, text decoding and
// the value copy behind cgiGetValue.  ASan catches any read or write outside
// the input or the exactly sized buffers; the checks catch broken invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cgi/form.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Copies `value` into a heap buffer of exactly `size` bytes.
void copy_into(const std::string &value, int size) {
    std::vector<char> buffer(static_cast<size_t>(size));
    int code = cgi::form_copy_value(value.c_str(), buffer.data(), size);
    size_t written = std::strlen(buffer.data());  // terminated inside the buffer
    check(written < static_cast<size_t>(size));
    check(code == 0 || code == 1 || code == 3);
    check(code != 1 || static_cast<int>(written) == size - 1);
    check(code != 3 || written == 0);
    check(code != 0 || (written > 0 && static_cast<int>(written) < size - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    cgi::Bytes input(data, size);

    std::string decoded = cgi::form_decode_text(input);
    check(decoded.size() <= size);

    cgi::FormFieldList fields;
    check(cgi::form_split_pairs(input, fields) == 0);
    size_t equals = 0;
    for (size_t i = 0; i < size; ++i) equals += data[i] == '=';
    check(fields.size() <= equals);
    size_t decoded_bytes = 0;
    for (const auto &field : fields) decoded_bytes += field.name.size() + field.value.size();
    check(decoded_bytes + fields.size() <= size);  // each pair spends an "=" at least

    for (const auto &field : fields) {
        for (int buffer_size : {1, 2, 3, 8, 64}) copy_into(field.value, buffer_size);
    }
    return 0;
}
