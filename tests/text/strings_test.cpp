// String helpers: trimming, copying, tokens, quotes and the append growth rule.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vuvidur.h"

namespace {

// Owns a block from the library and releases it at the end of the scope.
struct Owned {
    char *text;
    explicit Owned(char *t) : text(t) {}
    ~Owned() { vesk_mem_free(text); }
};

std::string trimmed(const std::string &input) {
    std::string buffer = input;
    EXPECT_EQ(vesk_str_trim(buffer.data()), 0) << input;
    return buffer.c_str();
}

TEST(StringTrim, RemovesEveryKindOfBlankAtBothEndsOnly) {
    EXPECT_EQ(trimmed("  ab c\t\r\n"), "ab c");
    EXPECT_EQ(trimmed("\t\t"), "");
    EXPECT_EQ(trimmed("abc"), "abc");
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(trimmed("x"), "x");
    EXPECT_EQ(trimmed(" x"), "x");
    EXPECT_EQ(trimmed("x "), "x");
    EXPECT_EQ(trimmed("\n a \r\n b \t"), "a \r\n b");  // inner blanks stay
    EXPECT_EQ(trimmed("\va\v"), "\va\v");              // vertical tab is not a blank
    EXPECT_EQ(vesk_str_trim(nullptr), -1);
}

TEST(StringCopy, CopiesExactlyNBytesAndTerminates) {
    char dst[8];
    std::memset(dst, 'z', sizeof dst);
    EXPECT_EQ(vesk_str_ncopy(dst, "abcdef", 3), dst);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(dst[4], 'z') << "wrote beyond dst + n";
    vesk_str_ncopy(dst, "abcdef", 0);
    EXPECT_STREQ(dst, "");
    // A zero byte inside the source does not stop the copy.
    vesk_str_ncopy(dst, "a\0c", 3);
    EXPECT_EQ(std::memcmp(dst, "a\0c\0", 4), 0);
    // A negative count must not write before the buffer.
    dst[0] = 'q';
    vesk_str_ncopy(dst + 1, "abc", -4);
    EXPECT_EQ(dst[0], 'q');
    EXPECT_EQ(dst[1], '\0');
}

TEST(StringDup, CopiesNonEmptyTextAndGivesNullForEmptyOrNull) {
    Owned copy(vesk_str_dup("hello", 7, 9));
    ASSERT_NE(copy.text, nullptr);
    EXPECT_STREQ(copy.text, "hello");
    EXPECT_EQ(vesk_str_dup("", 0, 0), nullptr);
    EXPECT_EQ(vesk_str_dup(nullptr, 0, 0), nullptr);
}

TEST(StringLowerAndToInt, FollowTheStandardFunctions) {
    char text[] = "MiXeD 123 \xC4Z";
    EXPECT_EQ(vesk_str_lower(text), 0);
    EXPECT_STREQ(text, "mixed 123 \xC4z");  // bytes above 0x7F unchanged
    struct {
        const char *text;
        int value;
    } cases[] = {
        {"42", 42},
        {"  -17xyz", -17},
        {"+8", 8},
        {"abc", 0},
        {"", 0},
        {"\t\n 9", 9},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},  // saturated, not undefined
    };
    for (const auto &c : cases) EXPECT_EQ(vesk_str_to_int(c.text), c.value) << c.text;
}

// One call of vesk_str_token, its results captured.
struct Token {
    int rc;
    std::string token;
    const char *rest;
};

Token token_of(const char *src, int delim) {
    char *token = reinterpret_cast<char *>(0x1);  // must stay untouched on failure
    const char *rest = reinterpret_cast<const char *>(0x1);
    Token out{vesk_str_token(&token, src, delim, &rest), "", rest};
    if (out.rc == 0) {
        out.token = token;
        vesk_mem_free(token);
    } else {
        EXPECT_EQ(token, reinterpret_cast<char *>(0x1)) << "token_out written on failure";
    }
    return out;
}

TEST(StringToken, WalksALineButNeedsADelimiterAfterTheLastField) {
    const char *line = "a,b,c";
    Token first = token_of(line, ',');
    ASSERT_EQ(first.rc, 0);
    EXPECT_EQ(first.token, "a");
    EXPECT_STREQ(first.rest, "b,c");
    Token second = token_of(first.rest, ',');
    ASSERT_EQ(second.rc, 0);
    EXPECT_EQ(second.token, "b");
    EXPECT_STREQ(second.rest, "c");
    Token third = token_of(second.rest, ',');
    EXPECT_EQ(third.rc, -1);
    EXPECT_EQ(third.rest, nullptr);
}

TEST(StringToken, EmptyFieldsAndLineEndsFailUnlessTheyAreTheDelimiter) {
    EXPECT_EQ(token_of(",x", ',').rc, -1);  // empty token
    EXPECT_EQ(token_of(",x", ',').rest, nullptr);
    EXPECT_EQ(token_of("", ',').rc, -1);
    EXPECT_EQ(token_of("ab\r\n", ',').rc, -1);  // stops at the CR
    EXPECT_EQ(token_of("ab\n,", ',').rc, -1);   // stops at the LF before the delimiter
    Token cr = token_of("ab\r\n", '\r');
    ASSERT_EQ(cr.rc, 0);
    EXPECT_EQ(cr.token, "ab");
    EXPECT_STREQ(cr.rest, "\n");
    EXPECT_EQ(token_of("ab", 0).rc, -1);  // a zero delimiter never matches
}

