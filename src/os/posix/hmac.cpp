// HMAC-SHA-256 from libcrypto (OpenSSL 3).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "os/os.h"

namespace os {
namespace {

// One MAC context per thread, set to SHA-256 when it is made and keyed
// afresh by each call: fetching the algorithm and allocating a context for
// every MAC would cost about three times the MAC itself.
class ThreadMac {
public:
    ThreadMac() = default;
    ThreadMac(const ThreadMac &) = delete;
    ThreadMac &operator=(const ThreadMac &) = delete;
    ~ThreadMac() { reset(); }

    // The thread's context, made on first use; NULL when libcrypto could not
    // make one (the next call tries again).
    EVP_MAC_CTX *get() {
        if (ctx_ == nullptr) ctx_ = make();
        return ctx_;
    }
    // Frees the context; libcrypto clears the key state it held.
    void reset() {
        EVP_MAC_CTX_free(ctx_);
        ctx_ = nullptr;
    }

private:
    static EVP_MAC_CTX *make() {
        EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        EVP_MAC_CTX *ctx = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
        EVP_MAC_free(mac);  // the context keeps its own reference
        char digest[] = "SHA256";
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
            OSSL_PARAM_construct_end()};
        if (ctx != nullptr && EVP_MAC_CTX_set_params(ctx, params) != 1) {
            EVP_MAC_CTX_free(ctx);
            ctx = nullptr;
        }
        return ctx;
    }
    EVP_MAC_CTX *ctx_ = nullptr;
};

thread_local ThreadMac t_mac;

// Keying the context with this after each MAC leaves nothing of the
// caller's key in it.
constexpr unsigned char kNoKey[16] = {};

}  // namespace

bool hmac_sha256(const uint8_t *key, size_t key_size, const Piece *pieces, int count,
                 uint8_t mac[kHmacSha256Size]) {
    EVP_MAC_CTX *ctx = t_mac.get();
    if (ctx == nullptr) return false;
    bool ok = EVP_MAC_init(ctx, key, key_size, nullptr) == 1;
    for (int i = 0; ok && i < count; ++i) {
        ok = EVP_MAC_update(ctx, static_cast<const unsigned char *>(pieces[i].data),
                            static_cast<size_t>(pieces[i].length)) == 1;
    }
    size_t length = 0;
    ok = ok && EVP_MAC_final(ctx, mac, &length, kHmacSha256Size) == 1 && length == kHmacSha256Size;
    if (EVP_MAC_init(ctx, kNoKey, sizeof kNoKey, nullptr) != 1) t_mac.reset();
    return ok;
}

}  // namespace os
