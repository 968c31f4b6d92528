// The settings file on disk: found beside the executable, loaded and looked
// up.  Each test writes its file beside the test executable under a name of
// its own and removes it afterwards.
// test-platform: POSIX (the executable's path from /proc/self/exe); the
// Windows counterparts are in tests/windows/module_path_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "config/module_dir.h"
#include "vuvidur.h"

namespace fs = std::filesystem;

namespace {

// A settings file beside the executable, removed when the test ends.
class SettingsFile {
public:
    explicit SettingsFile(const std::string &content, size_t name_length = 0) {
        static int serial = 0;
        name_ = "settings_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
        if (name_.size() < name_length) name_.append(name_length - name_.size(), 'n');
        path_ = fs::read_symlink("/proc/self/exe").parent_path() / name_;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~SettingsFile() { fs::remove(path_); }
    const char *name() const { return name_.c_str(); }

private:
    std::string name_;
    fs::path path_;
};

std::string get(const SettingsTable &table, const char *key, int expected_rc = 0) {
    char buffer[VESK_SETTINGS_TEXT_SIZE];
    std::memset(buffer, '#', sizeof buffer);
    int rc = vesk_config_get(&table, key, buffer);
    EXPECT_EQ(rc, expected_rc) << key;
    return rc == 0 ? std::string(buffer) : std::string();
}

TEST(ModuleDir, IsTheTestExecutablesDirectoryWithItsSeparator) {
    char buffer[VESK_MODULE_DIR_SIZE];
    ASSERT_EQ(vesk_module_dir(buffer), 0);
    std::string expected = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(vesk_module_dir(nullptr), -1);
}

TEST(ModuleDir, CutsAfterTheLastSeparatorOrFallsBack) {
    struct {
        const char *path;
        const char *directory;
    } cases[] = {
        {"C:\\svc\\bin\\server.exe", "C:\\svc\\bin\\"},
        {"C:\\server.exe", "C:\\"},
        {"/opt/svc/server", "/opt/svc/"},
        {"/opt/svc\\mixed/x", "/opt/svc\\mixed/"},
        {"server.exe", "<root>"},  // no separator
        {"/server", "<root>"},     // separator at position 0
        {"a/server", "<root>"},    // separator at position 1
    };
    for (const auto &c : cases) {
        char buffer[VESK_MODULE_DIR_SIZE];
        std::strcpy(buffer, c.path);
        config::cut_to_directory(buffer, "<root>");
        EXPECT_STREQ(buffer, c.directory) << c.path;
    }
}

TEST(SettingsFileLoad, ReadsEntriesAndLooksThemUpByExactKey) {
    SettingsFile file("a = 1\nb=2\nc 3\ntimeout = 30 seconds\r\nk 1\nk 2\nx==y");
    SettingsTable table;
    ASSERT_EQ(vesk_config_load(file.name(), &table), 0);
    EXPECT_EQ(table.count, 7);
    EXPECT_EQ(get(table, "b"), "2");
    EXPECT_EQ(get(table, "timeout"), "30");
    EXPECT_EQ(get(table, "k"), "1");  // the first of two equal keys
    EXPECT_EQ(get(table, "x"), "y");  // the last line needs no line end
    EXPECT_EQ(get(table, "Timeout", VESK_CONFIG_NOT_FOUND), "");
    EXPECT_EQ(get(table, "", VESK_CONFIG_NOT_FOUND), "");
    // The fields after each text are zero-filled.
    for (size_t i = 2; i < sizeof table.entries[0].key; ++i) EXPECT_EQ(table.entries[0].key[i], 0);
}

TEST(SettingsFileLoad, BadLineKeepsTheEntriesAboveIt) {
    SettingsFile empty_line("a 1\n\nb 2\n");
    SettingsTable table;
    EXPECT_EQ(vesk_config_load(empty_line.name(), &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(table.count, 1);
    EXPECT_EQ(get(table, "a"), "1");
    EXPECT_EQ(get(table, "b", VESK_CONFIG_NOT_FOUND), "");

    SettingsFile trailing_empty("a 1\nb 2\n\n");
    EXPECT_EQ(vesk_config_load(trailing_empty.name(), &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(table.count, 2);

    SettingsFile key_only("a 1\nlonely\n");
    EXPECT_EQ(vesk_config_load(key_only.name(), &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(get(table, "lonely", VESK_CONFIG_NOT_FOUND), "");

    SettingsFile long_line("a 1" + std::string(96, ' ') + "\n");
    EXPECT_EQ(vesk_config_load(long_line.name(), &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(get(table, "a"), "1");
}

TEST(SettingsFileLoad, MissingFileLeavesTheTableAsItWas) {
    SettingsFile file("a 1\n");
    SettingsTable table;
    ASSERT_EQ(vesk_config_load(file.name(), &table), 0);
    EXPECT_EQ(vesk_config_load("no_such_settings_file.cfg", &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(table.count, 1);
    EXPECT_EQ(get(table, "a"), "1");
}

// Not a regular file: refused at once, and the table keeps what it held.  A
// directory used to read as an empty file (0, table emptied); a FIFO without
// a writer blocked the caller in open() for ever.
TEST(SettingsFileLoad, AnythingButARegularFileIsRefusedAtOnceAndLeavesTheTable) {
    SettingsFile good("a 1\n");
    const fs::path directory = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string prefix = "settings_special_" + std::to_string(getpid()) + "_";
    struct Case {
        const char *what;
        std::string name;
    };
    const Case cases[] = {{"directory", prefix + "dir"},
                          {"FIFO", prefix + "fifo"},
                          {"character device", prefix + "null"}};
    fs::create_directory(directory / cases[0].name);
    ASSERT_EQ(mkfifo((directory / cases[1].name).c_str(), 0600), 0);
    fs::create_symlink("/dev/null", directory / cases[2].name);

    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SettingsTable table;
        ASSERT_EQ(vesk_config_load(good.name(), &table), 0);
        auto load = std::async(std::launch::async,
                               [&] { return vesk_config_load(c.name.c_str(), &table); });
        if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the load blocked";
            // Release a reader stuck waiting for a writer, so the test ends.
            int writer = open((directory / c.name).c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) close(writer);
        }
        EXPECT_EQ(load.get(), VESK_CONFIG_UNREADABLE);
        EXPECT_EQ(table.count, 1);
        EXPECT_EQ(get(table, "a"), "1");
    }
    for (const Case &c : cases) fs::remove(directory / c.name);
}

// A regular file whose read fails (reading /proc/self/mem at offset 0 gives
// EIO) is a bad file, not an empty one: it used to load as 0 entries with
// success.
TEST(SettingsFileLoad, ReadErrorIsReportedNotTakenForAnEmptyFile) {
    const std::string name = "settings_unreadable_" + std::to_string(getpid());
    const fs::path link = fs::read_symlink("/proc/self/exe").parent_path() / name;
    fs::create_symlink("/proc/self/mem", link);
    SettingsTable table;
    table.count = 7;
    EXPECT_EQ(vesk_config_load(name.c_str(), &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(table.count, 0);  // nothing was read before the failure
    fs::remove(link);
}

TEST(SettingsFileLoad, ReloadForgetsThePreviousEntries) {
    SettingsFile first("old 1\nshared 1\n");
    SettingsFile second("shared 2\n");
    SettingsTable table;
    ASSERT_EQ(vesk_config_load(first.name(), &table), 0);
    ASSERT_EQ(vesk_config_load(second.name(), &table), 0);
    EXPECT_EQ(table.count, 1);
    EXPECT_EQ(get(table, "shared"), "2");
    EXPECT_EQ(get(table, "old", VESK_CONFIG_NOT_FOUND), "");
}

TEST(SettingsFileLoad, LongFileStopsAtTheFiftyFirstEntry) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "key" + std::to_string(i) + " value\n";
    SettingsFile file(text);
    SettingsTable table;
    EXPECT_EQ(vesk_config_load(file.name(), &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(table.count, VESK_SETTINGS_MAX_ENTRIES);
    EXPECT_EQ(get(table, "key49"), "value");
}

TEST(SettingsFileLoad, BadArgumentsAndOverlongPathsAreRefused) {
    SettingsTable table;
    table.count = 7;
    EXPECT_EQ(vesk_config_load(nullptr, &table), VESK_CONFIG_BAD_ARGUMENT);
    EXPECT_EQ(vesk_config_load("", &table), VESK_CONFIG_BAD_ARGUMENT);
    EXPECT_EQ(vesk_config_load("x.cfg", nullptr), VESK_CONFIG_BAD_ARGUMENT);
    EXPECT_EQ(table.count, 7);
    // Directory plus name beyond 99 characters: refused, not cut short to
    // open some other file.
    char directory[VESK_MODULE_DIR_SIZE];
    ASSERT_EQ(vesk_module_dir(directory), 0);
    std::string name(100 - std::strlen(directory), 'n');
    EXPECT_EQ(vesk_config_load(name.c_str(), &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(table.count, 7);
    // Exactly 99 characters still fit.
    SettingsFile longest("z 9\n", 99 - std::strlen(directory));
    ASSERT_EQ(std::strlen(directory) + std::strlen(longest.name()), 99u);
    EXPECT_EQ(vesk_config_load(longest.name(), &table), 0);
    EXPECT_EQ(get(table, "z"), "9");

    char buffer[VESK_SETTINGS_TEXT_SIZE];
    EXPECT_EQ(vesk_config_get(nullptr, "a", buffer), VESK_CONFIG_BAD_ARGUMENT);
    EXPECT_EQ(vesk_config_get(&table, nullptr, buffer), VESK_CONFIG_BAD_ARGUMENT);
    EXPECT_EQ(vesk_config_get(&table, "a", nullptr), VESK_CONFIG_BAD_ARGUMENT);
}

}  // namespace
