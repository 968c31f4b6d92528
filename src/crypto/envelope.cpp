// The padded TEA envelope: 16-cycle big-endian TEA, chaining, sealing and
// opening.
#include "crypto/envelope.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "crypto/bytes.h"
#include "crypto/tea.h"
#include "vuvidur.h"

namespace crypto {
namespace {

constexpr size_t kBlock = 8;
constexpr size_t kMinimumCipher = 16;
constexpr uint8_t kPadMask = 0x07;

struct Key16 {
    uint32_t k[4];
};

Key16 key_be(const uint8_t key[16]) {
    return {{load_be32(key), load_be32(key + 4), load_be32(key + 8), load_be32(key + 12)}};
}

// Random bytes are drawn as the format defines them: the low 8 bits of rand()
// reduced modulo 65534.  Where RAND_MAX is 32767 (the Windows runtime) the
// reduction changes nothing; where it is larger (glibc) the byte is not
// rand()'s own low byte.  Keeping the arithmetic means that a given runtime
// and seed give the same envelope bytes as any other implementation of the
// format.  The bytes need no quality: they hide the exact length and make
// equal data seal differently, and the receiver never checks them.
constexpr int kRandomReduction = 65534;

uint8_t rand_byte(void *) { return static_cast<uint8_t>((std::rand() % kRandomReduction) & 0xFF); }

// The chaining state: the previous ciphertext block Q(i-1) and the previous
// whitened plaintext block X(i-1), as big-endian words.
struct Chain {
    uint32_t qy = 0, qz = 0, xy = 0, xz = 0;
};

// P(i) -> Q(i).
void seal_block(const uint8_t plain[8], uint8_t *out, Chain &c, const Key16 &key) {
    uint32_t y = load_be32(plain) ^ c.qy, z = load_be32(plain + 4) ^ c.qz;
    const uint32_t xy = y, xz = z;
    tea_encrypt_words<16>(y, z, key.k);
    c.qy = y ^ c.xy;
    c.qz = z ^ c.xz;
    c.xy = xy;
    c.xz = xz;
    store_be32(out, c.qy);
    store_be32(out + 4, c.qz);
}

// Q(i) -> P(i).  The block is read whole before `plain` is written.
void open_block(const uint8_t *cipher, uint8_t plain[8], Chain &c, const Key16 &key) {
    const uint32_t qy = load_be32(cipher), qz = load_be32(cipher + 4);
    uint32_t y = qy ^ c.xy, z = qz ^ c.xz;
    tea_decrypt_words<16>(y, z, key.k);
    store_be32(plain, y ^ c.qy);
    store_be32(plain + 4, z ^ c.qz);
    c.qy = qy;
    c.qz = qz;
    c.xy = y;
    c.xz = z;
}

// Collects plaintext bytes into blocks and seals each one as it fills.
class Sealer {
public:
    Sealer(const uint8_t key[16], uint8_t *out) : key_(key_be(key)), out_(out) {}

    void put(uint8_t b) {
        block_[fill_++] = b;
        if (fill_ == kBlock) flush(block_);
    }

    // Whole blocks straight from the data once the collector is empty.
    void put_bytes(const uint8_t *p, size_t n) {
        while (n > 0 && fill_ != 0) {
            put(*p++);
            --n;
        }
        for (; n >= kBlock; n -= kBlock, p += kBlock) flush(p);
        while (n-- > 0) put(*p++);
    }

    ~Sealer() { wipe(block_, sizeof block_); }

private:
    void flush(const uint8_t *plain) {
        seal_block(plain, out_, chain_, key_);
        out_ += kBlock;
        fill_ = 0;
    }

