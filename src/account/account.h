// account: the one local owner, the web sessions that browsers carry in the cookie
// "tavolexs_sess", and the owner's profile.
//
// On first start the database file gets its tables and the owner's rows (user "administrator",
// account "main", the link between them and the owner's USER_ACCOUNT row). Every browser then
// gets a session: a SESSION_DATA row named by an 18-character ID. Loading a session goes through
// a small process-wide cache so that a busy interface does not query the table on every request.
//
//     SessionContext session;
//     if (!LoadSession(db, session, cookieValue))
//         CreateNewSession(db, session, SessionDatabasePath());
#pragma once

#include "db.h"

#include <string>
#include <string_view>

namespace tavolex::account {

inline constexpr std::string_view kOwnerEmail = "administrator";
inline constexpr std::string_view kAccountName = "main";
inline constexpr int kAdministratorBit = 256;
inline constexpr int kVerifiedEmailBit = 4096;

// What a request knows of its session.
struct SessionContext {
    std::string id;           // 18 characters; empty without a session
    std::string userEmail;
    std::string databaseName; // non-empty once the session is bound to the account
    std::string lastActive;
};

// Creates "main.db" with every table and the owner's rows when the file does not exist yet.
// True when the file exists afterwards.
bool PrepareDatabase();
// Runs the first-start steps on an open, empty database. False when a step that the rest
// depends on failed.
bool CreateFirstStartRows(db::LAppDatabaseAccount& db);

// The full path that new sessions record as their account database.
std::string SessionDatabasePath();

bool CreateNewSession(db::LAppDatabaseAccount& db, SessionContext& session,
                      std::string_view databaseName);
bool LoadSession(db::LAppDatabaseAccount& db, SessionContext& session, std::string_view cookie);
std::string GetLoggedOnUser(const SessionContext& session);
// Forgets every cached session. For tests.
void ClearSessionCache();

// Lower-case hex SHA-512 of salt + password + the program's pepper.
std::string PasswordHash(std::string_view salt, std::string_view password);
// True only when the user exists and has no password hash.
bool IsPasswordNotSet(db::LAppDatabaseAccount& db, std::string_view email);

// The owner's profile for the account routes.
struct BRProfile {
    std::string accountId;
    std::string ownerEmail;
    std::string accountName;
    std::string id, name, name2, email, phone, createdDate;
    int userType = 0;
    bool loaded = false;

    bool Reload(db::LAppDatabaseAccount& db, std::string_view userEmail, std::string_view account);
};

// The owner's USER_ACCOUNT row, saved field by field.
struct OwnerRecord {
    std::string id, name, name2, email, phone, createdDate;
    int userType = 0;
    bool nameModified = false, name2Modified = false, emailModified = false,
         phoneModified = false, userTypeModified = false;

    bool Save(db::LAppDatabaseAccount& db);
};

} // namespace tavolex::account
