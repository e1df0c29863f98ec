// db: the one SQLite file that holds every table, its keys, its rows and its schema versions.
//
// Each thread that works on the data opens its own AccountDatabase on "main.db" in the data
// folder. SQL is always built as text with AppendFormat and %Q (only image bytes are bound), and
// names its schema explicitly: "main.CATEGORY", or "[db].CATEGORY" in the schema lists, which
// the schema lists' reader fills in. Keys are 10-character texts from CreatePrimaryKey.
// DbRecord maps one table row to named fields and builds its INSERT, SELECT and UPDATE text.
// The schema lists (create statements, upgrade steps and operations) bring an older file up to
// the current version one step at a time.
//
//     AccountDatabase db("main");
//     db.Open(DefaultDatabasePath());
//     DbQuery rows;
//     for (db.Query(rows, "SELECT NAME FROM main.CATEGORY"); rows.HasRow(); db.NextRow(rows))
//         Log(rows.ColumnText(0));
#pragma once

#include "core.h"
#include "json.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tavolex::db {

// Storage class of a column, as read from the first row of a result.
enum class ColumnClass { Integer = 1, Real = 2, Text = 3, Blob = 4, Null = 5 };

// A prepared statement standing on its current row. Column names and classes come from the
// first row; ColumnCount() is 0 when there is no (more) row.
class DbQuery {
public:
    DbQuery() = default;
    ~DbQuery();
    DbQuery(const DbQuery&) = delete;
    DbQuery& operator=(const DbQuery&) = delete;
    DbQuery(DbQuery&& other) noexcept;
    DbQuery& operator=(DbQuery&& other) noexcept;

    bool HasRow() const { return columnCount_ > 0; }
    int ColumnCount() const { return columnCount_; }
    const std::string& ColumnName(int index) const;
    ColumnClass ClassOf(int index) const;
    bool IsInteger(int index) const { return ClassOf(index) == ColumnClass::Integer; }
    bool IsReal(int index) const { return ClassOf(index) == ColumnClass::Real; }
    bool IsText(int index) const { return ClassOf(index) == ColumnClass::Text; }

    // Out of range or NULL gives the default.
    std::string ColumnText(int index, std::string_view defaultValue = {}) const;
    // Cut to 259 characters, as the fixed text fields of records are.
    std::string ColumnShortText(int index, std::string_view defaultValue = {}) const;
    int ColumnInt(int index) const;
    int64_t ColumnInt64(int index) const;
    double ColumnReal(int index) const;
    bool ColumnIsNull(int index) const;

    void Close();

private:
    friend class AccountDatabase;
    sqlite3_stmt* statement_ = nullptr;
    int columnCount_ = 0;
    std::vector<std::string> names_;
    std::vector<ColumnClass> classes_;
};

// One statement of a batch, optionally carrying the bytes for its one blob parameter.
struct BatchStatement {
    std::string sql;
    std::string blob;
    bool hasBlob = false;
};

enum class OpenMode { CreateWhenMissing, ExistingOnly };

class AccountDatabase {
public:
    explicit AccountDatabase(std::string databaseName = {});
    ~AccountDatabase();
    AccountDatabase(const AccountDatabase&) = delete;
    AccountDatabase& operator=(const AccountDatabase&) = delete;

    // Read-write, created when missing, with the 20000 ms busy time-out and the SQL function
    // now() (the current UTC time as "YYYY-MM-DD HH:MM:SS").
    bool Open(const std::string& path, OpenMode mode = OpenMode::CreateWhenMissing);
    bool IsOpen() const { return connection_ != nullptr; }
    // The file the handle opened; empty when closed.
    const std::string& FilePath() const { return filePath_; }
    void Close();

    bool Execute(std::string_view sql);
    template<class... Args>
    bool ExecuteFormat(std::string_view format, const Args&... args)
    {
        return Execute(Format(format, args...));
    }
    // Prepares, steps once and records the columns of the first row.
    bool QueryText(DbQuery& query, std::string_view sql);
    template<class... Args>
    bool Query(DbQuery& query, std::string_view format, const Args&... args)
    {
        return QueryText(query, Format(format, args...));
    }
    bool NextRow(DbQuery& query);

