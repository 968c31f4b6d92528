// The multipart/form-data decoder over arbitrary bytes.  The first byte gives
// the boundary's length (0 to 15), the next bytes the boundary, the rest is
// the body; the whole input is also read as a CONTENT_TYPE.  ASan catches any
// access outside the body; the checks catch broken invariants: values lie in
// the body, in order and without overlap, and a refusal is a malformed body,
// never a lack of memory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/multipart.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string boundary;
    std::string_view whole(reinterpret_cast<const char *>(data), size);
    if (cgi::multipart_form_type(whole, boundary)) {
        check(boundary.find_first_of("\r\n") == std::string::npos);
    } else {
        check(boundary.empty());
    }
    if (size == 0) return 0;

    size_t boundary_size = std::min<size_t>(data[0] % 16, size - 1);
    boundary.assign(reinterpret_cast<const char *>(data) + 1, boundary_size);
    // The body in a buffer of its own size, so that ASan sees every overrun.
    std::vector<unsigned char> body(data + 1 + boundary_size, data + size);
    cgi::FormFieldList fields;
    int code = cgi::multipart_decode(cgi::Bytes(body.data(), body.size()), boundary, fields);
    check(code == cgi::kMultipartOk || code == cgi::kMultipartMalformed);
    if (boundary.empty()) check(code == cgi::kMultipartMalformed);

    const char *start = reinterpret_cast<const char *>(body.data());
    const char *previous_end = start;
    for (const auto &field : fields) {
        check(field.value.empty());
        check(field.body_data >= previous_end);
        check(field.body_data + field.body_size <= start + body.size());
        previous_end = field.body_data + field.body_size;
        // Every part needs a delimiter line and its own headers before it.
        check(static_cast<size_t>(field.body_data - start) >= boundary.size() + 2);
        check(field.filename.empty() || field.is_file);
        std::vector<char> buffer(8);
        cgi::form_copy_value(field.bytes(), buffer.data(), static_cast<int>(buffer.size()));
    }
    return 0;
}
