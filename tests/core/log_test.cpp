#include "core.h"
#include "test_home.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

namespace tavolex {
namespace {

using testing::ReadFile;
using testing::TestHome;

// 2026-12-09 23:59:59 UTC and the second after it.
constexpr time_t kLastSecond = 1796860799;
std::atomic<time_t> g_fixedTime{kLastSecond};
time_t FixedClock() { return g_fixedTime.load(); }

std::atomic<unsigned> g_ticks{0};
time_t FlippingClock() { return kLastSecond + (g_ticks.fetch_add(1) / 3) % 2; }

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        g_fixedTime = kLastSecond;
    }
    void TearDown() override { SetLogClock(nullptr); }
    std::string DayFile(const char* date) { return home.File("Logs/") + date + " Tavolex Log.txt"; }
    TestHome home;
};

TEST_F(LogTest, LinesGoToTheFileOfTheirDay)
{
    SetLogClock(FixedClock);
    g_fixedTime = kLastSecond;
    Log("last line of the day");
    LogFormat("port %d, caf\xc3\xa9", 1090);
    Log(""); // ignored
    g_fixedTime = kLastSecond + 1;
    LogError("first of the next day: %s", "disk");
    EXPECT_EQ(ReadFile(DayFile("2026-12-09")),
              "23:59:59 last line of the day\r\n23:59:59 port 1090, caf\xc3\xa9\r\n");
    EXPECT_EQ(ReadFile(DayFile("2026-12-10")), "00:00:00 first of the next day: disk\r\n");
}

TEST_F(LogTest, ConcurrentWritersAcrossMidnightKeepTimeAndFileTogether)
{
    SetLogClock(FlippingClock);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 300; ++i)
                LogFormat("writer %d line %d", t, i);
        });
    for (std::thread& writer : writers)
        writer.join();
    size_t lines = 0;
    for (auto [date, time] : {std::pair{"2026-12-09", "23:59:59 "}, std::pair{"2026-12-10", "00:00:00 "}}) {
        std::istringstream file(ReadFile(DayFile(date)));
        for (std::string line; std::getline(file, line); ++lines) {
            EXPECT_TRUE(line.starts_with(time)) << date << ": " << line;
            EXPECT_TRUE(line.ends_with("\r"));
        }
    }
    EXPECT_EQ(lines, 1200u);
}

TEST_F(LogTest, RingKeepsTheNewest128WithTheirLevels)
{
    SetLogClock(FixedClock);
    for (int i = 0; i < 129; ++i)
        LogFormat("ring %d", i);
    LogDetail("not found %s", "x.png");
    LogError("failed");
    std::vector<LogEntry> lines = RecentLogLines();
    ASSERT_EQ(lines.size(), 128u);
    EXPECT_EQ(lines.front().message, "ring 3");
    EXPECT_EQ(lines[125].message, "ring 128");
    EXPECT_EQ(lines[126].level, LogLevel::Detail);
    EXPECT_EQ(lines[126].message, "not found x.png");
    EXPECT_EQ(lines.back().level, LogLevel::Error);
    EXPECT_EQ(lines.back().time, "23:59:59");
}

TEST_F(LogTest, FormattedMessagesAreCutTo511Units)
{
    SetLogClock(FixedClock);
    std::string longWord(600, 'w');
    LogFormat("%s", longWord);
    EXPECT_EQ(RecentLogLines().back().message.size(), 511u);
    std::string accents;
    for (int i = 0; i < 300; ++i)
        accents += "\xc3\xa9";
    LogFormat("a%s", accents); // 1 + 300 units: not cut
    EXPECT_EQ(RecentLogLines().back().message.size(), 601u);
    LogFormat("%s%s", accents, accents); // 600 units: cut at a character boundary
    EXPECT_EQ(RecentLogLines().back().message.size(), 1022u);
    Log(longWord); // the plain form is not formatted and not cut
    EXPECT_EQ(RecentLogLines().back().message.size(), 600u);
}

TEST_F(LogTest, ListenerHearsEveryLine)
{
    int heard = 0;
    SetLogViewListener([&heard] { ++heard; });
    Log("one");
    LogError("two");
    SetLogViewListener(nullptr);
    Log("three");
    EXPECT_EQ(heard, 2);
}

TEST_F(LogTest, UnwritableLogFolderLosesLinesQuietly)
{
    testing::WriteFile(home.File("Logs"), "a file where the folder should be");
    Log("lost");
    EXPECT_EQ(RecentLogLines().back().message, "lost");
}

} // namespace
} // namespace tavolex

namespace tavolex {
namespace {

TEST(LogText, OutsideTextCannotStartLinesOrBreakTheEncoding)
{
    struct Row {
        std::string_view in;
        std::string_view out;
    } rows[] = {
        {"plain text", "plain text"},
        {"a\r\n12:00:00 forged", "a??12:00:00 forged"},
        {std::string_view("nul\0tab\tdel\x7f", 12), "nul?tab?del?"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},             // UTF-8 stays as it is
        {"next\xC2\x85line", "next?line"},           // U+0085 NEL, a C1 control
        {"bad\xFF\xC3", "bad\xEF\xBF\xBD\xEF\xBF\xBD"}, // not UTF-8: U+FFFD each
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},   // a character cut short: U+FFFD each byte
    };
    for (const Row& row : rows)
        EXPECT_EQ(ForLog(row.in), row.out) << row.in;
}

} // namespace
} // namespace tavolex
