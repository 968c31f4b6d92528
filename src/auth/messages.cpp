// Sealing and opening the blocks that every ticket message is made of.
#include "auth/messages.h"

#include <cstring>

#include "crypto/bytes.h"
#include "crypto/tea.h"

namespace auth {

using crypto::load_le32;
using crypto::store_le32;

void seal_pair(const uint8_t key[16], uint32_t a, uint32_t b, uint8_t out[8]) {
    const crypto::TeaKey k = crypto::tea_key_le(key);
    crypto::tea_encrypt_words<32>(a, b, k.k);
    store_le32(out, a);
    store_le32(out + 4, b);
}

Pair open_pair(const uint8_t key[16], const uint8_t in[8]) {
    const crypto::TeaKey k = crypto::tea_key_le(key);
    uint32_t a = load_le32(in), b = load_le32(in + 4);
    crypto::tea_decrypt_words<32>(a, b, k.k);
    return {a, b};
}

void seal_ticket(const TicketPlain &plain, const uint8_t service_key[16], uint8_t out[32]) {
    uint8_t bytes[kTicketSize];
    std::memcpy(bytes, plain.session_key, kKeySize);
    store_le32(bytes + 16, plain.client_id);
    store_le32(bytes + 20, plain.service_id);
    store_le32(bytes + 24, plain.issue_time);
    store_le32(bytes + 28, plain.lifetime);
    const crypto::TeaKey k = crypto::tea_key_le(service_key);
    for (size_t i = 0; i < kTicketSize; i += kBlock)
        crypto::tea32_encrypt_le(bytes + i, out + i, k);
    crypto::wipe(bytes, sizeof bytes);
}

TicketPlain open_ticket(const uint8_t ticket[32], const uint8_t service_key[16]) {
    uint8_t bytes[kTicketSize];
    const crypto::TeaKey k = crypto::tea_key_le(service_key);
    for (size_t i = 0; i < kTicketSize; i += kBlock)
        crypto::tea32_decrypt_le(ticket + i, bytes + i, k);
    TicketPlain plain;
    std::memcpy(plain.session_key, bytes, kKeySize);
    plain.client_id = load_le32(bytes + 16);
    plain.service_id = load_le32(bytes + 20);
    plain.issue_time = load_le32(bytes + 24);
    plain.lifetime = load_le32(bytes + 28);
    crypto::wipe(bytes, sizeof bytes);
    return plain;
}

}  // namespace auth
