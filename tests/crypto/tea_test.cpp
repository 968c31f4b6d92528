// 32-cycle TEA: blocks and buffer mode against a plain implementation of the
// published algorithm written here, the published zero vector, tails and
// in-place operation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/tea.h"
#include "vuvidur.h"

namespace {

// The published reference algorithm, word for word, one block at a time.
void ref_encrypt(uint32_t v[2], const uint32_t k[4]) {
    uint32_t y = v[0], z = v[1], sum = 0;
    for (int n = 32; n > 0; --n) {
        sum += 0x9E3779B9u;
        y += ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        z += ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
    }
    v[0] = y;
    v[1] = z;
}

void ref_decrypt(uint32_t v[2], const uint32_t k[4]) {
    uint32_t y = v[0], z = v[1], sum = 0xC6EF3720u;
    for (int n = 32; n > 0; --n) {
        z -= ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
        y -= ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        sum -= 0x9E3779B9u;
    }
    v[0] = y;
    v[1] = z;
}

uint32_t le(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
void put_le(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Buffer mode as described: independent blocks on little-endian words, then
// the tail XORed with the key's first bytes.
std::vector<uint8_t> ref_buffer(const std::vector<uint8_t> &src, const uint8_t key[16], bool enc) {
    std::vector<uint8_t> out(src);
    const uint32_t k[4] = {le(key), le(key + 4), le(key + 8), le(key + 12)};
    const size_t blocks = src.size() / 8;
    for (size_t i = 0; i < blocks; ++i) {
        uint32_t v[2] = {le(&src[8 * i]), le(&src[8 * i + 4])};
        enc ? ref_encrypt(v, k) : ref_decrypt(v, k);
        put_le(&out[8 * i], v[0]);
        put_le(&out[8 * i + 4], v[1]);
    }
    for (size_t j = 0; j < src.size() % 8; ++j) out[8 * blocks + j] = src[8 * blocks + j] ^ key[j];
    return out;
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n) {
    std::vector<uint8_t> v;
    v.reserve(n + 1);  // a real pointer even when empty: null is a refusal
    v.resize(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace

TEST(TeaBlock, ZeroBlockUnderZeroKeyGivesThePublishedVector) {
    const uint32_t zero[2] = {0, 0}, key[4] = {0, 0, 0, 0};
    uint32_t out[2];
    vesk_tea_encrypt_block(zero, out, key);
    EXPECT_EQ(out[0], 0x41EA3A0Au);
    EXPECT_EQ(out[1], 0x94BAA940u);

    const uint8_t bytes[8] = {}, keyBytes[16] = {};
    uint8_t cipher[8];
    ASSERT_EQ(vesk_tea_encrypt_buffer(bytes, 8, cipher, keyBytes), 0);
    const uint8_t expected[8] = {0x0A, 0x3A, 0xEA, 0x41, 0x40, 0xA9, 0xBA, 0x94};
    EXPECT_EQ(std::memcmp(cipher, expected, 8), 0);

    uint32_t back[2];
    vesk_tea_decrypt_block(out, back, key);
    EXPECT_EQ(back[0], 0u);
    EXPECT_EQ(back[1], 0u);
}

TEST(TeaBlock, MatchesTheReferenceAndInvertsForRandomBlocksAndKeys) {
    std::mt19937 rng(11);
    auto word = [&rng] { return static_cast<uint32_t>(rng()); };
    for (int i = 0; i < 5000; ++i) {
        const uint32_t key[4] = {word(), word(), word(), word()};
        const uint32_t in[2] = {word(), word()};
        uint32_t want[2] = {in[0], in[1]};
        ref_encrypt(want, key);
        uint32_t out[2];
        vesk_tea_encrypt_block(in, out, key);
        ASSERT_EQ(out[0], want[0]);
        ASSERT_EQ(out[1], want[1]);
        uint32_t back[2];
        vesk_tea_decrypt_block(out, back, key);
        ASSERT_EQ(back[0], in[0]);
        ASSERT_EQ(back[1], in[1]);
    }
}

TEST(TeaBlock, InPlaceGivesTheSameResultAsSeparateBlocks) {
    const uint32_t key[4] = {1, 2, 3, 4};
    uint32_t v[2] = {0xDEADBEEFu, 0x01234567u};
    uint32_t separate[2];
    vesk_tea_encrypt_block(v, separate, key);
    vesk_tea_encrypt_block(v, v, key);
    EXPECT_EQ(v[0], separate[0]);
    EXPECT_EQ(v[1], separate[1]);
    vesk_tea_decrypt_block(v, v, key);
    EXPECT_EQ(v[0], 0xDEADBEEFu);
    EXPECT_EQ(v[1], 0x01234567u);
}

// Every length up to a few interleaved groups plus tails, and the largest
// length, in both directions: catches a lane mix-up, a group boundary or a
// tail handed to the wrong key bytes.
TEST(TeaBuffer, MatchesTheReferenceForEveryLengthAndTail) {
    std::mt19937 rng(12);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    lengths.insert(lengths.end(), {511, 512, 513, 4096 + 7, 65535});
    for (size_t n : lengths) {
        const auto key = random_bytes(rng, 16);
        const auto src = random_bytes(rng, n);
        for (bool enc : {true, false}) {
            std::vector<uint8_t> dst(n + 1, 0xA5);  // one guard byte
            const int rc = enc ? vesk_tea_encrypt_buffer(src.data(), static_cast<uint16_t>(n),
                                                         dst.data(), key.data())
                               : vesk_tea_decrypt_buffer(src.data(), static_cast<uint16_t>(n),
                                                         dst.data(), key.data());
            ASSERT_EQ(rc, 0);
            ASSERT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + static_cast<long>(n)),
                      ref_buffer(src, key.data(), enc))
                << "length " << n << (enc ? " encrypt" : " decrypt");
            ASSERT_EQ(dst[n], 0xA5) << "wrote past the length";
        }
    }
}

TEST(TeaBuffer, DecryptInvertsEncryptInPlace) {
    std::mt19937 rng(13);
    for (size_t n : {0u, 7u, 8u, 17u, 64u, 65u, 1000u, 65535u}) {
        const auto key = random_bytes(rng, 16);
        const auto plain = random_bytes(rng, n);
        std::vector<uint8_t> storage(n + 1);
        std::copy(plain.begin(), plain.end(), storage.begin());
        uint8_t *buf = storage.data();
        const auto view = [&] { return std::vector<uint8_t>(buf, buf + n); };
        ASSERT_EQ(vesk_tea_encrypt_buffer(buf, static_cast<uint16_t>(n), buf, key.data()), 0);
        ASSERT_EQ(view(), ref_buffer(plain, key.data(), true)) << n;
        ASSERT_EQ(vesk_tea_decrypt_buffer(buf, static_cast<uint16_t>(n), buf, key.data()), 0);
        ASSERT_EQ(view(), plain) << n;
    }
}

TEST(TeaBuffer, ShortBufferIsOnlyXoredWithTheKeysFirstBytes) {
    const uint8_t src[7] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
    // Exactly seven key bytes on the heap: reading an eighth is caught by the
    // address sanitizer.
    std::vector<uint8_t> key = {1, 2, 3, 4, 5, 6, 7};
    uint8_t enc[7], dec[7];
    ASSERT_EQ(vesk_tea_encrypt_buffer(src, 7, enc, key.data()), 0);
    ASSERT_EQ(vesk_tea_decrypt_buffer(src, 7, dec, key.data()), 0);
    for (int j = 0; j < 7; ++j) {
        EXPECT_EQ(enc[j], src[j] ^ key[j]);
        EXPECT_EQ(dec[j], enc[j]) << "the tail is the same in both directions";
    }
}

TEST(TeaBuffer, SeventeenBytesAreTwoIndependentBlocksAndAOneByteTail) {
    uint8_t key[16];
    for (int i = 0; i < 16; ++i) key[i] = static_cast<uint8_t>(0x40 + i);
    uint8_t src[17];
    for (int i = 0; i < 8; ++i) src[i] = src[8 + i] = static_cast<uint8_t>(i * 7);  // equal blocks
    src[16] = 0x99;
    uint8_t dst[17];
    ASSERT_EQ(vesk_tea_encrypt_buffer(src, 17, dst, key), 0);
    EXPECT_EQ(std::memcmp(dst, dst + 8, 8), 0) << "no chaining between blocks";
    uint8_t one[8];
    ASSERT_EQ(vesk_tea_encrypt_buffer(src, 8, one, key), 0);
    EXPECT_EQ(std::memcmp(dst, one, 8), 0);
    EXPECT_EQ(dst[16], 0x99 ^ key[0]);
}

TEST(TeaBuffer, ZeroLengthWritesNothingAndNullSourceIsRefused) {
    uint8_t dst[8];
    std::memset(dst, 0x5A, sizeof dst);
    const uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8}, key[16] = {};
    EXPECT_EQ(vesk_tea_encrypt_buffer(src, 0, dst, key), 0);
    EXPECT_EQ(vesk_tea_decrypt_buffer(src, 0, dst, nullptr), 0);
    EXPECT_EQ(vesk_tea_encrypt_buffer(nullptr, 8, dst, key), -1);
    EXPECT_EQ(vesk_tea_decrypt_buffer(nullptr, 8, dst, key), -1);
    for (uint8_t b : dst) EXPECT_EQ(b, 0x5A);
}

// The classic functions crashed on these; here they are refusals.
TEST(TeaBuffer, NullDestinationOrKeyIsRefusedWhenThereIsSomethingToWrite) {
    uint8_t dst[8];
    std::memset(dst, 0x5A, sizeof dst);
    const uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8}, key[16] = {};
    EXPECT_EQ(vesk_tea_encrypt_buffer(src, 8, nullptr, key), -1);
    EXPECT_EQ(vesk_tea_decrypt_buffer(src, 3, nullptr, key), -1);
    EXPECT_EQ(vesk_tea_encrypt_buffer(src, 3, dst, nullptr), -1);
    EXPECT_EQ(vesk_tea_decrypt_buffer(src, 8, dst, nullptr), -1);
    EXPECT_EQ(vesk_tea_encrypt_buffer(src, 0, nullptr, nullptr), 0);
    for (uint8_t b : dst) EXPECT_EQ(b, 0x5A);

    uint32_t block[2] = {1, 2};
    const uint32_t words[4] = {};
    vesk_tea_encrypt_block(nullptr, block, words);
    vesk_tea_decrypt_block(block, nullptr, words);
    vesk_tea_encrypt_block(block, block, nullptr);
    EXPECT_EQ(block[0], 1u);
    EXPECT_EQ(block[1], 2u);
}
