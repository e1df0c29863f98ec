#include "platform.h"
#include "test_home.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tavolex::platform {
namespace {

using testing::ReadFile;
using testing::TestHome;
using testing::WriteFile;

TEST(IniFile, EscapingRoundTrips)
{
    const std::string values[] = {"", "plain", "a\\b", "line\nbreak\r\n", std::string("nul\0x", 5),
                                  "\\n literally", "trailing\\"};
    for (const std::string& value : values)
        EXPECT_EQ(UnescapeIniValue(EscapeIniValue(value)), value);
    EXPECT_EQ(UnescapeIniValue("C:\\Temp\\x"), "C:\\Temp\\x"); // unknown escapes stay as written
}

TEST(IniFile, RewritesKeepForeignLinesAndDropDuplicates)
{
    TestHome home;
    WriteFile(home.File("settings.ini"),
              "; hand-written comment\r\n[WebServer]\r\nPort = 1\r\nport=2\r\nOther= spaced \r\n\r\n"
              "[Email]\nServer=smtp\n");
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "WebServer", "Port"), " 1"); // first one wins
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "WebServer", "Other"), " spaced ");
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "WebServer", "Port", "3"), IniWrite::Ok);
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "WebServer", "New", "4"), IniWrite::Ok);
    EXPECT_EQ(ReadFile(home.File("settings.ini")),
              "; hand-written comment\r\n[WebServer]\r\nPort=3\nOther= spaced \r\nNew=4\n\r\n"
              "[Email]\nServer=smtp\n");
    EXPECT_EQ(DeleteIniValue(SettingsRoot::User, "Email", "Server"), IniWrite::Ok);
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "Email", "Server"), std::nullopt);
}

TEST(IniFile, CoalescedValuesAreReadAtOnceAndWrittenTogether)
{
    TestHome home;
    const std::string file = home.File("settings.ini");
    WriteFile(file, "[S]\nA=0\n");
    for (int i = 1; i <= 50; ++i)
        ASSERT_EQ(WriteIniValue(SettingsRoot::User, "S", "A", std::to_string(i), IniPersistence::Coalesced), IniWrite::Ok);
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "T", "B", "b", IniPersistence::Coalesced), IniWrite::Ok);
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "s", "a"), "50"); // the newest, names in any case
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "T", "B"), "b");
    FlushIniFiles();
    EXPECT_EQ(ReadFile(file), "[S]\nA=50\n\n[T]\nB=b\n");

    // A durable write takes the waiting values along, older ones first.
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "S", "A", "51", IniPersistence::Coalesced), IniWrite::Ok);
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "S", "C", "c"), IniWrite::Ok);
    EXPECT_EQ(ReadFile(file), "[S]\nA=51\nC=c\n\n[T]\nB=b\n");
    // Whichever was written last wins, durable or coalesced.
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "S", "A", "52", IniPersistence::Coalesced), IniWrite::Ok);
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "S", "A", "53"), IniWrite::Ok);
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "S", "C", "d", IniPersistence::Coalesced), IniWrite::Ok);
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "S", "A"), "53");
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "S", "C"), "d");
    // A delete is durable and takes them along too.
    ASSERT_EQ(DeleteIniValue(SettingsRoot::User, "T", "B"), IniWrite::Ok);
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "T", "B"), std::nullopt);
    EXPECT_EQ(ReadFile(file), "[S]\nA=53\nC=d\n\n[T]\n");
}

// Several waiting values of sections the file does not have yet: each section is made once, and
// a value written twice stands once with its newest text.
TEST(IniFile, CoalescedValuesOfNewSectionsAreWrittenOnce)
{
    TestHome home;
    const std::string file = home.File("settings.ini");
    WriteFile(file, "[WebServer]\nPort=1\n");
    const std::pair<const char*, const char*> writes[] = {{"A", "1"}, {"B", "2"}, {"A", "3"}, {"C", ""}};
    for (auto [name, value] : writes)
        ASSERT_EQ(WriteIniValue(SettingsRoot::User, "Email", name, value, IniPersistence::Coalesced), IniWrite::Ok);
    ASSERT_EQ(WriteIniValue(SettingsRoot::User, "RDF", "ID", "x", IniPersistence::Coalesced), IniWrite::Ok);
    FlushIniFiles();
    EXPECT_EQ(ReadFile(file), "[WebServer]\nPort=1\n\n[Email]\nA=3\nB=2\nC=\n\n[RDF]\nID=x\n");
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "Email", "A"), "3");
}

