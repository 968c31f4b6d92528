// The hex codec: upper-case output, the decoder's strtoul-like pairs, its
// bounds, and its refusals.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/hex.h"
#include "vuvidur.h"

TEST(HexEncode, UpperCaseDigitsWithLeadingZerosAndATerminatingNul) {
    const uint8_t data[4] = {0x00, 0x0F, 0xA0, 0xFF};
    char out[10];
    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(vesk_hex_encode(data, 4, out), 0);
    EXPECT_STREQ(out, "000FA0FF");
    EXPECT_EQ(out[9], 'x') << "wrote past 2 * length + 1";
}

TEST(HexEncode, EmptyInputAndNullPointersAreRefusedWithoutWriting) {
    const uint8_t data[1] = {0x12};
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(vesk_hex_encode(data, 0, out), -1);
    EXPECT_EQ(vesk_hex_encode(nullptr, 1, out), -1);
    EXPECT_EQ(vesk_hex_encode(data, 1, nullptr), -1);
    EXPECT_EQ(std::string(out, 4), "xxxx");
}

TEST(HexDecode, LowerAndUpperCaseDigitsDecodeAlike) {
    uint8_t out[4];
    ASSERT_EQ(vesk_hex_decode("000fa0ff", 8, out), 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x00, 0x0F, 0xA0, 0xFF}));
    ASSERT_EQ(vesk_hex_decode("000FA0FF", 8, out), 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x00, 0x0F, 0xA0, 0xFF}));
}

TEST(HexDecode, OddSizeAndNullPointersAreRefusedWithoutWriting) {
    uint8_t out[4] = {0x77, 0x77, 0x77, 0x77};
    EXPECT_EQ(vesk_hex_decode("000fa0f", 7, out), -1);
    EXPECT_EQ(vesk_hex_decode(nullptr, 8, out), -1);
    EXPECT_EQ(vesk_hex_decode("00", 2, nullptr), -1);
    for (uint8_t b : out) EXPECT_EQ(b, 0x77);
}

TEST(HexDecode, ShortTextLeavesTheRemainingBytesZeroAndIgnoresAnOddLastCharacter) {
    uint8_t out[3] = {0x77, 0x77, 0x77};
    ASSERT_EQ(vesk_hex_decode("12345", 6, out), 0);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0x34);
    EXPECT_EQ(out[2], 0x00);

    uint8_t two[2] = {0x77, 0x77};
    ASSERT_EQ(vesk_hex_decode("", 4, two), 0);
    EXPECT_EQ(two[0], 0);
    EXPECT_EQ(two[1], 0);
}

TEST(HexDecode, HundredCharactersRoundTripToUpperCase) {
    std::string text;
    for (int i = 0; i < 50; ++i)
        text += "a0B1c2D3e4F56789"[i % 16], text += "0123456789abcdef"[(i * 7) % 16];
    uint8_t bytes[50];
    ASSERT_EQ(vesk_hex_decode(text.c_str(), 100, bytes), 0);
    char again[101];
    ASSERT_EQ(vesk_hex_encode(bytes, 50, again), 0);
    std::string upper = text;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(std::string(again), upper);
}

TEST(HexDecode, EveryByteValueRoundTrips) {
    uint8_t all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    char text[513];
    ASSERT_EQ(vesk_hex_encode(all, 256, text), 0);
    uint8_t back[256];
    ASSERT_EQ(vesk_hex_decode(text, 512, back), 0);
    EXPECT_EQ(std::memcmp(all, back, 256), 0);
}

// Pairs that are not two hex digits decode the way strtoul reads a
// two-character string: "G1" is 0, "1G" is 1, " 5" is 5, "-1" wraps to 0xFF.
// Every pair of non-NUL characters is compared with strtoul itself.
TEST(HexDecode, EveryCharacterPairDecodesAsStrtoulReadsIt) {
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    uint8_t out[1];
    ASSERT_EQ(vesk_hex_decode("G1", 2, out), 0);
    EXPECT_EQ(out[0], 0);
    ASSERT_EQ(vesk_hex_decode("1G", 2, out), 0);
    EXPECT_EQ(out[0], 1);
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            const char pair[3] = {static_cast<char>(a), static_cast<char>(b), '\0'};
            const auto want = static_cast<uint8_t>(std::strtoul(pair, nullptr, 16) & 0xFF);
            ASSERT_EQ(crypto::hex_pair_value(pair[0], pair[1]), want) << a << "," << b;
        }
    }
}

TEST(HexDecode, NeverReadsPastSizeCharactersOfAnUnterminatedText) {
    // Exactly `size` characters on the heap and no NUL: a read of one more is
    // caught by the address sanitizer.
    std::vector<char> text = {'4', '1', '4', '2'};
    uint8_t out[2];
    ASSERT_EQ(vesk_hex_decode(text.data(), 4, out), 0);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 0x42);
}
