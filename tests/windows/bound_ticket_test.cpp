// A bound ticket against fixed bytes, in the Linux suite (libcrypto's HMAC,
// which made them) and in the Windows one (BCrypt's).  The session key was
// computed apart, with Python's hmac module: it pins the label and fields.
#include "auth/fixture.h"

using namespace authtest;

TEST_F(TicketTest, BoundIssueAndAcceptGiveTheFixedBytesOnEveryBuild) {
    g_now = 1'700'000'000u;
    const auto hex = [](const uint8_t *p, uint16_t n) {
        std::string text(2 * n + 1, '\0');
        vesk_hex_encode(p, n, text.data());
        return text.substr(0, 2 * n);
    };
    const uint8_t request[8] = {4, 3, 2, 1, 77, 0, 0, 0};
    uint8_t answer[56], reply[8];
    int length = 56;
    ASSERT_EQ(vesk_auth_issue_bound(request, 8, fixed_keys, answer, &length), 0);
    EXPECT_EQ(hex(answer, 56),
              "1A4BF1CF45C3B39B00D25970333CBAD7F47D9556F6E1C8BEE2B6D3401D4BCBAF"
              "EA3850AFC191368DF71F2F78622605162860FBE721BD223E");
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, kClient, kService);
    ASSERT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer, 56), 0);
    EXPECT_EQ(hex(c.session_key, 16), "DFC19D80699DD4E15CCB5911661E8A43");
    const Bytes login = authenticator(c);
    EXPECT_EQ(hex(login.data() + 32, 8), "88EDFB002899AD13");
    vesk_auth_server_ctx s;
    vesk_auth_server_init(&s, kService, 0);
    length = 8;
    ASSERT_EQ(
        vesk_auth_server_accept_bound(&s, kServiceKey.data(), login.data(), 40, reply, &length), 0);
    EXPECT_EQ(hex(reply, 8), "90047CF9BDF0925F");
}
