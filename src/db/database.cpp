// The database handle, queries, keys and the stored date texts.
#include "db.h"

#include "db_internal.h"

#include "platform.h"

#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <random>
#include <utility>

namespace tavolex::db {

namespace {

// now(): the current UTC wall clock, the same text CREATED_DATE gets elsewhere.
void SqlNow(sqlite3_context* context, int, sqlite3_value**)
{
    std::string text = UtcTimestampText(time(nullptr));
    sqlite3_result_text(context, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

tm LocalTime(time_t when)
{
    tm local{};
    localtime_r(&when, &local);
    return local;
}

bool IsIdentifierChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The result columns of a statement's first SELECT as written, split at top-level commas up to
// the top-level FROM. SQLite names a plain column by its declared spelling ("ID" for "id");
// answers must use the spelling the statement wrote, so the names are matched back to these.
std::vector<std::string_view> WrittenResultColumns(std::string_view sql)
{
    std::vector<std::string_view> columns;
    size_t i = 0;
    int depth = 0;
    size_t itemStart = std::string_view::npos;
    auto wordAt = [&](size_t at, std::string_view word) {
        return at + word.size() <= sql.size() && EqualsIgnoringAsciiCase(sql.substr(at, word.size()), word) &&
               (at == 0 || !IsIdentifierChar(sql[at - 1])) &&
               (at + word.size() == sql.size() || !IsIdentifierChar(sql[at + word.size()]));
    };
    while (i < sql.size()) {
        char c = sql[i];
        if (c == '\'' || c == '"' || c == '`' || c == '[') {
            char close = c == '[' ? ']' : c;
            size_t end = sql.find(close, i + 1);
            i = end == std::string_view::npos ? sql.size() : end + 1;
            continue;
        }
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (depth == 0 && itemStart == std::string_view::npos && wordAt(i, "SELECT")) {
            i += 6;
            while (i < sql.size() && sql[i] == ' ')
                ++i;
            for (std::string_view modifier : {"DISTINCT", "ALL"})
                if (wordAt(i, modifier))
                    i += modifier.size();
            itemStart = i;
            continue;
        } else if (depth == 0 && itemStart != std::string_view::npos &&
                   (c == ',' || wordAt(i, "FROM") || c == ';')) {
            columns.push_back(sql.substr(itemStart, i - itemStart));
            if (c != ',')
                return columns;
            itemStart = i + 1;
        }
        ++i;
    }
    if (itemStart != std::string_view::npos)
        columns.push_back(sql.substr(itemStart));
    return columns;
}

// The name a written result column gives itself when it is a plain (possibly qualified) column
// reference; empty for expressions, stars and AS names (SQLite already reports those as written).
std::string_view PlainColumnName(std::string_view item)
{
    while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front())))
        item.remove_prefix(1);
    while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back())))
        item.remove_suffix(1);
    size_t dot = item.rfind('.');
    std::string_view name = dot == std::string_view::npos ? item : item.substr(dot + 1);
    if (name.empty())
        return {};
    for (char c : item)
        if (!IsIdentifierChar(c) && c != '.')
            return {};
    return name;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// DbQuery

DbQuery::DbQuery(DbQuery&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr)), columnCount_(std::exchange(other.columnCount_, 0)),
      names_(std::move(other.names_)), classes_(std::move(other.classes_))
{
}

DbQuery& DbQuery::operator=(DbQuery&& other) noexcept
{
    if (this != &other) {
        Close();
        statement_ = std::exchange(other.statement_, nullptr);
        columnCount_ = std::exchange(other.columnCount_, 0);
        names_ = std::move(other.names_);
        classes_ = std::move(other.classes_);
    }
    return *this;
}

DbQuery::~DbQuery()
{
    Close();
}

void DbQuery::Close()
{
    if (statement_)
        sqlite3_finalize(statement_);
    statement_ = nullptr;
    columnCount_ = 0;
    names_.clear();
    classes_.clear();
}

const std::string& DbQuery::ColumnName(int index) const
{
    static const std::string empty;
    if (index < 0 || index >= static_cast<int>(names_.size()))
        return empty;
    return names_[static_cast<size_t>(index)];
}