    // The same as values: a statement run for its effect, and a query with its first row (or
    // none), or SQLite's words for why not. A refusal by a constraint is an error here too.
    //
    //     TRY_ASSIGN(db::DbQuery rows, database.Select("SELECT ID FROM main.CATEGORY"));
    ErrorOr<void> Run(std::string_view sql);
    ErrorOr<DbQuery> Select(std::string_view sql);

    // "BEGIN;", every statement (results ignored), "COMMIT;".
    void RunBatch(const std::vector<BatchStatement>& statements);
    // Binds `bytes` to parameter 1 and steps once.
    bool ExecuteWithBlob(std::string_view sql, std::string_view bytes);

    // Always "main"; logs when the handle was never given a name.
    std::string GetDatabaseName() const;
    const std::string& databaseName() const { return databaseName_; }

    // A 10-character key: 8 base-36 digits of the persisted counter, least significant first,
    // then 2 base-36 digits of this machine's server number.
    static std::string CreatePrimaryKey();
    // A key that `table`.`column` does not hold yet.
    std::string CreateUniqueKey(std::string_view table, std::string_view column);

    sqlite3* connection() const { return connection_; }
    // A transaction is open on the handle (BEGIN without its COMMIT or ROLLBACK yet).
    bool InTransaction() const;

    // Statements that failed for a reason other than a constraint (a unique row already there):
    // a full disk, a lock held past the busy time-out, a damaged file, a syntax error. Writers
    // that refuse duplicates on purpose see only the real failures here.
    int FailureCount() const { return failureCount_; }
    // SQLite's words for the latest such failure, and its primary result code.
    const std::string& LastFailure() const { return lastFailure_; }
    int LastFailureCode() const { return lastFailureCode_; }
    // A few words an owner can act on for the latest failure ("The disk is full").
    std::string_view LastFailureCause() const;

private:
    bool NoteResult(int result);

    sqlite3* connection_ = nullptr;
    std::string databaseName_;
    std::string filePath_;
    int failureCount_ = 0;
    int lastFailureCode_ = 0;
    std::string lastFailure_;
};

// What a write transaction and a savepoint share: the handle, its failure count when the write
// began, and whether it began and is still open.
class ScopedWrite {
public:
    ScopedWrite(const ScopedWrite&) = delete;
    ScopedWrite& operator=(const ScopedWrite&) = delete;

    bool began() const { return began_; }
    // True when a statement failed since the write began (or it could not begin).
    bool HasFailed() const;

protected:
    explicit ScopedWrite(AccountDatabase& db);
    ~ScopedWrite() = default;

    AccountDatabase& db_;
    int failuresAtStart_;
    bool began_ = false;
    bool open_ = false;
};

// A write transaction ("BEGIN IMMEDIATE", so a writer waits for the lock up front instead of
// failing half-way) that rolls back unless committed. Commit refuses, and rolls back, when any
// statement on the handle failed since the transaction began.
//
//     WriteTransaction transaction(db);
//     ... writes ...
//     if (!transaction.Commit()) return SendError(request, 500, "Internal error");
class WriteTransaction final : public ScopedWrite {
public:
    explicit WriteTransaction(AccountDatabase& db);
    ~WriteTransaction();

    bool Commit();
    void Rollback();
};

// A savepoint: one part of the work that is kept or undone as a whole. Outside a transaction
// it first begins one ("BEGIN IMMEDIATE", for the reason given above) and its release commits
// it; inside one it nests, and the caller's transaction decides. Undone unless released.
//
//     Savepoint menu(db, "legacy_menu");
//     ... writes ...
//     if (!menu.Release()) ... // nothing of it stayed
class Savepoint final : public ScopedWrite {
public:
    Savepoint(AccountDatabase& db, std::string name);
    ~Savepoint();

    // Keeps the work. Refuses, and undoes it, when a statement failed since it was set or the
    // commit did not go through.
    bool Release();
    void Rollback();

private:
    std::string name_;
    bool ownsTransaction_ = false;
};

// "<data folder>/main.db".
std::string DefaultDatabasePath();

