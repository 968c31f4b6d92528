// What a service can rely on: the cut-and-paste forgery and the time splice
// (accepted by the specified accept, refused by the bound one), the
// service's own time check, peeking at a ticket, and bound tickets against
// the specified calls and fixed vectors.
#include "bound_vectors.h"
#include "fixture.h"

using namespace authtest;

namespace {

// An issuer callback that hands out a fresh session key each time, as a
// real one does: the forgery needs two tickets with different keys.
uint8_t g_session_seed = 0;
int32_t fresh_keys(uint32_t client, uint32_t service, uint8_t service_key[16],
                   uint8_t client_key[16], uint8_t session_key[16]) {
    fixed_keys(client, service, service_key, client_key, session_key);
    const Key session = make_key(static_cast<uint8_t>(100 + ++g_session_seed));
    std::memcpy(session_key, session.data(), 16);
    // Each client has a key of its own; the attacker knows only its own.
    const Key mine = make_key(static_cast<uint8_t>(client));
    std::memcpy(client_key, mine.data(), 16);
    return 0;
}

using IssueFn = int (*)(const uint8_t *, int, vesk_auth_key_fn, uint8_t *, int *);
using AcceptFn = int (*)(vesk_auth_server_ctx *, const uint8_t *, const uint8_t *, int, uint8_t *,
                         int *);

class BoundTest : public TicketTest {
protected:
    // An answer for `client` from the given issuer; anybody may ask.
    Bytes answer_for(IssueFn issue, uint32_t client) {
        uint8_t request[8];
        put_le(request, client);
        put_le(request + 4, kService);
        Bytes answer(56);
        int len = 56;
        EXPECT_EQ(issue(request, 8, fresh_keys, answer.data(), &len), 0);
        return answer;
    }
    // The attacker's login: its own session-key blocks, the id block of a
    // ticket issued in the victim's name, its own time block, and an
    // authenticator for the victim's id under its own session key.
    Bytes forged_login(IssueFn issue, uint32_t attacker, uint32_t victim) {
        vesk_auth_client_ctx mine;
        vesk_auth_client_init(&mine, 0, attacker, kService);
        const Bytes own = answer_for(issue, attacker);
        EXPECT_EQ(vesk_auth_client_accept(&mine, make_key(static_cast<uint8_t>(attacker)).data(),
                                          own.data(), 56),
                  0);
        const Bytes victims = answer_for(issue, victim);
        Bytes m(own.begin(), own.begin() + 32);
        std::copy(victims.begin() + 16, victims.begin() + 24, m.begin() + 16);
        const Bytes authenticator = seal(mine.session_key, victim, 1);
        m.insert(m.end(), authenticator.begin(), authenticator.end());
        return m;
    }
    int accept(AcceptFn fn, vesk_auth_server_ctx &s, const Bytes &m) {
        Bytes reply(8);
        int len = 8;
        return fn(&s, kServiceKey.data(), m.data(), static_cast<int>(m.size()), reply.data(), &len);
    }
};

constexpr uint32_t kAttacker = 66, kVictim = 1;

}  // namespace

TEST_F(BoundTest, CutAndPasteForgeryPassesTheSpecifiedAcceptAndNotTheBoundOne) {
    struct Case {
        const char *mode;
        IssueFn issue;
        AcceptFn accept;
        int result;
    } cases[] = {
        {"specified: the documented limit", vesk_auth_issue, vesk_auth_server_accept, 0},
        {"bound issue, specified accept", vesk_auth_issue_bound, vesk_auth_server_accept, 0},
        {"bound", vesk_auth_issue_bound, vesk_auth_server_accept_bound, -3},
    };
    for (const Case &k : cases) {
        vesk_auth_server_ctx s;
        vesk_auth_server_init(&s, kService, 0);
        const Bytes before = bytes_of(s);
        EXPECT_EQ(accept(k.accept, s, forged_login(k.issue, kAttacker, kVictim)), k.result)
            << k.mode;
        if (k.result == 0) {
            EXPECT_EQ(s.client_id, kVictim) << k.mode << ": taken for the victim";
        } else {
            EXPECT_EQ(bytes_of(s), before) << k.mode;
        }
    }
}

TEST_F(BoundTest, ExpiredTicketWithAFresherTimeBlockPassesOnlyTheSpecifiedAccept) {
    struct Case {
        IssueFn issue;
        AcceptFn accept_fn;
        int result;
    } cases[] = {{vesk_auth_issue, vesk_auth_server_accept, 0},
                 {vesk_auth_issue_bound, vesk_auth_server_accept_bound, -3}};
    for (const auto &[issue, accept_fn, result] : cases) {
        vesk_auth_client_ctx c;
        vesk_auth_client_init(&c, 0, kClient, kService);
        const Bytes old = answer_for(issue, kClient);
        ASSERT_EQ(vesk_auth_client_accept(&c, make_key(static_cast<uint8_t>(kClient)).data(),
                                          old.data(), 56),
                  0);
        Bytes m = authenticator(c);
        g_now += 100'000;  // long expired; a fresh ticket of anybody's
        const Bytes fresh = answer_for(issue, kAttacker);
        std::copy(fresh.begin() + 24, fresh.begin() + 32, m.begin() + 24);
        vesk_auth_server_ctx s;
        vesk_auth_server_init(&s, kService, 0);
        EXPECT_EQ(accept(accept_fn, s, m), result);
        if (result == 0) {
            EXPECT_EQ(vesk_auth_server_check_time(&s, g_now, 300), 0)
                << "the spliced time passes the time check: only binding closes this";
        }
    }
}

