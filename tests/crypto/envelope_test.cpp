// The padded TEA envelope: the published 16-cycle vector, the exact stream
// layout against an implementation of the format written here, round trips,
// and every refusal with what it leaves behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "crypto/envelope.h"
#include "vuvidur.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- the format, written out plainly -------------------------------------

uint32_t be(const uint8_t *p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
void put_be(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void ref_e16(uint8_t b[8], const uint8_t key[16]) {
    uint32_t y = be(b), z = be(b + 4), sum = 0;
    const uint32_t k0 = be(key), k1 = be(key + 4), k2 = be(key + 8), k3 = be(key + 12);
    for (int i = 0; i < 16; ++i) {
        sum += 0x9E3779B9u;
        y += ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
        z += ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
    }
    put_be(b, y);
    put_be(b + 4, z);
}

void ref_d16(uint8_t b[8], const uint8_t key[16]) {
    uint32_t y = be(b), z = be(b + 4), sum = 0xE3779B90u;
    const uint32_t k0 = be(key), k1 = be(key + 4), k2 = be(key + 8), k3 = be(key + 12);
    for (int i = 0; i < 16; ++i) {
        z -= ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
        y -= ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
        sum -= 0x9E3779B9u;
    }
    put_be(b, y);
    put_be(b + 4, z);
}

// Chains a whole plaintext stream (a multiple of 8 bytes).
Bytes ref_chain_encrypt(const Bytes &p, const uint8_t key[16]) {
    Bytes q(p.size());
    uint8_t qprev[8] = {}, xprev[8] = {};
    for (size_t i = 0; i < p.size(); i += 8) {
        uint8_t x[8], e[8];
        for (int j = 0; j < 8; ++j) x[j] = p[i + j] ^ qprev[j];
        std::memcpy(e, x, 8);
        ref_e16(e, key);
        for (int j = 0; j < 8; ++j) q[i + j] = e[j] ^ xprev[j];
        std::memcpy(qprev, &q[i], 8);
        std::memcpy(xprev, x, 8);
    }
    return q;
}

Bytes ref_chain_decrypt(const Bytes &q, const uint8_t key[16]) {
    Bytes p(q.size());
    uint8_t qprev[8] = {}, xprev[8] = {};
    for (size_t i = 0; i < q.size(); i += 8) {
        uint8_t x[8];
        for (int j = 0; j < 8; ++j) x[j] = q[i + j] ^ xprev[j];
        ref_d16(x, key);
        for (int j = 0; j < 8; ++j) p[i + j] = x[j] ^ qprev[j];
        std::memcpy(qprev, &q[i], 8);
        std::memcpy(xprev, x, 8);
    }
    return p;
}

// The plaintext stream for `data` with the given random bytes, in the order
// they are drawn: header, filler, the two random bytes.
Bytes ref_stream(const Bytes &data, const Bytes &random) {
    const size_t pad = (data.size() + 10) % 8 == 0 ? 0 : 8 - (data.size() + 10) % 8;
    Bytes s;
    s.push_back(static_cast<uint8_t>((random[0] & 0xF8) | pad));
    for (size_t i = 0; i < pad + 2; ++i) s.push_back(random[1 + i]);
    s.insert(s.end(), data.begin(), data.end());
    s.insert(s.end(), 7, 0);
    return s;
}

// ---- helpers -----------------------------------------------------------------

struct Counter {
    uint8_t next = 0x31;
};
uint8_t counting(void *ctx) { return static_cast<Counter *>(ctx)->next++; }

Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes v;
    v.reserve(n + 1);
    v.resize(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

Bytes seal(const uint8_t key[16], const Bytes &data) {
    Bytes out(data.size() + 17 + 1, 0xEE);
    int len = -123;
    vesk_envelope_encrypt(key, data.data(), static_cast<int>(data.size()), out.data(), &len);
    EXPECT_EQ(len, static_cast<int>(crypto::envelope_size(data.size())));
    EXPECT_EQ(out[static_cast<size_t>(len)], 0xEE) << "wrote past the envelope";
    out.resize(static_cast<size_t>(len));
    return out;
}

const uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                          0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

}  // namespace

TEST(EnvelopeBlock, SixteenCyclesBigEndianGiveThePublishedZeroVector) {
    const uint8_t zero[8] = {}, key[16] = {};
    uint8_t out[8];
    crypto::tea16_encrypt_be(zero, out, key);
    const uint8_t expected[8] = {0xA8, 0x89, 0xF7, 0x98, 0x18, 0x2D, 0x80, 0x83};
    EXPECT_EQ(std::memcmp(out, expected, 8), 0);
    crypto::tea16_decrypt_be(out, out, key);
    EXPECT_EQ(std::memcmp(out, zero, 8), 0);
}

TEST(EnvelopeSeal, SizesAndPadCountFollowTheDataLength) {
    EXPECT_EQ(crypto::envelope_size(0), 16u);
    EXPECT_EQ(crypto::envelope_size(6), 16u);
    EXPECT_EQ(crypto::envelope_pad(6), 0u);
    EXPECT_EQ(crypto::envelope_size(7), 24u);
    EXPECT_EQ(crypto::envelope_pad(7), 7u);
    EXPECT_EQ(crypto::envelope_size(14), 24u);
    EXPECT_EQ(crypto::envelope_pad(14), 0u);
    EXPECT_EQ(crypto::envelope_size(15), 32u);
}

// The ciphertext, opened by the plain implementation above, must be exactly
// the documented stream with the random bytes in the order they were drawn:
// a peer that decodes the format byte by byte reads what we sent.
TEST(EnvelopeSeal, CiphertextIsTheDocumentedStreamChainedUnderSixteenCycleTea) {
    std::mt19937 rng(21);
    for (size_t n = 0; n <= 64; ++n) {
        const Bytes key = random_bytes(rng, 16), data = random_bytes(rng, n);
        Counter counter;
        Bytes out(crypto::envelope_size(n));
        crypto::envelope_seal(key.data(), data.data(), n, out.data(), {counting, &counter});
        Bytes drawn;
        for (uint8_t b = 0x31; b != counter.next; ++b) drawn.push_back(b);
        ASSERT_EQ(drawn.size(), 1 + crypto::envelope_pad(n) + 2) << n;
        ASSERT_EQ(ref_chain_decrypt(out, key.data()), ref_stream(data, drawn)) << n;
    }
}

TEST(EnvelopeSeal, FillerComesFromTheProcessRandInDrawingOrder) {
    const Bytes data = {'h', 'e', 'l', 'l', 'o'};
    std::srand(777);
    const Bytes sealed = seal(kKey, data);
    std::srand(777);
    Bytes drawn;
    for (int i = 0; i < 1 + 3 + 2; ++i) drawn.push_back(static_cast<uint8_t>((std::rand() % 65534) & 0xFF));
    EXPECT_EQ(sealed, ref_chain_encrypt(ref_stream(data, drawn), kKey));
}

TEST(EnvelopeSeal, LengthSevenPutsHeaderAndSevenFillerBytesInTheFirstBlock) {
    const Bytes data = {1, 2, 3, 4, 5, 6, 7};
    Counter counter;
    Bytes out(24);
    crypto::envelope_seal(kKey, data.data(), data.size(), out.data(), {counting, &counter});
    const Bytes plain = ref_chain_decrypt(out, kKey);
    EXPECT_EQ(plain[0] & 7, 7);
    EXPECT_EQ(plain[7], 0x38) << "last filler byte ends block 0";
    EXPECT_EQ(plain[8], 0x39) << "the two random bytes begin block 1";
    EXPECT_EQ(plain[10], 1) << "data follows them";
}

TEST(EnvelopeRoundTrip, EveryLengthUpTo64AndRandomLargerOnes) {
    std::mt19937 rng(22);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
    for (int i = 0; i < 40; ++i) lengths.push_back(std::uniform_int_distribution<size_t>(65, 70000)(rng));
    for (size_t n : lengths) {
        const Bytes key = random_bytes(rng, 16), data = random_bytes(rng, n);
        const Bytes sealed = seal(key.data(), data);
        Bytes out(n + 1, 0xCC);
        int len = static_cast<int>(n);  // capacity exactly the data length
        ASSERT_EQ(vesk_envelope_decrypt(key.data(), sealed.data(), static_cast<int>(sealed.size()),
                                        out.data(), &len),
                  0)
            << n;
        ASSERT_EQ(len, static_cast<int>(n));
        ASSERT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(n)), data) << n;
        ASSERT_EQ(out[n], 0xCC) << "wrote past the data";
    }
}

