// The building blocks of the ticket messages: pairs of little-endian 32-bit
// words sealed as one 32-cycle TEA block, and the ticket's plaintext layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vuvidur.h"

namespace auth {

inline constexpr size_t kBlock = 8;
inline constexpr size_t kKeySize = 16;
inline constexpr size_t kRequestSize = VESK_AUTH_REQUEST_SIZE;
inline constexpr size_t kTicketSize = VESK_AUTH_TICKET_SIZE;
inline constexpr size_t kAnswerSize = VESK_AUTH_ANSWER_SIZE;
inline constexpr size_t kAuthenticatorSize = VESK_AUTH_AUTHENTICATOR_SIZE;
inline constexpr size_t kReplySize = VESK_AUTH_REPLY_SIZE;
inline constexpr size_t kSealedSize = VESK_AUTH_SEALED_SIZE;

// Offsets inside the issuer's answer.
inline constexpr size_t kAnswerClientPart = 32;  // E(client key, {client id, lifetime})
inline constexpr size_t kAnswerSessionKey = 40;  // E(client key, session key 0-7), then 8-15

// State words.  Bits: 0x10 a client context, 0x20 a service context, 0x01
// an accepted answer or ticket, 0x02 a verified reply.
inline constexpr uint32_t kClientInit = VESK_AUTH_CLIENT_INIT;
inline constexpr uint32_t kClientTicket = VESK_AUTH_CLIENT_TICKET;
inline constexpr uint32_t kClientVerified = VESK_AUTH_CLIENT_VERIFIED;
inline constexpr uint32_t kServerInit = VESK_AUTH_SERVER_INIT;
inline constexpr uint32_t kServerAccepted = VESK_AUTH_SERVER_ACCEPTED;
inline constexpr uint32_t kClientHasTicket = 0x11;  // state bits that authenticator and verify need
inline constexpr uint32_t kServerContext = 0x20;    // state bit that accept needs
inline constexpr uint32_t kServerHasTicket = 0x21;  // state bits that open needs

inline constexpr int kBadArgument = -1;
inline constexpr int kNoHmac = VESK_AUTH_NO_HMAC;

// E(key, {a, b}) into 8 bytes, both words little-endian.
void seal_pair(const uint8_t key[16], uint32_t a, uint32_t b, uint8_t out[8]);

// D(key, 8 bytes) into {a, b}.
struct Pair {
    uint32_t a, b;
};
Pair open_pair(const uint8_t key[16], const uint8_t in[8]);

// The ticket's plaintext (32 bytes inside the issuer and the service):
// session key, client id, service id, issue time, lifetime.
struct TicketPlain {
    uint8_t session_key[16];
    uint32_t client_id;
    uint32_t service_id;
    uint32_t issue_time;
    uint32_t lifetime;
};

// Encrypts the plaintext under the service key as four independent blocks.
void seal_ticket(const TicketPlain &plain, const uint8_t service_key[16], uint8_t out[32]);
TicketPlain open_ticket(const uint8_t ticket[32], const uint8_t service_key[16]);

// Bound tickets: the session key is the first 16 bytes of HMAC-SHA-256 under
// the service key of kBoundLabel followed by the plaintext's bytes 16-31
// (client id, service id, issue time, lifetime, little-endian), so that no
// block of the ticket can be swapped for another ticket's without the key
// showing it.  false when the platform's HMAC failed (`key` then unwritten).
inline constexpr char kBoundLabel[] = "vuvidur bound ticket 1";  // without its NUL
bool bound_session_key(const uint8_t service_key[16], const TicketPlain &plain, uint8_t key[16]);

}  // namespace auth
