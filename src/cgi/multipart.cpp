// multipart/form-data decoding: delimiters found by one forward scan over the
// body, part headers read line by line, values left where they are.
#include "cgi/multipart.h"

#include <array>
#include <cstring>
#include <new>

namespace cgi {
namespace {

constexpr size_t kNotFound = static_cast<size_t>(-1);

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// `text` equals `lower` (given in lower case), ASCII letters in any case.
bool equal_no_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Calls visit(name, value) for each "; name=value" parameter of a header
// value's tail (the text after its first ';').  A parameter without '='
// has the value "".  False when a quoted string is not closed.
template <class Visit>
bool for_each_parameter(std::string_view text, Visit &&visit) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        while (i < n && (is_blank(text[i]) || text[i] == ';')) ++i;
        if (i == n) break;
        const size_t name_start = i;
        while (i < n && text[i] != '=' && text[i] != ';') ++i;
        std::string_view name = trim(text.substr(name_start, i - name_start));
        std::string value;
        if (i < n && text[i] == '=') {
            ++i;
            while (i < n && is_blank(text[i])) ++i;
            if (i < n && text[i] == '"') {
                bool closed = false;
                for (++i; i < n; ++i) {
                    char c = text[i];
                    if (c == '"') {
                        closed = true;
                        ++i;
                        break;
                    }
                    // Only '"' and '\' are escaped: a backslash before any
                    // other byte is kept (file names with Windows paths).
                    if (c == '\\' && i + 1 < n && (text[i + 1] == '"' || text[i + 1] == '\\')) {
                        c = text[++i];
                    }
                    value.push_back(c);
                }
                if (!closed) return false;
                while (i < n && text[i] != ';') ++i;  // bytes after the quote are ignored
            } else {
                const size_t value_start = i;
                while (i < n && text[i] != ';') ++i;
                value = trim(text.substr(value_start, i - value_start));
            }
        }
        visit(name, std::move(value));
    }
    return true;
}

// The delimiters of one body: CRLF "--" boundary, then "--" or blanks and
// CRLF.  The scan looks at the last byte of each window of a delimiter's
// length: when that byte occurs nowhere in a delimiter, no delimiter starts
// inside the window and the whole window is passed over (most windows of
// binary data).  Otherwise a delimiter can only start at a CR of the window.
// A boundary holds no CR, so a comparison that starts at one CR never runs
// past the next CR of the body, and every byte is looked at a bounded number
// of times: the scan is linear.
class Delimiters {
public:
    Delimiters(Bytes body, std::string_view dash_boundary)
        : data_(reinterpret_cast<const char *>(body.data())),
          size_(body.size()),
          dash_(dash_boundary),
          length_(dash_boundary.size() + 2) {
        in_delimiter_['\r'] = in_delimiter_['\n'] = true;
        for (char c : dash_) in_delimiter_[static_cast<unsigned char>(c)] = true;
    }

    // Whether "--boundary" at `at` starts a delimiter line.  On success,
    // `close` tells a closing delimiter, and `after` is where the next part
    // starts (after the line's CRLF).
    bool line_at(size_t at, bool &close, size_t &after) const {
        if (size_ - at < dash_.size()) return false;
        for (size_t k = 0; k < dash_.size(); ++k) {
            if (data_[at + k] != dash_[k]) return false;
        }
        size_t i = at + dash_.size();
        if (size_ - i >= 2 && data_[i] == '-' && data_[i + 1] == '-') {
            close = true;
            after = i + 2;
            return true;
        }
        while (i < size_ && is_blank(data_[i])) ++i;
        if (size_ - i < 2 || data_[i] != '\r' || data_[i + 1] != '\n') return false;
        close = false;
        after = i + 2;
        return true;
    }

    // The position of the CR of the first delimiter at or after `from`, or
    // kNotFound.
    size_t find(size_t from, bool &close, size_t &after) const {
        size_t i = from;
        // i never passes size_: its test only guards the subtraction.
        while (i <= size_ && size_ - i >= length_) {  // GCOVR_EXCL_BR_LINE
            if (!in_delimiter_[static_cast<unsigned char>(data_[i + length_ - 1])]) {
                i += length_;
                continue;
            }
            const void *cr = std::memchr(data_ + i, '\r', length_);
            if (cr == nullptr) {
                i += length_;
                continue;
            }
            size_t at = static_cast<size_t>(static_cast<const char *>(cr) - data_);
            if (at + 1 < size_ && data_[at + 1] == '\n' && line_at(at + 2, close, after)) {
                return at;
            }
            i = at + 1;
        }
        return kNotFound;
    }

private:
    const char *data_;
    size_t size_;
    std::string_view dash_;
    size_t length_;  // of the shortest delimiter: CR LF "--" boundary
    std::array<bool, 256> in_delimiter_{};
};