// Stored date texts. Local calendar time of `when`.
std::string DateText(time_t when);          // "YYYY-MM-DD"
std::string TimestampText(time_t when);     // "YYYY-MM-DD HH:MM:SS"
// CREATED_DATE and MODIFIED_DATE: the UTC wall clock of `when` as a timestamp text.
std::string UtcTimestampText(time_t when);

// Writes every remaining row of `rows` as an object into the writer's open array: one member
// per column, named as the statement wrote it; by the class of the column in the first row a
// real, an integer or a string, and columns that were NULL or a blob there are left out.
void WriteRows(JsonWriter& writer, DbQuery& rows, AccountDatabase& db);

// ---------------------------------------------------------------------------------------------
// Records

enum class RecordStatus { Ok = 0, SqlFailed = 1, Missing = 2, NotFound = 3, RequiredEmpty = 4 };

struct DbField {
    std::string name;
    std::string value;
    bool modified = false;
    bool isNull = false;
};

// One table row. Subclasses name their table and fields and override the hooks they need.
class DbRecord {
public:
    // An empty `keyName` makes a record without a key field.
    DbRecord(std::vector<std::string> fieldNames, std::string keyName = "ID");
    virtual ~DbRecord() = default;

    virtual RecordStatus Insert(AccountDatabase& db);
    virtual RecordStatus LoadByField(AccountDatabase& db, std::string_view name,
                                     std::string_view value);
    virtual RecordStatus LoadByKey(AccountDatabase& db, std::string_view key);
    virtual RecordStatus LoadWhere(AccountDatabase& db, std::string_view condition);
    virtual RecordStatus Save(AccountDatabase& db);
    virtual RecordStatus UpdateByKey(AccountDatabase& db);
    virtual RecordStatus UpdateWhere(AccountDatabase& db, std::string_view condition);

    virtual RecordStatus BeforeInsert(AccountDatabase&) { return RecordStatus::Ok; }
    virtual RecordStatus BeforeLoad(AccountDatabase&) { return RecordStatus::Ok; }
    virtual RecordStatus AfterInsert(AccountDatabase&) { return RecordStatus::Ok; }
    virtual RecordStatus AfterLoad(AccountDatabase&) { return RecordStatus::Ok; }
    virtual RecordStatus BeforeUpdate(AccountDatabase&) { return RecordStatus::Ok; }
    virtual RecordStatus AfterUpdate(AccountDatabase&) { return RecordStatus::Ok; }
    virtual std::string KeyColumnName() const { return hasKey_ ? key_.name : std::string(); }
    virtual std::string TableName() const { return {}; }

    bool HasKey() const { return hasKey_; }
    const std::string& Key() const { return key_.value; }
    void SetKey(std::string_view key) { key_.value = key; }
    bool succeeded() const { return succeeded_; }

    // Null when the record has no such field.
    DbField* Field(std::string_view name);
    const DbField* Field(std::string_view name) const;
    std::string Get(std::string_view name) const;
    // Marks the field modified unless `markModified` is false; clears its null flag.
    void Set(std::string_view name, std::string_view value, bool markModified = true);
    void SetNull(std::string_view name);
    const std::vector<DbField>& fields() const { return fields_; }

protected:
    DbField key_;
    bool hasKey_;
    std::vector<DbField> fields_;
    bool succeeded_ = false;
};

// ---------------------------------------------------------------------------------------------
// Schema

using UpgradeOperation = std::function<void(AccountDatabase&)>;

// The account tables (users, accounts, access rights, sites, sessions).
void CreateAccountTables(AccountDatabase& db);
// Every data table in its current form.
void CreateDataTables(AccountDatabase& db);
// DBVERSION of the account named by the handle's schema; 0 when there is no row.
int ReadSchemaVersion(AccountDatabase& db);
void WriteSchemaVersion(AccountDatabase& db);
// Reads the version and upgrades when it is behind (db_internal.h says how). One thread of the process at a time: the
// others wait and then find the file current, so no step runs twice. A file once seen current
// is not read again by this process.
void UpgradeSchemaIfNeeded(AccountDatabase& db);
// The operation that runs at `version` after that version's statements (the legacy menu
// conversion hangs here). Replaces any operation registered before for that version.
void RegisterUpgradeOperation(int version, UpgradeOperation operation);

} // namespace tavolex::db
