// The hex codec.
#include "crypto/hex.h"

#include <cstring>

#include "vuvidur.h"

namespace crypto {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

// -1 for a character that is not a hex digit.
constexpr int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// White space as the "C" locale's isspace knows it.
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

void hex_encode(const uint8_t *data, size_t n, char *out) {
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    out[2 * n] = '\0';
}

uint8_t hex_pair_value(char first, char second) {
    const int hi = digit_value(first);
    if (hi >= 0) {
        const int lo = digit_value(second);
        // "0x" is a prefix that no digit follows here: strtoul stops after
        // the 0, which the single-digit branch gives anyway.
        return static_cast<uint8_t>(lo >= 0 ? hi * 16 + lo : hi);
    }
    // A single digit after white space or a sign; a minus negates it in
    // unsigned arithmetic, as strtoul does.
    const int d = digit_value(second);
    if (d < 0) return 0;
    if (is_space(first) || first == '+') return static_cast<uint8_t>(d);
    if (first == '-') return static_cast<uint8_t>(0u - static_cast<unsigned>(d));
    return 0;
}

void hex_decode(const char *text, size_t size, uint8_t *out) {
    std::memset(out, 0, size / 2);
    size_t t = 0;
    while (t < size && text[t] != '\0') ++t;
    for (size_t k = 0; 2 * k + 1 < t; ++k) out[k] = hex_pair_value(text[2 * k], text[2 * k + 1]);
}

}  // namespace crypto

extern "C" {

VESK_API int vesk_hex_encode(const uint8_t *data, uint16_t length, char *out) {
    if (data == nullptr || length == 0 || out == nullptr) return -1;
    crypto::hex_encode(data, length, out);
    return 0;
}

// Null pointers are refused with -1 like an odd size: nothing is read or
// written.
VESK_API int vesk_hex_decode(const char *text, uint16_t size, uint8_t *out) {
    if (size % 2 != 0 || text == nullptr || out == nullptr) return -1;
    crypto::hex_decode(text, size, out);
    return 0;
}

}  // extern "C"
