// The service side of the ticket scheme: its context, accepting a ticket with
// its authenticator (answering with a reply), and opening sealed messages.
//
// Every check runs on local values and the context is written only once all
// of them have passed: a refused message leaves it exactly as it was, so the
// same context can go on with the next, correct one.
#include <cstring>

#include "auth/messages.h"
#include "crypto/bytes.h"
#include "vuvidur.h"

using namespace auth;

namespace {

constexpr int kNotAServiceContext = -2;    // accept
constexpr int kNoTicket = -2;              // open
constexpr int kOtherService = -3;          // accept
constexpr int kAuthenticatorRefused = -4;  // accept: other client or replay
constexpr int kMessageRefused = -3;        // open: other client or replay
constexpr int kNotBound = -3;              // bound accept: blocks not issued together

// Whether the ticket's session key is the one derived from its other
// fields (kNoHmac when that cannot be computed).  Every byte is compared, so
// the time taken says nothing about where a forged key differs.
int check_bound(const uint8_t service_key[16], const TicketPlain &ticket) {
    uint8_t derived[kKeySize];
    if (!bound_session_key(service_key, ticket, derived)) return kNoHmac;
    uint8_t differ = 0;
    for (size_t i = 0; i < kKeySize; ++i) differ |= derived[i] ^ ticket.session_key[i];
    crypto::wipe(derived, sizeof derived);
    return differ == 0 ? 0 : kNotBound;
}

// Both accepts.  A bound accept also refuses a ticket whose session key does
// not match its other fields: one joined from blocks of several tickets.
int accept(vesk_auth_server_ctx *s, const uint8_t service_key[16], const uint8_t *message,
           int message_length, uint8_t *reply, int *reply_length, bool bound) {
    if (s == nullptr || service_key == nullptr || message == nullptr || reply == nullptr ||
        reply_length == nullptr || message_length != static_cast<int>(kAuthenticatorSize) ||
        *reply_length < static_cast<int>(kReplySize)) {
        return kBadArgument;
    }
    if ((s->state & kServerContext) != kServerContext) return kNotAServiceContext;

    TicketPlain ticket = open_ticket(message, service_key);
    int result = 0;
    const Pair auth = open_pair(ticket.session_key, message + kTicketSize);
    if (ticket.service_id != s->own_id) {
        result = kOtherService;
    } else if (auth.a != ticket.client_id || auth.b <= s->peer_seq) {
        // peer_seq survives a new ticket: an authenticator must always carry
        // a number above every one this context has accepted.
        result = kAuthenticatorRefused;
    } else if (bound) {
        // Last, as the dearest check: a replay is refused without the MAC.
        result = check_bound(service_key, ticket);
    }
    if (result == 0) {
        s->peer_seq = auth.b;
        std::memcpy(s->session_key, ticket.session_key, kKeySize);
        s->client_id = ticket.client_id;
        s->service_id = ticket.service_id;
        s->issue_time = ticket.issue_time;
        s->lifetime = ticket.lifetime;
        // The reply carries seq + 1; next_seq ends at seq + 2.
        const uint32_t reply_seq = auth.b + 1;
        seal_pair(s->session_key, ~s->client_id, reply_seq, reply);
        s->next_seq = reply_seq + 1;
        *reply_length = static_cast<int>(kReplySize);
        s->state = kServerAccepted;
    }
    crypto::wipe(&ticket, sizeof ticket);
    return result;
}

}  // namespace

extern "C" {

VESK_API int vesk_auth_server_init(vesk_auth_server_ctx *s, uint32_t own_id, int flag) {
    if (s == nullptr) return kBadArgument;
    std::memset(s, 0, sizeof *s);
    s->own_id = own_id;
    s->next_seq = 1;
    if (flag != 0) s->flags |= VESK_AUTH_FLAG;
    s->state = kServerInit;
    return 0;
}

// The ticket's issue time and lifetime are copied for the caller and not
// tested here: expiry is the client's to enforce, as peers expect.
VESK_API int vesk_auth_server_accept(vesk_auth_server_ctx *s, const uint8_t service_key[16],
                                     const uint8_t *message, int message_length, uint8_t *reply,
                                     int *reply_length) {
    return accept(s, service_key, message, message_length, reply, reply_length, false);
}

VESK_API int vesk_auth_server_accept_bound(vesk_auth_server_ctx *s, const uint8_t service_key[16],
                                           const uint8_t *message, int message_length,
                                           uint8_t *reply, int *reply_length) {
    return accept(s, service_key, message, message_length, reply, reply_length, true);
}

// Only the first block is checked; the marker block is not examined.  A
// longer message is accepted and only its first 16 bytes are read.
VESK_API int vesk_auth_server_open(vesk_auth_server_ctx *s, const uint8_t *message,
                                   int message_length) {
    if (s == nullptr || message == nullptr || message_length < static_cast<int>(kSealedSize)) {
        return kBadArgument;
    }
    if ((s->state & kServerHasTicket) != kServerHasTicket) return kNoTicket;
    const Pair first = open_pair(s->session_key, message);
    if (first.a != s->client_id || first.b <= s->peer_seq) return kMessageRefused;
    s->peer_seq = first.b;
    return 0;
}

}  // extern "C"
