#include "db_internal.h"
#include "account.h"
#include "random_letters.h"
#include "test_home.h"

#include <gtest/gtest.h>

#include <array>
#include <set>

#include <sys/stat.h>

namespace tavolex::account {
namespace {

using testing::TestHome;

class AccountTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        db::ResetKeyStateForTesting();
        ClearSessionCache();
        ASSERT_TRUE(PrepareDatabase());
        ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    }
    void TearDown() override { ClearSessionCache(); }
    int CountLines(std::string_view text)
    {
        int count = 0;
        for (const LogEntry& line : RecentLogLines())
            count += line.message == text;
        return count;
    }
    TestHome home;
    db::AccountDatabase database{"main"};
};

TEST_F(AccountTest, FirstStartMakesTheOwner)
{
    db::DbQuery row;
    database.Query(row, "SELECT DBVERSION, A.ID, G.ID, G.LAST_ACCOUNT, G.PASSWORD_HASH, G.PASSWORD_SALT "
                        "FROM main.ACCOUNT A JOIN main.GLOBAL_USER G ON A.OWNER_ID = G.ID "
                        "WHERE A.NAME = 'main' AND G.EMAIL = 'administrator'");
    ASSERT_TRUE(row.HasRow());
    EXPECT_EQ(row.ColumnInt(0), 87);
    EXPECT_EQ(row.ColumnText(3), row.ColumnText(1));
    std::string salt = row.ColumnText(5);
    EXPECT_EQ(salt.size(), 20u);
    EXPECT_EQ(salt.find_first_not_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
    EXPECT_EQ(row.ColumnText(4), PasswordHash(salt, "quorvantelisb"));
    EXPECT_EQ(row.ColumnText(4).size(), 128u);
    std::string userId = row.ColumnText(2), accountId = row.ColumnText(1);

    database.Query(row, "SELECT count(*) FROM main.ACCOUNT_ACCESS WHERE USER_ID = '%Q' AND ACCOUNT_ID = '%Q'",
                   userId, accountId);
    EXPECT_EQ(row.ColumnInt(0), 1);
    database.Query(row, "SELECT USER_TYPE, length(CREATED_DATE), DELETED FROM main.USER_ACCOUNT WHERE EMAIL = 'administrator'");
    EXPECT_EQ(row.ColumnInt(0), 256 | 4096);
    EXPECT_EQ(row.ColumnInt(1), 19);
    EXPECT_TRUE(row.ColumnIsNull(2));
    EXPECT_FALSE(IsPasswordNotSet(database, "administrator"));
    EXPECT_FALSE(IsPasswordNotSet(database, "nobody"));
    database.Execute("UPDATE main.GLOBAL_USER SET PASSWORD_HASH = ''");
    EXPECT_TRUE(IsPasswordNotSet(database, "administrator"));

    // A second start finds the file and leaves it alone.
    ASSERT_TRUE(PrepareDatabase());
    database.Query(row, "SELECT count(*) FROM main.GLOBAL_USER");
    EXPECT_EQ(row.ColumnInt(0), 1);
}

TEST(RandomLetters, EveryLetterComesUpAlikeAndNoIdRepeats)
{
    constexpr int kDraws = 2600;
    std::array<int, 26> counts{};
    std::set<std::string> drawn;
    for (int i = 0; i < kDraws; ++i) {
        std::optional<std::string> letters = RandomLowerLetters(8);
        ASSERT_TRUE(letters);
        ASSERT_EQ(letters->size(), 8u);
        for (char letter : *letters) {
            ASSERT_TRUE(letter >= 'a' && letter <= 'z') << *letters;
            ++counts[static_cast<size_t>(letter - 'a')];
        }
        drawn.insert(*letters);
    }
    // 26^8 IDs: two equal ones among 2600 happen once in 60000 runs of a sound source.
    EXPECT_EQ(drawn.size(), static_cast<size_t>(kDraws));
    // 800 of each letter expected; 200 either side is more than seven standard deviations.
    for (size_t letter = 0; letter < counts.size(); ++letter) {
        EXPECT_GT(counts[letter], 600) << static_cast<char>('a' + letter);
        EXPECT_LT(counts[letter], 1000) << static_cast<char>('a' + letter);
    }
    EXPECT_EQ(RandomLowerLetters(20)->size(), 20u); // the length of a password salt
}

TEST(PasswordHash, IsSha512OfSaltPasswordAndPepper)
{
    // Worked out with sha512sum over "salt" + "pwd" + the pepper.
    EXPECT_EQ(PasswordHash("salt", "pwd"),
              "cdc0f8ddfecaa9ec8ff70639d2512f95505c862ebfe58668d2fbb71409888159fc1b8164b141348271d4dd6615ce2637037acc01668bf8e62934727876366aa4");
}

TEST_F(AccountTest, ProfileOfTheOwner)
{
    WriteSettingText("Email", "ReplyToEmail", "owner@example.com");
    Profile profile;
    ASSERT_TRUE(profile.Reload(database, "administrator", "main"));
    EXPECT_EQ(profile.email, "owner@example.com"); // from the setting, not the column
    EXPECT_EQ(profile.userType, 256 | 4096);
    EXPECT_EQ(profile.accountName, "main");
    EXPECT_EQ(profile.ownerEmail, "administrator");
    EXPECT_EQ(profile.id.size(), 10u);
    std::string ownerId = profile.id;

    EXPECT_FALSE(profile.Reload(database, "", "main"));
    EXPECT_FALSE(profile.loaded);
    EXPECT_FALSE(profile.Reload(database, "administrator", "other"));
    EXPECT_EQ(RecentLogLines().back().message, "BRProfile::Reload - account does not exist");
    EXPECT_FALSE(profile.Reload(database, "someone", "main"));
    EXPECT_EQ(RecentLogLines().back().message, "BRProfile::Reload - email 'someone' does not exist in account");
    db::AccountDatabase closed;
    EXPECT_FALSE(profile.Reload(closed, "administrator", "main"));

    OwnerRecord owner;
    owner.id = ownerId;
    EXPECT_TRUE(owner.Save(database)); // nothing modified: nothing runs
    owner.name = "Ma'ria";
    owner.nameModified = true;
    owner.userType = 256;
    owner.userTypeModified = true;
    ASSERT_TRUE(owner.Save(database));
    ASSERT_TRUE(profile.Reload(database, "administrator", "main"));
    EXPECT_EQ(profile.name, "Ma'ria");
    EXPECT_EQ(profile.userType, 256);
}

TEST_F(AccountTest, SessionsAreCreatedAndLoaded)
{
    SessionContext created;
    ASSERT_TRUE(CreateNewSession(database, created, SessionDatabasePath()));
    ASSERT_EQ(created.id.size(), 18u);
    EXPECT_EQ(created.id.substr(10).find_first_not_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
    EXPECT_EQ(created.databaseName, home.File("common/main.db"));
    EXPECT_EQ(GetLoggedOnUser(created), "administrator");

    SessionContext loaded;
    ASSERT_TRUE(LoadSession(database, loaded, created.id));
    EXPECT_EQ(loaded.id, created.id);
    EXPECT_EQ(loaded.databaseName, created.databaseName);
    EXPECT_EQ(loaded.userEmail, "administrator");

    // The second load comes from the cache: a row changed behind its back is not seen.
    database.ExecuteFormat("UPDATE main.SESSION_DATA SET USER_EMAIL = 'changed' WHERE ID = '%Q'", created.id);
    SessionContext cached;
    ASSERT_TRUE(LoadSession(database, cached, created.id));
    EXPECT_EQ(cached.userEmail, "administrator");

    SessionContext none;
    EXPECT_FALSE(LoadSession(database, none, ""));
    EXPECT_TRUE(GetLoggedOnUser(none).empty());
    EXPECT_EQ(RecentLogLines().back().message,
              "LWebletSessionDataDBBased::GetLoggedOnUser() called without a CreateNewSession or LoadSession!");
    db::AccountDatabase closed;
    EXPECT_FALSE(CreateNewSession(closed, none, "x"));
    EXPECT_FALSE(LoadSession(closed, none, created.id));
}

TEST_F(AccountTest, UnknownCookieIsAskedForTenTimes)
{
    SessionContext session;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(LoadSession(database, session, "nosuchsession00000"));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(9 * 50)); // nine pauses between ten queries
    EXPECT_EQ(CountLines("LWebletSessionDataDBBased::LoadSession Cannot find session data in the central database for: nosuchsession00000"), 10);
    EXPECT_EQ(CountLines("LWebletSessionDataDBBased::LoadSession waiting 50ms: nosuchsession00000"), 9);
    EXPECT_EQ(RecentLogLines().back().message, "LWebletSessionDataDBBased::LoadSession timeout: nosuchsession00000");
    EXPECT_TRUE(session.id.empty());
}

TEST_F(AccountTest, LastActiveMovesAtMostOnceAWeek)
{
    time_t now = time(nullptr);
    std::string today = db::DateText(now);
    struct Row {
        std::string stored;
        bool replaced;
    } rows[] = {
        {db::DateText(now - 6 * 86400), false},
        {db::DateText(now - 8 * 86400), true},
        {db::DateText(now + 2 * 86400), true},
        {"", true},
        {"garbage", true},
    };
    int n = 0;
    for (const Row& row : rows) {
        std::string id = "0sess" + std::to_string(n++);
        database.ExecuteFormat("INSERT INTO main.SESSION_DATA VALUES('%Q', 'administrator', 'main', '%Q')", id, row.stored);
        SessionContext session;
        ASSERT_TRUE(LoadSession(database, session, id));
        db::DbQuery stored;
        database.Query(stored, "SELECT LAST_ACTIVE FROM main.SESSION_DATA WHERE ID = '%Q'", id);
        EXPECT_EQ(stored.ColumnText(0), row.replaced ? today : row.stored) << row.stored;
    }
}

TEST_F(AccountTest, IdsSharingABucketAreBothFound)
{
    // '0' (0x30) and 'p' (0x70) share their low four bits.
    for (const char* id : {"0aaaaaaaaaaaaaaaaa", "paaaaaaaaaaaaaaaaa"})
        database.ExecuteFormat("INSERT INTO main.SESSION_DATA VALUES('%Q', 'administrator', 'main', '%Q')", id,
                               db::DateText(time(nullptr)));
    for (int round = 0; round < 2; ++round) // the first round fills the cache, the second reads it
        for (const char* id : {"0aaaaaaaaaaaaaaaaa", "paaaaaaaaaaaaaaaaa"}) {
            SessionContext session;
            ASSERT_TRUE(LoadSession(database, session, id));
            EXPECT_EQ(session.id, id);
        }
}

TEST(FirstStart, UnwritableDataFolderFailsCleanly)
{
    TestHome home;
    testing::WriteFile(home.File("blocker"), "");
    setenv("TAVOLEX_HOME", home.File("blocker/sub").c_str(), 1);
    EXPECT_FALSE(PrepareDatabase());
    setenv("TAVOLEX_HOME", home.path().c_str(), 1);
}

} // namespace
} // namespace tavolex::account
