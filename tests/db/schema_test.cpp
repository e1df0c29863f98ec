#include "db_internal.h"
#include "db.h"
#include "test_home.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tavolex::db {
namespace {

using testing::TestHome;

std::string TableSql(AccountDatabase& db, const char* table)
{
    DbQuery row;
    db.Query(row, "SELECT sql FROM main.sqlite_master WHERE type = 'table' AND name = '%Q'", table);
    return row.ColumnText(0);
}

std::vector<std::string> Columns(AccountDatabase& db, const char* table)
{
    std::vector<std::string> names;
    DbQuery rows;
    for (db.Query(rows, "SELECT name FROM pragma_table_info('%Q')", table); rows.HasRow();
         db.NextRow(rows))
        names.push_back(rows.ColumnText(0));
    return names;
}

class SchemaTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.Open(DefaultDatabasePath())); }
    void TearDown() override { RegisterUpgradeOperation(68, nullptr); }
    // An ACCOUNT row named "main" at `version`, the way older files have it.
    void MakeAccountAt(int version)
    {
        CreateAccountTables(db);
        db.ExecuteFormat("INSERT INTO main.ACCOUNT(ID, NAME, OWNER_ID, DBVERSION) "
                         "VALUES('a', 'main', 'u', %d);", version);
    }
    TestHome home;
    AccountDatabase db{"main"};
};

TEST_F(SchemaTest, PlaceholderReplacement)
{
    EXPECT_EQ(ReplaceSchemaPlaceholder("SELECT * FROM [db].A JOIN [db].B", "main"),
              "SELECT * FROM main.A JOIN main.B");
    EXPECT_EQ(ReplaceSchemaPlaceholder("[db][db]", "x"), "xx");
    EXPECT_EQ(ReplaceSchemaPlaceholder("no placeholder [d b]", "x"), "no placeholder [d b]");
}

TEST_F(SchemaTest, FreshTablesAreInTheirCurrentForm)
{
    MakeAccountAt(1);
    WriteSchemaVersion(db);
    CreateDataTables(db);
    EXPECT_EQ(ReadSchemaVersion(db), 87);
    for (const char* table : {"GLOBAL_USER", "ACCOUNT", "ACCOUNT_ACCESS", "ACCOUNT_SITES",
                              "SESSION_DATA", "USER_ACCOUNT", "RESTAURANT", "USER_IMAGES",
                              "MENU_CONTENT", "MENU_SETTINGS", "MENU_CATEGORY", "MENU_ITEM",
                              "PRODUCT", "CATEGORY", "PRODUCT_CATEGORY", "CURRENCY",
                              "PRODUCT_RESTAURANT_SETTINGS"})
        EXPECT_FALSE(TableSql(db, table).empty()) << table;
    EXPECT_EQ(Columns(db, "PRODUCT").size(), 13u);
    EXPECT_EQ(Columns(db, "CURRENCY").back(), "CURRENCY_CODE");
    EXPECT_EQ(TableSql(db, "CATEGORY"),
              "CREATE TABLE CATEGORY(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260) NOT NULL, "
              "DESCRIPTION VARCHAR(260), CREATED_DATE VARCHAR(20) DEFAULT NULL)");
    bool logged = false;
    for (const LogEntry& line : RecentLogLines())
        logged |= line.message == "LWebletSessionDataDBBased::CreateTable";
    EXPECT_TRUE(logged);
}

