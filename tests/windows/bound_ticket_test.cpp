// Bound tickets of the Windows build, whose HMAC-SHA-256 is BCrypt's,
// against the bytes that the Linux build (libcrypto's) issues and accepts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "auth/bound_vectors.h"
#include "auth/clock.h"
#include "vuvidur.h"

namespace bv = bound_vectors;

namespace {

uint32_t issue_clock() { return bv::kIssueTime; }

int32_t vector_keys(uint32_t, uint32_t, uint8_t service_key[16], uint8_t client_key[16],
                    uint8_t session_key[16]) {
    std::memcpy(service_key, bv::kServiceKey, 16);
    std::memcpy(client_key, bv::kClientKey, 16);
    std::memset(session_key, 0xAA, 16);
    return 0;
}

}  // namespace

TEST(BoundTicketOnWindows, IssueGivesTheLinuxBuildsAnswerAndAcceptItsReply) {
    auth::set_clock_for_testing(issue_clock);
    const uint8_t request[8] = {4, 3, 2, 1, 77, 0, 0, 0};
    std::vector<uint8_t> answer(56);
    int length = 56;
    ASSERT_EQ(vesk_auth_issue_bound(request, 8, vector_keys, answer.data(), &length), 0);
    EXPECT_EQ(answer, bv::bytes(bv::kAnswer));

    vesk_auth_server_ctx s;
    vesk_auth_server_init(&s, bv::kService, 0);
    const std::vector<uint8_t> login = bv::bytes(bv::kAuthenticator);
    std::vector<uint8_t> reply(8);
    length = 8;
    ASSERT_EQ(
        vesk_auth_server_accept_bound(&s, bv::kServiceKey, login.data(), 40, reply.data(), &length),
        0);
    EXPECT_EQ(reply, bv::bytes(bv::kReply));
    EXPECT_EQ(std::vector<uint8_t>(s.session_key, s.session_key + 16), bv::bytes(bv::kSessionKey));

    // Any other time block is refused, whatever it decrypts to.
    for (int bit = 24 * 8; bit < 32 * 8; ++bit) {
        std::vector<uint8_t> m = login;
        m[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        vesk_auth_server_init(&s, bv::kService, 0);
        length = 8;
        EXPECT_EQ(
            vesk_auth_server_accept_bound(&s, bv::kServiceKey, m.data(), 40, reply.data(), &length),
            VESK_AUTH_REFUSED)
            << bit;
    }
    auth::set_clock_for_testing(nullptr);
}
