// The settings file's grammar, as pure functions over its bytes: how the file
// is cut into lines, how a line is cut into tokens, and how the entries fill
// a table.  vesk_config_load is the shell that reads the file and calls them.
#pragma once

#include <cstddef>
#include <string_view>

#include "vuvidur.h"

namespace config {

// Bytes of the line buffer, terminator included: a line is read at most 99
// bytes at a time, its line end included, and a longer line is handled as
// several lines.
constexpr size_t kLineBuffer = 100;
constexpr size_t kPieceMax = kLineBuffer - 1;
// The bytes that separate tokens: blank, '=', CR, TAB, LF.
constexpr std::string_view kSeparators{" =\r\t\n", 5};

// The next line of `text` from `pos` as a 100-byte line buffer reads it (up
// to 99 bytes, through the first LF), and advances `pos` past it.  The line
// ends at its first zero byte, if any, as the text of a line buffer does.
std::string_view next_line(std::string_view text, size_t &pos);

// The first two tokens of a line; `found` counts them (0, 1 or 2).  Further
// tokens are ignored.
struct Tokens {
    int found = 0;
    std::string_view key;
    std::string_view value;
};
Tokens line_tokens(std::string_view line);

// Appends the entries of `text` to `table`, in file order: 0 when every line
// gave an entry, VESK_CONFIG_UNREADABLE at the first line without a key and a
// value, or with a key or value longer than VESK_SETTINGS_TEXT_MAX, or beyond
// VESK_SETTINGS_MAX_ENTRIES entries.  The entries before that line stay.
// The table's count must be within 0..VESK_SETTINGS_MAX_ENTRIES.
int parse(std::string_view text, SettingsTable &table);

}  // namespace config
