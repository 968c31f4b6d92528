// The issuer: answers a client's request with a ticket for the service and
// the session key for the client.  It keeps nothing between calls.
#include <cstring>

#include "auth/clock.h"
#include "auth/messages.h"
#include "crypto/bytes.h"
#include "vuvidur.h"

using namespace auth;

namespace {

struct IssuerKeys {
    uint8_t service[16];
    uint8_t client[16];
    uint8_t session[16];
    ~IssuerKeys() { crypto::wipe(this, sizeof *this); }
};

// Both issuers.  A bound ticket's session key is derived from the service
// key and the ticket's other fields; the callback's is not used.
int issue(const uint8_t *request, int request_length, vesk_auth_key_fn keys, uint8_t *out,
          int *length, bool bound) {
    if (request == nullptr || out == nullptr || keys == nullptr || length == nullptr ||
        request_length != static_cast<int>(kRequestSize) ||
        *length < static_cast<int>(kAnswerSize)) {
        return kBadArgument;
    }
    const uint32_t client_id = crypto::load_le32(request);
    const uint32_t service_id = crypto::load_le32(request + 4);

    // The callback must fill all 48 bytes; they start at zero so that one
    // that does not can never leak what the stack held before.
    IssuerKeys k{};
    const int32_t verdict = keys(client_id, service_id, k.service, k.client, k.session);
    if (verdict < 0) return verdict;

    TicketPlain ticket;
    ticket.client_id = client_id;
    ticket.service_id = service_id;
    ticket.issue_time = now();
    ticket.lifetime = VESK_AUTH_TICKET_LIFETIME;
    if (!bound) {
        std::memcpy(ticket.session_key, k.session, kKeySize);
    } else if (!bound_session_key(k.service, ticket, ticket.session_key)) {
        return kNoHmac;
    }
    seal_ticket(ticket, k.service, out);

    const uint8_t *session = ticket.session_key;
    seal_pair(k.client, client_id, VESK_AUTH_TICKET_LIFETIME, out + kAnswerClientPart);
    seal_pair(k.client, crypto::load_le32(session), crypto::load_le32(session + 4),
              out + kAnswerSessionKey);
    seal_pair(k.client, crypto::load_le32(session + 8), crypto::load_le32(session + 12),
              out + kAnswerSessionKey + kBlock);
    crypto::wipe(&ticket, sizeof ticket);
    *length = static_cast<int>(kAnswerSize);
    return 0;
}

}  // namespace

extern "C" {

VESK_API int vesk_auth_issue(const uint8_t *request, int request_length, vesk_auth_key_fn keys,
                             uint8_t *out, int *length) {
    return issue(request, request_length, keys, out, length, false);
}

VESK_API int vesk_auth_issue_bound(const uint8_t *request, int request_length,
                                   vesk_auth_key_fn keys, uint8_t *out, int *length) {
    return issue(request, request_length, keys, out, length, true);
}

}  // extern "C"
