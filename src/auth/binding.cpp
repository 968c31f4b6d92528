// The session key of a bound ticket, derived from the service key and the
// ticket's other fields.
#include <cstring>

#include "auth/messages.h"
#include "crypto/bytes.h"
#include "os/os.h"

namespace auth {

bool bound_session_key(const uint8_t service_key[16], const TicketPlain &plain, uint8_t key[16]) {
    uint8_t fields[16];
    crypto::store_le32(fields, plain.client_id);
    crypto::store_le32(fields + 4, plain.service_id);
    crypto::store_le32(fields + 8, plain.issue_time);
    crypto::store_le32(fields + 12, plain.lifetime);
    const os::Piece pieces[] = {{kBoundLabel, static_cast<int>(sizeof kBoundLabel - 1)},
                                {fields, static_cast<int>(sizeof fields)}};
    uint8_t mac[os::kHmacSha256Size];
    const bool ok = os::hmac_sha256(service_key, kKeySize, pieces, 2, mac);
    if (ok) std::memcpy(key, mac, kKeySize);
    crypto::wipe(mac, sizeof mac);
    return ok;
}

}  // namespace auth