TEST(StringToken, DelimiterIsComparedAsASignedByte) {
    Token high = token_of("ab\xE9z", static_cast<signed char>('\xE9'));
    ASSERT_EQ(high.rc, 0);
    EXPECT_EQ(high.token, "ab");
    EXPECT_STREQ(high.rest, "z");
    EXPECT_EQ(token_of("ab\xE9z", 0xE9).rc, -1);  // the unsigned value is not that byte
}

TEST(StringFindQuote, SkipsQuotesEscapedByAnOddRunOfBackslashes) {
    const char *text = "say\\\"hi\\\" \"now\"";
    EXPECT_EQ(vesk_str_find_quote(text), text + 10);
    const char *pair = "\\\\\"x";  // two backslashes escape each other
    EXPECT_EQ(vesk_str_find_quote(pair), pair + 2);
    const char *triple = "\\\\\\\"x\"";  // three: escaped
    EXPECT_EQ(vesk_str_find_quote(triple), triple + 5);
    const char *first = "\"abc";
    EXPECT_EQ(vesk_str_find_quote(first), first);
    EXPECT_EQ(vesk_str_find_quote("abc"), nullptr);
    EXPECT_EQ(vesk_str_find_quote("a\\\"b"), nullptr);
}

TEST(StringUnquote, DropsTheOpeningQuoteAndAlwaysTheLastByte) {
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"\"abc\"", "abc"}, {"abc", "abc"}, {"\"abc", "ab"}, {"\"", ""},
        {"\"\"", ""},       {"", ""},       {"a\"", "a\""},
    };
    for (const auto &c : cases) {
        Owned result(vesk_str_unquote(c.in));
        ASSERT_NE(result.text, nullptr);
        EXPECT_STREQ(result.text, c.out) << c.in;
    }
}

TEST(StringAppend, GrowsOnlyWhenUsedPlusLengthExceedsCapacity) {
    // cap 16, used 10: 6 more bytes fit (the zero lands on the spare byte).
    char *buf = static_cast<char *>(std::malloc(17));
    std::memcpy(buf, "0123456789", 11);
    char *end = vesk_str_append(buf, 16, buf + 10, "abcdef");
    EXPECT_EQ(end, buf + 16) << "the block moved although it was big enough";
    EXPECT_STREQ(buf, "0123456789abcdef");
    std::free(buf);

    // 7 more bytes do not: the block grows to 16 + 7 + 10 = 33 bytes, and the
    // caller finds its new start from the result.
    buf = static_cast<char *>(std::malloc(17));
    std::memcpy(buf, "0123456789", 11);
    end = vesk_str_append(buf, 16, buf + 10, "abcdefg");
    char *start = end - 10 - 7;
    EXPECT_STREQ(start, "0123456789abcdefg");
    EXPECT_EQ(*end, '\0');
    // The grown block really holds 33 bytes (the sanitizer run checks it).
    std::memset(start, 'x', 33);
    std::free(start);
}

TEST(StringAppend, FillingAGrownBlockExactlyStaysInsideIt) {
    char *buf = static_cast<char *>(vesk_mem_alloc(0, 0, 5));
    buf[0] = '\0';
    char *end = vesk_str_append(buf, 4, buf, "abcde");  // grows: capacity 4 + 5 + 10
    buf = end - 5;
    // 5 + 14 == 19 is not above the capacity: no growth, and the zero goes to
    // buf[19].  The block must hold it (the sanitizer run checks).
    end = vesk_str_append(buf, 19, end, "fghijklmnopqrs");
    EXPECT_EQ(end, buf + 19);
    EXPECT_STREQ(buf, "abcdefghijklmnopqrs");
    vesk_mem_free(buf);
}

TEST(StringAppend, RepeatedAppendsKeepTheTextWhole) {
    int cap = 4;
    char *buf = static_cast<char *>(vesk_mem_alloc(0, 0, 5));
    buf[0] = '\0';
    char *end = buf;
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        std::string piece = std::to_string(i) + ";";
        int used = static_cast<int>(end - buf);
        bool grows = used + static_cast<int>(piece.size()) > cap;
        end = vesk_str_append(buf, cap, end, piece.c_str());
        if (grows) cap += static_cast<int>(piece.size()) + 10;
        buf = end - used - piece.size();
        expected += piece;
    }
    EXPECT_EQ(std::string(buf), expected);
    vesk_mem_free(buf);
}

TEST(StringNulls, NullTextIsAnsweredWithoutBeingRead) {
    EXPECT_EQ(vesk_str_trim(nullptr), -1);
    EXPECT_EQ(vesk_str_find_quote(nullptr), nullptr);
    EXPECT_EQ(vesk_str_lower(nullptr), 0);
    EXPECT_EQ(vesk_str_to_int(nullptr), 0);
    EXPECT_EQ(vesk_str_unquote(nullptr), nullptr);
    const char *rest = "untouched";
    EXPECT_EQ(vesk_str_token(nullptr, nullptr, ',', &rest), -1);
    EXPECT_EQ(rest, nullptr);
    // Appending nothing keeps the text and its end.
    char buf[8] = "ab";
    EXPECT_EQ(vesk_str_append(buf, 7, buf + 2, nullptr), buf + 2);
    EXPECT_STREQ(buf, "ab");
}

TEST(StringToken, TokenOrRestMayBeLeftOut) {
    const char *rest = nullptr;
    EXPECT_EQ(vesk_str_token(nullptr, "a,b", ',', &rest), 0);  // the token is dropped
    EXPECT_STREQ(rest, "b");
    char *token = nullptr;
    EXPECT_EQ(vesk_str_token(&token, "a,b", ',', nullptr), 0);
    EXPECT_STREQ(token, "a");
    vesk_mem_free(token);
}

}  // namespace