ColumnClass DbQuery::ClassOf(int index) const
{
    if (index < 0 || index >= static_cast<int>(classes_.size()))
        return ColumnClass::Null;
    return classes_[static_cast<size_t>(index)];
}

std::string DbQuery::ColumnText(int index, std::string_view defaultValue) const
{
    if (!statement_ || index < 0 || index >= columnCount_ ||
        sqlite3_column_type(statement_, index) == SQLITE_NULL)
        return std::string(defaultValue);
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, index));
    int length = sqlite3_column_bytes(statement_, index);
    return text ? std::string(text, static_cast<size_t>(length)) : std::string(defaultValue);
}

std::string DbQuery::ColumnShortText(int index, std::string_view defaultValue) const
{
    return std::string(CutUtf8ToUnits(ColumnText(index, defaultValue), kTextFieldUnits));
}

int DbQuery::ColumnInt(int index) const
{
    if (!statement_ || index < 0 || index >= columnCount_)
        return 0;
    return sqlite3_column_int(statement_, index);
}

int64_t DbQuery::ColumnInt64(int index) const
{
    if (!statement_ || index < 0 || index >= columnCount_)
        return 0;
    return sqlite3_column_int64(statement_, index);
}

double DbQuery::ColumnReal(int index) const
{
    if (!statement_ || index < 0 || index >= columnCount_)
        return 0;
    return sqlite3_column_double(statement_, index);
}

bool DbQuery::ColumnIsNull(int index) const
{
    return !statement_ || index < 0 || index >= columnCount_ ||
           sqlite3_column_type(statement_, index) == SQLITE_NULL;
}

// ---------------------------------------------------------------------------------------------
// AccountDatabase

AccountDatabase::AccountDatabase(std::string databaseName)
    : databaseName_(std::move(databaseName))
{
}

AccountDatabase::~AccountDatabase()
{
    Close();
}

bool AccountDatabase::Open(const std::string& path, OpenMode mode)
{
    Close();
    sqlite3* connection = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    switch (mode) {
    case OpenMode::CreateWhenMissing: flags |= SQLITE_OPEN_CREATE; break;
    case OpenMode::ExistingOnly: break;
    }
    int result = sqlite3_open_v2(path.c_str(), &connection, flags, nullptr);
    if (result != SQLITE_OK) {
        sqlite3_close(connection);
        return false;
    }
    sqlite3_busy_timeout(connection, kBusyTimeoutMs);
    sqlite3_create_function(connection, "now", 0, SQLITE_UTF8, nullptr, SqlNow, nullptr, nullptr);
    // Many connection threads write at once: with a write-ahead log readers never wait for a
    // writer, and a commit costs one append instead of rewriting the journal. A file that cannot
    // change its mode (its folder is read-only, another process holds it in the old one) keeps
    // the mode it has: slower, never wrong, so the handle opens all the same.
    sqlite3_exec(connection, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr,
                 nullptr, nullptr);
    connection_ = connection;
    filePath_ = path;
    return true;
}

void AccountDatabase::Close()
{
    if (connection_)
        sqlite3_close_v2(connection_);
    connection_ = nullptr;
    filePath_.clear();
}

bool AccountDatabase::NoteResult(int result)
{
    if (result == SQLITE_OK || result == SQLITE_ROW || result == SQLITE_DONE)
        return true;
    if ((result & 0xFF) != SQLITE_CONSTRAINT) {
        ++failureCount_;
        lastFailureCode_ = result & 0xFF;
        lastFailure_ = connection_ ? sqlite3_errmsg(connection_) : sqlite3_errstr(result);
    }
    return false;
}

bool AccountDatabase::InTransaction() const
{
    return connection_ && !sqlite3_get_autocommit(connection_);
}

std::string_view AccountDatabase::LastFailureCause() const
{
    switch (lastFailureCode_) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return "The database is busy";
    case SQLITE_FULL: return "The disk is full";
    case SQLITE_READONLY: return "The database cannot be written";
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return "The database is damaged";
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN: return "The database file cannot be used";
    default: return "The database refused the request";
    }
}

ErrorOr<void> AccountDatabase::Run(std::string_view sql)
{
    if (Execute(sql))
        return {};
    return Error{connection_ ? sqlite3_errmsg(connection_) : sqlite3_errstr(SQLITE_CANTOPEN)};
}

