// The client's checks over arbitrary messages: accept (the issuer's answer)
// and verify (the service's reply).  Input: one byte choosing the context's
// starting point, then messages, each a length byte and that many bytes,
// each held in a heap buffer of exactly its length.  Checked beyond the
// sanitizers: every result is a documented code, and a refused message
// leaves the context as it was (a refused answer only its ticket field).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "message_stream.h"
#include "vuvidur.h"

namespace {

const uint8_t kClientKey[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
constexpr uint32_t kClientId = 0x01020304u;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, data[0] & 1, kClientId, 77);
    if (data[0] & 2) {
        // Start from an accepted answer.
        c.state = VESK_AUTH_CLIENT_TICKET;
        std::memset(c.session_key, 0x33, sizeof c.session_key);
        c.peer_seq = data[0] >> 2;
    }
    fuzz_for_each_message(data, size, 1, [&](const std::vector<uint8_t> &message) {
        const int length = static_cast<int>(message.size());

        vesk_auth_client_ctx before = c;
        const int accepted = vesk_auth_client_accept(&c, kClientKey, message.data(), length);
        fuzz_check(accepted >= -3 && accepted <= 0);
        if (accepted == -3) std::memcpy(before.ticket, message.data(), sizeof before.ticket);
        if (accepted != 0) {
            fuzz_check(std::memcmp(&before, &c, sizeof c) == 0);
        } else {
            fuzz_check(length == 56 && c.state == VESK_AUTH_CLIENT_TICKET &&
                       std::memcmp(c.ticket, message.data(), 32) == 0);
        }

        const vesk_auth_client_ctx mid = c;
        const int verified = vesk_auth_client_verify(&c, message.data(), length);
        fuzz_check(verified >= -4 && verified <= 0);
        if (verified != 0) {
            fuzz_check(std::memcmp(&mid, &c, sizeof c) == 0);
        } else {
            fuzz_check(length == 8 && c.state == VESK_AUTH_CLIENT_VERIFIED &&
                       c.peer_seq > mid.peer_seq);
        }
    });
    return 0;
}
