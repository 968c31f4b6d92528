// Bound tickets against tickets joined from parts of several: logins are
// built from the blocks of three genuine bound tickets (two clients, two
// issue times), with bits flipped and authenticators of the input's choice.
// Input: one byte choosing each of the four ticket blocks' source (a
// ticket, or the input's bytes), the authenticator's client id and sequence
// number (8 bytes), then a mask XORed over the 40 bytes.  Checked beyond the
// sanitizers: the bound accept takes a login only when its 32 ticket bytes
// are one genuine ticket, unchanged; peek reads the fields of the id and time
// blocks it is given, wherever they came from; a refusal changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "auth/clock.h"
#include "message_stream.h"
#include "vuvidur.h"

namespace {

const uint8_t kServiceKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kClientKey[16] = {9, 9, 9, 9, 9, 9, 9, 9, 7, 7, 7, 7, 7, 7, 7, 7};
constexpr uint32_t kServiceId = 77;

struct Genuine {
    uint32_t client, issued;
    uint8_t ticket[32];
    uint8_t session_key[16];
};
Genuine g_tickets[3] = {
    {1, 1'700'000'000u, {}, {}}, {2, 1'700'000'000u, {}, {}}, {1, 1'700'005'000u, {}, {}}};

uint32_t g_clock = 0;
uint32_t fuzz_clock() { return g_clock; }
int32_t keys(uint32_t, uint32_t, uint8_t *s, uint8_t *c, uint8_t *k) {
    std::memcpy(s, kServiceKey, 16);
    std::memcpy(c, kClientKey, 16);
    std::memset(k, 0, 16);
    return 0;
}

bool issue_all() {
    auth::set_clock_for_testing(fuzz_clock);
    for (Genuine &g : g_tickets) {
        g_clock = g.issued;
        const uint8_t request[8] = {static_cast<uint8_t>(g.client), 0, 0, 0, kServiceId, 0, 0, 0};
        uint8_t answer[56];
        int length = 56;
        vesk_auth_client_ctx c;
        vesk_auth_client_init(&c, 0, g.client, kServiceId);
        fuzz_check(vesk_auth_issue_bound(request, 8, keys, answer, &length) == 0);
        fuzz_check(vesk_auth_client_accept(&c, kClientKey, answer, 56) == 0);
        std::memcpy(g.ticket, answer, 32);
        std::memcpy(g.session_key, c.session_key, 16);
    }
    return true;
}

uint32_t le32(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool issued = issue_all();
    (void)issued;
    if (size < 9) return 0;
    // Blocks from the chosen sources (3: the input's own bytes).
    uint8_t m[40] = {};
    int source[4];
    for (int b = 0; b < 4; ++b) {
        source[b] = (data[0] >> (2 * b)) & 3;
        if (source[b] < 3) {
            std::memcpy(m + 8 * b, g_tickets[source[b]].ticket + 8 * b, 8);
        } else {
            for (int i = 0; i < 8; ++i) m[8 * b + i] = data[(9 + 8 * b + i) % size];
        }
    }
    // The authenticator under the session key of block 0's source.
    uint32_t k[4], v[2] = {le32(data + 1), le32(data + 5)};
    const uint8_t *session = g_tickets[source[0] < 3 ? source[0] : 0].session_key;
    for (int i = 0; i < 4; ++i) k[i] = le32(session + 4 * i);
    vesk_tea_encrypt_block(v, v, k);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 4; ++j) m[32 + 4 * i + j] = static_cast<uint8_t>(v[i] >> (8 * j));
    for (size_t i = 9; i < size && i - 9 < sizeof m; ++i) m[i - 9] ^= data[i];

    // Which genuine ticket the login's 32 ticket bytes are, if any.
    const Genuine *whole = nullptr;
    for (const Genuine &g : g_tickets)
        if (std::memcmp(m, g.ticket, 32) == 0) whole = &g;
    vesk_auth_server_ctx s;
    vesk_auth_server_init(&s, kServiceId, 0);
    const vesk_auth_server_ctx before = s;
    uint8_t reply[8];
    int length = 8;
    const int accepted = vesk_auth_server_accept_bound(&s, kServiceKey, m, 40, reply, &length);
    fuzz_check(accepted >= -4 && accepted <= 0);
    if (accepted == 0) {
        fuzz_check(whole != nullptr);
        fuzz_check(s.client_id == whole->client && s.issue_time == whole->issued);
        fuzz_check(vesk_auth_server_check_time(&s, s.issue_time, 0) == 0);
    } else {
        fuzz_check(std::memcmp(&before, &s, sizeof s) == 0);
    }

    // Peek reads the id block and the time block, wherever they came from.
    for (const Genuine &ids : g_tickets) {
        for (const Genuine &time : g_tickets) {
            if (std::memcmp(m + 16, ids.ticket + 16, 8) != 0 ||
                std::memcmp(m + 24, time.ticket + 24, 8) != 0)
                continue;
            vesk_auth_ticket_info info;
            fuzz_check(vesk_auth_ticket_peek(kServiceKey, kServiceId, m, 32, &info) == 0);
            fuzz_check(info.client_id == ids.client && info.service_id == kServiceId &&
                       info.issue_time == time.issued && info.lifetime == 7200);
        }
    }
    vesk_auth_ticket_info info;
    const int peeked =
        vesk_auth_ticket_peek(kServiceKey, kServiceId, data, static_cast<int>(size), &info);
    fuzz_check(size < 32 ? peeked == -1 : peeked == 0 || peeked == -3);
    return 0;
}
