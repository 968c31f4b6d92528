// The 32-cycle TEA block functions: one block in each direction, words
// little-endian.
#include "crypto/tea.h"

#include <cstring>

#include "crypto/bytes.h"
#include "vuvidur.h"

namespace crypto {

TeaKey tea_key_le(const uint8_t key[16]) {
    return {{load_le32(key), load_le32(key + 4), load_le32(key + 8), load_le32(key + 12)}};
}

void tea32_encrypt_le(const uint8_t in[8], uint8_t out[8], const TeaKey &key) {
    uint32_t y = load_le32(in), z = load_le32(in + 4);
    tea_encrypt_words<32>(y, z, key.k);
    store_le32(out, y);
    store_le32(out + 4, z);
}

void tea32_decrypt_le(const uint8_t in[8], uint8_t out[8], const TeaKey &key) {
    uint32_t y = load_le32(in), z = load_le32(in + 4);
    tea_decrypt_words<32>(y, z, key.k);
    store_le32(out, y);
    store_le32(out + 4, z);
}

}  // namespace crypto

// The exported block functions take words, as callers hold them.  They are
// copied in and out with memcpy so that a block inside a byte buffer need not
// be aligned, and so that `in` and `out` may be the same block.  A null
// pointer does nothing (the classic functions crashed on it).
extern "C" {

VESK_API void vesk_tea_encrypt_block(const uint32_t in[2], uint32_t out[2], const uint32_t key[4]) {
    if (in == nullptr || out == nullptr || key == nullptr) return;
    uint32_t v[2], k[4];
    std::memcpy(v, in, sizeof v);
    std::memcpy(k, key, sizeof k);
    crypto::tea_encrypt_words<32>(v[0], v[1], k);
    std::memcpy(out, v, sizeof v);
}

VESK_API void vesk_tea_decrypt_block(const uint32_t in[2], uint32_t out[2], const uint32_t key[4]) {
    if (in == nullptr || out == nullptr || key == nullptr) return;
    uint32_t v[2], k[4];
    std::memcpy(v, in, sizeof v);
    std::memcpy(k, key, sizeof k);
    crypto::tea_decrypt_words<32>(v[0], v[1], k);
    std::memcpy(out, v, sizeof v);
}

}  // extern "C"
