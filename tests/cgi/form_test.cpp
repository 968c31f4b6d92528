// The form decoder on its own: text decoding, pair splitting, value copying,
// the case-blind comparison and the length conversion.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "cgi/form.h"

namespace {

using cgi::FormFieldList;

cgi::Bytes bytes(const std::string &text) {
    return cgi::Bytes(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

std::string decode(const std::string &text) { return cgi::form_decode_text(bytes(text)); }

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs split(const std::string &text) {
    FormFieldList fields;
    EXPECT_EQ(cgi::form_split_pairs(bytes(text), fields), 0) << text;
    Pairs out;
    for (const auto &f : fields) out.emplace_back(f.name, f.value);
    return out;
}

struct Copy {
    int code;
    std::string text;
};

Copy copy(const char *value, int size) {
    std::vector<char> buffer(static_cast<size_t>(size) + 8, '#');
    int code = cgi::form_copy_value(value, buffer.data(), size);
    // Nothing may be written past the buffer the caller announced.
    for (size_t i = static_cast<size_t>(size); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#');
    return {code, std::string(buffer.data())};
}

}  // namespace

TEST(FormDecodeText, PlusIsBlankAndEscapesTakeTwoHexDigitsOfEitherCase) {
    EXPECT_EQ(decode("hello+world%21"), "hello world!");
    EXPECT_EQ(decode("%41%4a%4A"), "AJJ");
    EXPECT_EQ(decode("%2B%2b"), "++");      // an escaped plus stays a plus
    EXPECT_EQ(decode("%25%32%35"), "%25");  // decoded once, never twice
    EXPECT_EQ(decode("caf%C3%A9"), "caf\xC3\xA9");
    EXPECT_EQ(decode(""), "");
}

TEST(FormDecodeText, EscapeCutOffByTheEndYieldsNothing) {
    EXPECT_EQ(decode("ab%4"), "ab");
    EXPECT_EQ(decode("ab%"), "ab");
    EXPECT_EQ(decode("%"), "");
}

TEST(FormDecodeText, NonHexDigitsInsideAnEscapeCountAsZero) {
    EXPECT_EQ(decode("%G1"), std::string("\x01", 1));
    EXPECT_EQ(decode("%zz"), std::string("\0", 1));
    EXPECT_EQ(decode("%1G"), std::string("\x10", 1));
    // A plus or percent inside an escape is just another non-digit.
    EXPECT_EQ(decode("%+4x"), std::string("\x04x", 2));
    EXPECT_EQ(decode("%%41"), std::string("\x04"
                                          "1",
                                          2));
}

TEST(FormDecodeText, OtherBytesPassThroughIncludingBinaryOnes) {
    std::string raw("a\0b\xff\r\n=&", 8);
    EXPECT_EQ(decode(raw), raw);
}

TEST(FormSplitPairs, SplitsPairsInInputOrderWithTheirQuirks) {
    struct Case {
        const char *input;
        Pairs expected;
    } cases[] = {
        {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
        {"a=1&b", {{"a", "1"}}},    // trailing bytes without "=" give nothing
        {"x&y=1", {{"x&y", "1"}}},  // the name scan does not stop at "&"
        {"a=1&&b=2", {{"a", "1"}, {"&b", "2"}}},
        {"=v", {{"", "v"}}},
        {"a=", {{"a", ""}}},
        {"a==b", {{"a", "=b"}}},                // only the first "=" ends the name
        {"a=1&", {{"a", "1"}}},                 // a final "&" ends the input
        {"a=1&&", {{"a", "1"}}},                // "&" alone gives no field
        {"k=1&k=2", {{"k", "1"}, {"k", "2"}}},  // duplicates kept, in order
        {"n=hello+world%21", {{"n", "hello world!"}}},
        {"a%3Db=c%26d", {{"a=b", "c&d"}}},  // escaped separators are data
        {"&", {}},
        {"=", {{"", ""}}},
        {"", {}},
        {"abc", {}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(split(c.input), c.expected) << "input: " << c.input;
    }
}

TEST(FormSplitPairs, AppendsAfterFieldsAlreadyInTheList) {
    FormFieldList fields;
    ASSERT_EQ(cgi::form_split_pairs(bytes("a=1"), fields), 0);
    ASSERT_EQ(cgi::form_split_pairs(bytes("b=2"), fields), 0);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[1].name, "b");
}

TEST(FormSplitPairs, NeverReadsPastTheGivenLength) {
    // The span stops before "&c=3": those bytes exist in memory but are not input.
    std::string text = "a=1&b=2&c=3";
    FormFieldList fields;
    ASSERT_EQ(cgi::form_split_pairs(bytes(text).first(7), fields), 0);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[1].value, "2");
}

TEST(FormCopyValue, FullnessIsTestedBeforeEachByte) {
    EXPECT_EQ(copy("abc", 5).code, 0);
    EXPECT_EQ(copy("abc", 5).text, "abc");
    EXPECT_EQ(copy("abc", 4).code, 1);  // fitted exactly, still reported full
    EXPECT_EQ(copy("abc", 4).text, "abc");
    EXPECT_EQ(copy("abc", 3).code, 1);
    EXPECT_EQ(copy("abc", 3).text, "ab");
}

TEST(FormCopyValue, SizeOneReportsFullEvenForAnEmptyValue) {
    EXPECT_EQ(copy("abc", 1).code, 1);
    EXPECT_EQ(copy("abc", 1).text, "");
    EXPECT_EQ(copy("", 1).code, 1);
}

TEST(FormCopyValue, LineBreaksVanishAndDoNotCountTowardsFullness) {
    EXPECT_EQ(copy("one\r\ntwo", 20).text, "onetwo");
    EXPECT_EQ(copy("abc\r\n", 5).code, 0);
    EXPECT_EQ(copy("abc\r\n", 5).text, "abc");
    EXPECT_EQ(copy("\r\n\n\r", 10).code, 3);
    EXPECT_EQ(copy("\r\n\n\r", 10).text, "");
    EXPECT_EQ(copy("", 2).code, 3);
}

TEST(FormEqualNoCase, LettersIgnoreCaseEverythingElseIsExact) {
    EXPECT_EQ(cgi::form_equal_no_case("POST", "post"), 1);
    EXPECT_EQ(cgi::form_equal_no_case("Post", "post"), 1);
    EXPECT_EQ(cgi::form_equal_no_case("post", "post"), 1);
    EXPECT_EQ(cgi::form_equal_no_case("POSTED", "post"), 0);
    EXPECT_EQ(cgi::form_equal_no_case("POS", "post"), 0);
    EXPECT_EQ(cgi::form_equal_no_case("", "post"), 0);
    EXPECT_EQ(cgi::form_equal_no_case("Application/X-WWW-Form-URLencoded",
                                      "application/x-www-form-urlencoded"),
              1);
    EXPECT_EQ(cgi::form_equal_no_case("application/x-www-form-urlencoded; charset=UTF-8",
                                      "application/x-www-form-urlencoded"),
              0);
    // '@' and '`' sit next to the letters: no case folding for them.
    EXPECT_EQ(cgi::form_equal_no_case("@", "`"), 0);
}

TEST(FormHexValue, HexDigitsOfEitherCaseOtherBytesAreZero) {
    EXPECT_EQ(cgi::form_hex_value('7'), 7);
    EXPECT_EQ(cgi::form_hex_value('b'), 11);
    EXPECT_EQ(cgi::form_hex_value('F'), 15);
    EXPECT_EQ(cgi::form_hex_value('g'), 0);
    EXPECT_EQ(cgi::form_hex_value(0xFF), 0);
}

TEST(FormContentType, TypeMatchesWithoutCaseAroundBlanksButNotALookAlike) {
    const char *form = "application/x-www-form-urlencoded";
    EXPECT_TRUE(cgi::form_is_urlencoded_type("Application/X-WWW-Form-Urlencoded\t ; charset=x"));
    EXPECT_FALSE(cgi::form_is_urlencoded_type(" application/x-www-form-urlencoded"));
    EXPECT_FALSE(cgi::form_is_urlencoded_type("\tapplication/x-www-form-urlencoded"));
    EXPECT_FALSE(cgi::form_is_urlencoded_type("application/x-www-form-urlencodex"));
    EXPECT_FALSE(cgi::form_is_urlencoded_type(""));
    EXPECT_TRUE(cgi::form_media_type_is(" \tapplication/x-www-form-urlencoded \t", form));
    EXPECT_FALSE(cgi::form_media_type_is(" \t ; application/x-www-form-urlencoded", form));
}

TEST(FormParseLength, ReadsLikeAtoiButSaturates) {
    EXPECT_EQ(cgi::form_parse_length(""), 0);
    EXPECT_EQ(cgi::form_parse_length("abc"), 0);
    EXPECT_EQ(cgi::form_parse_length("12"), 12);
    EXPECT_EQ(cgi::form_parse_length("  \t+12abc"), 12);
    EXPECT_EQ(cgi::form_parse_length("-5"), -5);
    EXPECT_EQ(cgi::form_parse_length("2147483647"), INT_MAX);
    EXPECT_EQ(cgi::form_parse_length("-2147483648"), INT_MIN);
    // Wrapping would turn these into small lengths (4294967297 mod 2^32 is 1).
    EXPECT_EQ(cgi::form_parse_length("4294967297"), INT_MAX);
    EXPECT_EQ(cgi::form_parse_length("99999999999999999999999999"), INT_MAX);
    EXPECT_EQ(cgi::form_parse_length("-99999999999999999999999999"), INT_MIN);
}
