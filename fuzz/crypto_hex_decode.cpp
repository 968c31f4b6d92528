// The hex decoder over arbitrary text.  Input: one byte choosing the size,
// then the text, held in a heap buffer of exactly its length without a
// terminating NUL: the decoder must stop at `size` characters or a NUL in
// the text, and never read or write beyond.  Checked against the pair rule
// and, for texts of hex digits, against a round trip through the encoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/hex.h"
#include "vuvidur.h"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const std::vector<char> text(data + 1, data + size);
    // size is at most the text's length unless the text holds a NUL.
    size_t n = text.size();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\0') {
            n = text.size() + data[0] % 16;
            break;
        }
    }
    const auto even = static_cast<uint16_t>(n & ~size_t{1});
    std::vector<uint8_t> out(even / 2u, 0x5A);

    if (even == 0) return 0;  // no buffer to point into
    check(vesk_hex_decode(text.data(), static_cast<uint16_t>(even | 1u), out.data()) == -1);
    for (uint8_t b : out) check(b == 0x5A);
    check(vesk_hex_decode(text.data(), even, out.data()) == 0);

    size_t t = 0;
    while (t < even && text[t] != '\0') ++t;
    bool all_digits = t == even;
    for (size_t k = 0; k < even / 2u; ++k) {
        const uint8_t want =
            2 * k + 1 < t ? crypto::hex_pair_value(text[2 * k], text[2 * k + 1]) : 0;
        check(out[k] == want);
    }
    for (size_t i = 0; i < t && all_digits; ++i)
        all_digits = std::strchr("0123456789ABCDEFabcdef", text[i]) != nullptr;
    if (all_digits && even > 0) {
        std::vector<char> again(even + 1u);
        check(vesk_hex_encode(out.data(), static_cast<uint16_t>(even / 2u), again.data()) == 0);
        for (size_t i = 0; i < even; ++i) {
            check(again[i] == (text[i] >= 'a' ? text[i] - 'a' + 'A' : text[i]));
        }
        check(again[even] == '\0');
    }
    return 0;
}
