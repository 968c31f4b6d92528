// The envelope key holder: a caller's record with the key and two bytes the
// library stores but never reads.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "vuvidur.h"

namespace {
constexpr int kEnvelopeKeyLength = 16;
}

extern "C" {

// init also seeds the process's rand(), from which the envelope draws its
// filler bytes.  A null holder or key does nothing at all.
VESK_API void vesk_envelope_init(vesk_envelope_key *holder, const uint8_t key[16], uint8_t param1,
                                 uint8_t param2) {
    if (holder == nullptr || key == nullptr) return;
    holder->param1 = param1;
    holder->param2 = param2;
    std::memcpy(holder->key, key, kEnvelopeKeyLength);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

VESK_API void vesk_envelope_set_key(vesk_envelope_key *holder, const uint8_t *key, int key_length) {
    if (holder == nullptr || key == nullptr || key_length != kEnvelopeKeyLength) return;
    std::memcpy(holder->key, key, kEnvelopeKeyLength);
}

VESK_API void vesk_envelope_set_params(vesk_envelope_key *holder, uint8_t param1, uint8_t param2) {
    if (holder == nullptr) return;
    holder->param1 = param1;
    holder->param2 = param2;
}

}  // extern "C"
