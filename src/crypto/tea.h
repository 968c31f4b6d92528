// TEA, the Tiny Encryption Algorithm: 64-bit blocks as two 32-bit words y and
// z, a 128-bit key as four words, a number of cycles (two rounds each).  The
// library runs it with 32 cycles on little-endian words (the exported block
// and buffer functions, every ticket message) and with 16 cycles on
// big-endian words (the padded envelope).
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

inline constexpr uint32_t kTeaDelta = 0x9E3779B9u;

// clang-format 14 reads the product below as a pointer declaration.
// clang-format off
template <int Cycles>
inline constexpr uint32_t kTeaFinalSum = static_cast<uint32_t>(kTeaDelta * uint32_t{Cycles});
// clang-format on

static_assert(kTeaFinalSum<32> == 0xC6EF3720u && kTeaFinalSum<16> == 0xE3779B90u);

template <int Cycles>
constexpr void tea_encrypt_words(uint32_t &y, uint32_t &z, const uint32_t k[4]) {
    uint32_t sum = 0;
    for (int i = 0; i < Cycles; ++i) {
        sum += kTeaDelta;
        y += ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        z += ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
    }
}

template <int Cycles>
constexpr void tea_decrypt_words(uint32_t &y, uint32_t &z, const uint32_t k[4]) {
    uint32_t sum = kTeaFinalSum<Cycles>;
    for (int i = 0; i < Cycles; ++i) {
        z -= ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
        y -= ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        sum -= kTeaDelta;
    }
}

// A key given as 16 bytes, read as four little-endian words.
struct TeaKey {
    uint32_t k[4];
};
TeaKey tea_key_le(const uint8_t key[16]);

// One 32-cycle block over bytes, words little-endian.  `in` and `out` may be
// the same block.
void tea32_encrypt_le(const uint8_t in[8], uint8_t out[8], const TeaKey &key);
void tea32_decrypt_le(const uint8_t in[8], uint8_t out[8], const TeaKey &key);

// Buffer mode: length / 8 independent 32-cycle blocks, then the last
// length % 8 bytes XORed with the key's first bytes.  `src` and `dst` may be
// the same buffer (but must not overlap otherwise).
void tea32_encrypt_buffer(const uint8_t *src, size_t length, uint8_t *dst, const uint8_t key[16]);
void tea32_decrypt_buffer(const uint8_t *src, size_t length, uint8_t *dst, const uint8_t key[16]);

}  // namespace crypto
