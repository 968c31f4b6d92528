// libFuzzer target: the settings-file grammar over arbitrary bytes.  Besides
// the sanitizers' checks, every stored entry must be a non-empty key and
// value of at most 19 characters, terminated, zero-filled, separator-free.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "config/settings_parse.h"

namespace {

void check_field(const char (&field)[VESK_SETTINGS_TEXT_SIZE]) {
    size_t length = strnlen(field, sizeof field);
    if (length == 0 || length > VESK_SETTINGS_TEXT_MAX) std::abort();
    for (size_t i = length; i < sizeof field; ++i) {
        if (field[i] != '\0') std::abort();
    }
    if (std::string_view(field, length).find_first_of(config::kSeparators) !=
        std::string_view::npos) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    SettingsTable table;
    std::memset(&table, 0, sizeof table);
    std::string_view text(reinterpret_cast<const char *>(data), size);
    int rc = config::parse(text, table);
    if (rc != 0 && rc != VESK_CONFIG_UNREADABLE) std::abort();
    if (table.count < 0 || table.count > VESK_SETTINGS_MAX_ENTRIES) std::abort();
    for (int i = 0; i < table.count; ++i) {
        check_field(table.entries[i].key);
        check_field(table.entries[i].value);
    }
    // Entries past the count stay untouched (zero).
    for (int i = table.count; i < VESK_SETTINGS_MAX_ENTRIES; ++i) {
        if (table.entries[i].key[0] != '\0') std::abort();
    }
    return 0;
}
