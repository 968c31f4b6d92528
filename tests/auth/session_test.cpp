// After the ticket: authenticators, the service's accept and reply, the
// client's verify, sealed messages and opening them -- sequence numbers,
// replays, expiry, and refusals that leave a context exactly as it was.
#include "fixture.h"

using namespace authtest;

namespace {

class SessionTest : public TicketTest {
protected:
    void SetUp() override {
        TicketTest::SetUp();
        client_with_ticket(c);
        ASSERT_EQ(vesk_auth_server_init(&s, kService, 0), 0);
    }

    Bytes accept(const Bytes &message, int expected = 0) {
        Bytes reply(8, 0xEE);
        int len = 8;
        EXPECT_EQ(vesk_auth_server_accept(&s, kServiceKey.data(), message.data(),
                                          static_cast<int>(message.size()), reply.data(), &len),
                  expected);
        return reply;
    }

    vesk_auth_client_ctx c;
    vesk_auth_server_ctx s;
};

}  // namespace

TEST(ServiceInit, ZeroesTheRecordAndSetsOwnIdSequenceFlagAndState) {
    vesk_auth_server_ctx s;
    std::memset(&s, 0xAB, sizeof s);
    ASSERT_EQ(vesk_auth_server_init(&s, 6, 1), 0);
    EXPECT_EQ(s.own_id, 6u);
    EXPECT_EQ(s.next_seq, 1u);
    EXPECT_EQ(s.peer_seq, 0u);
    EXPECT_EQ(s.flags, VESK_AUTH_FLAG);
    EXPECT_EQ(s.state, 32u);
    EXPECT_EQ(s.client_id, 0u);
    EXPECT_EQ(vesk_auth_server_init(nullptr, 6, 0), -1);
}

TEST_F(SessionTest, FullExchangeFollowsTheDocumentedSequenceNumbers) {
    EXPECT_EQ(c.next_seq, 1u);
    EXPECT_EQ(c.peer_seq, 0u);
    EXPECT_EQ(s.peer_seq, 0u);
    EXPECT_EQ(s.next_seq, 1u);

    const Bytes m1 = authenticator(c);
    EXPECT_EQ(unseal(kSessionKey.data(), &m1[32])[1], 1u) << "authenticator carries 1";
    EXPECT_EQ(c.next_seq, 2u);

    const Bytes r1 = accept(m1);
    EXPECT_EQ(s.peer_seq, 1u);
    EXPECT_EQ(s.next_seq, 3u);
    EXPECT_EQ(s.state, 33u);
    EXPECT_EQ(s.client_id, kClient);
    EXPECT_EQ(std::memcmp(s.session_key, kSessionKey.data(), 16), 0);
    EXPECT_EQ(s.lifetime, 7200u);
    EXPECT_EQ(s.issue_time, g_now);
    const auto reply = unseal(kSessionKey.data(), r1.data());
    EXPECT_EQ(reply[0], ~kClient);
    EXPECT_EQ(reply[1], 2u) << "reply carries 2";

    ASSERT_EQ(vesk_auth_client_verify(&c, r1.data(), 8), 0);
    EXPECT_EQ(c.next_seq, 2u);
    EXPECT_EQ(c.peer_seq, 2u);
    EXPECT_EQ(c.state, 19u);

    const Bytes sealed1 = sealed(c);
    EXPECT_EQ(unseal(kSessionKey.data(), sealed1.data())[1], 2u) << "seal carries 2";
    const auto marker = unseal(kSessionKey.data(), &sealed1[8]);
    EXPECT_EQ(marker[0], VESK_AUTH_SEAL_MARKER);
    EXPECT_EQ(marker[1], 0u);
    EXPECT_EQ(c.next_seq, 3u);
    ASSERT_EQ(vesk_auth_server_open(&s, sealed1.data(), 16), 0);
    EXPECT_EQ(s.peer_seq, 2u);
    EXPECT_EQ(s.next_seq, 3u);

    const Bytes m2 = authenticator(c);
    EXPECT_EQ(unseal(kSessionKey.data(), &m2[32])[1], 3u) << "next authenticator carries 3";
    const Bytes r2 = accept(m2);
    EXPECT_EQ(unseal(kSessionKey.data(), r2.data())[1], 4u) << "its reply carries 4";
    ASSERT_EQ(vesk_auth_client_verify(&c, r2.data(), 8), 0);
    EXPECT_EQ(c.state, 19u);
    EXPECT_EQ(c.peer_seq, 4u);
}

