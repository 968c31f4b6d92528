// Shared pieces of the ticket tests: fixed keys, an issuer callback that
// hands them out, a clock the test sets, and block helpers written with the
// exported 32-cycle functions on explicitly little-endian words.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "auth/clock.h"
#include "vuvidur.h"

namespace authtest {

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, 16>;

constexpr uint32_t kClient = 0x01020304u;
constexpr uint32_t kService = 77;

inline Key make_key(uint8_t seed) {
    Key k;
    for (int i = 0; i < 16; ++i) k[i] = static_cast<uint8_t>(seed * 31 + i * 7 + 1);
    return k;
}
inline const Key kServiceKey = make_key(1);
inline const Key kClientKey = make_key(2);
inline const Key kSessionKey = make_key(3);

// The clock every auth operation reads.
inline uint32_t g_now = 1'700'000'000u;
inline uint32_t test_clock() { return g_now; }

// An issuer callback that knows one service and one client.
inline int g_callback_calls = 0;
inline int32_t fixed_keys(uint32_t client_id, uint32_t service_id, uint8_t service_key[16],
                          uint8_t client_key[16], uint8_t session_key[16]) {
    ++g_callback_calls;
    (void)client_id;
    (void)service_id;
    std::memcpy(service_key, kServiceKey.data(), 16);
    std::memcpy(client_key, kClientKey.data(), 16);
    std::memcpy(session_key, kSessionKey.data(), 16);
    return 0;
}

inline uint32_t le(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}
inline void put_le(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void key_words(const uint8_t *key, uint32_t k[4]) {
    for (int i = 0; i < 4; ++i) k[i] = le(key + 4 * i);
}

// E(key, {a, b}) as 8 bytes, and its inverse.
inline Bytes seal(const uint8_t *key, uint32_t a, uint32_t b) {
    uint32_t k[4], v[2] = {a, b};
    key_words(key, k);
    vesk_tea_encrypt_block(v, v, k);
    Bytes out(8);
    put_le(out.data(), v[0]);
    put_le(out.data() + 4, v[1]);
    return out;
}
inline std::array<uint32_t, 2> unseal(const uint8_t *key, const uint8_t *block) {
    uint32_t k[4], v[2] = {le(block), le(block + 4)};
    key_words(key, k);
    vesk_tea_decrypt_block(v, v, k);
    return {v[0], v[1]};
}

// A ticket for (client, service) under the service key, built here.
inline Bytes make_ticket(const Key &session, uint32_t client, uint32_t service, uint32_t issued,
                         uint32_t lifetime, const Key &service_key) {
    Bytes plain(session.begin(), session.end());
    plain.resize(32);
    put_le(&plain[16], client);
    put_le(&plain[20], service);
    put_le(&plain[24], issued);
    put_le(&plain[28], lifetime);
    Bytes out;
    for (int i = 0; i < 32; i += 8) {
        const Bytes b = seal(service_key.data(), le(&plain[i]), le(&plain[i + 4]));
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// An answer built here, with a chosen id and lifetime in the client part.
inline Bytes make_answer(uint32_t named_client, uint32_t lifetime,
                         const Key &client_key = kClientKey) {
    Bytes a = make_ticket(kSessionKey, named_client, kService, g_now, lifetime, kServiceKey);
    for (const Bytes &b : {seal(client_key.data(), named_client, lifetime),
                           seal(client_key.data(), le(&kSessionKey[0]), le(&kSessionKey[4])),
                           seal(client_key.data(), le(&kSessionKey[8]), le(&kSessionKey[12]))}) {
        a.insert(a.end(), b.begin(), b.end());
    }
    return a;
}

// Snapshot of a record, to prove that a refusal changed nothing.
template <typename T>
Bytes bytes_of(const T &record) {
    const auto *p = reinterpret_cast<const uint8_t *>(&record);
    return Bytes(p, p + sizeof record);
}

// A test with the controlled clock and a client that already holds a ticket
// from the library's own issuer.
class TicketTest : public ::testing::Test {
protected:
    void SetUp() override {
        auth::set_clock_for_testing(test_clock);
        g_callback_calls = 0;
    }
    void TearDown() override { auth::set_clock_for_testing(nullptr); }

    Bytes issue(uint32_t client = kClient, uint32_t service = kService) {
        uint8_t request[8];
        put_le(request, client);
        put_le(request + 4, service);
        Bytes answer(56);
        int len = 56;
        EXPECT_EQ(vesk_auth_issue(request, 8, fixed_keys, answer.data(), &len), 0);
        return answer;
    }

    // init + request + issue + accept.
    void client_with_ticket(vesk_auth_client_ctx &c, uint32_t client = kClient) {
        ASSERT_EQ(vesk_auth_client_init(&c, 0, client, kService), 0);
        const Bytes answer = issue(client);
        ASSERT_EQ(vesk_auth_client_accept(&c, kClientKey.data(), answer.data(), 56), 0);
    }

    Bytes authenticator(vesk_auth_client_ctx &c) {
        Bytes m(40);
        int len = 40;
        EXPECT_EQ(vesk_auth_client_authenticator(&c, m.data(), &len), 0);
        EXPECT_EQ(len, 40);
        return m;
    }

    Bytes sealed(vesk_auth_client_ctx &c) {
        Bytes m(16);
        int len = 16;
        EXPECT_EQ(vesk_auth_client_seal(&c, m.data(), &len), 0);
        EXPECT_EQ(len, 16);
        return m;
    }
};

}  // namespace authtest
