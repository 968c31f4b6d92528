// Forgery and time splice against both accepts; peek; the service's time check.
#include "fixture.h"

using namespace authtest;

namespace {

int32_t own_keys(uint32_t client, uint32_t, uint8_t *s, uint8_t *c, uint8_t *k) {
    static uint8_t n = 100;  // a fresh session key for each ticket
    std::memcpy(s, kServiceKey.data(), 16);
    std::memcpy(c, make_key(static_cast<uint8_t>(client)).data(), 16);
    std::memcpy(k, make_key(++n).data(), 16);
    return 0;
}

}  // namespace

// Client 66 joins its session-key blocks to the id block of a ticket asked
// for in client 1's name and signs for 1; makes its expired ticket fresh
// with a later time block; or changes a bit of it.  The plain accept
// takes all three (the documented limit), the bound one none.
TEST_F(TicketTest, ForgeryAndTimeSpliceAreRefusedByTheBoundAcceptOnly) {
    for (const bool bound_issue : {false, true}) {
        const auto issue = bound_issue ? vesk_auth_issue_bound : vesk_auth_issue;
        const auto login = [&](uint32_t id, vesk_auth_client_ctx &c) {  // with its own key
            uint8_t request[8] = {static_cast<uint8_t>(id), 0, 0, 0, kService}, answer[56];
            int len = 56;
            EXPECT_EQ(issue(request, 8, own_keys, answer, &len), 0);
            vesk_auth_client_init(&c, 0, id, kService);
            vesk_auth_client_accept(&c, make_key(static_cast<uint8_t>(id)).data(), answer, 56);
            return authenticator(c);
        };
        vesk_auth_client_ctx mine, other;
        const Bytes genuine = login(66, mine), theirs = login(1, other);
        Bytes forged = genuine, stale = genuine, flipped = genuine;
        std::copy(theirs.begin() + 16, theirs.begin() + 24, forged.begin() + 16);
        const Bytes signed_as_1 = seal(mine.session_key, 1, 2);
        std::copy(signed_as_1.begin(), signed_as_1.end(), forged.begin() + 32);
        flipped[27] ^= 0x10;
        const uint8_t *key = kServiceKey.data();
        vesk_auth_ticket_info info{9, 9, 9, 9};  // what a ticket names, for this service only
        EXPECT_EQ(vesk_auth_ticket_peek(key, kService + 1, theirs.data(), 40, &info), -3);
        EXPECT_EQ(vesk_auth_ticket_peek(key, kService, theirs.data(), 31, &info), -1);
        ASSERT_EQ(vesk_auth_ticket_peek(key, kService, theirs.data(), 32, &info), 0);
        EXPECT_TRUE(info.client_id == 1 && info.issue_time == g_now && info.lifetime == 7200);
        g_now += 100'000;
        const Bytes later = login(5, other);
        std::copy(later.begin() + 24, later.begin() + 32, stale.begin() + 24);
        // login, taken as, bound accept's result, the time check's after the plain accept
        const std::tuple<const Bytes &, uint32_t, int, int> cases[] = {
            {genuine, 66, bound_issue ? 0 : -3, -6},
            {forged, 1, -3, -6},
            {stale, 66, -3, 0 /* looks fresh */},
            {flipped, 66, -3, -7}};
        for (const auto &[m, taken_as, bound_result, time_check] : cases) {
            vesk_auth_server_ctx s, t;
            vesk_auth_server_init(&s, kService, 0);
            t = s;
            const Bytes before = bytes_of(s);
            uint8_t reply[8];
            int len = 8;
            ASSERT_EQ(vesk_auth_server_accept(&s, key, m.data(), 40, reply, &len), 0);
            EXPECT_EQ(s.client_id, taken_as);
            const int time = vesk_auth_server_check_time(&s, g_now, 300);
            EXPECT_TRUE(time == time_check || (time_check == -7 && time < 0)) << time;
            EXPECT_EQ(vesk_auth_server_accept_bound(&t, key, m.data(), 40, reply, &len),
                      bound_result);
            EXPECT_EQ(bytes_of(t) == before, bound_result != 0) << bound_issue << taken_as;
        }
    }
}

// issue_time - skew <= now <= issue_time + 7200 + skew, without 32-bit wrap.
TEST(ServiceTimeCheck, EdgesOfTheWindowAndTheLifetime) {
    constexpr int64_t T = 1'700'000'000, kAny = 0xFFFFFFFF;
    const int64_t cases[][5] = {
        // issued, lifetime, now, skew, result
        {T, 7200, T - 300, 300, 0},   {T, 7200, T - 301, 300, -5},    {T, 7200, T + 7500, 300, 0},
        {T, 7200, T + 7501, 300, -6}, {T, 7200, T + 7200, 0, 0},      {T, 7200, T + 7201, 0, -6},
        {T, 7199, T, 300, -7},        {T, 7201, T + 9999, 300, -7},   {T, 7200, 0, kAny, 0},
        {T, 7200, kAny, kAny, 0},     {0xFFFFF000, 7200, 5, 300, -5}, {100, 7200, kAny, 300, -6}};
    for (const auto &k : cases) {
        vesk_auth_server_ctx s;
        vesk_auth_server_init(&s, kService, 0);
        s.issue_time = static_cast<uint32_t>(k[0]);
        s.lifetime = static_cast<uint32_t>(k[1]);
        const auto now = static_cast<uint32_t>(k[2]), skew = static_cast<uint32_t>(k[3]);
        EXPECT_EQ(vesk_auth_server_check_time(&s, now, skew), -2) << "no accepted ticket";
        s.state = VESK_AUTH_SERVER_ACCEPTED;
        EXPECT_EQ(vesk_auth_server_check_time(&s, now, skew), k[4]) << k[0] << " " << k[2];
    }
}
