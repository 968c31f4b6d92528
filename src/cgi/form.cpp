// URL-encoded form input: text decoding, pair splitting, value copying and
// the small comparisons and conversions that cgiInit needs.
#include "cgi/form.h"

#include <array>
#include <cctype>
#include <climits>
#include <cstdint>
#include <new>

namespace cgi {
namespace {

constexpr unsigned char kEscape = '%';
constexpr unsigned char kBlankCode = '+';
constexpr unsigned char kPairSeparator = '&';
constexpr unsigned char kNameEnd = '=';

// Each byte's value as a hex digit; a byte that is not a hex digit counts as
// 0, so a bad escape still gives a byte.
constexpr std::array<int32_t, 256> kHexTable = [] {
    std::array<int32_t, 256> table{};
    for (int c = '0'; c <= '9'; ++c) table[c] = c - '0';
    for (int c = 'A'; c <= 'F'; ++c) table[c] = c - 'A' + 10;
    for (int c = 'a'; c <= 'f'; ++c) table[c] = c - 'a' + 10;
    return table;
}();

enum class DecodeState { plain, first_digit, second_digit };

// The position of `byte` at or after `from`, or input.size() when absent.
size_t find_byte(Bytes input, size_t from, unsigned char byte) {
    while (from < input.size() && input[from] != byte) ++from;
    return from;
}

}  // namespace

int form_hex_value(unsigned char byte) { return kHexTable[byte]; }

std::string form_decode_text(Bytes input) {
    std::string out;
    out.reserve(input.size());
    DecodeState state = DecodeState::plain;
    int remembered = 0;
    for (unsigned char byte : input) {
        switch (state) {  // GCOVR_EXCL_BR_LINE: no state but these three exists
            case DecodeState::plain:
                if (byte == kEscape) {
                    state = DecodeState::first_digit;
                } else {
                    out.push_back(static_cast<char>(byte == kBlankCode ? ' ' : byte));
                }
                break;
            case DecodeState::first_digit:
                remembered = 16 * kHexTable[byte];
                state = DecodeState::second_digit;
                break;
            case DecodeState::second_digit:
                out.push_back(static_cast<char>(remembered + kHexTable[byte]));
                state = DecodeState::plain;
                break;
        }
    }
    // Ending in first_digit or second_digit drops the unfinished escape.
    return out;
}

int form_split_pairs(Bytes input, FormFieldList &fields) {
    try {
        size_t pos = 0;
        while (pos < input.size()) {
            size_t name_end = find_byte(input, pos, kNameEnd);
            if (name_end == input.size()) return 0;  // trailing bytes without "=": no field
            size_t value_end = find_byte(input, name_end + 1, kPairSeparator);
            FormField field;
            field.name = form_decode_text(input.subspan(pos, name_end - pos));
            field.value = form_decode_text(input.subspan(name_end + 1, value_end - name_end - 1));
            fields.push_back(std::move(field));
            // An "&" in the last byte closes the input just as its end does.
            if (value_end + 1 >= input.size()) return 0;
            pos = value_end + 1;
        }
        return 0;
    } catch (const std::bad_alloc &) {  // GCOVR_EXCL_BR_LINE: only bad_alloc is thrown here
        return 1;
    }
}

int form_copy_value(std::string_view value, char *buffer, int size) {
    int count = 0;
    for (size_t i = 0;; ++i) {
        // Fullness is tested before the next byte is examined, so a value
        // that fits exactly still reports a full buffer.
        if (count == size - 1) {
            buffer[count] = '\0';
            return 1;
        }
        if (i == value.size()) break;
        char c = value[i];
        if (c == '\r' || c == '\n') continue;
        if (c == '\0') break;
        buffer[count++] = c;
    }
    buffer[count] = '\0';
    return count == 0 ? 3 : 0;
}

int form_equal_no_case(const char *text, const char *literal) {
    for (size_t i = 0;; ++i) {
        unsigned char a = static_cast<unsigned char>(text[i]);
        unsigned char b = static_cast<unsigned char>(literal[i]);
        if (std::isalpha(a)) {
            if (std::tolower(a) != std::tolower(b)) return 0;
        } else if (a != b) {
            return 0;
        }
        if (a == '\0') return 1;
    }
}

bool form_is_urlencoded_type(std::string_view content_type) {
    // Blanks before the type are not accepted here, as they never were.
    if (!content_type.empty() && (content_type[0] == ' ' || content_type[0] == '\t')) {
        return false;
    }
    return form_media_type_is(content_type, "application/x-www-form-urlencoded");
}

bool form_media_type_is(std::string_view content_type, std::string_view type) {
    std::string_view given = content_type.substr(0, content_type.find(';'));
    while (!given.empty() && (given.back() == ' ' || given.back() == '\t')) given.remove_suffix(1);
    while (!given.empty() && (given[0] == ' ' || given[0] == '\t')) given.remove_prefix(1);
    if (given.size() != type.size()) return false;
    for (size_t i = 0; i < given.size(); ++i) {
        char c = given[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != type[i]) return false;
    }
    return true;
}

int form_parse_length(const char *text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (std::isspace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value >= limit) {
            value = limit;
            break;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

}  // namespace cgi
