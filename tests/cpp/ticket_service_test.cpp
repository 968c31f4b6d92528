// TicketService as a service uses it: replays, restarted clients, the
// ticket's time against the service's clock, a bounded number of contexts,
// bound tickets, and no exception for any refusal.
#include <gtest/gtest.h>

#include <random>

#include "auth/clock.h"
#include "vuvidur.hpp"

namespace vv = vuvidur;
using Reason = vv::TicketReason;

namespace {

// One clock for the issuer, the clients and the service.
std::uint32_t g_now = 1'700'000'000u;
std::uint32_t test_clock() { return g_now; }

const vv::Key kServiceKey = vv::key_from_hex("22222222222222222222222222222222");
constexpr std::uint32_t kService = 5;

vv::Key key_of(std::uint32_t client) {
    vv::Key k{};
    k[0] = static_cast<std::byte>(client);
    k[15] = std::byte{0x5A};
    return k;
}

class TicketServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1'700'000'000u;
        auth::set_clock_for_testing(test_clock);
    }
    void TearDown() override { auth::set_clock_for_testing(nullptr); }

    // A client holding a fresh ticket from the issuer (bound or not).
    vv::TicketClient client(std::uint32_t id, bool bound = false) {
        vv::TicketClient c(id, kService);
        const auto request = c.request();
        uint8_t answer[56];
        int length = 56;
        const auto keys = [](uint32_t client_id, uint32_t, uint8_t *s, uint8_t *c, uint8_t *k) {
            std::memcpy(s, kServiceKey.data(), 16);
            std::memcpy(c, key_of(client_id).data(), 16);
            static std::mt19937 random(7);
            for (int i = 0; i < 16; ++i) k[i] = static_cast<uint8_t>(random());
            return 0;
        };
        const auto *r = reinterpret_cast<const uint8_t *>(request.data());
        EXPECT_EQ((bound ? vesk_auth_issue_bound : vesk_auth_issue)(r, 8, keys, answer, &length),
                  0);
        c.accept(key_of(id), std::as_bytes(std::span(answer)));
        return c;
    }
    vv::TicketService service(vv::TicketServiceOptions options = {}) {
        options.clock = test_clock;
        return vv::TicketService(kService, kServiceKey, std::move(options));
    }
};

}  // namespace

TEST_F(TicketServiceTest, ReplayedLoginIsRefusedAndARestartedClientStartsAfresh) {
    auto s = service();
    auto first = client(1);
    const auto login = first.authenticator();
    const auto r = s.accept(login);
    ASSERT_EQ(r.reason, Reason::accepted);
    first.verify(r.reply);
    EXPECT_EQ(s.accept(login).reason, Reason::replayed);
    const auto sealed = first.seal();
    EXPECT_EQ(s.open(r.session, sealed), Reason::accepted);
    EXPECT_EQ(s.open(r.session, sealed), Reason::replayed);

    // The same client restarts: a new ticket, sequence numbers from 1 again.
    auto again = client(1);
    const auto r2 = s.accept(again.authenticator());
    ASSERT_EQ(r2.reason, Reason::accepted) << vv::name_of(r2.reason);
    EXPECT_EQ(r2.client_id, 1u);
    EXPECT_NE(r2.session, r.session);
    EXPECT_EQ(s.contexts(), 2u);
    EXPECT_EQ(s.accept(login).reason, Reason::replayed) << "the old ticket's context remembers";
    // A sealed message of one ticket is nothing to another ticket's context.
    EXPECT_EQ(s.open(r2.session, first.seal()), Reason::forged);
}

