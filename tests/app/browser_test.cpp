// Browser discovery on PATH: the order of the Chromium family, TAVOLEX_BROWSER, and xdg-open.
#include "app.h"
#include "test_home.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tavolex::app::BrowserCommand;

// PATH, TAVOLEX_BROWSER and the folders of fake programs for one test.
class BrowserDiscovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* path = std::getenv("PATH");
        savedPath_ = path ? path : "";
        unsetenv("TAVOLEX_BROWSER");
    }
    void TearDown() override
    {
        setenv("PATH", savedPath_.c_str(), 1);
        unsetenv("TAVOLEX_BROWSER");
    }

    // An executable (or, with `mode` 0644, a plain file) named `name` in `folder`.
    std::string Place(const std::string& folder, const std::string& name, mode_t mode = 0755)
    {
        fs::create_directories(home_.File(folder));
        std::string path = home_.File(folder + "/" + name);
        tavolex::testing::WriteFile(path, "#!/bin/sh\nexit 0\n");
        chmod(path.c_str(), mode);
        return path;
    }

    tavolex::testing::TestHome home_;
    std::string savedPath_;
};

TEST_F(BrowserDiscovery, FamilyOrderOnPath)
{
    struct Case {
        std::vector<std::string> present;
        std::string expected; // the program chosen; empty: none
    } cases[] = {
        {{"chromium", "microsoft-edge", "google-chrome"}, "google-chrome"},
        {{"google-chrome-stable", "microsoft-edge"}, "google-chrome-stable"},
        {{"microsoft-edge-stable", "vivaldi", "brave"}, "microsoft-edge-stable"},
        {{"brave", "vivaldi-stable", "chromium-browser"}, "brave"},
        {{"brave-browser", "brave"}, "brave-browser"},
        {{"vivaldi-stable", "chromium"}, "vivaldi-stable"},
        {{"chromium-browser", "xdg-open"}, "chromium-browser"},
    };
    int round = 0;
    for (const Case& test : cases) {
        std::string folder = "bin" + std::to_string(round++);
        for (const std::string& name : test.present)
            Place(folder, name);
        setenv("PATH", home_.File(folder).c_str(), 1);
        std::vector<std::string> command = BrowserCommand("http://localhost:1091");
        std::vector<std::string> expected = {home_.File(folder + "/" + test.expected),
                                             "--app=http://localhost:1091", "--start-maximized"};
        EXPECT_EQ(command, expected) << test.expected;
    }
}

TEST_F(BrowserDiscovery, EarlierPathFoldersWinWithinOneName)
{
    Place("first", "chromium");
    Place("second", "chromium");
    Place("second", "vivaldi");
    setenv("PATH", (home_.File("first") + ":" + home_.File("second")).c_str(), 1);
    // vivaldi comes before chromium in the family order, whatever folder holds it.
    EXPECT_EQ(BrowserCommand("http://localhost:1")[0], home_.File("second/vivaldi"));
}

TEST_F(BrowserDiscovery, SkipsWhatCannotRun)
{
    Place("bin", "google-chrome", 0644);              // not executable
    fs::create_directories(home_.File("bin/microsoft-edge")); // a folder
    Place("bin", "xdg-open");
    Place("relative", "brave");
    // An empty entry and a relative one would mean the current folder: both are skipped.
    std::string cwd = fs::current_path().string();
    fs::current_path(home_.path());
    setenv("PATH", (":relative:" + home_.File("bin")).c_str(), 1);
    std::vector<std::string> command = BrowserCommand("http://localhost:1090");
    fs::current_path(cwd);
    std::vector<std::string> expected = {home_.File("bin/xdg-open"), "http://localhost:1090"};
    EXPECT_EQ(command, expected);

    setenv("PATH", home_.File("empty-folder").c_str(), 1);
    EXPECT_TRUE(BrowserCommand("http://localhost:1090").empty());
}

TEST_F(BrowserDiscovery, TavolexBrowserVariable)
{
    Place("bin", "google-chrome");
    setenv("PATH", home_.File("bin").c_str(), 1);
    setenv("TAVOLEX_BROWSER", "none", 1);
    EXPECT_TRUE(BrowserCommand("http://localhost:1090").empty());
    setenv("TAVOLEX_BROWSER", "/opt/my browser/chrome", 1);
    std::vector<std::string> expected = {"/opt/my browser/chrome", "--app=http://localhost:1090",
                                         "--start-maximized"};
    EXPECT_EQ(BrowserCommand("http://localhost:1090"), expected);
}

TEST(InterfaceAddress, LocalhostAndPort)
{
    EXPECT_EQ(tavolex::app::InterfaceAddress(1090), "http://localhost:1090");
    EXPECT_EQ(tavolex::app::InterfaceAddress(65535), "http://localhost:65535");
}

} // namespace
