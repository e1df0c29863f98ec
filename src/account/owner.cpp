// The local owner: first-start rows, the password hash, the profile and the owner record.
#include "account.h"

#include "platform.h"
#include "random_letters.h"

#include <openssl/evp.h>

#include <mutex>
#include <cstdio>
#include <sys/stat.h>

namespace tavolex::account {

namespace {

// The owner never types a password: the desktop user is the owner. The row still carries a
// proper salted hash so that "password set" answers true.
constexpr std::string_view kFixedPassword = "quorvantelisb";
constexpr std::string_view kPepper = "q7TmR2#wK9!pLx4%Zc8&Nv3Hs";

// The file's size, or -1 when there is none.
off_t FileSize(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

std::mutex& DamageLock()
{
    static std::mutex lock;
    return lock;
}

std::string& DamageText()
{
    static std::string text;
    return text;
}

// A file that SQLite cannot read as a database is left exactly as it is: the owner's data may
// still be recovered from it. The program says so once and every route answers with the text.
bool CheckExistingFile(const std::string& path)
{
    db::AccountDatabase database{std::string(kAccountName)};
    std::string problem;
    if (!database.Open(path, db::OpenMode::ExistingOnly)) {
        problem = "it cannot be opened";
    } else if (ErrorOr<db::DbQuery> check = database.Select("PRAGMA quick_check;"); check.HasError()) {
        problem = check.GetError().message;
    } else if (check.Value().HasRow() && check.Value().ColumnText(0) != "ok") {
        problem = check.Value().ColumnText(0);
    }
    if (problem.empty())
        return true;
    std::string text = Format("main.db is damaged: %s; nothing was changed", problem);
    LogError("%s", text);
    fprintf(stderr, "%s\n", text.c_str());
    std::lock_guard guard(DamageLock());
    DamageText() = text;
    return false;
}

} // namespace

std::string PasswordHash(std::string_view salt, std::string_view password)
{
    std::string input;
    input.append(salt).append(password).append(kPepper);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha512(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

bool CreateFirstStartRows(db::AccountDatabase& db)
{
    // Every step below writes to a new, empty file: any failed statement (the table makers do
    // not answer one by one) means the file is not set up, and the caller throws it away.
    const int failuresAtStart = db.FailureCount();
    db::CreateAccountTables(db);
    std::optional<std::string> salt = RandomLowerLetters(20);
    if (!salt) {
        LogError("Database: the system's random source failed, so the owner has no password salt");
        return false;
    }
    std::string hash = PasswordHash(*salt, kFixedPassword);
    std::string userId = db::AccountDatabase::CreatePrimaryKey();
    if (!db.ExecuteFormat("INSERT INTO main.GLOBAL_USER(ID, EMAIL, PASSWORD_HASH, PASSWORD_SALT, LAST_ACCOUNT)VALUES ('%Q', '%Q', '%Q', '%Q', '%Q');",
                          userId, kOwnerEmail, hash, *salt, ""))
        return false;
    std::string accountId = db::AccountDatabase::CreatePrimaryKey();
    if (!db.ExecuteFormat("INSERT INTO main.ACCOUNT(ID, NAME, OWNER_ID) VALUES ('%Q', '%Q', '%Q');",
                          accountId, kAccountName, userId))
        return false;
    if (!db.ExecuteFormat("UPDATE main.GLOBAL_USER SET LAST_ACCOUNT = '%Q' WHERE ID = '%Q';", accountId, userId) ||
        !db.ExecuteFormat("INSERT INTO main.ACCOUNT_ACCESS(ID, USER_ID, ACCOUNT_ID) VALUES ('%Q', '%Q', '%Q');",
                          db::AccountDatabase::CreatePrimaryKey(), userId, accountId))
        return false;
    db::WriteSchemaVersion(db);
    db::CreateDataTables(db);

    OwnerRecord owner;
    owner.email = kOwnerEmail;
    owner.userType = kAdministratorBit;
    if (!owner.Save(db))
        return false;
    db::DbQuery row;
    db.Query(row, "SELECT ID FROM %s.%s WHERE %s = '%Q';", db.GetDatabaseName(), "USER_ACCOUNT", "EMAIL", kOwnerEmail);
    std::string ownerId = row.ColumnText(0);
    db.Query(row, "SELECT USER_TYPE FROM %s.USER_ACCOUNT WHERE ID = '%Q';", db.GetDatabaseName(), ownerId);
    auto type = static_cast<unsigned>(row.ColumnInt(0)) | static_cast<unsigned>(kVerifiedEmailBit);
    return db.ExecuteFormat("UPDATE %s.USER_ACCOUNT SET USER_TYPE = %u WHERE ID = '%Q';",
                            db.GetDatabaseName(), type, ownerId) &&
           !ownerId.empty() && db.FailureCount() == failuresAtStart;
}

bool PrepareDatabase()
{
    // One start at a time creates the file: a second thread waits and then finds it there.
    static std::mutex lock;
    std::lock_guard guard(lock);
    std::string path = db::DefaultDatabasePath();
    {
        std::lock_guard damage(DamageLock());
        DamageText().clear();
    }
    // An empty file holds nothing to keep: it is set up as a missing one would be.
    off_t size = FileSize(path);
    if (size > 0)
        return CheckExistingFile(path);
    // Build the new file beside its final name and move it there only when it is complete, so
    // that a start interrupted half-way never leaves a file that looks set up but is not.
    std::string building = path + ".new";
    std::remove(building.c_str());
    bool created = false;
    {
        db::AccountDatabase database{std::string(kAccountName)};
        if (!database.Open(building)) {
            LogError("Database: cannot create %s", building);
            return false;
        }
        // One self-contained file to move. Should the mode not change, closing the only handle
        // still folds the write-ahead log into the file before it is moved.
        database.Execute("PRAGMA journal_mode=DELETE;");
        // Without the transaction every statement commits alone, which is only slower: the file
        // is moved into place only when every step went through.
        database.Execute("BEGIN;");
        created = CreateFirstStartRows(database);
        if (!created)
            database.Execute("ROLLBACK;"); // the file is removed below either way
        else if (database.InTransaction() && database.Run("COMMIT;").HasError())
            created = false;
    }
    if (!created || std::rename(building.c_str(), path.c_str()) != 0) {
        LogError("Database: the first start could not set up %s", path);
        std::remove(building.c_str());
        return false;
    }
    return true;
}

std::string DatabaseProblem()
{
    std::lock_guard guard(DamageLock());
    return DamageText();
}

bool IsPasswordNotSet(db::AccountDatabase& db, std::string_view email)
{
    db::DbQuery row;
    db.Query(row, "SELECT ID FROM %s.%s WHERE %s = '%Q';", "main", "GLOBAL_USER", "EMAIL", email);
    if (!row.HasRow())
        return false;
    std::string id = row.ColumnText(0);
    db.Query(row, "SELECT %s FROM %s.%s WHERE ID = '%Q';", "PASSWORD_HASH, PASSWORD_SALT", "main", "GLOBAL_USER", id);
    return row.HasRow() && row.ColumnText(0).empty();
}

bool Profile::Reload(db::AccountDatabase& db, std::string_view userEmail, std::string_view account)
{
    *this = Profile();
    if (userEmail.empty() || account.empty()) {
        Log("BRProfile::Reload - One or more of the required parameters missing.");
        return false;
    }
    if (!db.IsOpen()) {
        Log("BRProfile::Reload - database cannot be opened");
        return false;
    }
    db::DbQuery row;
    db.Query(row, "SELECT A.ID, G.EMAIL FROM main.ACCOUNT A JOIN main.GLOBAL_USER G ON A.OWNER_ID = G.ID WHERE A.NAME = '%Q'", account);
    if (!row.HasRow()) {
        Log("BRProfile::Reload - account does not exist");
        return false;
    }
    accountId = row.ColumnShortText(0);
    ownerEmail = row.ColumnShortText(1);
    std::string condition = Format("EMAIL = '%Q'", userEmail);
    db.Query(row, "SELECT ID, NAME, NAME2, EMAIL, PHONE, USER_TYPE, CREATED_DATE FROM %s.USER_ACCOUNT WHERE %s AND DELETED IS NULL LIMIT 1",
             db.GetDatabaseName(), condition);
    if (!row.HasRow()) {
        LogFormat("BRProfile::Reload - email '%s' does not exist in account", ForLog(userEmail));
        return false;
    }
    id = row.ColumnShortText(0);
    name = row.ColumnShortText(1);
    name2 = row.ColumnShortText(2);
    phone = row.ColumnShortText(4);
    userType = row.ColumnInt(5);
    createdDate = row.ColumnShortText(6);
    email = ReadSettingText("Email", "ReplyToEmail", "");
    accountName = account;
    loaded = true;
    return true;
}

bool OwnerRecord::Save(db::AccountDatabase& db)
{
    std::string schema = db.GetDatabaseName();
    if (id.empty()) {
        id = db::AccountDatabase::CreatePrimaryKey();
        createdDate = db::UtcTimestampText(time(nullptr));
        return db.ExecuteFormat("INSERT INTO %s.USER_ACCOUNT(ID, NAME, NAME2, EMAIL, PHONE, USER_TYPE, CREATED_DATE, DELETED) VALUES('%s', '%Q', '%Q', '%Q', '%Q', %d, '%s', NULL);",
                                schema, id, name, name2, email, phone, userType, createdDate);
    }
    TextBuffer set;
    auto add = [&set](bool modified, std::string_view column, std::string_view value) {
        if (!modified)
            return;
        AppendFormat(set, set.IsEmpty() ? "%s = '%Q'" : ", %s = '%Q'", column, value);
    };
    add(nameModified, "NAME", name);
    add(name2Modified, "NAME2", name2);
    add(emailModified, "EMAIL", email);
    add(phoneModified, "PHONE", phone);
    if (userTypeModified)
        AppendFormat(set, set.IsEmpty() ? "USER_TYPE = %d" : ", USER_TYPE = %d", userType);
    if (set.IsEmpty())
        return true;
    return db.ExecuteFormat("UPDATE %s.USER_ACCOUNT SET %s WHERE ID = '%s';", schema, set.view(), id);
}

} // namespace tavolex::account