TEST_F(SessionTest, AuthenticatorIsTheTicketThenClientIdAndSequenceLittleEndian) {
    const Bytes m = authenticator(c);
    EXPECT_EQ(std::memcmp(m.data(), c.ticket, 32), 0);
    EXPECT_EQ(Bytes(m.begin() + 32, m.end()), seal(kSessionKey.data(), kClient, 1));
}

TEST_F(SessionTest, ReplayedAuthenticatorIsRefusedAndLeavesTheServiceUnchanged) {
    const Bytes m = authenticator(c);
    accept(m);
    const Bytes before = bytes_of(s);
    Bytes reply(8, 0xEE);
    int len = 8;
    EXPECT_EQ(vesk_auth_server_accept(&s, kServiceKey.data(), m.data(), 40, reply.data(), &len),
              -4);
    EXPECT_EQ(bytes_of(s), before);
    EXPECT_EQ(reply, Bytes(8, 0xEE));
}

TEST_F(SessionTest, ReplayedReplyIsRefusedByVerify) {
    const Bytes r = accept(authenticator(c));
    ASSERT_EQ(vesk_auth_client_verify(&c, r.data(), 8), 0);
    const Bytes before = bytes_of(c);
    EXPECT_EQ(vesk_auth_client_verify(&c, r.data(), 8), -4);
    EXPECT_EQ(bytes_of(c), before);
}

TEST_F(SessionTest, ReplayedSealedMessageIsRefusedByOpen) {
    const Bytes r = accept(authenticator(c));
    ASSERT_EQ(vesk_auth_client_verify(&c, r.data(), 8), 0);
    const Bytes m = sealed(c);
    ASSERT_EQ(vesk_auth_server_open(&s, m.data(), 16), 0);
    const Bytes before = bytes_of(s);
    EXPECT_EQ(vesk_auth_server_open(&s, m.data(), 16), -3);
    EXPECT_EQ(bytes_of(s), before);
}

TEST_F(SessionTest, TicketForAnotherServiceIsRefused) {
    vesk_auth_server_ctx other;
    vesk_auth_server_init(&other, kService + 1, 0);
    const Bytes before = bytes_of(other);
    const Bytes m = authenticator(c);
    Bytes reply(8);
    int len = 8;
    EXPECT_EQ(vesk_auth_server_accept(&other, kServiceKey.data(), m.data(), 40, reply.data(), &len),
              -3);
    EXPECT_EQ(bytes_of(other), before);
    // A ticket under another service key reads as garbage: also "another service".
    EXPECT_EQ(vesk_auth_server_accept(&s, make_key(9).data(), m.data(), 40, reply.data(), &len),
              -3);
}

TEST_F(SessionTest, AuthenticatorNamingAnotherClientIsRefused) {
    Bytes m = authenticator(c);
    const Bytes forged = seal(kSessionKey.data(), kClient + 1, 5);
    std::copy(forged.begin(), forged.end(), m.begin() + 32);
    const Bytes before = bytes_of(s);
    accept(m, -4);
    EXPECT_EQ(bytes_of(s), before);
}

TEST_F(SessionTest, ReplyUnderAnotherKeyIsNotFromTheService) {
    accept(authenticator(c));
    const Bytes before = bytes_of(c);
    const Bytes forged = seal(make_key(9).data(), ~kClient, 2);
    EXPECT_EQ(vesk_auth_client_verify(&c, forged.data(), 8), -3);
    EXPECT_EQ(bytes_of(c), before);
}

