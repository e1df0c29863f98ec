// The schema: the account tables, the data tables in their current form, and the numbered
// upgrade steps that bring an older file to kSchemaVersion. Results of these statements are
// ignored on purpose: a table or column that already exists (or never existed) must not stop
// the list.
#include "db.h"

#include "db_internal.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace tavolex::db {

namespace {

constexpr const char* kAccountTables[] = {
    "CREATE TABLE main.GLOBAL_USER(ID CHAR(40) PRIMARY KEY NOT NULL, EMAIL VARCHAR(260) NOT NULL UNIQUE, PASSWORD_HASH TEXT NOT NULL, PASSWORD_SALT TEXT NOT NULL, LAST_ACCOUNT VARCHAR(40), DELETED VARCHAR(20));",
    "CREATE TABLE main.ACCOUNT(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(20) NOT NULL UNIQUE, OWNER_ID VARCHAR(40) NOT NULL, TYPE VARCHAR(20), STATUS VARCHAR(20), DBVERSION INT DEFAULT 1,DELETED VARCHAR(20));",
    "CREATE TABLE main.ACCOUNT_ACCESS(ID CHAR(40) PRIMARY KEY NOT NULL, USER_ID VARCHAR(40) NOT NULL, ACCOUNT_ID VARCHAR(40) NOT NULL, ACCESS VARCHAR(20), DELETED VARCHAR(20));",
    "CREATE TABLE main.ACCOUNT_SITES(SITE VARCHAR(60) PRIMARY KEY NOT NULL, ACCOUNT_NAME VARCHAR(40) NOT NULL);",
};
constexpr const char* kSessionTable =
    "CREATE TABLE main.SESSION_DATA(ID CHAR(40) PRIMARY KEY NOT NULL, USER_EMAIL VARCHAR(260), ACCOUNT_NAME VARCHAR(20), LAST_ACTIVE VARCHAR(14));";

constexpr const char* kCreateCategory =
    "CREATE TABLE [db].CATEGORY(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260) NOT NULL, DESCRIPTION VARCHAR(260), CREATED_DATE VARCHAR(20) DEFAULT NULL);";
constexpr const char* kCreateProductCategory =
    "CREATE TABLE [db].PRODUCT_CATEGORY(PRODUCT_ID VARCHAR(40) NOT NULL, CATEGORY_ID VARCHAR(40) NOT NULL, UNIQUE(PRODUCT_ID, CATEGORY_ID));";
constexpr const char* kCreateMenuSettings =
    "CREATE TABLE [db].MENU_SETTINGS(MENU_ID VARCHAR(40) NOT NULL, NAME VARCHAR(260) NOT NULL, VALUE VARCHAR(260) NOT NULL, UNIQUE(MENU_ID, NAME));";
constexpr const char* kCreateMenuCategory =
    "CREATE TABLE [db].MENU_CATEGORY(MENU_ID VARCHAR(40) NOT NULL, CATEGORY_ID VARCHAR(40) NULL, POSITION INT NULL, IS_VISIBLE TINYINT(1) DEFAULT 1, UNIQUE(MENU_ID, CATEGORY_ID));";
constexpr const char* kCreateMenuItem =
    "CREATE TABLE [db].MENU_ITEM(MENU_ID VARCHAR(40) NOT NULL, CATEGORY_ID VARCHAR(40), PRODUCT_ID VARCHAR(40) NOT NULL, POSITION INT NULL, IS_VISIBLE TINYINT(1) DEFAULT 1, UNIQUE(MENU_ID, CATEGORY_ID, PRODUCT_ID));";
constexpr const char* kCreateProductRestaurantSettings =
    "CREATE TABLE [db].PRODUCT_RESTAURANT_SETTINGS(PRODUCT_ID VARCHAR(40) NOT NULL, RESTAURANT_ID VARCHAR(40) NOT NULL, IS_POS_VISIBLE TINYINT(1) NOT NULL, PRIMARY KEY (PRODUCT_ID, RESTAURANT_ID));";

constexpr const char* kDataTables[] = {
    "CREATE TABLE [db].USER_ACCOUNT(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), NAME2 VARCHAR(260), EMAIL VARCHAR(260), PHONE VARCHAR(260), USER_TYPE INT, CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);",
    "CREATE TABLE [db].RESTAURANT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), ADDRESS VARCHAR(260), PHONE VARCHAR(260), EMAIL VARCHAR(260), WEBSITE VARCHAR(260), TIMEZONE VARCHAR(260), CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);",
    "CREATE TABLE [db].USER_IMAGES(ID CHAR(40) PRIMARY KEY NOT NULL, MIMETYPE VARCHAR(40) NOT NULL, IMAGE MEDIUMBLOB NOT NULL, TYPE VARCHAR(20));",
    "CREATE TABLE [db].MENU_CONTENT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), CONTENT TEXT, RESTAURANT_ID VARCHAR(40), CREATED_DATE VARCHAR(30) DEFAULT NULL);",
    kCreateMenuSettings,
    kCreateMenuCategory,
    kCreateMenuItem,
    "CREATE TABLE [db].PRODUCT(ID CHAR(40) PRIMARY KEY NOT NULL, CODE VARCHAR(20), NAME VARCHAR(260) NOT NULL, DESCRIPTION VARCHAR(260), EXTRA VARCHAR(260), PRICE BIGINT,IS_VISIBLE TINYINT(1) DEFAULT 0, IS_MODIFIER TINYINT(1) DEFAULT 0, PRODUCT_IMAGE_ID VARCHAR(40), IS_TEMPLATE TINYINT(1) DEFAULT 0, IS_VARIANT TINYINT(1) DEFAULT 0, CREATED_DATE VARCHAR(20) DEFAULT NULL, MODIFIED_DATE VARCHAR(20) DEFAULT NULL);",
    kCreateCategory,
    kCreateProductCategory,
    "CREATE TABLE [db].CURRENCY(ID CHAR(40) PRIMARY KEY NOT NULL, CURRENCY_SYMBOL VARCHAR(20), CURRENCY_ORDER SMALLINT, CURRENCY_DIGITS SMALLINT, DECIMAL_SYMBOL VARCHAR(20), THOUSANDS_SYMBOL VARCHAR(20), USE_PARENTHESES_FOR_NEGATIVE TINYINT(1), USE_CURRENCY_SYMBOL TINYINT(1), USE_THOUSANDS_SYMBOL TINYINT(1), CURRENCY_CODE VARCHAR(20));",
    kCreateProductRestaurantSettings,
};

struct UpgradeStep {
    int version;
    const char* sql;
};

// In ascending version order; within a version, in the order they must run.
constexpr UpgradeStep kUpgradeSteps[] = {
    {3, "ALTER TABLE [db].USER_ACCOUNT ADD COLUMN CREATED_DATE VARCHAR(20) DEFAULT NULL;"},
    {4, "UPDATE [db].USER_ACCOUNT SET CREATED_DATE = DATETIME('NOW') WHERE CREATED_DATE = '' OR CREATED_DATE IS NULL"},
    {8, "ALTER TABLE [db].RESTAURANT ADD COLUMN CREATED_DATE VARCHAR(20) DEFAULT NULL;"},
    {8, "ALTER TABLE [db].RESTAURANT ADD COLUMN DELETED VARCHAR(20) DEFAULT NULL;"},
    {9, "UPDATE [db].RESTAURANT SET CREATED_DATE = DATETIME('now') WHERE CREATED_DATE = '' OR CREATED_DATE IS NULL;"},
    {21, "ALTER TABLE [db].USER_IMAGES ADD COLUMN TYPE VARCHAR(20);"},
    {22, "UPDATE [db].USER_IMAGES SET TYPE = 'MenuLogo' WHERE TYPE = '' OR TYPE IS NULL"},
    {49, "ALTER TABLE [db].MENU_CONTENT ADD COLUMN CREATED_DATE VARCHAR(30) DEFAULT NULL"},
    {57, "ALTER TABLE [db].RESTAURANT ADD COLUMN TIMEZONE VARCHAR(260)"},
    {57, "UPDATE [db].RESTAURANT SET TIMEZONE = TIMEZONE_OFFSET"},
    {66, "CREATE TABLE [db].PRODUCT(ID CHAR(40) PRIMARY KEY NOT NULL, CODE VARCHAR(20), NAME VARCHAR(260) NOT NULL, DESCRIPTION VARCHAR(260), EXTRA VARCHAR(260), PRICE BIGINT,IS_VISIBLE TINYINT(1) DEFAULT 0,IS_MODIFIER TINYINT(1) DEFAULT 0,PRODUCT_IMAGE_ID VARCHAR(40), CREATED_DATE VARCHAR(20) DEFAULT NULL, MODIFIED_DATE VARCHAR(20) DEFAULT NULL);"},
    {66, kCreateCategory},
    {66, kCreateProductCategory},
    {66, "CREATE TABLE [db].CURRENCY(ID CHAR(40) PRIMARY KEY NOT NULL, CURRENCY_SYMBOL VARCHAR(20), CURRENCY_ORDER SMALLINT, CURRENCY_DIGITS SMALLINT, DECIMAL_SYMBOL VARCHAR(20), THOUSANDS_SYMBOL VARCHAR(20), USE_PARENTHESES_FOR_NEGATIVE TINYINT(1), USE_CURRENCY_SYMBOL TINYINT(1), USE_THOUSANDS_SYMBOL TINYINT(1));"},
    {67, "INSERT INTO [db].CURRENCY(ID, CURRENCY_SYMBOL, CURRENCY_ORDER, CURRENCY_DIGITS, DECIMAL_SYMBOL, THOUSANDS_SYMBOL, USE_PARENTHESES_FOR_NEGATIVE, USE_CURRENCY_SYMBOL, USE_THOUSANDS_SYMBOL) SELECT ID, '$', '0', '2', '.', ',', '0', '1', '1' FROM [db].RESTAURANT;"},
    {68, kCreateMenuSettings},
    {68, kCreateMenuCategory},
    {68, kCreateMenuItem},
    {86, "ALTER TABLE [db].BOOKING_SETTINGS ADD COLUMN DISABLE_BOOKING_PORTAL TINYINT(1) DEFAULT 0;"},
    {87, kCreateProductRestaurantSettings},
};

struct OperationTable {
    std::mutex lock;
    std::map<int, UpgradeOperation> byVersion;
};

OperationTable& Operations()
{
    static OperationTable table;
    return table;
}

struct CloseConnection {
    void operator()(sqlite3* connection) const { sqlite3_close_v2(connection); }
};
struct FinishBackup {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

// Copies the open file whole to `target` through SQLite's online backup: one step under one
// read lock, so the copy is the file as it stands, with every page the write-ahead log still
// holds, even while another thread writes. It is built beside its name and renamed when it is
// complete, so a copy under that name is always whole, and it is made a file of its own (no
// log beside it) that the owner can put back as main.db.
bool CopyDatabase(sqlite3* source, const std::string& sourcePath, const std::string& target,
                  std::string& failure)
{
    // Folding the log into the file first keeps main.db itself whole for anyone who copies it
    // by hand. A passive checkpoint never waits: a reader of another thread may hold a part of
    // the log back (a checkpoint that waits for it would hold this request up to the busy
    // time-out), and the backup reads that part through the log anyway.
    sqlite3_exec(source, "PRAGMA wal_checkpoint(PASSIVE);", nullptr, nullptr, nullptr);
    std::string building = target + ".part";
    std::remove(building.c_str());
    bool copied = false;
    {
        sqlite3* opened = nullptr;
        int result = sqlite3_open_v2(building.c_str(), &opened, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        std::unique_ptr<sqlite3, CloseConnection> copy(opened);
        if (result != SQLITE_OK) {
            failure = opened ? sqlite3_errmsg(opened) : sqlite3_errstr(result);
        } else {
            sqlite3_busy_timeout(copy.get(), kBusyTimeoutMs);
            std::unique_ptr<sqlite3_backup, FinishBackup> backup(sqlite3_backup_init(copy.get(), "main", source, "main"));
            if (!backup) {
                failure = sqlite3_errmsg(copy.get());
            } else {
                int step = sqlite3_backup_step(backup.get(), -1);
                backup.reset();
                if (step != SQLITE_DONE)
                    failure = sqlite3_errstr(step);
                else if (sqlite3_exec(copy.get(), "PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr) != SQLITE_OK)
                    failure = sqlite3_errmsg(copy.get());
                else
                    copied = true;
            }
        }
    }
    std::error_code ignored;
    if (copied) {
        std::filesystem::permissions(building, std::filesystem::status(sourcePath, ignored).permissions(), ignored);
        if (std::rename(building.c_str(), target.c_str()) != 0) {
            failure = "the finished copy could not be renamed";
            copied = false;
        }
    }
    if (!copied)
        std::remove(building.c_str());
    return copied;
}

// True when the file may be upgraded: its copy from before this version exists (an earlier
// start made it, or this call did), or the handle has no file to copy.
bool BackUpBeforeUpgrade(AccountDatabase& db, int version)
{
    const char* file = db.IsOpen() ? sqlite3_db_filename(db.connection(), "main") : nullptr;
    if (!file || !*file)
        return true; // a database in memory: nothing an owner could go back to
    std::string target = UpgradeBackupPath(file, version);
    std::error_code ignored;
    // A copy that is there was made before any step ran on that version; it must not be
    // replaced by one of a file that an interrupted upgrade has already changed.
    if (std::filesystem::exists(target, ignored))
        return true;
    std::string failure;
    if (!CopyDatabase(db.connection(), file, target, failure)) {
        LogError("Database: not upgraded from version %d, the copy %s could not be made: %s", version, target,
                 failure);
        return false;
    }
    LogFormat("Database: copied to %s before the upgrade from version %d", target, version);
    return true;
}

} // namespace

std::string UpgradeBackupPath(std::string_view databasePath, int version)
{
    return Format("%s.before-upgrade-%d", databasePath, version);
}

std::string ReplaceSchemaPlaceholder(std::string_view sql, std::string_view schema)
{
    std::string out;
    out.reserve(sql.size());
    for (size_t at = 0;;) {
        size_t found = sql.find("[db]", at);
        out.append(sql.substr(at, found - at));
        if (found == std::string_view::npos)
            return out;
        out.append(schema);
        at = found + 4;
    }
}

void CreateAccountTables(AccountDatabase& db)
{
    for (const char* sql : kAccountTables)
        db.Execute(sql);
    Log("LWebletSessionDataDBBased::CreateTable");
    db.Execute(kSessionTable);
}

void CreateDataTables(AccountDatabase& db)
{
    std::string schema = db.GetDatabaseName();
    for (const char* sql : kDataTables)
        db.Execute(ReplaceSchemaPlaceholder(sql, schema));
}

int ReadSchemaVersion(AccountDatabase& db)
{
    DbQuery version;
    db.Query(version, "SELECT DBVERSION FROM main.ACCOUNT WHERE NAME = '%s';", db.GetDatabaseName());
    return version.HasRow() ? version.ColumnInt(0) : 0;
}

void WriteSchemaVersion(AccountDatabase& db)
{
    db.ExecuteFormat("UPDATE main.ACCOUNT SET DBVERSION = %d WHERE NAME = '%s';", kSchemaVersion,
                     db.GetDatabaseName());
}

void UpgradeSchema(AccountDatabase& db, int currentVersion)
{
    if (currentVersion >= kSchemaVersion)
        return;
    if (!BackUpBeforeUpgrade(db, currentVersion))
        return;
    // The whole upgrade is one transaction, its version written inside it: a stop part-way
    // leaves the older version, upgraded again next time, never an old-shaped file marked
    // current. A step that fails does not stop the list.
    bool transaction = !db.InTransaction() && db.Execute("BEGIN IMMEDIATE;");
    WriteSchemaVersion(db);
    std::string schema = db.GetDatabaseName();
    for (int version = currentVersion + 1; version <= kSchemaVersion; ++version) {
        for (const UpgradeStep& step : kUpgradeSteps)
            if (step.version == version)
                db.Execute(ReplaceSchemaPlaceholder(step.sql, schema));
        UpgradeOperation operation;
        {
            OperationTable& table = Operations();
            std::lock_guard guard(table.lock);
            if (auto found = table.byVersion.find(version); found != table.byVersion.end())
                operation = found->second;
        }
        if (operation)
            operation(db);
    }
    if (transaction && !db.Execute("COMMIT;")) {
        LogError("Database: the upgrade from version %d could not be stored: %s", currentVersion, db.LastFailure());
        db.Execute("ROLLBACK;");
    }
}

namespace {

std::mutex& UpgradeLock()
{
    static std::mutex lock;
    return lock;
}

// The file last seen at the current version.
std::string& CurrentFile()
{
    static std::string file;
    return file;
}

} // namespace

void ForgetCurrentSchemaForTesting()
{
    std::lock_guard guard(UpgradeLock());
    CurrentFile().clear();
}

void UpgradeSchemaIfNeeded(AccountDatabase& db)
{
    // Every gated request asks; the first of several that arrive together upgrades, and the
    // rest must not see the old version and run the steps (the legacy conversion among them)
    // a second time beside it.
    // Once a file was seen current it stays so: later requests need not read the version.
    std::lock_guard guard(UpgradeLock());
    const std::string& file = db.FilePath();
    if (!file.empty() && file == CurrentFile())
        return;
    UpgradeSchema(db, ReadSchemaVersion(db));
    if (ReadSchemaVersion(db) >= kSchemaVersion)
        CurrentFile() = file;
}

void RegisterUpgradeOperation(int version, UpgradeOperation operation)
{
    OperationTable& table = Operations();
    std::lock_guard guard(table.lock);
    table.byVersion[version] = std::move(operation);
}

} // namespace tavolex::db
