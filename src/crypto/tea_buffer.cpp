// TEA buffer mode: independent 32-cycle blocks and a key-XORed tail.
//
// The blocks do not depend on each other, so eight of them run side by side:
// one block's 64 rounds are a single dependency chain, and interleaving lets
// the processor (and its vector unit, where the compiler maps the lanes onto
// one) work on the other seven meanwhile.  The lanes use the compilers'
// generic vector types, which lower to plain scalar code on a target without
// vector registers.
#include <cstring>

#include "crypto/bytes.h"
#include "crypto/tea.h"
#include "vuvidur.h"

namespace crypto {
namespace {

constexpr size_t kBlock = 8;
constexpr size_t kLanes = 8;  // two vectors of four words

typedef uint32_t Words4 __attribute__((vector_size(16)));

struct Lanes {
    Words4 y[2], z[2];
};

// Reads the whole group before anything is written, so src == dst is safe.
inline Lanes load_group(const uint8_t *src) {
    Lanes l;
    for (size_t i = 0; i < kLanes; ++i) {
        l.y[i / 4][i % 4] = load_le32(src + kBlock * i);
        l.z[i / 4][i % 4] = load_le32(src + kBlock * i + 4);
    }
    return l;
}

inline void store_group(const Lanes &l, uint8_t *dst) {
    for (size_t i = 0; i < kLanes; ++i) {
        store_le32(dst + kBlock * i, l.y[i / 4][i % 4]);
        store_le32(dst + kBlock * i + 4, l.z[i / 4][i % 4]);
    }
}

void encrypt_groups(const uint8_t *src, uint8_t *dst, size_t groups, const TeaKey &key) {
    const uint32_t k0 = key.k[0], k1 = key.k[1], k2 = key.k[2], k3 = key.k[3];
    for (size_t g = 0; g < groups; ++g) {
        Lanes l = load_group(src);
        uint32_t sum = 0;
        for (int cycle = 0; cycle < 32; ++cycle) {
            sum += kTeaDelta;
            for (int h = 0; h < 2; ++h) {
                l.y[h] += ((l.z[h] << 4) + k0) ^ (l.z[h] + sum) ^ ((l.z[h] >> 5) + k1);
                l.z[h] += ((l.y[h] << 4) + k2) ^ (l.y[h] + sum) ^ ((l.y[h] >> 5) + k3);
            }
        }
        store_group(l, dst);
        src += kBlock * kLanes;
        dst += kBlock * kLanes;
    }
}

void decrypt_groups(const uint8_t *src, uint8_t *dst, size_t groups, const TeaKey &key) {
    const uint32_t k0 = key.k[0], k1 = key.k[1], k2 = key.k[2], k3 = key.k[3];
    for (size_t g = 0; g < groups; ++g) {
        Lanes l = load_group(src);
        uint32_t sum = kTeaFinalSum<32>;
        for (int cycle = 0; cycle < 32; ++cycle) {
            for (int h = 0; h < 2; ++h) {
                l.z[h] -= ((l.y[h] << 4) + k2) ^ (l.y[h] + sum) ^ ((l.y[h] >> 5) + k3);
                l.y[h] -= ((l.z[h] << 4) + k0) ^ (l.z[h] + sum) ^ ((l.z[h] >> 5) + k1);
            }
            sum -= kTeaDelta;
        }
        store_group(l, dst);
        src += kBlock * kLanes;
        dst += kBlock * kLanes;
    }
}

// The tail is an XOR with the key's first bytes, the same in both
// directions; byte by byte, so that src == dst is safe.
void xor_tail(const uint8_t *src, size_t n, uint8_t *dst, const uint8_t key[16]) {
    for (size_t j = 0; j < n; ++j) dst[j] = static_cast<uint8_t>(src[j] ^ key[j]);
}

template <bool Encrypt>
void run_buffer(const uint8_t *src, size_t length, uint8_t *dst, const uint8_t key[16]) {
    const size_t blocks = length / kBlock;
    const size_t groups = blocks / kLanes;
    xor_tail(src + kBlock * blocks, length % kBlock, dst + kBlock * blocks, key);
    if (blocks == 0) return;  // a tail alone reads only the key bytes it uses
    const TeaKey k = tea_key_le(key);
    if (Encrypt) {
        encrypt_groups(src, dst, groups, k);
    } else {
        decrypt_groups(src, dst, groups, k);
    }
    for (size_t i = groups * kLanes; i < blocks; ++i) {
        if (Encrypt) {
            tea32_encrypt_le(src + kBlock * i, dst + kBlock * i, k);
        } else {
            tea32_decrypt_le(src + kBlock * i, dst + kBlock * i, k);
        }
    }
}

}  // namespace

void tea32_encrypt_buffer(const uint8_t *src, size_t length, uint8_t *dst, const uint8_t key[16]) {
    run_buffer<true>(src, length, dst, key);
}

void tea32_decrypt_buffer(const uint8_t *src, size_t length, uint8_t *dst, const uint8_t key[16]) {
    run_buffer<false>(src, length, dst, key);
}

}  // namespace crypto

extern "C" {

// A null source is refused.  So are a null destination or key when there is
// something to write: the classic functions did not test them and crashed.
// Length 0 writes nothing and succeeds whatever they are.
VESK_API int vesk_tea_encrypt_buffer(const uint8_t *src, uint16_t length, uint8_t *dst,
                                     const uint8_t key[16]) {
    if (src == nullptr || (length > 0 && (dst == nullptr || key == nullptr))) return -1;
    crypto::tea32_encrypt_buffer(src, length, dst, key);
    return 0;
}

VESK_API int vesk_tea_decrypt_buffer(const uint8_t *src, uint16_t length, uint8_t *dst,
                                     const uint8_t key[16]) {
    if (src == nullptr || (length > 0 && (dst == nullptr || key == nullptr))) return -1;
    crypto::tea32_decrypt_buffer(src, length, dst, key);
    return 0;
}

}  // extern "C"