ErrorOr<DbQuery> AccountDatabase::Select(std::string_view sql)
{
    DbQuery rows;
    if (!QueryText(rows, sql))
        return Error{connection_ ? sqlite3_errmsg(connection_) : sqlite3_errstr(SQLITE_CANTOPEN)};
    return rows;
}

bool AccountDatabase::Execute(std::string_view sql)
{
    if (!connection_)
        return NoteResult(SQLITE_CANTOPEN);
    std::string text(sql);
    return NoteResult(sqlite3_exec(connection_, text.c_str(), nullptr, nullptr, nullptr));
}

bool AccountDatabase::QueryText(DbQuery& query, std::string_view sql)
{
    query.Close();
    if (!connection_)
        return NoteResult(SQLITE_CANTOPEN);
    if (!NoteResult(sqlite3_prepare_v2(connection_, sql.data(), static_cast<int>(sql.size()),
                                       &query.statement_, nullptr))) {
        query.Close();
        return false;
    }
    if (!query.statement_) // only white space or a comment
        return false;
    int step = sqlite3_step(query.statement_);
    if (step != SQLITE_ROW)
        return NoteResult(step);
    query.columnCount_ = sqlite3_column_count(query.statement_);
    std::vector<std::string_view> written = WrittenResultColumns(sql);
    if (written.size() != static_cast<size_t>(query.columnCount_))
        written.clear(); // a star or something unusual: keep SQLite's names
    for (int i = 0; i < query.columnCount_; ++i) {
        const char* reported = sqlite3_column_name(query.statement_, i);
        std::string_view name = reported ? reported : "";
        if (!written.empty()) {
            std::string_view plain = PlainColumnName(written[static_cast<size_t>(i)]);
            if (EqualsIgnoringAsciiCase(plain, name))
                name = plain;
        }
        query.names_.emplace_back(CutUtf8ToUnits(name, kTextFieldUnits));
        query.classes_.push_back(static_cast<ColumnClass>(sqlite3_column_type(query.statement_, i)));
    }
    return true;
}

bool AccountDatabase::NextRow(DbQuery& query)
{
    if (!query.statement_ || query.columnCount_ == 0)
        return false;
    int step = sqlite3_step(query.statement_);
    if (step != SQLITE_ROW) {
        NoteResult(step);
        query.columnCount_ = 0;
        return false;
    }
    return true;
}

void AccountDatabase::RunBatch(const std::vector<BatchStatement>& statements)
{
    Execute("BEGIN;");
    for (const BatchStatement& statement : statements) {
        if (statement.hasBlob)
            ExecuteWithBlob(statement.sql, statement.blob);
        else
            Execute(statement.sql);
    }
    Execute("COMMIT;");
}