    Key16 key_;
    Chain chain_;
    uint8_t *out_;
    uint8_t block_[kBlock] = {};
    size_t fill_ = 0;
};

}  // namespace

RandomBytes envelope_rand_source() { return {rand_byte, nullptr}; }

void tea16_encrypt_be(const uint8_t in[8], uint8_t out[8], const uint8_t key[16]) {
    const Key16 k = key_be(key);
    uint32_t y = load_be32(in), z = load_be32(in + 4);
    tea_encrypt_words<16>(y, z, k.k);
    store_be32(out, y);
    store_be32(out + 4, z);
}

void tea16_decrypt_be(const uint8_t in[8], uint8_t out[8], const uint8_t key[16]) {
    const Key16 k = key_be(key);
    uint32_t y = load_be32(in), z = load_be32(in + 4);
    tea_decrypt_words<16>(y, z, k.k);
    store_be32(out, y);
    store_be32(out + 4, z);
}

void envelope_seal(const uint8_t key[16], const uint8_t *data, size_t n, uint8_t *out,
                   RandomBytes random) {
    const size_t pad = envelope_pad(n);
    Sealer s(key, out);
    // Each random byte is drawn at the moment it is placed.
    s.put(static_cast<uint8_t>((random.next(random.context) & 0xF8) | pad));
    for (size_t i = 0; i < pad + 2; ++i) s.put(random.next(random.context));
    s.put_bytes(data, n);
    for (size_t i = 0; i < kEnvelopeZeros; ++i) s.put(0);
}

int envelope_open(const uint8_t key[16], const uint8_t *cipher, size_t length, uint8_t *out,
                  int *inout_length) {
    if (length % kBlock != 0 || length < kMinimumCipher) return kEnvelopeBadInput;
    if (key == nullptr || cipher == nullptr || out == nullptr || inout_length == nullptr) {
        return kEnvelopeBadInput;
    }
    const Key16 k = key_be(key);
    Chain chain;
    uint8_t plain[kBlock];
    open_block(cipher, plain, chain, k);

    const size_t pad = plain[0] & kPadMask;
    if (length < pad + kEnvelopeOverhead) return kEnvelopeNoRoom;  // a negative data length
    const size_t m = length - pad - kEnvelopeOverhead;
    if (m > static_cast<size_t>(INT_MAX) || *inout_length < 0 ||
        m > static_cast<size_t>(*inout_length)) {
        wipe(plain, sizeof plain);
        return kEnvelopeNoRoom;
    }
    *inout_length = static_cast<int>(m);

    // Stream offsets: data in [begin, end), zeros in [end, length).  The 2
    // random bytes, the header's upper bits and the filler are not checked.
    const size_t begin = 3 + pad, end = begin + m;
    for (size_t at = 0;;) {
        const size_t data_lo = std::max(at, begin), data_hi = std::min(at + kBlock, end);
        if (data_lo < data_hi)
            std::memcpy(out + (data_lo - begin), plain + (data_lo - at), data_hi - data_lo);
        for (size_t i = std::max(at, end); i < at + kBlock; ++i) {
            if (plain[i - at] != 0) {
                wipe(plain, sizeof plain);
                return kEnvelopeNotZero;
            }
        }
        at += kBlock;
        if (at == length) break;
        open_block(cipher + at, plain, chain, k);
    }
    wipe(plain, sizeof plain);
    return kEnvelopeOpened;
}

}  // namespace crypto

extern "C" {

// A negative data length, or one whose envelope size would not fit an int,
// is refused like a null pointer: nothing is written.
VESK_API void vesk_envelope_encrypt(const uint8_t key[16], const uint8_t *data, int length,
                                    uint8_t *out, int *out_length) {
    if (key == nullptr || data == nullptr || out == nullptr || out_length == nullptr) return;
    if (length < 0 || length > INT_MAX - 17) return;
    *out_length = 0;
    crypto::envelope_seal(key, data, static_cast<size_t>(length), out,
                          crypto::envelope_rand_source());
    *out_length = static_cast<int>(crypto::envelope_size(static_cast<size_t>(length)));
}

VESK_API int vesk_envelope_decrypt(const uint8_t key[16], const uint8_t *cipher, int length,
                                   uint8_t *out, int *inout_length) {
    if (length < 0) return crypto::kEnvelopeBadInput;
    return crypto::envelope_open(key, cipher, static_cast<size_t>(length), out, inout_length);
}

}  // extern "C"
