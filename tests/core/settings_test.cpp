#include "core.h"
#include "platform.h"
#include "test_home.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

namespace tavolex {
namespace {

using testing::ReadFile;
using testing::TestHome;
using testing::WriteFile;

TEST(Settings, AbsentValuesGiveTheDefaults)
{
    TestHome home;
    EXPECT_EQ(ReadSettingInt("WebServer", "Port", 1090), 1090);
    EXPECT_TRUE(ReadSettingBool("WebServer", "Flag", true));
    EXPECT_EQ(ReadSettingText("Email", "Server", "none"), "none");
    EXPECT_EQ(ReadSettingBinary("Email", "Password"), "");
}

TEST(Settings, ValuesRoundTripAndAreStoredAsText)
{
    TestHome home;
    EXPECT_TRUE(WriteSettingInt("WebServer", "Port", 1091));
    EXPECT_TRUE(WriteSettingBool("Settings", "Ready", false));
    EXPECT_TRUE(WriteSettingText("Email", "From", "caf\xc3\xa9 \\ line\nnext"));
    EXPECT_TRUE(WriteSettingBinary("Email", "Secret", std::string("\x00\xff\x10", 3)));
    EXPECT_TRUE(WriteSettingInt("WebServer", "Port", 1092)); // replaced in place

    EXPECT_EQ(ReadSettingInt("webserver", "PORT", 0), 1092); // names ignore case
    EXPECT_FALSE(ReadSettingBool("Settings", "Ready", true));
    EXPECT_EQ(ReadSettingText("Email", "From", ""), "caf\xc3\xa9 \\ line\nnext");
    EXPECT_EQ(ReadSettingBinary("Email", "Secret"), std::string("\x00\xff\x10", 3));

    EXPECT_EQ(ReadFile(home.File("settings.ini")),
              "[WebServer]\nPort=1092\n\n[Settings]\nReady=0\n\n"
              "[Email]\nFrom=caf\xc3\xa9 \\\\ line\\nnext\nSecret=hex:00ff10\n");
    struct stat info {};
    ASSERT_EQ(stat(home.File("settings.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_TRUE(DeleteSetting("Email", "From"));
    EXPECT_EQ(ReadSettingText("Email", "From", "gone"), "gone");
    EXPECT_TRUE(DeleteSetting("Email", "Never"));
}

TEST(Settings, TextRulesOfTheStore)
{
    TestHome home;
    struct Row {
        const char* stored;
        bool asBool;  // default true
        int asInt;    // default 77
    } rows[] = {
        {"yes", true, 0},   {"0", false, 0},  {"00", false, 0},   {"", true, 77},
        {"1", true, 1},     {"-12", true, -12}, {"12ab", true, 12}, {"  +7", true, 7},
        {"99999999999", true, 2147483647},       {"-99999999999", true, -2147483647 - 1},
        {"false", true, 0}, // only a leading "0" is false
    };
    for (const Row& row : rows) {
        WriteFile(home.File("settings.ini"), std::string("[S]\nV=") + row.stored + "\n");
        EXPECT_EQ(ReadSettingBool("S", "V", true), row.asBool) << row.stored;
        EXPECT_EQ(ReadSettingInt("S", "V", 77), row.asInt) << row.stored;
    }
    // at most 259 characters are read back, never half a character
    std::string longText(258, 'x');
    longText += "\xc3\xa9\xc3\xa9";
    WriteSettingText("S", "Long", longText);
    EXPECT_EQ(ReadSettingText("S", "Long", ""), longText.substr(0, 260));
}

TEST(Settings, DamagedFilesReadAsDefaultsAndAreRepairedOnWrite)
{
    TestHome home;
    const std::string damaged[] = {
        std::string("\0\0\0[Web", 7),
        "[WebServer\nPort=5\n",        // header never closed
        "Port=5\n[Other]\nPort",       // value before any section, half-written last line
        "\xff\xfe[\x01]=\n==\n[]\n",
    };
    for (const std::string& content : damaged) {
        WriteFile(home.File("settings.ini"), content);
        EXPECT_EQ(ReadSettingInt("WebServer", "Port", 1090), 1090);
        EXPECT_TRUE(WriteSettingInt("WebServer", "Port", 1095));
        EXPECT_EQ(ReadSettingInt("WebServer", "Port", 1090), 1095);
    }
    // names that cannot be stored are refused, not written
    EXPECT_FALSE(WriteSettingInt("Web]Server", "Port", 1));
    EXPECT_FALSE(WriteSettingInt("WebServer", "Po=rt", 1));
}

TEST(Settings, ConcurrentWritersLoseNothing)
{
    TestHome home;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 25; ++i)
                WriteSettingInt("Load", "T" + std::to_string(t) + "_" + std::to_string(i), i);
        });
    for (std::thread& writer : writers)
        writer.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 25; ++i)
            EXPECT_EQ(ReadSettingInt("Load", "T" + std::to_string(t) + "_" + std::to_string(i), -1), i);
}

TEST(Settings, MachineRootIsSeparate)
{
    TestHome home;
    EXPECT_TRUE(WriteSettingInt("WebServer", "Port", 2000, SettingsScope::Machine));
    EXPECT_EQ(ReadSettingInt("WebServer", "Port", 1, SettingsScope::Machine), 2000);
    EXPECT_EQ(ReadSettingInt("WebServer", "Port", 1), 1);
    EXPECT_EQ(platform::SettingsFilePath(platform::SettingsRoot::Machine),
              home.File("machine-settings.ini"));
}

TEST(Settings, UnwritableFolderFailsWithoutStopping)
{
    TestHome home;
    // A regular file where a folder should be stops even root from creating the folder.
    WriteFile(home.File("blocker"), "");
    setenv("TAVOLEX_HOME", home.File("blocker/sub").c_str(), 1);
    EXPECT_FALSE(WriteSettingInt("WebServer", "Port", 1));
    EXPECT_EQ(ReadSettingInt("WebServer", "Port", 9), 9);
    setenv("TAVOLEX_HOME", home.path().c_str(), 1);
}

TEST(Folders, FollowTavolexHomeAndXdg)
{
    {
        TestHome home;
        EXPECT_EQ(platform::DataFolder(), home.path());
        EXPECT_EQ(platform::ConfigFolder(), home.path());
        EXPECT_EQ(platform::CommonFolder(), home.File("common"));
        EXPECT_EQ(platform::RuntimeFolder(), home.File("run"));
        struct stat info {};
        ASSERT_EQ(stat(home.File("run").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
    TestHome scratch; // only for a private place to point XDG at
    std::string savedHome = getenv("HOME") ? getenv("HOME") : "";
    unsetenv("TAVOLEX_HOME");
    setenv("XDG_DATA_HOME", scratch.File("data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", scratch.File("config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", scratch.File("rt").c_str(), 1);
    EXPECT_EQ(platform::DataFolder(), scratch.File("data/Ostrevan/Tavolex"));
    EXPECT_EQ(platform::ConfigFolder(), scratch.File("config/Ostrevan/Tavolex"));
    EXPECT_EQ(platform::RuntimeFolder(), scratch.File("rt/ostrevan-tavolex"));
    setenv("XDG_DATA_HOME", "relative/ignored", 1);
    setenv("HOME", scratch.File("home").c_str(), 1);
    EXPECT_EQ(platform::DataFolder(), scratch.File("home/.local/share/Ostrevan/Tavolex"));
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_RUNTIME_DIR");
    setenv("TMPDIR", "/var/tmp/", 1);
    EXPECT_EQ(platform::TempFolder(), "/var/tmp");
    unsetenv("TMPDIR");
    EXPECT_EQ(platform::TempFolder(), "/tmp");
    setenv("HOME", savedHome.c_str(), 1);
}

} // namespace
} // namespace tavolex
