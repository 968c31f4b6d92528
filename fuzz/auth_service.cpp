// The service's checks over arbitrary messages: accept (ticket and
// authenticator) and open (sealed message).  Input: one byte choosing the
// context's starting point, then messages, each a length byte and that many
// bytes, each held in a heap buffer of exactly its length.  Checked beyond
// the sanitizers: every result is a documented code, and a refused message
// leaves the context byte for byte as it was.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "message_stream.h"
#include "vuvidur.h"

namespace {

const uint8_t kServiceKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr uint32_t kServiceId = 77;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    vesk_auth_server_ctx s;
    vesk_auth_server_init(&s, kServiceId, data[0] & 1);
    if (data[0] & 2) {
        // Start from an accepted ticket, as a live service would be.
        s.state = VESK_AUTH_SERVER_ACCEPTED;
        s.client_id = 0x01020304u;
        std::memset(s.session_key, 0x33, sizeof s.session_key);
        s.peer_seq = data[0] >> 2;
    }
    fuzz_for_each_message(data, size, 1, [&](const std::vector<uint8_t> &message) {
        const int length = static_cast<int>(message.size());

        const vesk_auth_server_ctx before = s;
        std::vector<uint8_t> reply(8, 0x5A);
        int reply_length = 8;
        const int accepted = vesk_auth_server_accept(&s, kServiceKey, message.data(), length,
                                                     reply.data(), &reply_length);
        fuzz_check(accepted >= -4 && accepted <= 0);
        if (accepted != 0) {
            fuzz_check(std::memcmp(&before, &s, sizeof s) == 0);
            fuzz_check(reply_length == 8);
            for (uint8_t b : reply) fuzz_check(b == 0x5A);
        } else {
            fuzz_check(length == 40 && s.state == VESK_AUTH_SERVER_ACCEPTED &&
                       s.service_id == kServiceId);
            fuzz_check(s.next_seq == s.peer_seq + 2 && s.peer_seq > before.peer_seq);
        }

        const vesk_auth_server_ctx mid = s;
        const int opened = vesk_auth_server_open(&s, message.data(), length);
        fuzz_check(opened >= -3 && opened <= 0);
        if (opened != 0) {
            fuzz_check(std::memcmp(&mid, &s, sizeof s) == 0);
        } else {
            fuzz_check(length >= 16 && s.peer_seq > mid.peer_seq);
        }
    });
    return 0;
}
