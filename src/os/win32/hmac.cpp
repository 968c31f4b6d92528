// HMAC-SHA-256 from BCrypt (bcrypt.dll, Windows Vista and later).
#include <windows.h>
#include <bcrypt.h>

#include "os/os.h"

namespace os {
namespace {

// The HMAC-SHA-256 provider, opened once and kept for the life of the
// process (closing it at unload could race a thread still hashing), and the
// size of a hash object, so that each hash lives in the caller's stack.
struct Provider {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    ULONG object_size = 0;

    Provider() {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM,
                                                        nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
            algorithm = nullptr;
            return;
        }
        ULONG got = 0;
        if (!BCRYPT_SUCCESS(BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH,
                                              reinterpret_cast<PUCHAR>(&object_size),
                                              sizeof object_size, &got, 0))) {
            object_size = 0;
        }
    }
};

const Provider &provider() {
    static const Provider instance;
    return instance;
}

// Room for a hash object on the stack; a provider that wants more (none
// known does) gets none, and then allocates the object itself (Windows 7
// and later).
constexpr ULONG kObjectRoom = 1024;

}  // namespace

bool hmac_sha256(const uint8_t *key, size_t key_size, const Piece *pieces, int count,
                 uint8_t mac[kHmacSha256Size]) {
    const Provider &p = provider();
    if (p.algorithm == nullptr) return false;
    alignas(16) UCHAR object[kObjectRoom];
    const bool on_stack = p.object_size > 0 && p.object_size <= kObjectRoom;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(p.algorithm, &hash, on_stack ? object : nullptr,
                                              on_stack ? p.object_size : 0, const_cast<PUCHAR>(key),
                                              static_cast<ULONG>(key_size), 0));
    for (int i = 0; ok && i < count; ++i) {
        ok = BCRYPT_SUCCESS(BCryptHashData(hash,
                                           static_cast<PUCHAR>(const_cast<void *>(pieces[i].data)),
                                           static_cast<ULONG>(pieces[i].length), 0));
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, mac, kHmacSha256Size, 0));
    if (hash != nullptr) BCryptDestroyHash(hash);
    SecureZeroMemory(object, sizeof object);  // the keyed state
    return ok;
}

}  // namespace os