TEST(EnvelopeRoundTrip, OpensInPlaceOverTheCiphertext) {
    std::mt19937 rng(23);
    for (size_t n : {0u, 5u, 6u, 7u, 8u, 100u, 1000u}) {
        const Bytes data = random_bytes(rng, n);
        Bytes buf = seal(kKey, data);
        int len = static_cast<int>(buf.size());
        ASSERT_EQ(vesk_envelope_decrypt(kKey, buf.data(), static_cast<int>(buf.size()), buf.data(), &len), 0);
        ASSERT_EQ(Bytes(buf.begin(), buf.begin() + len), data) << n;
    }
}

TEST(EnvelopeRoundTrip, EqualInputsSealDifferentlyAndBothOpen) {
    const Bytes data = {'s', 'a', 'm', 'e'};
    std::srand(1);
    const Bytes a = seal(kKey, data);
    const Bytes b = seal(kKey, data);
    EXPECT_NE(a, b);
    for (const Bytes *c : {&a, &b}) {
        uint8_t out[16];
        int len = sizeof out;
        ASSERT_EQ(vesk_envelope_decrypt(kKey, c->data(), 16, out, &len), 0);
        EXPECT_EQ(Bytes(out, out + len), data);
    }
}

TEST(EnvelopeOpen, DamagedLastBlockIsRefusedByTheZeroCheckAfterTheDataIsWritten) {
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};  // pad 0, 24 bytes
    Bytes sealed = seal(kKey, data);
    ASSERT_EQ(sealed.size(), 24u);
    sealed.back() ^= 0x01;
    uint8_t out[24] = {};
    int len = sizeof out;
    EXPECT_EQ(vesk_envelope_decrypt(kKey, sealed.data(), 24, out, &len), crypto::kEnvelopeNotZero);
    // As documented: the data length and bytes are already written.  The
    // damaged block holds the last data byte and the zeros; the 13 bytes
    // before it are intact.
    EXPECT_EQ(len, 14);
    EXPECT_EQ(Bytes(out, out + 13), Bytes(data.begin(), data.begin() + 13));
}