TEST(IniFile, BadNamesAreRefused)
{
    TestHome home;
    for (const char* name : {"", "a=b", "[a", "a]", "a\nb", " lead"})
        EXPECT_EQ(WriteIniValue(SettingsRoot::User, "S", name, "v"), IniWrite::BadName) << name;
}

// A settings file that is there but cannot be read is never rewritten from what little was read:
// that would lose every value the write did not name. Here `read` fails (EISDIR) on a file that
// opens.
TEST(IniFile, AFileThatCannotBeReadIsNeverReplaced)
{
    TestHome home;
    std::filesystem::create_directory(home.File("unreadable"));
    std::filesystem::create_directory_symlink(home.File("unreadable"), home.File("settings.ini"));
    EXPECT_EQ(WriteIniValue(SettingsRoot::User, "WebServer", "Port", "3"), IniWrite::Unwritable);
    EXPECT_EQ(WriteIniValue(SettingsRoot::User, "WebServer", "Port", "4", IniPersistence::Coalesced),
              IniWrite::Ok); // waits in memory, where reads find it
    EXPECT_EQ(ReadIniValue(SettingsRoot::User, "WebServer", "Port"), "4");
    EXPECT_EQ(DeleteIniValue(SettingsRoot::User, "WebServer", "Port"), IniWrite::Unwritable);
    EXPECT_TRUE(std::filesystem::is_symlink(home.File("settings.ini")));
    EXPECT_TRUE(std::filesystem::is_empty(home.File("unreadable")));
    std::filesystem::remove(home.File("settings.ini"));
    // Once the file can be read again, the value still waiting reaches it.
    FlushIniFiles();
    EXPECT_EQ(ReadFile(home.File("settings.ini")), "[WebServer]\nPort=4\n");
}

TEST(Files, WholeReadsAndAtomicWrites)
{
    TestHome home;
    const std::string path = home.File("file");
    std::string bytes = "left over";
    EXPECT_EQ(ReadWholeFile(path, bytes), FileRead::Missing);
    EXPECT_EQ(bytes, "");

    const std::string content(200000, 'x'); // more than one read
    ASSERT_TRUE(WriteFileAtomically(path, content, 0640));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(ReadWholeFile(path, bytes), FileRead::Ok);
    EXPECT_EQ(bytes, content);
    EXPECT_EQ(ReadWholeFile(path, bytes, content.size() - 1), FileRead::TooLarge);
    EXPECT_EQ(bytes, "");
    EXPECT_EQ(ReadWholeFile(path, bytes, content.size()), FileRead::Ok);
    EXPECT_EQ(ReadWholeFile(home.File(""), bytes), FileRead::Failed); // a folder opens, but does not read

    ASSERT_TRUE(WriteFileAtomically(path, "new", 0600, Durability::Unsynced)); // as whole, unflushed
    EXPECT_EQ(ReadFile(path), "new");
    // Into a folder that is not there: nothing is written, and nothing is left behind.
    EXPECT_FALSE(WriteFileAtomically(home.File("missing/file"), "x"));
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home.File("")))
        entries += entry.path().filename() != "file";
    EXPECT_EQ(entries, 0u);
}

TEST(IniFile, JoinPathAddsExactlyOneSlash)
{
    EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
    EXPECT_EQ(JoinPath("/a/", "/b"), "/a/b");
    EXPECT_EQ(JoinPath("", "b"), "/b");
}

} // namespace
} // namespace tavolex::platform
