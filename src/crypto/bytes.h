// Byte-order helpers: 32-bit words read from and written to byte arrays one
// byte at a time, so that a message's byte order never depends on the host's
// and no pointer is ever cast to a wider type.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

inline constexpr uint32_t load_le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline constexpr void store_le32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline constexpr uint32_t load_be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline constexpr void store_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Clears key material and plaintext left in local buffers.  The volatile
// stores keep the compiler from dropping a clear of memory that is about to
// go out of scope.
inline void wipe(void *p, size_t n) {
    auto *bytes = static_cast<volatile uint8_t *>(p);
    for (size_t i = 0; i < n; ++i) bytes[i] = 0;
}

}  // namespace crypto