bool AccountDatabase::ExecuteWithBlob(std::string_view sql, std::string_view bytes)
{
    if (!connection_)
        return NoteResult(SQLITE_CANTOPEN);
    sqlite3_stmt* statement = nullptr;
    if (!NoteResult(sqlite3_prepare_v2(connection_, sql.data(), static_cast<int>(sql.size()),
                                       &statement, nullptr)) || !statement) {
        sqlite3_finalize(statement);
        return false;
    }
    sqlite3_bind_blob(statement, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    int step = sqlite3_step(statement);
    bool stepped = NoteResult(step);
    bool finalized = sqlite3_finalize(statement) == SQLITE_OK;
    return stepped && finalized;
}

// ---------------------------------------------------------------------------------------------
// WriteTransaction

ScopedWrite::ScopedWrite(AccountDatabase& db) : db_(db), failuresAtStart_(db.FailureCount()) {}

bool ScopedWrite::HasFailed() const
{
    return !began_ || db_.FailureCount() != failuresAtStart_;
}

WriteTransaction::WriteTransaction(AccountDatabase& db) : ScopedWrite(db)
{
    began_ = db_.Execute("BEGIN IMMEDIATE;");
    open_ = began_;
}

WriteTransaction::~WriteTransaction()
{
    Rollback();
}

bool WriteTransaction::Commit()
{
    if (!open_)
        return false;
    if (HasFailed()) {
        Rollback();
        return false;
    }
    if (!db_.Execute("COMMIT;")) {
        Rollback();
        return false;
    }
    open_ = false;
    return true;
}

void WriteTransaction::Rollback()
{
    if (!open_)
        return;
    open_ = false;
    // A failed COMMIT may already have ended the transaction; the handle stays usable either way.
    sqlite3_exec(db_.connection(), "ROLLBACK;", nullptr, nullptr, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Savepoint

Savepoint::Savepoint(AccountDatabase& db, std::string name)
    : ScopedWrite(db), name_(std::move(name))
{
    if (!db_.IsOpen())
        return;
    if (sqlite3_get_autocommit(db_.connection())) {
        ownsTransaction_ = db_.Execute("BEGIN IMMEDIATE;");
        if (!ownsTransaction_)
            return;
    }
    began_ = db_.ExecuteFormat("SAVEPOINT %s;", name_);
    open_ = began_;
    if (!began_ && ownsTransaction_)
        sqlite3_exec(db_.connection(), "ROLLBACK;", nullptr, nullptr, nullptr);
}

Savepoint::~Savepoint()
{
    Rollback();
}

bool Savepoint::Release()
{
    if (!open_)
        return false;
    if (HasFailed() || !db_.ExecuteFormat("RELEASE %s;", name_)) {
        Rollback();
        return false;
    }
    open_ = false;
    if (ownsTransaction_ && !db_.Execute("COMMIT;")) {
        sqlite3_exec(db_.connection(), "ROLLBACK;", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

void Savepoint::Rollback()
{
    if (!open_)
        return;
    open_ = false;
    sqlite3* connection = db_.connection();
    // A full disk or a broken file may have made SQLite end the whole transaction already;
    // then there is no savepoint left to go back to, and nothing of it stayed.
    if (sqlite3_get_autocommit(connection))
        return;
    std::string undo = Format("ROLLBACK TO %s; RELEASE %s;", name_, name_);
    sqlite3_exec(connection, undo.c_str(), nullptr, nullptr, nullptr);
    if (ownsTransaction_)
        sqlite3_exec(connection, "ROLLBACK;", nullptr, nullptr, nullptr);
}

std::string AccountDatabase::GetDatabaseName() const
{
    if (databaseName_.empty())
        LogError("LAppDatabaseAccount::GetDatabaseName The database name is not set");
    return "main";
}

std::string AccountDatabase::CreateUniqueKey(std::string_view table, std::string_view column)
{
    std::string schema = GetDatabaseName();
    for (;;) {
        std::string key = CreatePrimaryKey();
        DbQuery found;
        Query(found, "SELECT %s FROM %s.%s WHERE %s = '%Q';", column, schema, table, column, key);
        if (!found.HasRow())
            return key;
    }
}

void WriteRows(JsonWriter& writer, DbQuery& rows, AccountDatabase& db)
{
    for (; rows.HasRow(); db.NextRow(rows)) {
        writer.BeginObject();
        for (int i = 0; i < rows.ColumnCount(); ++i) {
            const std::string& name = rows.ColumnName(i);
            switch (rows.ClassOf(i)) {
            case ColumnClass::Real: writer.Real(name, rows.ColumnReal(i)); break;
            // Whole numbers keep all 64 bits: prices in the smallest unit may pass 2^31.
            case ColumnClass::Integer: writer.Int64(name, rows.ColumnInt64(i)); break;
            case ColumnClass::Text: writer.String(name, rows.ColumnText(i)); break;
            case ColumnClass::Blob:
            case ColumnClass::Null: break;
            }
        }
        writer.EndObject();
    }
}

std::string DefaultDatabasePath()
{
    return platform::JoinPath(platform::DataFolder(), "main.db");
}

// ---------------------------------------------------------------------------------------------
// Keys

namespace {

constexpr int64_t kKeyEpoch = 1513728000; // the counter's zero, in seconds since 1970
constexpr int64_t kKeysPerSecond = 800;
constexpr int64_t kStartSkip = 256;
constexpr int64_t kKeyReservation = 1024; // keys handed out per durable write of the counter

struct KeyState {
    std::mutex lock;
    std::atomic<int> serverNumber{0};
    int64_t counter = 0;
    int64_t reservedUntil = 0; // the value stored in the settings; counter never passes it
};

KeyState& Keys()
{
    static KeyState state;
    return state;
}

int ServerNumber()
{
    KeyState& keys = Keys();
    int number = keys.serverNumber.load();
    if (number != 0)
        return number;
    number = ReadSettingInt("Settings", "SQLPrimaryKeyServerID", 0);
    if (number == 0) {
        std::random_device seed;
        std::mt19937 random(seed() ^ static_cast<unsigned>(time(nullptr)));
        number = static_cast<int>(random() % 255) + 1;
        WriteSettingInt("Settings", "SQLPrimaryKeyServerID", number);
    }
    if (number > 255)
        LogError("LAppDatabaseAccount::SQLCreatePrimaryKey server unique ID must not > 255");
    else
        LogFormat("LAppDatabaseAccount::SQLCreatePrimaryKey unique server ID is: %d", number);
    keys.serverNumber.store(number);
    return number;
}

int64_t ParseInt64(std::string_view text)
{
    int64_t value = 0;
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (INT64_MAX - (text[i] - '0')) / 10)
            return negative ? INT64_MIN : INT64_MAX;
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

constexpr char kBase36[] = "0123456789abcdefghijklmnopqrstuvwxyz";

} // namespace

std::string AccountDatabase::CreatePrimaryKey()
{
    int server = ServerNumber();
    KeyState& keys = Keys();
    int64_t value;
    {
        std::lock_guard guard(keys.lock);
        if (keys.counter == 0) {
            keys.counter = ParseInt64(ReadSettingText("Settings", "SQLPrimaryKeyID", ""));
            if (keys.counter == 0) {
                keys.counter = (static_cast<int64_t>(time(nullptr)) - kKeyEpoch) * kKeysPerSecond;
                Log("LAppDatabaseAccount::SQLCreatePrimaryKey reset starting ID - must be a new install");
            }
            keys.counter += kStartSkip;
            keys.reservedUntil = keys.counter;
        }
        value = keys.counter;
        keys.counter = static_cast<int64_t>(static_cast<uint64_t>(keys.counter) + 1);
        if (keys.counter == 0)
            keys.counter = 1;
        // The stored value always lies past every key handed out, so no key repeats after any
        // stop, even a crash between two writes. Reserving a block at a time keeps the cost of
        // the durable write off most keys.
        if (keys.counter > keys.reservedUntil || keys.counter < value) {
            keys.reservedUntil = static_cast<int64_t>(static_cast<uint64_t>(keys.counter) + kKeyReservation);
            WriteSettingText("Settings", "SQLPrimaryKeyID", Format("%I64d", keys.reservedUntil));
        }
    }

    std::string key(10, '0');
    auto digits = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i) {
        key[static_cast<size_t>(i)] = kBase36[digits % 36];
        digits /= 36;
    }
    auto number = static_cast<unsigned>(server);
    key[8] = kBase36[(number / 36) % 36];
    key[9] = kBase36[number % 36];
    return key;
}

void ResetKeyStateForTesting()
{
    KeyState& keys = Keys();
    std::lock_guard guard(keys.lock);
    keys.counter = 0;
    keys.reservedUntil = 0;
    keys.serverNumber.store(0);
}

// ---------------------------------------------------------------------------------------------
// Dates

std::string DateText(time_t when)
{
    tm local = LocalTime(when);
    return Format("%.4d-%.2d-%.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::string TimeText(time_t when)
{
    tm local = LocalTime(when);
    return Format("%.2d:%.2d:%.2d", local.tm_hour, local.tm_min, local.tm_sec);
}

std::string FileSafeTimeText(time_t when)
{
    tm local = LocalTime(when);
    return Format("%.2d-%.2d-%.2d", local.tm_hour, local.tm_min, local.tm_sec);
}

std::string TimestampText(time_t when)
{
    return Format("%s %s", DateText(when), TimeText(when));
}

std::string UtcTimestampText(time_t when)
{
    // The local conversion of (when - offset) shows the UTC wall clock. gmtime gives the same
    // text without depending on the zone's rules at that instant.
    tm utc{};
    gmtime_r(&when, &utc);
    return Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
}

} // namespace tavolex::db
