// Issuing a ticket and the client's first steps: init, request, accept.
#include "fixture.h"

using namespace authtest;

TEST_F(TicketTest, InitZeroesTheRecordAndSetsIdsSequenceFlagAndState) {
    vesk_auth_client_ctx c;
    std::memset(&c, 0xAB, sizeof c);
    ASSERT_EQ(vesk_auth_client_init(&c, 1, 5, 6), 0);
    EXPECT_EQ(c.client_id, 5u);
    EXPECT_EQ(c.service_id, 6u);
    EXPECT_EQ(c.next_seq, 1u);
    EXPECT_EQ(c.peer_seq, 0u);
    EXPECT_EQ(c.flags, VESK_AUTH_FLAG);
    EXPECT_EQ(c.state, 16u);
    EXPECT_EQ(c.accept_time, 0u);
    for (uint8_t b : c.ticket) EXPECT_EQ(b, 0);
    for (uint8_t b : c.session_key) EXPECT_EQ(b, 0);
    ASSERT_EQ(vesk_auth_client_init(&c, 0, 5, 6), 0);
    EXPECT_EQ(c.flags, 0u);
    EXPECT_EQ(vesk_auth_client_init(nullptr, 0, 5, 6), -1);
}

TEST_F(TicketTest, RequestCarriesBothIdsLittleEndian) {
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, 1, 0x0A0B0C0Du);
    uint8_t out[9];
    std::memset(out, 0xEE, sizeof out);
    int len = 8;
    ASSERT_EQ(vesk_auth_client_request(&c, out, &len), 0);
    EXPECT_EQ(len, 8);
    const uint8_t expected[9] = {0x01, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A, 0xEE};
    EXPECT_EQ(std::memcmp(out, expected, 9), 0);
}

TEST_F(TicketTest, RequestRefusalsWriteNothing) {
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, kClient, kService);
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    int len = 7;
    EXPECT_EQ(vesk_auth_client_request(&c, out, &len), -1);
    EXPECT_EQ(len, 7);
    len = 8;
    EXPECT_EQ(vesk_auth_client_request(nullptr, out, &len), -1);
    EXPECT_EQ(vesk_auth_client_request(&c, nullptr, &len), -1);
    EXPECT_EQ(vesk_auth_client_request(&c, out, nullptr), -1);
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);

    // After an accepted answer the context is no longer at state 16.
    const Bytes answer = issue();
    ASSERT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 56), 0);
    EXPECT_EQ(vesk_auth_client_request(&c, out, &len), -2);
    EXPECT_EQ(len, 8);
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);
}

TEST_F(TicketTest, IssueRefusesBadArgumentsWithoutCallingTheCallback) {
    uint8_t request[9] = {4, 3, 2, 1, 77, 0, 0, 0, 0};
    Bytes out(64, 0xEE);
    struct Case {
        const char *what;
        const uint8_t *request;
        int request_length;
        vesk_auth_key_fn keys;
        bool out;
        bool len;
        int capacity;
    } cases[] = {
        {"request of 7", request, 7, fixed_keys, true, true, 56},
        {"request of 9", request, 9, fixed_keys, true, true, 56},
        {"capacity 55", request, 8, fixed_keys, true, true, 55},
        {"negative capacity", request, 8, fixed_keys, true, true, -56},
        {"null request", nullptr, 8, fixed_keys, true, true, 56},
        {"null callback", request, 8, nullptr, true, true, 56},
        {"null output", request, 8, fixed_keys, false, true, 56},
        {"null length", request, 8, fixed_keys, true, false, 56},
    };
    for (const Case &k : cases) {
        int len = k.capacity;
        EXPECT_EQ(vesk_auth_issue(k.request, k.request_length, k.keys, k.out ? out.data() : nullptr,
                                  k.len ? &len : nullptr),
                  -1)
            << k.what;
        EXPECT_EQ(len, k.capacity) << k.what;
    }
    EXPECT_EQ(g_callback_calls, 0);
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);
}

TEST_F(TicketTest, IssueWritesExactlyFiftySixBytesIntoALargerBuffer) {
    const uint8_t request[8] = {4, 3, 2, 1, 77, 0, 0, 0};
    Bytes out(100, 0xEE);
    int len = 100;
    ASSERT_EQ(vesk_auth_issue(request, 8, fixed_keys, out.data(), &len), 0);
    EXPECT_EQ(len, 56);
    EXPECT_EQ(g_callback_calls, 1);
    for (size_t i = 56; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE);
}

namespace {
int32_t refusing(uint32_t, uint32_t, uint8_t *, uint8_t *, uint8_t *) { return -7; }
int32_t positive(uint32_t c, uint32_t s, uint8_t *a, uint8_t *b, uint8_t *d) {
    fixed_keys(c, s, a, b, d);
    return 5;
}
uint32_t g_seen_client = 0, g_seen_service = 0;
bool g_areas_zero = false;
int32_t inspecting(uint32_t c, uint32_t s, uint8_t *a, uint8_t *b, uint8_t *d) {
    g_seen_client = c;
    g_seen_service = s;
    g_areas_zero = true;
    for (int i = 0; i < 16; ++i) g_areas_zero = g_areas_zero && a[i] == 0 && b[i] == 0 && d[i] == 0;
    return fixed_keys(c, s, a, b, d);
}
}  // namespace

