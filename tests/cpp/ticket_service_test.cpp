// TicketService: replays, restarts, garbage, the ticket's time, its contexts.
#include <gtest/gtest.h>

#include <random>

#include "auth/clock.h"
#include "vuvidur.hpp"

namespace vv = vuvidur;
using R = vv::TicketReason;

namespace {

std::uint32_t g_now = 1'700'000'000u;  // the issuer's, the clients' and the service's clock
std::uint32_t test_clock() { return g_now; }
const vv::Key kKey = vv::key_from_hex("22222222222222222222222222222222");
std::mt19937 g_random(7);

// A client `id` with a fresh ticket (a random session key), and its login.
std::pair<vv::TicketClient, std::array<std::byte, 40>> client(std::uint32_t id) {
    auth::set_clock_for_testing(test_clock);
    vv::TicketClient c(id, 5);
    c.accept(kKey, vv::issue_ticket(c.request(), [](std::uint32_t, std::uint32_t) {
                 vv::Key session;
                 for (auto &b : session) b = static_cast<std::byte>(g_random());
                 return std::optional(vv::IssuerKeys{kKey, kKey, session});
             }));
    const auto login = c.authenticator();
    return {std::move(c), login};
}

}  // namespace

TEST(TicketService, RefusesReplaysAndGarbageWithoutThrowingAndLetsARestartedClientIn) {
    vv::TicketService s(5, kKey, {.clock = test_clock});
    auto [first, login] = client(1);
    const auto r = s.accept(login);
    ASSERT_TRUE(r);
    first.verify(r.reply);
    EXPECT_EQ(s.accept(login).reason, R::replayed);
    const auto sealed = first.seal();
    EXPECT_EQ(s.open(r.session, sealed), R::accepted);
    EXPECT_EQ(s.open(r.session, sealed), R::replayed);
    const auto restarted = s.accept(client(1).second);  // a new ticket, from sequence number 1
    EXPECT_EQ(restarted.reason, R::accepted);
    EXPECT_EQ(s.open(restarted.session, first.seal()), R::forged) << "another ticket's message";
    EXPECT_EQ(vv::TicketService(6, kKey).accept(login).reason, R::other_service);
    for (std::size_t n = 0; n < 2000; ++n) {  // none is taken, none throws
        std::vector<std::byte> junk(n % 64);
        for (auto &b : junk) b = static_cast<std::byte>(g_random());
        if (n % 3 == 0 && junk.size() >= 32) std::copy_n(login.begin(), 32, junk.begin());
        EXPECT_EQ(s.accept(junk).reason == R::malformed, junk.size() != 40);
        EXPECT_NE(s.open(r.session, junk), R::accepted);
    }
}

TEST(TicketService, ChecksTheTimeWithItsSkewAndBoundsItsContexts) {
    const std::uint32_t issued = g_now = 1'700'000'000u;
    const auto early = client(1).second;
    for (const auto &[offset, skew, reason] : {std::tuple{-300, 300u, R::accepted},
                                               {-301, 300u, R::not_yet_valid},
                                               {7500, 300u, R::accepted},
                                               {7501, 300u, R::expired},
                                               {7231, 30u, R::expired}}) {
        g_now = issued + offset;
        vv::TicketService s(5, kKey, {.skew_seconds = skew, .clock = test_clock});
        EXPECT_EQ(s.accept(early).reason, reason) << offset << " s, skew " << skew;
    }
    g_now = issued;
    vv::TicketService s(5, kKey, {.max_contexts = 2, .clock = test_clock});
    ASSERT_TRUE(s.accept(early));
    g_now += 1000;
    ASSERT_TRUE(s.accept(client(2).second));
    EXPECT_EQ(s.accept(client(3).second).reason, R::too_many);
    g_now = issued + 7500 + 1;  // past the first ticket's end only: its context makes room
    EXPECT_EQ(s.accept(client(4).second).reason, R::accepted);
    EXPECT_EQ(s.accept(early).reason, R::expired) << "no replay once its context is gone";
}
