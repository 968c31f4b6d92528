// CRC-32: the published check values, the argument rules, and every fast path
// held to the one-byte-per-step definition and to zlib's crc32.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/crc32.h"
#include "vuvidur.h"

namespace {

const uint8_t kDigits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

uint32_t zlib_crc(uint32_t previous, const uint8_t *p, size_t n) {
    return static_cast<uint32_t>(crc32(previous, p, static_cast<uInt>(n)));
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace

TEST(Crc32, StandardCheckValues) {
    EXPECT_EQ(vesk_crc32(0, kDigits, 9), 0xCBF43926u);
    EXPECT_EQ(vesk_crc32(0, "abc", 3), 0x352441C2u);
    EXPECT_EQ(crypto::kCrc32Tables[0][1], 0x77073096u);
    EXPECT_EQ(crypto::kCrc32Tables[0][255], 0x2D02EF8Du);
}

TEST(Crc32, ChainingPiecesGivesTheWholeChecksum) {
    const uint32_t first = vesk_crc32(0, kDigits, 4);
    EXPECT_EQ(vesk_crc32(first, kDigits + 4, 5), 0xCBF43926u);
}

TEST(Crc32, NullDataOrNonPositiveLengthReturnsPreviousUnchanged) {
    EXPECT_EQ(vesk_crc32(0, nullptr, 9), 0u);
    EXPECT_EQ(vesk_crc32(0x12345678u, nullptr, 9), 0x12345678u);
    EXPECT_EQ(vesk_crc32(0x12345678u, kDigits, 0), 0x12345678u);
    EXPECT_EQ(vesk_crc32(0x12345678u, kDigits, -5), 0x12345678u);
    EXPECT_EQ(vesk_crc32(0, kDigits, -5), 0u);
}

// Every length up to several fold widths, at every alignment within 16 bytes,
// from non-zero previous values: each path must equal the definition.  This
// is where a wrong fold constant, a lost tail or a misplaced threshold shows.
TEST(Crc32, EveryPathEqualsTheBytewiseDefinitionForSmallLengthsAndAllAlignments) {
    std::mt19937 rng(1);
    const auto buf = random_bytes(rng, 600);
    const bool clmul = crypto::crc32_clmul_supported();
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t n = 0; n <= 520; ++n) {
            const uint8_t *p = buf.data() + offset;
            const uint32_t previous = static_cast<uint32_t>(n * 0x9E3779B9u + offset);
            const uint32_t want = crypto::crc32_reference(previous, p, n);
            ASSERT_EQ(~crypto::crc32_table_update(~previous, p, n), want) << n << "@" << offset;
            if (clmul) {
                ASSERT_EQ(~crypto::crc32_clmul_update(~previous, p, n), want) << n << "@" << offset;
            }
            ASSERT_EQ(crypto::crc32_checksum(previous, p, n), want) << n << "@" << offset;
        }
    }
}

TEST(Crc32, ProcessorWithCarrylessMultiplyTakesTheFoldingPath) {
#if defined(__x86_64__)
    // This library's primary machines have the instruction; if detection
    // broke, the suite would silently test only the tables.
    __builtin_cpu_init();
    EXPECT_EQ(crypto::crc32_clmul_supported(),
              __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"));
#else
    GTEST_SKIP() << "not an x86_64 build";
#endif
}

TEST(Crc32, MatchesZlibOverRandomBuffersLengthsAndAlignments) {
    std::mt19937 rng(2);
    const auto buf = random_bytes(rng, (1 << 20) + 64);
    std::uniform_int_distribution<size_t> offsets(0, 63);
    for (int round = 0; round < 2000; ++round) {
        // Mostly short and medium lengths, some up to a megabyte.
        const size_t limit = round % 50 == 0 ? (1u << 20) : round % 5 == 0 ? 70000 : 300;
        const size_t n = std::uniform_int_distribution<size_t>(0, limit)(rng);
        const size_t offset = offsets(rng);
        const uint32_t previous = round % 3 == 0 ? 0 : static_cast<uint32_t>(rng());
        const uint8_t *p = buf.data() + offset;
        ASSERT_EQ(vesk_crc32(previous, p, static_cast<int>(n)),
                  n == 0 ? previous : zlib_crc(previous, p, n))
            << "length " << n << " offset " << offset;
    }
}

TEST(Crc32, AnySplitIntoPiecesChainsToTheChecksumOfTheWhole) {
    std::mt19937 rng(3);
    const auto buf = random_bytes(rng, 9000);
    const uint32_t whole = zlib_crc(0, buf.data(), buf.size());
    for (int round = 0; round < 300; ++round) {
        uint32_t c = 0;
        size_t at = 0;
        while (at < buf.size()) {
            const size_t piece =
                std::min(buf.size() - at, std::uniform_int_distribution<size_t>(0, 200)(rng) *
                                              (round % 2 == 0 ? 1 : 17));
            c = vesk_crc32(c, buf.data() + at, static_cast<int>(piece));
            at += piece;
        }
        ASSERT_EQ(c, whole) << round;
    }
}
