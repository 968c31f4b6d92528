// The executable's path and the fallback directory on Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "os/os.h"
#include "vuvidur.h"

TEST(WindowsModulePath, IsTheFullPathOfThisProgram) {
    char path[300];
    int length = os::module_path(path, sizeof path);
    ASSERT_GT(length, 0);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(path));
    std::string p = path;
    EXPECT_EQ(p.substr(1, 2), ":\\") << p;
    EXPECT_EQ(p.substr(p.size() - std::strlen("test_windows.exe")), "test_windows.exe");
}

TEST(WindowsModulePath, PathThatDoesNotFitGivesNothingRatherThanAPart) {
    char path[300];
    int length = os::module_path(path, sizeof path);
    ASSERT_GT(length, 1);
    char small[300];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(os::module_path(small, static_cast<size_t>(length)), 0)
        << "no room for the terminator";
    EXPECT_STREQ(small, "");
    EXPECT_EQ(os::module_path(small, static_cast<size_t>(length) + 1), length);
    EXPECT_STREQ(small, path);
}

TEST(WindowsModulePath, FallbackDirectoryIsTheSystemDrive) {
    EXPECT_STREQ(os::fallback_directory(), "C:\\");
}

TEST(WindowsModulePath, ModuleDirectoryEndsWithTheLastBackslash) {
    char path[300];
    ASSERT_GT(os::module_path(path, sizeof path), 0);
    std::string p = path;
    char dir[200];
    ASSERT_EQ(vesk_module_dir(dir), 0);
    EXPECT_EQ(std::string(dir), p.substr(0, p.rfind('\\') + 1));
}

// A settings file written by a Windows editor (CR LF line ends) beside the
// executable, found through the module's own directory.
TEST(WindowsModulePath, SettingsFileBesideTheProgramIsReadWithWindowsLineEnds) {
    char dir[200];
    ASSERT_EQ(vesk_module_dir(dir), 0);
    std::string name = "vesk_settings_" + std::to_string(GetCurrentProcessId()) + ".ini";
    std::string path = std::string(dir) + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("port = 8080\r\nhost\tlocalhost\r\nlast yes", f);
    std::fclose(f);
    SettingsTable table;
    int rc = vesk_config_load(name.c_str(), &table);
    std::remove(path.c_str());
    ASSERT_EQ(rc, 0);
    char value[20];
    ASSERT_EQ(vesk_config_get(&table, "port", value), 0);
    EXPECT_STREQ(value, "8080");
    ASSERT_EQ(vesk_config_get(&table, "host", value), 0);
    EXPECT_STREQ(value, "localhost");
    ASSERT_EQ(vesk_config_get(&table, "last", value), 0);
    EXPECT_STREQ(value, "yes");
}

// A device name beside the program names the device (NUL reads as an empty
// file): not a settings file, refused with the table left as it was.
TEST(WindowsModulePath, DeviceInPlaceOfTheSettingsFileIsRefused) {
    SettingsTable table;
    table.count = 1;
    std::strcpy(table.entries[0].key, "kept");
    EXPECT_EQ(vesk_config_load("NUL", &table), VESK_CONFIG_UNREADABLE);
    EXPECT_EQ(table.count, 1);
    EXPECT_STREQ(table.entries[0].key, "kept");
}
