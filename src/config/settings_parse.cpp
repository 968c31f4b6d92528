#include "config/settings_parse.h"

#include <cstring>

std::string_view config::next_line(std::string_view text, size_t &pos) {
    std::string_view rest = text.substr(pos);
    size_t length = rest.size() < config::kPieceMax ? rest.size() : config::kPieceMax;
    size_t line_end = rest.substr(0, length).find('\n');
    if (line_end != std::string_view::npos) length = line_end + 1;
    pos += length;
    std::string_view line = rest.substr(0, length);
    size_t zero = line.find('\0');
    return zero == std::string_view::npos ? line : line.substr(0, zero);
}

config::Tokens config::line_tokens(std::string_view line) {
    config::Tokens tokens;
    size_t pos = 0;
    while (tokens.found < 2) {
        size_t start = line.find_first_not_of(config::kSeparators, pos);
        if (start == std::string_view::npos) break;
        size_t end = line.find_first_of(config::kSeparators, start);
        if (end == std::string_view::npos) end = line.size();
        (tokens.found == 0 ? tokens.key : tokens.value) = line.substr(start, end - start);
        ++tokens.found;
        pos = end;
    }
    return tokens;
}

int config::parse(std::string_view text, SettingsTable &table) {
    size_t pos = 0;
    while (pos < text.size()) {
        config::Tokens tokens = config::line_tokens(config::next_line(text, pos));
        if (tokens.found < 2) return VESK_CONFIG_UNREADABLE;
        // Limits of the table: refused rather than cut, so that a value is
        // never silently shortened and nothing lands outside the table.
        if (table.count >= VESK_SETTINGS_MAX_ENTRIES ||
            tokens.key.size() > VESK_SETTINGS_TEXT_MAX ||
            tokens.value.size() > VESK_SETTINGS_TEXT_MAX) {
            return VESK_CONFIG_UNREADABLE;
        }
        SettingsEntry &entry = table.entries[table.count];
        std::memset(&entry, 0, sizeof entry);
        std::memcpy(entry.key, tokens.key.data(), tokens.key.size());
        std::memcpy(entry.value, tokens.value.data(), tokens.value.size());
        ++table.count;
    }
    return 0;
}
