#include "db_internal.h"
#include "db.h"
#include "test_home.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace tavolex::db {
namespace {

using testing::TestHome;

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetKeyStateForTesting();
        ASSERT_TRUE(db.Open(DefaultDatabasePath()));
    }
    void TearDown() override { ResetKeyStateForTesting(); }
    TestHome home;
    AccountDatabase db{"main"};
};

int64_t DecodeCounter(const std::string& key)
{
    int64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        char c = key[static_cast<size_t>(i)];
        value = value * 36 + (c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return value;
}

TEST_F(DatabaseTest, FirstKeyStartsFromTheClockAndPersists)
{
    time_t before = time(nullptr);
    std::string first = AccountDatabase::CreatePrimaryKey();
    time_t after = time(nullptr);
    ASSERT_EQ(first.size(), 10u);
    int64_t counter = DecodeCounter(first);
    const int64_t modulus = 2821109907456; // 36^8
    EXPECT_GE(counter, ((before - 1513728000) * 800 + 256) % modulus);
    EXPECT_LE(counter, ((after - 1513728000) * 800 + 256) % modulus);
    int server = ReadSettingInt("Settings", "SQLPrimaryKeyServerID", 0);
    EXPECT_GE(server, 1);
    EXPECT_LE(server, 255);

    std::string second = AccountDatabase::CreatePrimaryKey();
    EXPECT_NE(first[0], second[0]); // least significant digit first
    EXPECT_EQ(first.substr(8), second.substr(8));
    // The stored counter lies past every key made, so a restart never repeats one.
    int64_t stored = std::stoll(ReadSettingText("Settings", "SQLPrimaryKeyID", ""));
    EXPECT_GT(stored % modulus, DecodeCounter(second));
    EXPECT_LE(stored % modulus, DecodeCounter(second) + 1 + 1024);

    bool sawNewInstall = false;
    for (const LogEntry& line : RecentLogLines())
        sawNewInstall |= line.message ==
            "LAppDatabaseAccount::SQLCreatePrimaryKey reset starting ID - must be a new install";
    EXPECT_TRUE(sawNewInstall);
}

TEST_F(DatabaseTest, KeysEncodeCounterAndServerNumber)
{
    struct Row {
        int server;
        const char* counter;
        const char* key;
    } rows[] = {
        {1, "100", "w9000000" "01"},   // 100 + 256 = 356 = 9*36 + 32
        {255, "100", "w9000000" "73"}, // 255 = 7*36 + 3
        {36, "2821109907455", "37000000" "10"}, // 36^8 + 255: only the counter modulo 36^8 shows
    };
    for (const Row& row : rows) {
        ResetKeyStateForTesting();
        WriteSettingInt("Settings", "SQLPrimaryKeyServerID", row.server);
        WriteSettingText("Settings", "SQLPrimaryKeyID", row.counter);
        EXPECT_EQ(AccountDatabase::CreatePrimaryKey(), row.key) << row.server;
    }
    // a restart continues 256 past what was stored; the store moves ahead a block at a time
    ResetKeyStateForTesting();
    WriteSettingText("Settings", "SQLPrimaryKeyID", "1000");
    EXPECT_EQ(DecodeCounter(AccountDatabase::CreatePrimaryKey()), 1256);
    EXPECT_EQ(ReadSettingText("Settings", "SQLPrimaryKeyID", ""), "2281");
    for (int i = 0; i < 1024; ++i)
        AccountDatabase::CreatePrimaryKey(); // keys 1257 to 2280
    EXPECT_EQ(ReadSettingText("Settings", "SQLPrimaryKeyID", ""), "2281");
    EXPECT_EQ(DecodeCounter(AccountDatabase::CreatePrimaryKey()), 2281);
    EXPECT_EQ(ReadSettingText("Settings", "SQLPrimaryKeyID", ""), "3306");
}

TEST_F(DatabaseTest, KeysFromManyThreadsNeverRepeat)
{
    std::vector<std::vector<std::string>> made(4);
    std::vector<std::thread> threads;
    for (auto& keys : made)
        threads.emplace_back([&keys] {
            for (int i = 0; i < 200; ++i)
                keys.push_back(AccountDatabase::CreatePrimaryKey());
        });
    for (auto& thread : threads)
        thread.join();
    std::set<std::string> unique;
    for (auto& keys : made)
        unique.insert(keys.begin(), keys.end());
    EXPECT_EQ(unique.size(), 800u);
}

TEST_F(DatabaseTest, QueriesReportColumnsFromTheFirstRow)
{
    ASSERT_TRUE(db.Execute("CREATE TABLE main.T(ID TEXT, N INT, R REAL, B BLOB, Z TEXT);"
                           "INSERT INTO main.T VALUES('a', 1, 1.5, x'00', NULL);"
                           "INSERT INTO main.T VALUES('b', 2, 2.5, NULL, 'z');"));
    DbQuery rows;
    ASSERT_TRUE(db.Query(rows, "SELECT id, N AS count, R, B, Z FROM main.T ORDER BY ID"));
    ASSERT_EQ(rows.ColumnCount(), 5);
    EXPECT_EQ(rows.ColumnName(0), "id"); // as the statement writes it
    EXPECT_EQ(rows.ColumnName(1), "count");
    EXPECT_TRUE(rows.IsText(0));
    EXPECT_TRUE(rows.IsInteger(1));
    EXPECT_TRUE(rows.IsReal(2));
    EXPECT_EQ(rows.ClassOf(3), ColumnClass::Blob);
    EXPECT_EQ(rows.ClassOf(4), ColumnClass::Null);
    EXPECT_EQ(rows.ColumnText(4, "dflt"), "dflt");
    EXPECT_EQ(rows.ColumnText(9, "out"), "out");
    EXPECT_EQ(rows.ColumnInt(9), 0);
    ASSERT_TRUE(db.NextRow(rows));
    EXPECT_EQ(rows.ColumnText(0), "b");
    EXPECT_EQ(rows.ColumnInt64(1), 2);
    EXPECT_DOUBLE_EQ(rows.ColumnReal(2), 2.5);
    EXPECT_EQ(rows.ClassOf(4), ColumnClass::Null); // classes stay those of the first row
    EXPECT_FALSE(db.NextRow(rows));
    EXPECT_FALSE(rows.HasRow());

    ASSERT_TRUE(db.Query(rows, "SELECT * FROM main.T WHERE ID = '%Q'", "none"));
    EXPECT_FALSE(rows.HasRow());
    EXPECT_FALSE(db.Query(rows, "SELECT * FROM main.Missing"));
}

TEST_F(DatabaseTest, ColumnNamesAreSpelledAsTheStatementWritesThem)
{
    ASSERT_TRUE(db.Execute("CREATE TABLE main.T(ID TEXT, Name TEXT); INSERT INTO main.T VALUES('a', 'b');"));
    struct Row {
        const char* sql;
        std::vector<std::string> names;
    } rows[] = {
        {"SELECT id, name FROM main.T", {"id", "name"}},
        {"select T.id,T.NAME from main.T", {"id", "NAME"}},
        {"SELECT DISTINCT id FROM main.T", {"id"}},
        {"SELECT * FROM main.T", {"ID", "Name"}},
        {"SELECT id AS Key, 'x,y' , (SELECT name FROM main.T) FROM main.T",
         {"Key", "'x,y'", "(SELECT name FROM main.T)"}},
        {"SELECT count(*), [id] FROM main.T", {"count(*)", "ID"}},
        {"SELECT id", {}}, // fails to prepare: no columns
    };
    for (const Row& row : rows) {
        DbQuery query;
        db.QueryText(query, row.sql);
        std::vector<std::string> names;
        for (int i = 0; i < query.ColumnCount(); ++i)
            names.push_back(query.ColumnName(i));
        EXPECT_EQ(names, row.names) << row.sql;
    }
}

// Statements as values: each outcome carries either the rows or SQLite's words, and a function
// that returns one passes a failure on with TRY.
ErrorOr<std::string> FirstName(AccountDatabase& db, std::string_view sql)
{
    TRY_ASSIGN(DbQuery rows, db.Select(sql));
    return rows.HasRow() ? rows.ColumnText(0) : std::string("<none>");
}

TEST_F(DatabaseTest, StatementsAndRowsAsValues)
{
    ASSERT_FALSE(db.Run("CREATE TABLE main.T(ID TEXT PRIMARY KEY, NAME TEXT)").HasError());
    ASSERT_FALSE(db.Run("INSERT INTO main.T VALUES('a', 'Soup')").HasError());
    struct Case {
        const char* sql;
        const char* result; // the first row's first column, or the error's words
        bool fails;
    };
    const Case cases[] = {
        {"SELECT NAME FROM main.T", "Soup", false},
        {"SELECT NAME FROM main.T WHERE ID = 'b'", "<none>", false},
        {"SELECT NAME FROM main.NOPE", "no such table: main.NOPE", true},
        {"SELEKT 1", "near \"SELEKT\": syntax error", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        ErrorOr<std::string> name = FirstName(db, c.sql);
        ASSERT_EQ(name.HasError(), c.fails);
        EXPECT_EQ(c.fails ? name.GetError().message : name.Value(), c.result);
    }
    // A refusal by a constraint is an error of the statement, though not a failure of the file.
    int failures = db.FailureCount();
    ErrorOr<void> twice = db.Run("INSERT INTO main.T VALUES('a', 'Again')");
    ASSERT_TRUE(twice.HasError());
    EXPECT_EQ(twice.GetError().message, "UNIQUE constraint failed: T.ID");
    EXPECT_EQ(db.FailureCount(), failures);
    // The rows move with their value: the second row is still there to step to.
    ASSERT_FALSE(db.Run("INSERT INTO main.T VALUES('b', 'Bread')").HasError());
    ErrorOr<DbQuery> rows = db.Select("SELECT NAME FROM main.T ORDER BY ID");
    ASSERT_FALSE(rows.HasError());
    DbQuery moved = std::move(rows).ReleaseValue();
    EXPECT_EQ(moved.ColumnText(0), "Soup");
    EXPECT_TRUE(db.NextRow(moved));
    EXPECT_EQ(moved.ColumnText(0), "Bread");
}

TEST_F(DatabaseTest, NowFunctionAndDates)
{
    DbQuery now;
    ASSERT_TRUE(db.Query(now, "SELECT now()"));
    std::string text = now.ColumnText(0);
    ASSERT_EQ(text.size(), 19u);
    EXPECT_EQ(text, UtcTimestampText(time(nullptr)).substr(0, 16) + text.substr(16));
    setenv("TZ", "Europe/Rome", 1);
    tzset();
    time_t when = 1796860799; // 2026-12-09 23:59:59 UTC
    EXPECT_EQ(UtcTimestampText(when), "2026-12-09 23:59:59");
    EXPECT_EQ(TimestampText(when), "2026-12-10 00:59:59");
    EXPECT_EQ(DateText(when), "2026-12-10");
    EXPECT_EQ(FileSafeTimeText(when), "00-59-59");
    unsetenv("TZ");
    tzset();
}

TEST_F(DatabaseTest, ClosedHandleFailsQuietly)
{
    AccountDatabase closed;
    DbQuery rows;
    EXPECT_FALSE(closed.Execute("SELECT 1"));
    EXPECT_FALSE(closed.Query(rows, "SELECT 1"));
    EXPECT_FALSE(rows.HasRow());
    EXPECT_FALSE(closed.ExecuteWithBlob("SELECT ?", "x"));
    EXPECT_EQ(closed.GetDatabaseName(), "main");
    EXPECT_EQ(RecentLogLines().back().message,
              "LAppDatabaseAccount::GetDatabaseName The database name is not set");
    EXPECT_FALSE(AccountDatabase().Open(home.File("no/such/folder/x.db")));
}

TEST_F(DatabaseTest, BlobsAndBatches)
{
    db.Execute("CREATE TABLE main.IMG(ID TEXT, DATA BLOB);");
    std::string bytes("\x89PNG\0\xff", 6);
    ASSERT_TRUE(db.ExecuteWithBlob("INSERT INTO main.IMG VALUES('a', ?);", bytes));
    DbQuery stored;
    db.Query(stored, "SELECT length(DATA), hex(DATA) FROM main.IMG");
    EXPECT_EQ(stored.ColumnInt(0), 6);
    EXPECT_EQ(stored.ColumnText(1), "89504E4700FF");
    db.RunBatch({{"INSERT INTO main.IMG VALUES('b', NULL);", {}, false},
                 {"INSERT INTO main.NOPE VALUES(1);", {}, false}, // ignored
                 {"INSERT INTO main.IMG VALUES('c', ?);", "xyz", true}});
    db.Query(stored, "SELECT group_concat(ID) FROM main.IMG");
    EXPECT_EQ(stored.ColumnText(0), "a,b,c");
}

class Category : public DbRecord {
public:
    Category() : DbRecord({"NAME", "DESCRIPTION", "CREATED_DATE"}) {}
    std::string TableName() const override { return "CATEGORY"; }
    RecordStatus BeforeInsert(AccountDatabase&) override
    {
        return Get("NAME").empty() ? RecordStatus::RequiredEmpty : RecordStatus::Ok;
    }
};

TEST_F(DatabaseTest, RecordsBuildTheirStatements)
{
    db.Execute("CREATE TABLE main.CATEGORY(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260) NOT NULL, "
               "DESCRIPTION VARCHAR(260), CREATED_DATE VARCHAR(20) DEFAULT NULL);");
    Category empty;
    EXPECT_EQ(empty.Insert(db), RecordStatus::RequiredEmpty);

    Category category;
    category.SetKey("given-key");
    category.Set("NAME", "'; DROP TABLE CATEGORY; --");
    category.SetNull("DESCRIPTION");
    ASSERT_EQ(category.Insert(db), RecordStatus::Ok);
    EXPECT_EQ(category.Key(), "given-key"); // a filled key is used as it is
    EXPECT_TRUE(category.succeeded());

    Category loaded;
    ASSERT_EQ(loaded.LoadByKey(db, "given-key"), RecordStatus::Ok);
    EXPECT_EQ(loaded.Get("NAME"), "'; DROP TABLE CATEGORY; --");
    EXPECT_EQ(loaded.Get("DESCRIPTION"), "");
    EXPECT_FALSE(loaded.Field("NAME")->modified);
    EXPECT_EQ(loaded.UpdateByKey(db), RecordStatus::Ok); // nothing modified: nothing runs

    loaded.Set("DESCRIPTION", "it's \"quoted\"");
    ASSERT_EQ(loaded.Save(db), RecordStatus::Ok);
    Category again;
    ASSERT_EQ(again.LoadWhere(db, "DESCRIPTION IS NOT NULL"), RecordStatus::Ok);
    EXPECT_EQ(again.Get("DESCRIPTION"), "it's \"quoted\"");

    Category fresh;
    fresh.Set("NAME", "Drinks");
    ASSERT_EQ(fresh.Save(db), RecordStatus::Ok); // no key: inserted with a new one
    EXPECT_EQ(fresh.Key().size(), 10u);

    struct Row {
        RecordStatus got;
        RecordStatus want;
    } rows[] = {
        {Category().LoadByKey(db, "none"), RecordStatus::NotFound},
        {Category().LoadByField(db, "", "x"), RecordStatus::SqlFailed},
        {Category().LoadByField(db, "ID", ""), RecordStatus::SqlFailed},
        {Category().LoadWhere(db, ""), RecordStatus::Missing},
        {Category().UpdateWhere(db, ""), RecordStatus::Missing},
        {DbRecord({"A"}).Insert(db), RecordStatus::Missing},
        {DbRecord({"A"}, "").Save(db), RecordStatus::Missing},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.got, row.want);

    Category broken;
    broken.SetKey("given-key"); // a second row with the same key fails in SQL
    broken.Set("NAME", "dup");
    EXPECT_EQ(broken.Insert(db), RecordStatus::SqlFailed);

    DbQuery count;
    db.Query(count, "SELECT count(*) FROM main.CATEGORY");
    EXPECT_EQ(count.ColumnInt(0), 2);
}

// A savepoint keeps or undoes its part whole, alone or inside the caller's transaction.
TEST_F(DatabaseTest, SavepointsKeepOrUndoTheirPartWhole)
{
    ASSERT_TRUE(db.Execute("CREATE TABLE main.T(V TEXT UNIQUE);"));
    auto count = [&] {
        DbQuery rows;
        db.Query(rows, "SELECT group_concat(V, ',') FROM (SELECT V FROM main.T ORDER BY V)");
        return rows.ColumnText(0);
    };
    {
        Savepoint kept(db, "part");
        ASSERT_TRUE(kept.began());
        db.Execute("INSERT INTO main.T VALUES('a');");
        EXPECT_FALSE(db.Execute("INSERT INTO main.T VALUES('a');")); // a constraint: not a failure
        EXPECT_FALSE(kept.HasFailed());
        EXPECT_TRUE(kept.Release());
    }
    {
        Savepoint dropped(db, "part");
        db.Execute("INSERT INTO main.T VALUES('b');");
    } // never released
    {
        Savepoint failed(db, "part");
        db.Execute("INSERT INTO main.T VALUES('c');");
        EXPECT_FALSE(db.Execute("INSERT INTO main.Missing VALUES(1);"));
        EXPECT_TRUE(failed.HasFailed());
        EXPECT_FALSE(failed.Release());
    }
    EXPECT_EQ(count(), "a");

    // Nested in a transaction: the undone part goes, the rest of the transaction stays.
    ASSERT_TRUE(db.Execute("BEGIN IMMEDIATE;"));
    db.Execute("INSERT INTO main.T VALUES('d');");
    {
        Savepoint inner(db, "part");
        ASSERT_TRUE(inner.began());
        db.Execute("INSERT INTO main.T VALUES('e');");
        inner.Rollback();
    }
    {
        Savepoint inner(db, "part");
        db.Execute("INSERT INTO main.T VALUES('f');");
        EXPECT_TRUE(inner.Release());
    }
    ASSERT_TRUE(db.Execute("COMMIT;"));
    EXPECT_EQ(count(), "a,d,f");
}

} // namespace
} // namespace tavolex::db