TEST_F(TicketTest, CallbackVerdictRefusesWithItsOwnValueOrLetsTheIssueProceed) {
    const uint8_t request[8] = {4, 3, 2, 1, 77, 0, 0, 0};
    Bytes out(56, 0xEE);
    int len = 56;
    EXPECT_EQ(vesk_auth_issue(request, 8, refusing, out.data(), &len), -7);
    EXPECT_EQ(len, 56);
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(vesk_auth_issue(request, 8, positive, out.data(), &len), 0);
}

TEST_F(TicketTest, CallbackGetsTheRequestIdsAndZeroedKeyAreas) {
    const uint8_t request[8] = {4, 3, 2, 1, 77, 0, 0, 0};
    Bytes out(56);
    int len = 56;
    ASSERT_EQ(vesk_auth_issue(request, 8, inspecting, out.data(), &len), 0);
    EXPECT_EQ(g_seen_client, 0x01020304u);
    EXPECT_EQ(g_seen_service, 77u);
    EXPECT_TRUE(g_areas_zero);
}

// What the service and the client each find in the answer, read with the
// block functions here: the layout peers depend on.
TEST_F(TicketTest, AnswerHoldsTheTicketForTheServiceAndTheSessionKeyForTheClient) {
    g_now = 1'234'567'890u;
    const Bytes answer = issue();
    EXPECT_EQ(answer, make_answer(kClient, 7200)) << "byte for byte the documented answer";

    uint8_t plain[32];
    for (int i = 0; i < 32; i += 8) {
        const auto w = unseal(kServiceKey.data(), &answer[i]);
        put_le(plain + i, w[0]);
        put_le(plain + i + 4, w[1]);
    }
    EXPECT_EQ(std::memcmp(plain, kSessionKey.data(), 16), 0);
    EXPECT_EQ(le(plain + 16), kClient);
    EXPECT_EQ(le(plain + 20), kService);
    EXPECT_EQ(le(plain + 24), 1'234'567'890u);
    EXPECT_EQ(le(plain + 28), 7200u);

    const auto part = unseal(kClientKey.data(), &answer[32]);
    EXPECT_EQ(part[0], kClient);
    EXPECT_EQ(part[1], 7200u);
}

TEST_F(TicketTest, AcceptKeepsTheTicketLearnsTheSessionKeyAndStartsTheUsableLifetime) {
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, kClient, kService);
    const Bytes answer = issue();
    g_now += 100;  // the client's clock, not the issue time, starts the lifetime
    ASSERT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 56), 0);
    EXPECT_EQ(std::memcmp(c.ticket, answer.data(), 32), 0);
    EXPECT_EQ(std::memcmp(c.session_key, kSessionKey.data(), 16), 0);
    EXPECT_EQ(c.usable_lifetime, 5760u);
    EXPECT_EQ(c.accept_time, g_now);
    EXPECT_EQ(c.state, 17u);
    EXPECT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 56), -2)
        << "accepting twice";
}

TEST_F(TicketTest, UsableLifetimeIsFourFifthsRoundedDownFirst) {
    for (auto [lifetime, usable] : {std::pair{7200u, 5760u}, {7u, 4u}, {4u, 0u}, {9u, 4u}}) {
        vesk_auth_client_ctx c;
        vesk_auth_client_init(&c, 0, kClient, kService);
        const Bytes answer = make_answer(kClient, lifetime);
        ASSERT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 56), 0);
        EXPECT_EQ(c.usable_lifetime, usable) << lifetime;
    }
}

TEST_F(TicketTest, AnswerForAnotherClientIsRefusedAndTheRightOneIsAcceptedAfterwards) {
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, kClient, kService);
    const Bytes wrong = make_answer(kClient + 1, 7200);
    ASSERT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), wrong.data(), 56), -3);
    // Kept for compatibility: the refused answer's ticket is in the record,
    // nothing else changed, and the context still takes an answer.
    vesk_auth_client_ctx fresh;
    vesk_auth_client_init(&fresh, 0, kClient, kService);
    std::memcpy(fresh.ticket, wrong.data(), 32);
    EXPECT_EQ(bytes_of(c), bytes_of(fresh));

    const Key otherKey = make_key(9);
    const Bytes underOtherKey = make_answer(kClient, 7200, otherKey);
    EXPECT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), underOtherKey.data(), 56), -3);
    EXPECT_EQ(c.state, 16u);

    const Bytes right = issue();
    EXPECT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), right.data(), 56), 0);
    EXPECT_EQ(c.state, 17u);
}

TEST_F(TicketTest, AcceptArgumentRefusalsLeaveTheContextUnchanged) {
    vesk_auth_client_ctx c;
    vesk_auth_client_init(&c, 0, kClient, kService);
    const Bytes answer = issue();
    const Bytes before = bytes_of(c);
    EXPECT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 55), -1);
    EXPECT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 57), -1);
    EXPECT_EQ(vesk_auth_client_accept(&c, nullptr, answer.data(), 56), -1);
    EXPECT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), nullptr, 56), -1);
    EXPECT_EQ(vesk_auth_client_accept(nullptr, kClientKey.data(), answer.data(), 56), -1);
    EXPECT_EQ(bytes_of(c), before);

    c.state = 19;  // not exactly 16
    const Bytes other = bytes_of(c);
    EXPECT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 56), -2);
    EXPECT_EQ(bytes_of(c), other);
}