// The position of the first CRLF at or after `from`, or kNotFound.
size_t find_line_end(const char *text, size_t size, size_t from) {
    while (from < size) {
        const void *cr = std::memchr(text + from, '\r', size - from);
        if (cr == nullptr) return kNotFound;
        size_t at = static_cast<size_t>(static_cast<const char *>(cr) - text);
        if (at + 1 < size && text[at + 1] == '\n') return at;
        from = at + 1;
    }
    return kNotFound;
}

// Reads one part's headers and appends its field: false when malformed.
bool decode_part(const char *part, size_t size, FormFieldList &fields) {
    FormField field;
    bool named = false;
    size_t pos = 0;
    for (;;) {
        const size_t end = find_line_end(part, size, pos);
        if (end == kNotFound) return false;  // the headers never end
        if (end == pos) {                    // the empty line: the value follows
            pos = end + 2;
            break;
        }
        std::string_view line(part + pos, end - pos);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) return false;
        std::string_view name = trim(line.substr(0, colon));
        std::string_view value = trim(line.substr(colon + 1));
        if (equal_no_case(name, "content-disposition")) {
            size_t semicolon = value.find(';');
            if (!equal_no_case(trim(value.substr(0, semicolon)), "form-data")) return false;
            if (semicolon != std::string_view::npos) {
                bool closed = for_each_parameter(
                    value.substr(semicolon + 1), [&](std::string_view key, std::string text) {
                        if (equal_no_case(key, "name") && !named) {
                            field.name = std::move(text);
                            named = true;
                        } else if (equal_no_case(key, "filename") && !field.is_file) {
                            field.filename = std::move(text);
                            field.is_file = true;
                        }
                    });
                if (!closed) return false;
            }
        } else if (equal_no_case(name, "content-type")) {
            field.content_type = value;
        }
        pos = end + 2;
    }
    if (!named) return false;
    field.body_data = part + pos;
    field.body_size = size - pos;
    fields.push_back(std::move(field));
    return true;
}

}  // namespace

bool multipart_form_type(std::string_view content_type, std::string &boundary) {
    boundary.clear();
    if (!form_media_type_is(content_type, "multipart/form-data")) return false;
    size_t semicolon = content_type.find(';');
    if (semicolon == std::string_view::npos) return true;
    bool found = false;
    bool closed = for_each_parameter(content_type.substr(semicolon + 1),
                                     [&](std::string_view key, std::string value) {
                                         if (!found && equal_no_case(key, "boundary")) {
                                             boundary = std::move(value);
                                             found = true;
                                         }
                                     });
    if (!closed || boundary.find_first_of("\r\n") != std::string::npos) boundary.clear();
    return true;
}

int multipart_decode(Bytes body, std::string_view boundary, FormFieldList &fields) {
    if (boundary.empty() || boundary.find_first_of("\r\n") != std::string_view::npos) {
        return kMultipartMalformed;
    }
    try {
        const std::string dash_boundary = "--" + std::string(boundary);
        const Delimiters delimiters(body, dash_boundary);
        const char *data = reinterpret_cast<const char *>(body.data());
        bool close = false;
        size_t part_start = 0;
        // The first delimiter may open the body without a CRLF before it.
        if (!delimiters.line_at(0, close, part_start) &&
            delimiters.find(0, close, part_start) == kNotFound) {
            return kMultipartMalformed;
        }
        while (!close) {
            size_t next_start = 0;
            size_t part_end = delimiters.find(part_start, close, next_start);
            if (part_end == kNotFound) return kMultipartMalformed;  // no closing delimiter
            if (!decode_part(data + part_start, part_end - part_start, fields)) {
                return kMultipartMalformed;
            }
            part_start = next_start;
        }
        return kMultipartOk;
    } catch (const std::bad_alloc &) {  // GCOVR_EXCL_BR_LINE: only bad_alloc is thrown here
        return kMultipartNoMemory;
    }
}

}  // namespace cgi