TEST_F(SchemaTest, VersionTwoFileIsUpgradedStepByStep)
{
    MakeAccountAt(2);
    // The data tables as a version-2 file has them.
    ASSERT_TRUE(db.Execute(
        "CREATE TABLE main.USER_ACCOUNT(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), NAME2 VARCHAR(260), EMAIL VARCHAR(260), PHONE VARCHAR(260), USER_TYPE INT, DELETED VARCHAR(20) DEFAULT NULL);"
        "CREATE TABLE main.RESTAURANT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), ADDRESS VARCHAR(260), PHONE VARCHAR(260), EMAIL VARCHAR(260), WEBSITE VARCHAR(260), TIMEZONE_OFFSET VARCHAR(260));"
        "CREATE TABLE main.USER_IMAGES(ID CHAR(40) PRIMARY KEY NOT NULL, MIMETYPE VARCHAR(40) NOT NULL, IMAGE MEDIUMBLOB NOT NULL);"
        "CREATE TABLE main.MENU_CONTENT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), CONTENT TEXT, RESTAURANT_ID VARCHAR(40));"
        "INSERT INTO main.USER_ACCOUNT(ID, EMAIL, USER_TYPE) VALUES('u1', 'administrator', 256);"
        "INSERT INTO main.RESTAURANT(ID, NAME, TIMEZONE_OFFSET) VALUES('r1', 'Trattoria', 'Europe/Rome');"
        "INSERT INTO main.USER_IMAGES(ID, MIMETYPE, IMAGE) VALUES('i1', 'image/png', x'00');"));
    std::vector<int> operationRanAt;
    RegisterUpgradeOperation(68, [&](AccountDatabase& handle) {
        operationRanAt.push_back(ReadSchemaVersion(handle));
        EXPECT_FALSE(TableSql(handle, "MENU_ITEM").empty()); // the menu tables exist by then
    });

    UpgradeSchemaIfNeeded(db);

    EXPECT_EQ(ReadSchemaVersion(db), 87);
    EXPECT_EQ(operationRanAt, std::vector<int>{87}); // the version is written first
    DbQuery row;
    db.Query(row, "SELECT CREATED_DATE, DELETED, TIMEZONE FROM main.RESTAURANT");
    EXPECT_EQ(row.ColumnText(0).size(), 19u);           // step 9 dated it
    EXPECT_TRUE(row.ColumnIsNull(1));                   // step 8 added DELETED
    EXPECT_EQ(row.ColumnText(2), "Europe/Rome");        // step 57 copied the old column
    db.Query(row, "SELECT CREATED_DATE FROM main.USER_ACCOUNT");
    EXPECT_EQ(row.ColumnText(0).size(), 19u);           // steps 3 and 4
    db.Query(row, "SELECT TYPE FROM main.USER_IMAGES");
    EXPECT_EQ(row.ColumnText(0), "MenuLogo");           // steps 21 and 22
    db.Query(row, "SELECT ID, CURRENCY_SYMBOL, CURRENCY_DIGITS FROM main.CURRENCY");
    EXPECT_EQ(row.ColumnText(0), "r1");                 // step 67: one format per business
    EXPECT_EQ(row.ColumnText(1), "$");
    EXPECT_EQ(row.ColumnInt(2), 2);
    EXPECT_EQ(Columns(db, "PRODUCT").size(), 11u);      // the step-66 form, without the later columns
    EXPECT_EQ(Columns(db, "MENU_CONTENT").back(), "CREATED_DATE");
    EXPECT_FALSE(TableSql(db, "PRODUCT_RESTAURANT_SETTINGS").empty());

    // A file at the current version is left alone.
    operationRanAt.clear();
    UpgradeSchemaIfNeeded(db);
    EXPECT_TRUE(operationRanAt.empty());
}

TEST_F(SchemaTest, VersionSixtyFiveGetsOnlyTheLaterSteps)
{
    MakeAccountAt(65);
    ASSERT_TRUE(db.Execute(
        "CREATE TABLE main.RESTAURANT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), ADDRESS VARCHAR(260), PHONE VARCHAR(260), EMAIL VARCHAR(260), WEBSITE VARCHAR(260), TIMEZONE VARCHAR(260), CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);"
        "INSERT INTO main.RESTAURANT(ID, NAME) VALUES('r1', 'Bar'), ('r2', 'Cafe');"
        "CREATE TABLE main.MENU_CONTENT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), CONTENT TEXT, RESTAURANT_ID VARCHAR(40), CREATED_DATE VARCHAR(30) DEFAULT NULL);"));
    int operations = 0;
    RegisterUpgradeOperation(68, [&](AccountDatabase&) { ++operations; });
    UpgradeSchema(db, ReadSchemaVersion(db));
    EXPECT_EQ(operations, 1);
    DbQuery row;
    db.Query(row, "SELECT count(*) FROM main.CURRENCY");
    EXPECT_EQ(row.ColumnInt(0), 2);
    db.Query(row, "SELECT CREATED_DATE FROM main.RESTAURANT");
    EXPECT_TRUE(row.ColumnIsNull(0)); // step 9 is older than this file: not run again
    for (const char* table : {"CATEGORY", "PRODUCT_CATEGORY", "MENU_SETTINGS", "MENU_CATEGORY",
                              "MENU_ITEM", "PRODUCT_RESTAURANT_SETTINGS"})
        EXPECT_FALSE(TableSql(db, table).empty()) << table;
}

