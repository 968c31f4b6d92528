// The padded TEA envelope: data of any length sealed under a 16-byte key into
// whole 8-byte blocks, with random filler, chaining, and seven trailing zero
// bytes that let the receiver tell a wrong key or damaged data.
//
// Plaintext stream for n data bytes, pad = the smallest count 0..7 that makes
// n + 10 + pad a multiple of 8:
//   header (random & 0xF8 | pad), pad filler bytes, 2 random bytes, data,
//   7 zero bytes.
// Blocks run through 16-cycle TEA on big-endian words, chained:
//   X(i) = P(i) ^ Q(i-1),  Q(i) = E16(X(i)) ^ X(i-1),  Q(-1) = X(-1) = 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vuvidur.h"

namespace crypto {

inline constexpr size_t kEnvelopeOverhead = 10;  // header, 2 random bytes, 7 zeros
inline constexpr size_t kEnvelopeZeros = 7;

inline constexpr size_t envelope_pad(size_t n) {
    const size_t r = (n + kEnvelopeOverhead) % 8;
    return r == 0 ? 0 : 8 - r;
}

inline constexpr size_t envelope_size(size_t n) { return n + kEnvelopeOverhead + envelope_pad(n); }
static_assert(envelope_size(7) == VESK_ENVELOPE_SIZE(7) &&
              envelope_size(6) == VESK_ENVELOPE_SIZE(6));

// Where the random bytes come from: the process's rand() in the library,
// anything reproducible in tests.
struct RandomBytes {
    uint8_t (*next)(void *context);
    void *context;
};

// The library's source: the low 8 bits of rand() modulo 65534.
RandomBytes envelope_rand_source();

// The 16-cycle block routines on big-endian words.
void tea16_encrypt_be(const uint8_t in[8], uint8_t out[8], const uint8_t key[16]);
void tea16_decrypt_be(const uint8_t in[8], uint8_t out[8], const uint8_t key[16]);

// Writes envelope_size(n) bytes to `out`, which must not overlap `data`.
void envelope_seal(const uint8_t key[16], const uint8_t *data, size_t n, uint8_t *out,
                   RandomBytes random);

// Results of envelope_open: those of vesk_envelope_decrypt.
inline constexpr int kEnvelopeOpened = VESK_ENVELOPE_OPENED;
inline constexpr int kEnvelopeBadInput = VESK_ENVELOPE_BAD_INPUT;
inline constexpr int kEnvelopeNoRoom = VESK_ENVELOPE_NO_ROOM;
inline constexpr int kEnvelopeNotZero = VESK_ENVELOPE_NOT_ZERO;

// Opens `length` ciphertext bytes into `out`, whose capacity *inout_length
// gives; on success *inout_length is the data length.  Refusals -1 and -2
// write nothing; on -3 the data bytes and their length have been written.
// `out` may be the ciphertext buffer itself.
int envelope_open(const uint8_t key[16], const uint8_t *cipher, size_t length, uint8_t *out,
                  int *inout_length);

}  // namespace crypto