TEST(EnvelopeOpen, WrongKeyIsRefused) {
    std::mt19937 rng(24);
    const Bytes sealed = seal(kKey, random_bytes(rng, 40));
    uint8_t other[16];
    std::memcpy(other, kKey, 16);
    other[15] ^= 0x80;
    Bytes out(sealed.size());
    int len = static_cast<int>(out.size());
    EXPECT_LT(vesk_envelope_decrypt(other, sealed.data(), static_cast<int>(sealed.size()), out.data(), &len), 0);
}

// Refusals before the data: nothing written, neither output nor length.
TEST(EnvelopeOpen, LengthAndArgumentRefusalsWriteNothing) {
    const Bytes sealed = seal(kKey, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // 24 bytes, data 10
    struct Case {
        const char *what;
        const uint8_t *key;
        const uint8_t *cipher;
        int length;
        bool out;
        bool len;
        int capacity;
        int expected;
    } cases[] = {
        {"8 bytes", kKey, sealed.data(), 8, true, true, 64, crypto::kEnvelopeBadInput},
        {"20 bytes", kKey, sealed.data(), 20, true, true, 64, crypto::kEnvelopeBadInput},
        {"0 bytes", kKey, sealed.data(), 0, true, true, 64, crypto::kEnvelopeBadInput},
        {"negative length", kKey, sealed.data(), -8, true, true, 64, crypto::kEnvelopeBadInput},
        {"null key", nullptr, sealed.data(), 24, true, true, 64, crypto::kEnvelopeBadInput},
        {"null cipher", kKey, nullptr, 24, true, true, 64, crypto::kEnvelopeBadInput},
        {"null output", kKey, sealed.data(), 24, false, true, 64, crypto::kEnvelopeBadInput},
        {"null length", kKey, sealed.data(), 24, true, false, 64, crypto::kEnvelopeBadInput},
        {"capacity one below", kKey, sealed.data(), 24, true, true, 9, crypto::kEnvelopeNoRoom},
        {"negative capacity", kKey, sealed.data(), 24, true, true, -1, crypto::kEnvelopeNoRoom},
    };
    for (const Case &c : cases) {
        uint8_t out[64];
        std::memset(out, 0x77, sizeof out);
        int len = c.capacity;
        EXPECT_EQ(vesk_envelope_decrypt(c.key, c.cipher, c.length, c.out ? out : nullptr,
                                        c.len ? &len : nullptr),
                  c.expected)
            << c.what;
        EXPECT_EQ(len, c.capacity) << c.what;
        for (uint8_t b : out) ASSERT_EQ(b, 0x77) << c.what;
    }
}

TEST(EnvelopeOpen, HeaderAnnouncingMoreFillerThanFitsIsRefusedWithoutWriting) {
    // 16 bytes whose header says pad 7: the data length would be -1.
    Bytes stream(16, 0);
    stream[0] = 0x07;
    const Bytes forged = ref_chain_encrypt(stream, kKey);
    uint8_t out[16];
    std::memset(out, 0x77, sizeof out);
    int len = sizeof out;
    EXPECT_EQ(vesk_envelope_decrypt(kKey, forged.data(), 16, out, &len), crypto::kEnvelopeNoRoom);
    EXPECT_EQ(len, 16);
    for (uint8_t b : out) EXPECT_EQ(b, 0x77);
}

TEST(EnvelopeSeal, NullPointersAndNegativeLengthWriteNothing) {
    const uint8_t data[4] = {1, 2, 3, 4};
    uint8_t out[32];
    std::memset(out, 0x77, sizeof out);
    int len = -5;
    vesk_envelope_encrypt(nullptr, data, 4, out, &len);
    vesk_envelope_encrypt(kKey, nullptr, 4, out, &len);
    vesk_envelope_encrypt(kKey, data, 4, nullptr, &len);
    vesk_envelope_encrypt(kKey, data, -1, out, &len);
    EXPECT_EQ(len, -5);
    for (uint8_t b : out) EXPECT_EQ(b, 0x77);
    vesk_envelope_encrypt(kKey, data, 4, out, nullptr);
    for (uint8_t b : out) EXPECT_EQ(b, 0x77);
}

TEST(EnvelopeKeyHolder, SetKeyTakesOnlySixteenBytesAndParamsAreStored) {
    vesk_envelope_key holder;
    std::memset(&holder, 0, sizeof holder);
    vesk_envelope_init(&holder, kKey, 3, 4);
    EXPECT_EQ(std::memcmp(holder.key, kKey, 16), 0);
    EXPECT_EQ(holder.param1, 3);
    EXPECT_EQ(holder.param2, 4);

    uint8_t other[17];
    std::memset(other, 0xAB, sizeof other);
    vesk_envelope_set_key(&holder, other, 15);
    vesk_envelope_set_key(&holder, other, 17);
    EXPECT_EQ(std::memcmp(holder.key, kKey, 16), 0);
    vesk_envelope_set_key(&holder, other, 16);
    EXPECT_EQ(std::memcmp(holder.key, other, 16), 0);

    vesk_envelope_set_params(&holder, 9, 10);
    EXPECT_EQ(holder.param1, 9);
    EXPECT_EQ(holder.param2, 10);
    // The holder's key is usable as an envelope key.
    const Bytes data = {42};
    const Bytes sealed = seal(holder.key, data);
    uint8_t out[1];
    int len = 1;
    EXPECT_EQ(vesk_envelope_decrypt(holder.key, sealed.data(), 16, out, &len), 0);
}

TEST(EnvelopeKeyHolder, InitSeedsRandFromTheCurrentTime) {
    vesk_envelope_key holder;
    const time_t before = std::time(nullptr);
    vesk_envelope_init(&holder, kKey, 0, 0);
    const int drawn = std::rand();
    const time_t after = std::time(nullptr);
    std::srand(static_cast<unsigned>(before));
    const int fromBefore = std::rand();
    std::srand(static_cast<unsigned>(after));
    const int fromAfter = std::rand();
    EXPECT_TRUE(drawn == fromBefore || drawn == fromAfter);
}
