// HMAC-SHA-256 from libcrypto (OpenSSL 3).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <pthread.h>

#include "os/os.h"

namespace os {
namespace {

void free_context(void *ctx) { EVP_MAC_CTX_free(static_cast<EVP_MAC_CTX *>(ctx)); }

// Each thread keeps one MAC context, set to SHA-256 when it is made and keyed
// afresh by each call: fetching the algorithm and allocating a context for
// every MAC would cost about three times the MAC itself.  The contexts hang
// on a thread key, whose destructor frees a thread's context when the thread
// ends.  (A C++ thread_local with a destructor would not do: when the C
// library cannot allocate the destructor's registration, it aborts.)
class ThreadContexts {
public:
    // After libcrypto's start-up, so that this is destroyed before libcrypto
    // cleans up at exit.  When that start-up failed (an allocation of its
    // own), libcrypto 3.0 would go on with a default context that has no lock
    // and crash in the fetch: such a failure is final for the process.
    ThreadContexts()
        : usable_(OPENSSL_init_crypto(0, nullptr) == 1 &&
                  OSSL_LIB_CTX_get0_global_default() != nullptr &&
                  pthread_key_create(&key_, free_context) == 0) {}
    ThreadContexts(const ThreadContexts &) = delete;
    ThreadContexts &operator=(const ThreadContexts &) = delete;
    // At exit or unload: the calling thread's context is freed; the others'
    // are left (after an unload, no destructor of ours may run any more).
    ~ThreadContexts() {
        if (!usable_) return;
        reset();
        pthread_key_delete(key_);
    }

    // The calling thread's context, made on first use; NULL when libcrypto
    // could not make one (the next call tries again).
    EVP_MAC_CTX *get() {
        if (!usable_) return nullptr;
        auto *ctx = static_cast<EVP_MAC_CTX *>(pthread_getspecific(key_));
        if (ctx != nullptr) return ctx;
        ctx = make();
        if (ctx != nullptr && pthread_setspecific(key_, ctx) != 0) {
            EVP_MAC_CTX_free(ctx);
            ctx = nullptr;
        }
        return ctx;
    }
    // Frees the calling thread's context; libcrypto clears the key state.
    void reset() {
        free_context(pthread_getspecific(key_));
        pthread_setspecific(key_, nullptr);
    }

private:
    static EVP_MAC_CTX *make() {
        EVP_MAC *mac = EVP_MAC_fetch(OSSL_LIB_CTX_get0_global_default(), "HMAC", nullptr);
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
    pthread_key_t key_{};
    const bool usable_;
};

ThreadContexts &contexts() {
    static ThreadContexts instance;
    return instance;
}

// Keying the context with this after each MAC leaves nothing of the
// caller's key in it.
constexpr unsigned char kNoKey[16] = {};

}  // namespace

bool hmac_sha256(const uint8_t *key, size_t key_size, const Piece *pieces, int count,
                 uint8_t mac[kHmacSha256Size]) {
    ThreadContexts &all = contexts();
    EVP_MAC_CTX *ctx = all.get();
    if (ctx == nullptr) return false;
    bool ok = EVP_MAC_init(ctx, key, key_size, nullptr) == 1;
    for (int i = 0; ok && i < count; ++i) {
        ok = EVP_MAC_update(ctx, static_cast<const unsigned char *>(pieces[i].data),
                            static_cast<size_t>(pieces[i].length)) == 1;
    }
    size_t length = 0;
    ok = ok && EVP_MAC_final(ctx, mac, &length, kHmacSha256Size) == 1 && length == kHmacSha256Size;
    if (EVP_MAC_init(ctx, kNoKey, sizeof kNoKey, nullptr) != 1) all.reset();
    return ok;
}

}  // namespace os
