// CRC-32: the tables, the portable sliced loop, and the choice of path.
#include "crypto/crc32.h"

#include "crypto/bytes.h"
#include "vuvidur.h"

namespace crypto {
namespace {

constexpr uint32_t kReflectedPolynomial = 0xEDB88320u;

// Below this length folding does not pay for its final reduction.
constexpr size_t kFoldingThreshold = 64;

constexpr Crc32Tables make_tables() {
    Crc32Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kReflectedPolynomial : c >> 1;
        t[0][i] = c;
    }
    for (size_t k = 1; k < t.size(); ++k) {
        for (size_t i = 0; i < 256; ++i) {
            const uint32_t prev = t[k - 1][i];
            t[k][i] = (prev >> 8) ^ t[0][prev & 0xFF];
        }
    }
    return t;
}

inline uint32_t byte_step(uint32_t reg, uint8_t b) {
    return kCrc32Tables[0][(reg ^ b) & 0xFF] ^ (reg >> 8);
}

}  // namespace

constexpr Crc32Tables kCrc32Tables = make_tables();
static_assert(kCrc32Tables[0][1] == 0x77073096u && kCrc32Tables[0][255] == 0x2D02EF8Du);

uint32_t crc32_reference(uint32_t checksum, const uint8_t *data, size_t length) {
    uint32_t reg = ~checksum;
    for (size_t i = 0; i < length; ++i) reg = byte_step(reg, data[i]);
    return ~reg;
}

uint32_t crc32_table_update(uint32_t reg, const uint8_t *data, size_t length) {
    const auto &t = kCrc32Tables;
    while (length >= 8) {
        // The register lines up with the first four bytes, taken in the
        // order they arrive (little-endian whatever the host).
        const uint32_t lo = load_le32(data) ^ reg;
        const uint32_t hi = load_le32(data + 4);
        reg = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        data += 8;
        length -= 8;
    }
    while (length-- > 0) reg = byte_step(reg, *data++);
    return reg;
}

uint32_t crc32_checksum(uint32_t checksum, const uint8_t *data, size_t length) {
    static const bool folding = crc32_clmul_supported();
    const uint32_t reg = ~checksum;
    if (folding && length >= kFoldingThreshold) return ~crc32_clmul_update(reg, data, length);
    return ~crc32_table_update(reg, data, length);
}

}  // namespace crypto

extern "C" VESK_API uint32_t vesk_crc32(uint32_t previous, const void *data, int length) {
    if (data == nullptr || length <= 0) return previous;
    return crypto::crc32_checksum(previous, static_cast<const uint8_t *>(data),
                                  static_cast<size_t>(length));
}
