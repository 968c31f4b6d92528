// What a service may look at besides the accept: a ticket's fields before any
// context is chosen, and the ticket's time against the service's own clock.
#include "auth/messages.h"
#include "vuvidur.h"

using namespace auth;

namespace {

constexpr int kOtherService = -3;  // peek
constexpr int kNoTicket = -2;      // time check

}  // namespace

extern "C" {

// Only the blocks of the ids and the time are opened: the session key is
// none of the caller's business before an accept.
VESK_API int vesk_auth_ticket_peek(const uint8_t service_key[16], uint32_t own_id,
                                   const uint8_t *ticket, int length, vesk_auth_ticket_info *info) {
    if (service_key == nullptr || ticket == nullptr || info == nullptr ||
        length < static_cast<int>(kTicketSize)) {
        return kBadArgument;
    }
    const Pair ids = open_pair(service_key, ticket + 16);
    if (ids.b != own_id) return kOtherService;
    const Pair time = open_pair(service_key, ticket + 24);
    info->client_id = ids.a;
    info->service_id = ids.b;
    info->issue_time = time.a;
    info->lifetime = time.b;
    return 0;
}

// The window's edges are summed in 64 bits, so that no skew makes them wrap.
VESK_API int vesk_auth_server_check_time(const vesk_auth_server_ctx *s, uint32_t now,
                                         uint32_t skew) {
    if (s == nullptr) return kBadArgument;
    if ((s->state & kServerHasTicket) != kServerHasTicket) return kNoTicket;
    // The issuer always writes this lifetime: another one was not issued so.
    if (s->lifetime != VESK_AUTH_TICKET_LIFETIME) return VESK_AUTH_WRONG_LIFETIME;
    if (uint64_t{now} + skew < s->issue_time) return VESK_AUTH_NOT_YET_VALID;
    if (uint64_t{s->issue_time} + s->lifetime + skew < now) return VESK_AUTH_TICKET_EXPIRED;
    return 0;
}

}  // extern "C"