TEST_F(SessionTest, AuthenticatorWorksUpToExactlyTheUsableLifetimeAndNotOneSecondMore) {
    const uint32_t accepted = c.accept_time;
    g_now = accepted + 5760;
    authenticator(c);
    g_now = accepted + 5761;
    const Bytes before = bytes_of(c);
    Bytes m(40, 0xEE);
    int len = 40;
    EXPECT_EQ(vesk_auth_client_authenticator(&c, m.data(), &len), -3);
    EXPECT_EQ(bytes_of(c), before);
    EXPECT_EQ(m, Bytes(40, 0xEE));
    EXPECT_EQ(len, 40);
    g_now = accepted + 100000;
    EXPECT_EQ(vesk_auth_client_authenticator(&c, m.data(), &len), -3);
}

TEST_F(SessionTest, ClockSetBackBeforeTheAcceptanceCountsAsExpired) {
    g_now = c.accept_time - 1;
    Bytes m(40);
    int len = 40;
    EXPECT_EQ(vesk_auth_client_authenticator(&c, m.data(), &len), -3);
}

TEST_F(SessionTest, ServiceDoesNotTestTheTicketsAgeOnlyTheClientDoes) {
    const Bytes m = authenticator(c);
    g_now += 1'000'000;  // long past the lifetime
    accept(m, 0);
}

TEST_F(SessionTest, OpenNeedsAnAcceptedTicketAndReadsOnlyTheFirstSixteenBytes) {
    const Bytes early = sealed(c);
    const Bytes before = bytes_of(s);
    EXPECT_EQ(vesk_auth_server_open(&s, early.data(), 16), -2) << "state 32";
    EXPECT_EQ(bytes_of(s), before);

    accept(authenticator(c));
    Bytes m = sealed(c);
    EXPECT_EQ(vesk_auth_server_open(&s, m.data(), 15), -1);
    m.push_back(0x99);
    EXPECT_EQ(vesk_auth_server_open(&s, m.data(), 17), 0);
    EXPECT_EQ(vesk_auth_server_open(nullptr, m.data(), 16), -1);
    EXPECT_EQ(vesk_auth_server_open(&s, nullptr, 16), -1);
}

TEST_F(SessionTest, OpenRefusesAnotherClientsMessageAndIgnoresTheMarkerBlock) {
    accept(authenticator(c));
    Bytes other = seal(kSessionKey.data(), kClient + 1, 50);
    other.resize(16);
    const Bytes before = bytes_of(s);
    EXPECT_EQ(vesk_auth_server_open(&s, other.data(), 16), -3);
    EXPECT_EQ(bytes_of(s), before);

    Bytes noMarker = seal(kSessionKey.data(), kClient, 50);
    noMarker.resize(16, 0x42);
    EXPECT_EQ(vesk_auth_server_open(&s, noMarker.data(), 16), 0);
}

TEST_F(SessionTest, AcceptedContextTakesANewTicketAndPeerSequenceIsNotReset) {
    accept(authenticator(c));  // peer_seq 1, next 3
    // A second client, its own fresh sequence: number 1 is not above peer_seq.
    vesk_auth_client_ctx second;
    client_with_ticket(second, kClient + 7);
    const Bytes low = authenticator(second);
    accept(low, -4);
    // With a number above every one accepted, the new ticket replaces the old.
    const Bytes high = authenticator(second);  // carries 2
    const Bytes reply = accept(high, 0);
    EXPECT_EQ(s.client_id, kClient + 7);
    EXPECT_EQ(s.peer_seq, 2u);
    EXPECT_EQ(s.next_seq, 4u);
    EXPECT_EQ(vesk_auth_client_verify(&second, reply.data(), 8), 0);
}

