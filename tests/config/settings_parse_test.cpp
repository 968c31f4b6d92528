// The settings grammar as pure functions: lines, tokens and table filling.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings_parse.h"

namespace {

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) lines.emplace_back(config::next_line(text, pos));
    return lines;
}

TEST(SettingsLines, AreCutAfterEachLineFeedAndEvery99Bytes) {
    EXPECT_EQ(lines_of("a 1\nb 2"), (std::vector<std::string>{"a 1\n", "b 2"}));
    EXPECT_EQ(lines_of("a 1\n\n"), (std::vector<std::string>{"a 1\n", "\n"}));
    // 99 characters before the line end: read as those 99, then the line end
    // alone.
    std::string long_line = "a 1" + std::string(96, ' ') + "\n";
    EXPECT_EQ(lines_of(long_line), (std::vector<std::string>{long_line.substr(0, 99), "\n"}));
    // 98 characters and the line end fit in one read.
    std::string fits = "a 1" + std::string(95, ' ') + "\n";
    EXPECT_EQ(lines_of(fits), (std::vector<std::string>{fits}));
    // A zero byte ends a line's text, though the read went on to the LF.
    EXPECT_EQ(lines_of(std::string("k v\0junk\nx y", 12)),
              (std::vector<std::string>{"k v", "x y"}));
}

TEST(SettingsTokens, SplitAtAnyRunOfTheFiveSeparators) {
    struct {
        const char *line;
        int found;
        const char *key;
        const char *value;
    } cases[] = {
        {"timeout = 30", 2, "timeout", "30"},
        {"timeout=30", 2, "timeout", "30"},
        {"\ttimeout\t30\r\n", 2, "timeout", "30"},
        {"timeout = 30 seconds", 2, "timeout", "30"},
        {"a==b", 2, "a", "b"},
        {"# note text", 2, "#", "note"},
        {"key-only\n", 1, "key-only", ""},
        {" = \t\r\n", 0, "", ""},
        {"", 0, "", ""},
        {"a;b,c d", 2, "a;b,c", "d"},  // only the five bytes separate
    };
    for (const auto &c : cases) {
        config::Tokens tokens = config::line_tokens(c.line);
        EXPECT_EQ(tokens.found, c.found) << c.line;
        EXPECT_EQ(tokens.key, c.key) << c.line;
        EXPECT_EQ(tokens.value, c.value) << c.line;
    }
}

struct Parsed {
    int rc;
    SettingsTable table;
};

Parsed parse(std::string_view text) {
    Parsed p{};
    p.rc = config::parse(text, p.table);
    return p;
}

TEST(SettingsParse, FillsEntriesInFileOrderUntilTheFirstBadLine) {
    Parsed ok = parse("a = 1\nb=2\nc 3");
    EXPECT_EQ(ok.rc, 0);
    ASSERT_EQ(ok.table.count, 3);
    EXPECT_STREQ(ok.table.entries[1].key, "b");
    EXPECT_STREQ(ok.table.entries[2].value, "3");

    Parsed gap = parse("a 1\n\nb 2\n");
    EXPECT_EQ(gap.rc, VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(gap.table.count, 1);

    Parsed key_only = parse("a 1\nlonely\n");
    EXPECT_EQ(key_only.rc, VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(key_only.table.count, 1);
    EXPECT_EQ(std::string(key_only.table.entries[1].key), "") << "a key without a value was stored";

    EXPECT_EQ(parse("").rc, 0);
    EXPECT_EQ(parse("").table.count, 0);
}

TEST(SettingsParse, KeysAndValuesBeyondNineteenCharactersAreRefusedNotCut) {
    Parsed max = parse("k234567890123456789 v234567890123456789\n");
    EXPECT_EQ(max.rc, 0);
    EXPECT_STREQ(max.table.entries[0].key, "k234567890123456789");
    EXPECT_STREQ(max.table.entries[0].value, "v234567890123456789");

    Parsed long_key = parse("a 1\nk2345678901234567890 v\n");
    EXPECT_EQ(long_key.rc, VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(long_key.table.count, 1);
    Parsed long_value = parse("k v2345678901234567890\n");
    EXPECT_EQ(long_value.rc, VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(long_value.table.count, 0);
}

TEST(SettingsParse, FiftyEntriesFitAndAFiftyFirstIsRefused) {
    std::string text;
    for (int i = 0; i < VESK_SETTINGS_MAX_ENTRIES; ++i) text += "k" + std::to_string(i) + " v\n";
    Parsed full = parse(text);
    EXPECT_EQ(full.rc, 0);
    EXPECT_EQ(full.table.count, VESK_SETTINGS_MAX_ENTRIES);
    Parsed over = parse(text + "extra v\n");
    EXPECT_EQ(over.rc, VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(over.table.count, VESK_SETTINGS_MAX_ENTRIES);
    EXPECT_STREQ(over.table.entries[49].key, "k49");
}

}  // namespace
