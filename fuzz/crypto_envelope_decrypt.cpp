// The envelope's opening over arbitrary bytes.  Input: a 16-byte key, a
// 2-byte output capacity, then the ciphertext.  Key, ciphertext and output
// live in heap buffers of exactly their sizes, so the address sanitizer
// catches any access outside them.  Checked: the result is one of the four
// codes; a refusal before the data writes nothing; an opened envelope fits
// its capacity and seals and opens again to the same data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vuvidur.h"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 18) return 0;
    const std::vector<uint8_t> key(data, data + 16);
    const int capacity = data[16] | data[17] << 8;
    const std::vector<uint8_t> cipher(data + 18, data + size);
    const int length = static_cast<int>(cipher.size());

    std::vector<uint8_t> out(static_cast<size_t>(capacity), 0x5A);
    int inout = capacity;
    // A null data pointer for an empty ciphertext is a refusal like any other.
    const int rc = vesk_envelope_decrypt(key.data(), cipher.empty() ? nullptr : cipher.data(),
                                         length, out.data(), &inout);
    check(rc == VESK_ENVELOPE_OPENED || rc == VESK_ENVELOPE_BAD_INPUT ||
          rc == VESK_ENVELOPE_NO_ROOM || rc == VESK_ENVELOPE_NOT_ZERO);
    if (rc == VESK_ENVELOPE_BAD_INPUT || rc == VESK_ENVELOPE_NO_ROOM) {
        check(inout == capacity);
        for (uint8_t b : out) check(b == 0x5A);
        return 0;
    }
    check(inout >= 0 && inout <= capacity && inout <= length - 10);
    check(VESK_ENVELOPE_SIZE(inout) == length);
    if (rc != VESK_ENVELOPE_OPENED) return 0;

    std::vector<uint8_t> resealed(static_cast<size_t>(VESK_ENVELOPE_SIZE(inout)));
    int sealed_length = -1;
    vesk_envelope_encrypt(key.data(), out.data(), inout, resealed.data(), &sealed_length);
    check(sealed_length == length);
    std::vector<uint8_t> again(static_cast<size_t>(inout) + 1);
    int again_length = inout;
    check(vesk_envelope_decrypt(key.data(), resealed.data(), sealed_length, again.data(),
                                &again_length) == VESK_ENVELOPE_OPENED);
    check(again_length == inout &&
          std::memcmp(again.data(), out.data(), static_cast<size_t>(inout)) == 0);
    return 0;
}