TEST_F(SessionTest, AcceptRefusesBadArgumentsAndAContextWithoutTheServiceBit) {
    const Bytes m = authenticator(c);
    Bytes longer = m;
    longer.push_back(0);
    Bytes reply(8, 0xEE);
    int len = 8, small = 7;
    const Bytes before = bytes_of(s);
    const uint8_t *key = kServiceKey.data();
    EXPECT_EQ(vesk_auth_server_accept(&s, key, longer.data(), 41, reply.data(), &len), -1);
    EXPECT_EQ(vesk_auth_server_accept(&s, key, m.data(), 39, reply.data(), &len), -1);
    EXPECT_EQ(vesk_auth_server_accept(&s, key, m.data(), 40, reply.data(), &small), -1);
    EXPECT_EQ(vesk_auth_server_accept(&s, nullptr, m.data(), 40, reply.data(), &len), -1);
    EXPECT_EQ(vesk_auth_server_accept(&s, key, nullptr, 40, reply.data(), &len), -1);
    EXPECT_EQ(vesk_auth_server_accept(&s, key, m.data(), 40, nullptr, &len), -1);
    EXPECT_EQ(vesk_auth_server_accept(&s, key, m.data(), 40, reply.data(), nullptr), -1);
    EXPECT_EQ(vesk_auth_server_accept(nullptr, key, m.data(), 40, reply.data(), &len), -1);
    EXPECT_EQ(bytes_of(s), before);
    EXPECT_EQ(small, 7);

    vesk_auth_server_ctx zeroed;
    std::memset(&zeroed, 0, sizeof zeroed);
    zeroed.own_id = kService;
    EXPECT_EQ(vesk_auth_server_accept(&zeroed, key, m.data(), 40, reply.data(), &len), -2);
    EXPECT_EQ(reply, Bytes(8, 0xEE));
}

TEST_F(SessionTest, ClientOperationsNeedAnAcceptedAnswerAndEnoughRoom) {
    vesk_auth_client_ctx fresh;
    vesk_auth_client_init(&fresh, 0, kClient, kService);
    const Bytes before = bytes_of(fresh);
    Bytes out(40, 0xEE);
    int len = 40;
    EXPECT_EQ(vesk_auth_client_authenticator(&fresh, out.data(), &len), -2);
    const Bytes reply = seal(kSessionKey.data(), ~kClient, 9);
    EXPECT_EQ(vesk_auth_client_verify(&fresh, reply.data(), 8), -2);
    EXPECT_EQ(bytes_of(fresh), before);

    const Bytes cBefore = bytes_of(c);
    int small = 39;
    EXPECT_EQ(vesk_auth_client_authenticator(&c, out.data(), &small), -1);
    EXPECT_EQ(vesk_auth_client_authenticator(nullptr, out.data(), &len), -1);
    EXPECT_EQ(vesk_auth_client_authenticator(&c, nullptr, &len), -1);
    EXPECT_EQ(vesk_auth_client_authenticator(&c, out.data(), nullptr), -1);
    EXPECT_EQ(vesk_auth_client_verify(&c, reply.data(), 7), -1);
    EXPECT_EQ(vesk_auth_client_verify(&c, reply.data(), 9), -1);
    EXPECT_EQ(vesk_auth_client_verify(&c, nullptr, 8), -1);
    EXPECT_EQ(vesk_auth_client_verify(nullptr, reply.data(), 8), -1);
    small = 15;
    EXPECT_EQ(vesk_auth_client_seal(&c, out.data(), &small), -1);
    EXPECT_EQ(vesk_auth_client_seal(nullptr, out.data(), &len), -1);
    EXPECT_EQ(vesk_auth_client_seal(&c, nullptr, &len), -1);
    EXPECT_EQ(vesk_auth_client_seal(&c, out.data(), nullptr), -1);
    EXPECT_EQ(bytes_of(c), cBefore);
    EXPECT_EQ(out, Bytes(40, 0xEE));
}

TEST_F(SessionTest, SealWithoutATicketUsesTheZeroSessionKeyAndSucceeds) {
    vesk_auth_client_ctx fresh;
    vesk_auth_client_init(&fresh, 0, kClient, kService);
    const Bytes m = sealed(fresh);
    const uint8_t zero[16] = {};
    const auto first = unseal(zero, m.data());
    EXPECT_EQ(first[0], kClient);
    EXPECT_EQ(first[1], 1u);
    EXPECT_EQ(fresh.next_seq, 2u);
}