// Flipping each bit of a login: the specified accept takes exactly the 64
// flips of the time block (its blocks are not tied together); the time
// check refuses every one of those, and the bound accept every flip.
TEST_F(BoundTest, EveryBitFlipOfALoginIsRefusedByTheBoundAcceptOrTheTimeCheck) {
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, kClient, kService);
    const Bytes answer = answer_for(vesk_auth_issue_bound, kClient);
    ASSERT_EQ(vesk_auth_client_accept(&c, make_key(static_cast<uint8_t>(kClient)).data(),
                                      answer.data(), 56),
              0);
    const Bytes login = authenticator(c);
    int specified = 0, timely = 0, bound = 0;
    for (size_t bit = 0; bit < login.size() * 8; ++bit) {
        Bytes m = login;
        m[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        vesk_auth_server_ctx s, t;
        vesk_auth_server_init(&s, kService, 0);
        vesk_auth_server_init(&t, kService, 0);
        if (accept(vesk_auth_server_accept, s, m) == 0) {
            ++specified;
            EXPECT_TRUE(bit / 8 >= 24 && bit / 8 < 32) << bit;
            timely += vesk_auth_server_check_time(&s, g_now, 300) == 0;
        }
        bound += accept(vesk_auth_server_accept_bound, t, m) == 0;
    }
    EXPECT_EQ(specified, 64);
    EXPECT_EQ(timely, 0);
    EXPECT_EQ(bound, 0);
}

TEST_F(BoundTest, BoundTicketIsAnOrdinaryAnswerForTheClientAndTheSpecifiedService) {
    // Peers built to the specified calls take a bound ticket both ways.
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, kClient, kService);
    uint8_t request[8];
    int len = 8;
    vesk_auth_client_request(&c, request, &len);
    Bytes answer(56);
    len = 56;
    ASSERT_EQ(vesk_auth_issue_bound(request, 8, fixed_keys, answer.data(), &len), 0);
    EXPECT_EQ(len, 56);
    ASSERT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 56), 0);
    EXPECT_NE(std::memcmp(c.session_key, kSessionKey.data(), 16), 0)
        << "the callback's session key is not used";
    for (const AcceptFn fn : {vesk_auth_server_accept, vesk_auth_server_accept_bound}) {
        vesk_auth_server_ctx s;
        vesk_auth_server_init(&s, kService, 0);
        Bytes reply(8);
        int rlen = 8;
        const Bytes m = authenticator(c);
        ASSERT_EQ(fn(&s, kServiceKey.data(), m.data(), 40, reply.data(), &rlen), 0);
        EXPECT_EQ(vesk_auth_client_verify(&c, reply.data(), 8), 0);
        // Replays are refused before the session key is looked at.
        EXPECT_EQ(fn(&s, kServiceKey.data(), m.data(), 40, reply.data(), &rlen), -4);
    }
    // A ticket of the specified issuer is not bound.
    vesk_auth_client_ctx plain;
    client_with_ticket(plain);
    vesk_auth_server_ctx s;
    vesk_auth_server_init(&s, kService, 0);
    EXPECT_EQ(accept(vesk_auth_server_accept_bound, s, authenticator(plain)), -3);
}

TEST_F(BoundTest, BoundIssueAndAcceptGiveTheFixedVectors) {
    namespace bv = bound_vectors;
    ASSERT_EQ(Bytes(std::begin(bv::kServiceKey), std::end(bv::kServiceKey)),
              Bytes(kServiceKey.begin(), kServiceKey.end()));
    g_now = bv::kIssueTime;
    uint8_t request[8];
    put_le(request, bv::kClient);
    put_le(request + 4, bv::kService);
    Bytes answer(56);
    int len = 56;
    ASSERT_EQ(vesk_auth_issue_bound(request, 8, fixed_keys, answer.data(), &len), 0);
    EXPECT_EQ(answer, bv::bytes(bv::kAnswer));
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, bv::kClient, bv::kService);
    ASSERT_EQ(vesk_auth_client_accept(&c, bv::kClientKey, answer.data(), 56), 0);
    EXPECT_EQ(Bytes(c.session_key, c.session_key + 16), bv::bytes(bv::kSessionKey));
    EXPECT_EQ(authenticator(c), bv::bytes(bv::kAuthenticator));
    vesk_auth_server_ctx s;
    vesk_auth_server_init(&s, bv::kService, 0);
    const Bytes m = bv::bytes(bv::kAuthenticator);
    Bytes reply(8);
    len = 8;
    ASSERT_EQ(vesk_auth_server_accept_bound(&s, bv::kServiceKey, m.data(), 40, reply.data(), &len),
              0);
    EXPECT_EQ(reply, bv::bytes(bv::kReply));
}