TEST_F(TicketServiceTest, TicketTimeIsCheckedAgainstTheServicesClockWithItsSkew) {
    const std::uint32_t issued = g_now;
    struct Case {
        std::int64_t offset;
        std::uint32_t skew;
        Reason reason;
    } cases[] = {
        {-300, 300, Reason::accepted},   {-301, 300, Reason::not_yet_valid},
        {7500, 300, Reason::accepted},   {7501, 300, Reason::expired},
        {-30, 30, Reason::accepted},     {-31, 30, Reason::not_yet_valid},
        {7230, 30, Reason::accepted},    {7231, 30, Reason::expired},
        {100'000, 300, Reason::expired},
    };
    for (const Case &k : cases) {
        g_now = issued;
        auto c = client(3);
        const auto login = c.authenticator();
        g_now = static_cast<std::uint32_t>(issued + k.offset);
        auto s = service({.skew_seconds = k.skew});
        EXPECT_EQ(s.accept(login).reason, k.reason) << k.offset << " s, skew " << k.skew;
        EXPECT_EQ(s.contexts(), k.reason == Reason::accepted ? 1u : 0u);
    }
}

TEST_F(TicketServiceTest, ContextsAreBoundedAndAnExpiredOneMakesRoomWithoutLettingItsReplayIn) {
    auto s = service({.max_contexts = 2});
    auto early = client(1);
    const auto early_login = early.authenticator();
    ASSERT_TRUE(s.accept(early_login));
    g_now += 1000;
    auto later = client(2);
    ASSERT_TRUE(s.accept(later.authenticator()));
    auto third = client(3);
    const auto refused = s.accept(third.authenticator());
    EXPECT_EQ(refused.reason, Reason::too_many);
    EXPECT_EQ(refused.reply, decltype(refused.reply){});
    EXPECT_EQ(s.contexts(), 2u);

    g_now += 7200 + 300 - 1000 + 1;  // past the early ticket's end, not the later one's
    auto fourth = client(4);
    EXPECT_EQ(s.accept(fourth.authenticator()).reason, Reason::accepted);
    EXPECT_EQ(s.contexts(), 2u);
    EXPECT_EQ(s.accept(early_login).reason, Reason::expired) << "its context is gone, not its end";
}

TEST_F(TicketServiceTest, BoundModeRefusesTheCutAndPasteForgery) {
    for (const bool bound : {false, true}) {
        auto s = service({.bound = bound});
        auto attacker = client(66, bound);
        auto victim = client(1, bound);  // anybody may ask for it
        auto forged = attacker.authenticator();
        const auto theirs = victim.authenticator();
        std::copy(theirs.begin() + 16, theirs.begin() + 24, forged.begin() + 16);
        uint32_t k[4], v[2] = {1, 1000};  // the victim's id, under the attacker's key
        std::memcpy(k, attacker.context().session_key, 16);
        vesk_tea_encrypt_block(v, v, k);
        std::memcpy(forged.data() + 32, v, 8);
        const auto r = s.accept(forged);
        EXPECT_EQ(r.reason, bound ? Reason::forged : Reason::accepted);
        EXPECT_EQ(r.client_id, 1u);
    }
    // A ticket of the specified issuer at a service that wants bound ones.
    auto s = service({.bound = true});
    EXPECT_EQ(s.accept(client(1).authenticator()).reason, Reason::forged);
}

TEST_F(TicketServiceTest, NoRefusalThrowsAndEachHasItsName) {
    auto s = service();
    auto c = client(9);
    const auto login = c.authenticator();
    ASSERT_TRUE(s.accept(login));
    std::mt19937 random(1);
    std::vector<std::byte> m;
    for (std::size_t n = 0; n < 2000; ++n) {
        m.resize(n % 64);
        for (auto &b : m) b = static_cast<std::byte>(random());
        if (n % 3 == 0 && m.size() >= 40) std::copy(login.begin(), login.begin() + 32, m.begin());
        EXPECT_NO_THROW({
            const auto r = s.accept(m);
            EXPECT_NE(r.reason, Reason::accepted);
            s.open(vv::TicketService::Session{9, {}}, m);
        });
    }
    vv::TicketService other(kService + 1, kServiceKey, {.clock = test_clock});
    EXPECT_EQ(other.accept(login).reason, Reason::other_service);
    EXPECT_EQ(s.accept(std::span(login).first(39)).reason, Reason::malformed);
    EXPECT_EQ(vv::name_of(Reason::not_yet_valid), "not yet valid");
    EXPECT_EQ(vv::name_of(Reason::unverifiable), "unverifiable");
}
