// String helpers on zero-terminated byte strings.  Text returned as new is
// allocated with vesk_mem_alloc and belongs to the caller.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vuvidur.h"

namespace {

constexpr char kQuote = '"';
constexpr char kEscape = '\\';
// What vesk_str_append adds beyond the bytes it needs when it grows a block.
// Callers compute the new capacity as cap + len + this, so it cannot change.
constexpr uint32_t kAppendSlack = 10;

bool is_blank(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }

char *str_new_copy(const char *text, size_t len, uint32_t tag1, uint32_t tag2) {
    auto *copy = static_cast<char *>(vesk_mem_alloc(tag1, tag2, static_cast<uint32_t>(len + 1)));
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

// The length of the field at `src`, and whether the delimiter ends it (rather
// than the terminating zero, a CR or an LF).
size_t str_token_length(const char *src, int delim, bool &found) {
    const char *p = src;
    // The delimiter is compared first, so a delimiter that is itself a CR or
    // LF is recognised as the delimiter.  Bytes compare as signed values.
    while (!(delim != 0 && static_cast<signed char>(*p) == delim) && *p != '\0' && *p != '\r' &&
           *p != '\n') {
        ++p;
    }
    found = delim != 0 && static_cast<signed char>(*p) == delim;
    return static_cast<size_t>(p - src);
}

const char *str_find_unescaped_quote(const char *text) {
    for (const char *quote = std::strchr(text, kQuote); quote != nullptr;
         quote = std::strchr(quote + 1, kQuote)) {
        size_t backslashes = 0;
        while (quote - backslashes > text &&
               quote[-1 - static_cast<ptrdiff_t>(backslashes)] == kEscape) {
            ++backslashes;
        }
        if (backslashes % 2 == 0) return quote;  // backslashes escape one another in pairs
    }
    return nullptr;
}

}  // namespace

extern "C" {

VESK_API int vesk_str_trim(char *text) {
    if (text == nullptr) return -1;
    size_t len = std::strlen(text);
    size_t start = 0;
    while (start < len && is_blank(text[start])) ++start;
    if (start == len) {
        text[0] = '\0';
        return 0;
    }
    size_t end = len;  // one past the last non-blank byte
    while (end > start && is_blank(text[end - 1])) --end;
    text[end] = '\0';
    if (start > 0) std::memmove(text, text + start, end - start + 1);
    return 0;
}

VESK_API char *vesk_str_ncopy(char *dst, const char *src, int n) {
    // A negative count copies nothing: writing the zero at dst + n would land
    // before the caller's buffer.
    size_t count = n > 0 ? static_cast<size_t>(n) : 0;
    if (count > 0) std::memcpy(dst, src, count);
    dst[count] = '\0';
    return dst;
}

VESK_API char *vesk_str_dup(const char *text, uint32_t tag1, uint32_t tag2) {
    if (text == nullptr || text[0] == '\0') return nullptr;  // empty gives null, not ""
    return str_new_copy(text, std::strlen(text), tag1, tag2);
}

VESK_API char *vesk_str_find_quote(const char *text) {
    if (text == nullptr) return nullptr;
    return const_cast<char *>(str_find_unescaped_quote(text));
}

VESK_API int vesk_str_lower(char *text) {
    if (text == nullptr) return 0;
    // tolower takes an unsigned char value; in the default locale only A to
    // Z change, exactly as with the signed value.
    for (char *p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    return 0;
}

VESK_API int vesk_str_to_int(const char *text) {
    if (text == nullptr) return 0;
    // atoi, with out-of-range values saturated instead of undefined.
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

VESK_API int vesk_str_token(char **token_out, const char *src, int delim, const char **rest_out) {
    if (rest_out != nullptr) *rest_out = nullptr;
    if (src == nullptr) return -1;
    bool found = false;
    size_t len = str_token_length(src, delim, found);
    // Only a field that a delimiter closes is a token, and never an empty one.
    if (!found || len == 0) return -1;
    char *token = str_new_copy(src, len, 0, 0);
    if (token_out != nullptr) {
        *token_out = token;
    } else {
        vesk_mem_free(token);
    }
    if (rest_out != nullptr) *rest_out = src + len + 1;
    return 0;
}

VESK_API char *vesk_str_append(char *buf, int cap, char *end, const char *text) {
    size_t len = text == nullptr ? 0 : std::strlen(text);
    ptrdiff_t used = end - buf;
    if (static_cast<long long>(used) + static_cast<long long>(len) > cap) {
        unsigned long long grown =
            static_cast<unsigned long long>(cap < 0 ? 0 : cap) + len + kAppendSlack;
        // The caller takes `grown` as the new capacity, and the growth test
        // lets a later append fill it exactly and put its zero at buf[grown]:
        // the block gets that one byte more, so the zero stays inside it.
        unsigned long long bytes = grown + 1;
        char *block =
            bytes > UINT32_MAX
                ? nullptr
                : static_cast<char *>(vesk_mem_realloc(buf, static_cast<uint32_t>(bytes)));
        if (block == nullptr) {
            // Callers never test the result, so, as for vesk_mem_alloc, the
            // process cannot go on; status 1 so that it is not read as clean.
            std::fprintf(stderr,
                         "vuvidur: out of memory (growing a text buffer to %llu bytes failed)\n",
                         grown);
            std::exit(1);
        }
        end = block + used;
    }
    if (len > 0) std::memcpy(end, text, len);
    end[len] = '\0';
    return end + len;
}

VESK_API char *vesk_str_unquote(const char *text) {
    if (text == nullptr) return nullptr;
    size_t len = std::strlen(text);
    if (text[0] != kQuote) return str_new_copy(text, len, 0, 0);
    // The last byte goes whether or not it is the closing quote (kept for
    // compatibility); a lone quote gives the empty text.
    auto *copy = static_cast<char *>(vesk_mem_alloc(0, 0, static_cast<uint32_t>(len + 1)));
    size_t inner = len >= 2 ? len - 2 : 0;
    std::memcpy(copy, text + 1, inner);
    copy[inner] = '\0';
    return copy;
}

}  // extern "C"
