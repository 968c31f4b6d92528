// vesk_config_load and vesk_config_get: the shell around the settings
// grammar (settings_parse.cpp) and lookups in the caller's table.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "config/settings_parse.h"
#include "frame/memory.h"
#include "os/os.h"
#include "vuvidur.h"

namespace {

// A load stops at the first line that cannot become an entry, and a file
// that fills the table succeeds only if it has at most 50 lines of at most
// 99 bytes.  So reading at most this much decides the result of any file:
// either the whole file is read, or the line after the 50th starts within it
// and fails.  A huge or endless file is never read to its end.
constexpr size_t kConfigReadLimit = VESK_SETTINGS_MAX_ENTRIES * config::kPieceMax + 1;

// The file's path, the executable's directory followed by `name`; empty when
// it would be longer than VESK_SETTINGS_PATH_MAX characters.
std::string settings_path(const char *name) {
    char directory[VESK_MODULE_DIR_SIZE];
    vesk_module_dir(directory);  // on failure empty: `name` is then taken as is
    std::string path = std::string(directory) + name;
    if (path.size() > VESK_SETTINGS_PATH_MAX) path.clear();
    return path;
}

int load(const char *name, SettingsTable *table) {
    std::string path = settings_path(name);
    if (path.empty()) return VESK_CONFIG_UNREADABLE;
    // Only a regular file: a directory would read as an empty text and wipe
    // the table, and a FIFO without a writer would block the caller for ever.
    std::FILE *file = os::open_regular_file(path.c_str());
    if (file == nullptr) return VESK_CONFIG_UNREADABLE;  // the table keeps its contents
    std::string text(kConfigReadLimit, '\0');
    size_t read = std::fread(text.data(), 1, text.size(), file);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    text.resize(read);
    // A read that failed part-way is a bad file, not a short one: the entries
    // of the whole lines before the failure stay, as before a bad line, and
    // the line it cut is dropped, so that no value is taken cut short.
    if (failed) text.resize(text.rfind('\n') + 1);  // npos + 1: nothing
    std::memset(table, 0, sizeof *table);
    int rc = config::parse(text, *table);
    return failed ? VESK_CONFIG_UNREADABLE : rc;
}

}  // namespace

extern "C" {

VESK_API int vesk_config_load(const char *name, SettingsTable *table) {
    if (name == nullptr || name[0] == '\0' || table == nullptr) return VESK_CONFIG_BAD_ARGUMENT;
    return frame::no_throw([&] { return load(name, table); });
}

VESK_API int vesk_config_get(const SettingsTable *table, const char *key, char *buffer) {
    if (table == nullptr || key == nullptr || buffer == nullptr) return VESK_CONFIG_BAD_ARGUMENT;
    int count = table->count < VESK_SETTINGS_MAX_ENTRIES ? table->count : VESK_SETTINGS_MAX_ENTRIES;
    std::string_view wanted(key);
    for (int i = 0; i < count; ++i) {
        const SettingsEntry &entry = table->entries[i];
        // Bounded reads: a table the caller filled by hand may lack a terminator.
        if (std::string_view(entry.key, strnlen(entry.key, sizeof entry.key)) != wanted) continue;
        size_t length = strnlen(entry.value, VESK_SETTINGS_TEXT_MAX);
        std::memcpy(buffer, entry.value, length);
        buffer[length] = '\0';
        return 0;
    }
    return VESK_CONFIG_NOT_FOUND;  // the first match wins; none: buffer untouched
}

}  // extern "C"
