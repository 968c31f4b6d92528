// Tickets: how fast a service refuses a login through TicketService, before
// (the C++ face threw vuvidur::error for every refused login; reproduced here
// as the try/catch around a throwing accept that a service had to write) and
// after (a result with a named reason); and bound issue and accept beside the
// plain ones.  Rates are in the items_per_second column.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "vuvidur.hpp"

namespace vv = vuvidur;

namespace {

constexpr std::uint32_t kService = 5, kClient = 7;
const vv::Key kServiceKey = vv::key_from_hex("22222222222222222222222222222222");
const vv::Key kClientKey = vv::key_from_hex("11111111111111111111111111111111");
const vv::Key kSessionKey = vv::key_from_hex("33333333333333333333333333333333");

const auto keys = [](std::uint32_t, std::uint32_t) {
    return std::optional<vv::IssuerKeys>(vv::IssuerKeys{kServiceKey, kClientKey, kSessionKey});
};

// A client's first login with a fresh ticket, bound or not.
std::array<std::byte, 40> login(bool bound, std::uint32_t client = kClient) {
    vv::TicketClient c(client, kService);
    c.accept(kClientKey, bound ? vv::issue_bound_ticket(c.request(), keys)
                               : vv::issue_ticket(c.request(), keys));
    return c.authenticator();
}

const std::uint8_t *u8(const std::array<std::byte, 40> &m) {
    return reinterpret_cast<const std::uint8_t *>(m.data());
}

// ---- Issue and accept --------------------------------------------------------

void issue(benchmark::State &state, decltype(&vesk_auth_issue) fn) {
    const std::uint8_t request[8] = {kClient, 0, 0, 0, kService, 0, 0, 0};
    std::uint8_t answer[56];
    const auto callback = [](std::uint32_t, std::uint32_t, std::uint8_t *s, std::uint8_t *c,
                             std::uint8_t *k) {
        std::memcpy(s, kServiceKey.data(), 16);
        std::memcpy(c, kClientKey.data(), 16);
        std::memcpy(k, kSessionKey.data(), 16);
        return 0;
    };
    for (auto _ : state) {
        int length = 56;
        if (fn(request, 8, callback, answer, &length) != 0) state.SkipWithError("refused");
        benchmark::DoNotOptimize(answer);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
void BM_Issue_Plain(benchmark::State &state) { issue(state, vesk_auth_issue); }
void BM_Issue_Bound(benchmark::State &state) { issue(state, vesk_auth_issue_bound); }

// Each login is accepted by a context as it was before the login.
void accept(benchmark::State &state, bool bound) {
    const auto m = login(bound);
    vesk_auth_server_ctx fresh;
    vesk_auth_server_init(&fresh, kService, 0);
    const auto *key = reinterpret_cast<const std::uint8_t *>(kServiceKey.data());
    const auto fn = bound ? vesk_auth_server_accept_bound : vesk_auth_server_accept;
    std::uint8_t reply[8];
    for (auto _ : state) {
        vesk_auth_server_ctx s = fresh;
        int length = 8;
        if (fn(&s, key, u8(m), 40, reply, &length) != 0) state.SkipWithError("refused");
        benchmark::DoNotOptimize(reply);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
void BM_Accept_Plain(benchmark::State &state) { accept(state, false); }
void BM_Accept_Bound(benchmark::State &state) { accept(state, true); }

// A whole login at TicketService (peek, context, accept, time check), each
// time with a service that has not seen it.
void service_login(benchmark::State &state, bool bound) {
    const auto m = login(bound);
    const vv::TicketService fresh(kService, kServiceKey, {.bound = bound});
    for (auto _ : state) {
        state.PauseTiming();
        vv::TicketService service = fresh;
        state.ResumeTiming();
        if (!service.accept(m)) state.SkipWithError("refused");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
void BM_ServiceLogin_Plain(benchmark::State &state) { service_login(state, false); }
void BM_ServiceLogin_Bound(benchmark::State &state) { service_login(state, true); }

// ---- Refusals ----------------------------------------------------------------

// What is refused: 0 a replayed login, 1 a stranger's 40 bytes, 2 the
// cut-and-paste forgery (bound service; a plain one takes it).
std::array<std::byte, 40> refused_login(int kind) {
    if (kind == 1) {
        std::array<std::byte, 40> m;
        m.fill(std::byte{'x'});
        return m;
    }
    if (kind == 0) return login(false);
    vv::TicketClient attacker(66, kService);
    attacker.accept(kClientKey, vv::issue_bound_ticket(attacker.request(), keys));
    auto forged = attacker.authenticator();
    const auto victims = login(true, 1);
    std::copy(victims.begin() + 16, victims.begin() + 24, forged.begin() + 16);
    std::uint32_t k[4], v[2] = {1, 1};  // the victim's id under the attacker's session key
    std::memcpy(k, attacker.context().session_key, 16);
    vesk_tea_encrypt_block(v, v, k);
    std::memcpy(forged.data() + 32, v, 8);
    return forged;
}

// Before: the throwing accept of the C++ face, as it was, and the try/catch
// a service wrapped around it.
vv::detail::message<8> throwing_accept(vesk_auth_server_ctx &ctx, const vv::Key &key,
                                       std::span<const std::byte> message, bool bound) {
    vv::detail::message<8> reply{};
    int length = 8;
    const auto fn = bound ? vesk_auth_server_accept_bound : vesk_auth_server_accept;
    vv::detail::auth_check("vesk_auth_server_accept",
                           fn(&ctx, vv::detail::u8(key), vv::detail::u8(message),
                              vv::detail::length_for("vesk_auth_server_accept", message.size()),
                              reinterpret_cast<std::uint8_t *>(reply.data()), &length));
    return reply;
}

void BM_Refusal_ThrowingAccept(benchmark::State &state) {
    const int kind = static_cast<int>(state.range(0));
    const auto m = refused_login(kind);
    vesk_auth_server_ctx ctx;
    vesk_auth_server_init(&ctx, kService, 0);
    if (kind == 0) throwing_accept(ctx, kServiceKey, m, false);  // the original login
    std::int64_t refused = 0;
    for (auto _ : state) {
        try {
            throwing_accept(ctx, kServiceKey, m, kind == 2);
        } catch (const vv::error &e) {
            benchmark::DoNotOptimize(e.result());
            ++refused;
        }
    }
    if (refused != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("taken");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_Refusal_TicketService(benchmark::State &state) {
    const int kind = static_cast<int>(state.range(0));
    const auto m = refused_login(kind);
    vv::TicketService service(kService, kServiceKey, {.bound = kind == 2});
    if (kind == 0) service.accept(m);  // the original login
    for (auto _ : state) {
        const auto r = service.accept(m);
        if (r) state.SkipWithError("taken");
        benchmark::DoNotOptimize(r.reason);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// The C call alone, for the floor.
void BM_Refusal_CCall(benchmark::State &state) {
    const int kind = static_cast<int>(state.range(0));
    const auto m = refused_login(kind);
    vesk_auth_server_ctx ctx;
    vesk_auth_server_init(&ctx, kService, 0);
    const auto *key = reinterpret_cast<const std::uint8_t *>(kServiceKey.data());
    const auto fn = kind == 2 ? vesk_auth_server_accept_bound : vesk_auth_server_accept;
    std::uint8_t reply[8];
    int length = 8;
    if (kind == 0) fn(&ctx, key, u8(m), 40, reply, &length);
    for (auto _ : state) {
        length = 8;
        if (fn(&ctx, key, u8(m), 40, reply, &length) == 0) state.SkipWithError("taken");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_Issue_Plain);
BENCHMARK(BM_Issue_Bound);
BENCHMARK(BM_Accept_Plain);
BENCHMARK(BM_Accept_Bound);
BENCHMARK(BM_ServiceLogin_Plain);
BENCHMARK(BM_ServiceLogin_Bound);
// 0 replayed login, 1 garbage, 2 forged (bound)
BENCHMARK(BM_Refusal_ThrowingAccept)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_Refusal_TicketService)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_Refusal_CCall)->Arg(0)->Arg(1)->Arg(2);

BENCHMARK_MAIN();
