// The hex codec: bytes to upper-case hex text and back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

// Writes 2 * n upper-case digits and a NUL.
void hex_encode(const uint8_t *data, size_t n, char *out);

// The value that strtoul(pair, NULL, 16) gives for the two-character string
// `pair` ("C" locale), low 8 bits: white space and a sign are skipped as
// strtoul skips them, conversion stops at the first character that is not a
// hex digit, and no digit at all gives 0.  Pure, so that it never depends on
// the process's locale.
uint8_t hex_pair_value(char first, char second);

// Decodes up to size / 2 bytes: the output is zeroed first, then byte k is
// the value of the characters 2k and 2k + 1 while both lie before the text's
// NUL.  Never reads past `size` characters or the NUL.
void hex_decode(const char *text, size_t size, uint8_t *out);

}  // namespace crypto