// The file as it was before the upgrade is kept beside it, with what only the log held.
TEST_F(SchemaTest, UpgradeKeepsACopyOfTheOlderFile)
{
    MakeAccountAt(65);
    // A second handle holds a read of the file as it was before the menu rows came, so the
    // checkpoint cannot fold them into the file: the copy must take them from the log.
    AccountDatabase reader{"main"};
    ASSERT_TRUE(reader.Open(DefaultDatabasePath()));
    ASSERT_TRUE(reader.Execute("BEGIN; SELECT count(*) FROM main.ACCOUNT;"));
    ASSERT_TRUE(db.Execute(
        "CREATE TABLE main.RESTAURANT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), ADDRESS VARCHAR(260), PHONE VARCHAR(260), EMAIL VARCHAR(260), WEBSITE VARCHAR(260), TIMEZONE VARCHAR(260), CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);"
        "CREATE TABLE main.MENU_CONTENT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), CONTENT TEXT, RESTAURANT_ID VARCHAR(40), CREATED_DATE VARCHAR(30) DEFAULT NULL);"
        "INSERT INTO main.MENU_CONTENT(ID, NAME, CONTENT) VALUES('m1', 'Lunch', '{\"header\":{}}');"));
    std::string copyPath = UpgradeBackupPath(DefaultDatabasePath(), 65);
    EXPECT_EQ(copyPath, DefaultDatabasePath() + ".before-upgrade-65");
    int operations = 0;
    RegisterUpgradeOperation(68, [&](AccountDatabase&) {
        ++operations;
        EXPECT_TRUE(std::filesystem::exists(copyPath)); // made before any step wrote
    });
    UpgradeSchemaIfNeeded(db);
    reader.Execute("COMMIT;");
    EXPECT_EQ(operations, 1);
    EXPECT_EQ(ReadSchemaVersion(db), 87);
    EXPECT_FALSE(std::filesystem::exists(copyPath + ".part"));
    EXPECT_FALSE(std::filesystem::exists(copyPath + "-wal")); // one file of its own
    {
        AccountDatabase copy{"main"};
        ASSERT_TRUE(copy.Open(copyPath));
        EXPECT_EQ(ReadSchemaVersion(copy), 65);
        DbQuery row;
        copy.Query(row, "SELECT CONTENT FROM main.MENU_CONTENT WHERE ID = 'm1'");
        EXPECT_EQ(row.ColumnText(0), "{\"header\":{}}");
        EXPECT_EQ(TableSql(copy, "MENU_ITEM"), "");
        copy.Query(row, "PRAGMA integrity_check");
        EXPECT_EQ(row.ColumnText(0), "ok");
    }

    // A copy already there is from before an interrupted upgrade: it is never replaced.
    db.Execute("UPDATE main.ACCOUNT SET DBVERSION = 65;");
    db.Execute("UPDATE main.MENU_CONTENT SET CONTENT = 'changed';");
    ForgetCurrentSchemaForTesting(); // as a later start of the program would
    UpgradeSchemaIfNeeded(db);
    EXPECT_EQ(operations, 2);
    AccountDatabase copy{"main"};
    ASSERT_TRUE(copy.Open(copyPath));
    DbQuery row;
    copy.Query(row, "SELECT CONTENT FROM main.MENU_CONTENT WHERE ID = 'm1'");
    EXPECT_EQ(row.ColumnText(0), "{\"header\":{}}");
}

// No upgrade without its copy: when the copy cannot be made the file stays as it is, and a
// later request tries again.
TEST_F(SchemaTest, NoCopyNoUpgrade)
{
    MakeAccountAt(65);
    int operations = 0;
    RegisterUpgradeOperation(68, [&](AccountDatabase&) { ++operations; });
    // A folder (not empty) where the copy is built: nothing can be opened there, even by root.
    std::string building = UpgradeBackupPath(DefaultDatabasePath(), 65) + ".part";
    std::filesystem::create_directories(building + "/in-the-way");
    UpgradeSchemaIfNeeded(db);
    EXPECT_EQ(operations, 0);
    EXPECT_EQ(ReadSchemaVersion(db), 65);
    EXPECT_FALSE(std::filesystem::exists(UpgradeBackupPath(DefaultDatabasePath(), 65)));

    std::filesystem::remove_all(building);
    UpgradeSchemaIfNeeded(db);
    EXPECT_EQ(operations, 1);
    EXPECT_EQ(ReadSchemaVersion(db), 87);
    EXPECT_TRUE(std::filesystem::exists(UpgradeBackupPath(DefaultDatabasePath(), 65)));
}

} // namespace
} // namespace tavolex::db
