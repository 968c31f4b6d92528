// The client side of the ticket scheme: its context, the request, accepting
// the issuer's answer, authenticators, verifying the service's reply, and
// sealed messages.
//
// Every check runs on local values and the context is written only once all
// of them have passed, so a refused message leaves the context exactly as it
// was -- except where noted for compatibility.
#include <cstring>

#include "auth/clock.h"
#include "auth/messages.h"
#include "crypto/bytes.h"
#include "vuvidur.h"

using namespace auth;

namespace {

constexpr int kWrongState = -2;
constexpr int kNotForThisClient = -3;  // accept
constexpr int kExpired = -3;           // authenticator
constexpr int kNotFromService = -3;    // verify
constexpr int kReplayed = -4;          // verify

bool has_ticket(const vesk_auth_client_ctx *c) {
    return (c->state & kClientHasTicket) == kClientHasTicket;
}

}  // namespace

extern "C" {

VESK_API int vesk_auth_client_init(vesk_auth_client_ctx *c, int flag, uint32_t client_id,
                                   uint32_t service_id) {
    if (c == nullptr) return kBadArgument;
    std::memset(c, 0, sizeof *c);
    c->client_id = client_id;
    c->service_id = service_id;
    c->next_seq = 1;
    if (flag != 0) c->flags |= VESK_AUTH_FLAG;
    c->state = kClientInit;
    return 0;
}

VESK_API int vesk_auth_client_request(vesk_auth_client_ctx *c, uint8_t *out, int *length) {
    if (c == nullptr || out == nullptr || length == nullptr ||
        *length < static_cast<int>(kRequestSize)) {
        return kBadArgument;
    }
    if (c->state != kClientInit) return kWrongState;
    crypto::store_le32(out, c->client_id);
    crypto::store_le32(out + 4, c->service_id);
    *length = static_cast<int>(kRequestSize);
    return 0;
}

VESK_API int vesk_auth_client_accept(vesk_auth_client_ctx *c, const uint8_t client_key[16],
                                     const uint8_t *answer, int answer_length) {
    if (c == nullptr || client_key == nullptr || answer == nullptr ||
        answer_length != static_cast<int>(kAnswerSize)) {
        return kBadArgument;
    }
    if (c->state != kClientInit) return kWrongState;
    // Kept for compatibility: the ticket is taken before the answer is
    // checked, so a refused answer leaves it in the context.  It stays unused
    // (state 16), and another answer may be tried.
    std::memcpy(c->ticket, answer, kTicketSize);
    const Pair part = open_pair(client_key, answer + kAnswerClientPart);
    if (part.a != c->client_id) return kNotForThisClient;

    // The lifetime is taken as sent; a fifth of it is kept in reserve, and it
    // counts from this client's own clock, so skew against the issuer does
    // not matter.
    c->usable_lifetime = part.b / 5 * 4;
    c->accept_time = now();
    for (size_t half = 0; half < 2; ++half) {
        const Pair k = open_pair(client_key, answer + kAnswerSessionKey + kBlock * half);
        crypto::store_le32(c->session_key + 8 * half, k.a);
        crypto::store_le32(c->session_key + 8 * half + 4, k.b);
    }
    c->state = kClientTicket;
    return 0;
}

VESK_API int vesk_auth_client_authenticator(vesk_auth_client_ctx *c, uint8_t *out, int *length) {
    if (c == nullptr || out == nullptr || length == nullptr ||
        *length < static_cast<int>(kAuthenticatorSize)) {
        return kBadArgument;
    }
    if (!has_ticket(c)) return kWrongState;
    // Unsigned difference: a clock set back before the acceptance counts as
    // expired too.  Only the client enforces expiry; the service does not.
    if (now() - c->accept_time > c->usable_lifetime) return kExpired;

    std::memcpy(out, c->ticket, kTicketSize);
    const uint32_t seq = c->next_seq > c->peer_seq ? c->next_seq : c->peer_seq;
    c->next_seq = seq + 1;
    seal_pair(c->session_key, c->client_id, seq, out + kTicketSize);
    *length = static_cast<int>(kAuthenticatorSize);
    return 0;
}

VESK_API int vesk_auth_client_verify(vesk_auth_client_ctx *c, const uint8_t *reply,
                                     int reply_length) {
    if (c == nullptr || reply == nullptr || reply_length != static_cast<int>(kReplySize)) {
        return kBadArgument;
    }
    if (!has_ticket(c)) return kWrongState;
    const Pair r = open_pair(c->session_key, reply);
    if (r.a != ~c->client_id) return kNotFromService;
    if (r.b <= c->peer_seq) return kReplayed;
    c->peer_seq = r.b;
    c->state = kClientVerified;
    return 0;
}

// Kept for compatibility: no state test and no expiry test.  Without an
// accepted answer this seals under the all-zero session key of a fresh
// context, and the sequence number is not first raised to peer_seq as the
// authenticator's is.
VESK_API int vesk_auth_client_seal(vesk_auth_client_ctx *c, uint8_t *out, int *length) {
    if (c == nullptr || out == nullptr || length == nullptr ||
        *length < static_cast<int>(kSealedSize)) {
        return kBadArgument;
    }
    const uint32_t seq = c->next_seq;
    c->next_seq = seq + 1;
    seal_pair(c->session_key, c->client_id, seq, out);
    seal_pair(c->session_key, VESK_AUTH_SEAL_MARKER, 0, out + kBlock);
    *length = static_cast<int>(kSealedSize);
    return 0;
}

}  // extern "C"