TEST_F(BoundTest, BoundIssueRefusesAsTheSpecifiedIssueDoes) {
    uint8_t request[8] = {4, 3, 2, 1, 77, 0, 0, 0};
    Bytes out(56, 0xEE);
    int len = 56;
    EXPECT_EQ(vesk_auth_issue_bound(request, 7, fixed_keys, out.data(), &len), -1);
    EXPECT_EQ(vesk_auth_issue_bound(request, 8, nullptr, out.data(), &len), -1);
    len = 55;
    EXPECT_EQ(vesk_auth_issue_bound(request, 8, fixed_keys, out.data(), &len), -1);
    EXPECT_EQ(g_callback_calls, 0);
    len = 56;
    EXPECT_EQ(
        vesk_auth_issue_bound(
            request, 8, [](uint32_t, uint32_t, uint8_t *, uint8_t *, uint8_t *) { return -7; },
            out.data(), &len),
        -7);
    EXPECT_EQ(out, Bytes(56, 0xEE));
}

// The edges of the window issue_time - skew <= now <= issue_time + 7200 + skew.
TEST(ServiceTimeCheck, WindowEdgesSkewOnBothSidesAndLifetime) {
    constexpr uint32_t T = 1'700'000'000u;
    struct Case {
        uint32_t issued, lifetime, now, skew;
        int result;
    } cases[] = {
        {T, 7200, T - 300, 300, 0},
        {T, 7200, T - 301, 300, -5},
        {T, 7200, T + 7500, 300, 0},
        {T, 7200, T + 7501, 300, -6},
        {T, 7200, T, 0, 0},
        {T, 7200, T - 1, 0, -5},
        {T, 7200, T + 7200, 0, 0},
        {T, 7200, T + 7201, 0, -6},
        {T, 7199, T, 300, -7},                // a lifetime the issuer never writes
        {T, 0x80001C20u, T + 7200, 300, -7},  // ... even one that would still fit
        {T, 7201, T + 100'000, 300, -7},      // tested before the time
        // Sums that would wrap in 32 bits must not: a skew of "any time".
        {T, 7200, 0, 0xFFFFFFFFu, 0},
        {T, 7200, 0xFFFFFFFFu, 0xFFFFFFFFu, 0},
        {0xFFFFF000u, 7200, 5, 300, -5},
        {100, 7200, 0xFFFFFFF0u, 300, -6},
    };
    for (const Case &k : cases) {
        vesk_auth_server_ctx s;
        vesk_auth_server_init(&s, kService, 0);
        s.state = VESK_AUTH_SERVER_ACCEPTED;
        s.issue_time = k.issued;
        s.lifetime = k.lifetime;
        EXPECT_EQ(vesk_auth_server_check_time(&s, k.now, k.skew), k.result)
            << "issued " << k.issued << " lifetime " << k.lifetime << " now " << k.now << " skew "
            << k.skew;
    }
    vesk_auth_server_ctx fresh;
    vesk_auth_server_init(&fresh, kService, 0);
    fresh.lifetime = 7200;
    fresh.issue_time = T;
    EXPECT_EQ(vesk_auth_server_check_time(&fresh, T, 300), -2) << "no accepted ticket";
    EXPECT_EQ(vesk_auth_server_check_time(nullptr, T, 300), -1);
}

TEST_F(BoundTest, PeekReadsTheFieldsOfThisServicesTicketsOnly) {
    g_now = 1'234'567'890u;
    const Bytes answer = answer_for(vesk_auth_issue, kClient);
    vesk_auth_ticket_info info{};
    ASSERT_EQ(vesk_auth_ticket_peek(kServiceKey.data(), kService, answer.data(), 32, &info), 0);
    EXPECT_EQ(info.client_id, kClient);
    EXPECT_EQ(info.service_id, kService);
    EXPECT_EQ(info.issue_time, 1'234'567'890u);
    EXPECT_EQ(info.lifetime, 7200u);

    const vesk_auth_ticket_info untouched{9, 9, 9, 9};
    struct Case {
        const char *what;
        const uint8_t *key;
        uint32_t own_id;
        const uint8_t *ticket;
        int length;
        int result;
    } cases[] = {
        {"another service's ticket", kServiceKey.data(), kService + 1, answer.data(), 40, -3},
        {"another service key", kSessionKey.data(), kService, answer.data(), 32, -3},
        {"31 bytes", kServiceKey.data(), kService, answer.data(), 31, -1},
        {"null key", nullptr, kService, answer.data(), 32, -1},
        {"null ticket", kServiceKey.data(), kService, nullptr, 32, -1},
    };
    for (const Case &k : cases) {
        info = untouched;
        EXPECT_EQ(vesk_auth_ticket_peek(k.key, k.own_id, k.ticket, k.length, &info), k.result)
            << k.what;
        EXPECT_EQ(info.client_id, 9u) << k.what;
    }
    EXPECT_EQ(vesk_auth_ticket_peek(kServiceKey.data(), kService, answer.data(), 32, nullptr), -1);
}
