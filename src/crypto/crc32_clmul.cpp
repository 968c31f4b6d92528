// CRC-32 by carry-less multiplication: four 128-bit lanes fold 64 bytes per
// step, then one Barrett reduction turns the remainder into the register.
// The method and its constants follow the published folding technique for
// reflected polynomials (x^n mod P, bit-reflected, for the fold distances of
// 512, 128 and 64 bits, and the Barrett constant floor(x^64 / P)).
//
// Only x86 processors with PCLMULQDQ and SSE4.1 take this path; the
// instructions are enabled per function, so the rest of the library builds
// for the baseline of any x86 target (i686 included) and other architectures
// compile the table fallback below.
#include "crypto/crc32.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define CRC_CLMUL_BUILT 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define CRC_CLMUL_BUILT 0
#endif

namespace crypto {

#if CRC_CLMUL_BUILT

namespace {

// Fold constants, low then high 64-bit half of each pair.
constexpr uint64_t kFold512[2] = {0x154442BD4u, 0x1C6E41596u};  // four lanes ahead
constexpr uint64_t kFold128[2] = {0x1751997D0u, 0x0CCAA009Eu};  // one lane ahead
constexpr uint64_t kFold64 = 0x163CD6124u;                      // 64 bits down to 32
constexpr uint64_t kBarrett[2] = {0x1DB710641u, 0x1F7011641u};  // P' and mu

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i acc, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i pair(const uint64_t k[2]) {
    return _mm_set_epi64x(static_cast<long long>(k[1]), static_cast<long long>(k[0]));
}

// length is a multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) uint32_t fold_blocks(uint32_t reg, const uint8_t *p,
                                                              size_t length) {
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    p += 64;
    length -= 64;

    const __m128i k512 = pair(kFold512);
    while (length >= 64) {
        x1 = fold(x1, k512, load(p));
        x2 = fold(x2, k512, load(p + 16));
        x3 = fold(x3, k512, load(p + 32));
        x4 = fold(x4, k512, load(p + 48));
        p += 64;
        length -= 64;
    }

    const __m128i k128 = pair(kFold128);
    x1 = fold(x1, k128, x2);
    x1 = fold(x1, k128, x3);
    x1 = fold(x1, k128, x4);
    while (length >= 16) {
        x1 = fold(x1, k128, load(p));
        p += 16;
        length -= 16;
    }

    // 128 bits to 64: the low half moves up by 64 bits' worth of x^n.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    __m128i t = _mm_clmulepi64_si128(x1, k128, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);

    // 64 bits to 32 (kept in bits 32..63 of the result).
    const __m128i k64 = _mm_set_epi64x(0, static_cast<long long>(kFold64));
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k64, 0x00);
    x1 = _mm_xor_si128(x1, t);

    // Barrett reduction modulo P.
    const __m128i barrett = pair(kBarrett);
    t = _mm_and_si128(x1, low32);
    t = _mm_clmulepi64_si128(t, barrett, 0x10);
    t = _mm_and_si128(t, low32);
    t = _mm_clmulepi64_si128(t, barrett, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

}  // namespace

bool crc32_clmul_supported() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
    return (c & bit_PCLMUL) != 0 && (c & bit_SSE4_1) != 0;
}

uint32_t crc32_clmul_update(uint32_t reg, const uint8_t *data, size_t length) {
    if (length >= 64) {
        const size_t bulk = length & ~size_t{15};
        reg = fold_blocks(reg, data, bulk);
        data += bulk;
        length -= bulk;
    }
    return crc32_table_update(reg, data, length);
}

#else  // no carry-less multiply on this architecture

bool crc32_clmul_supported() { return false; }

uint32_t crc32_clmul_update(uint32_t reg, const uint8_t *data, size_t length) {
    return crc32_table_update(reg, data, length);
}

#endif

}  // namespace crypto
