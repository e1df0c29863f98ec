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

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex::web {
struct WebRequest;
} // namespace tavolex::web

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

// The cookie that names a browser's session.
inline constexpr std::string_view kSessionCookie = "tavolexs_sess";

// Creates "main.db" with every table and the owner's rows when the file does not exist yet or is
// empty. True when the file is usable afterwards; a file that is not a readable database is
// never changed, and DatabaseProblem() then says why.
bool PrepareDatabase();
// "main.db is damaged: ...; nothing was changed" when PrepareDatabase found it so, else empty.
std::string DatabaseProblem();
// Removes the sessions not active for 30 days, and forgets them in the cache.
void RemoveStaleSessions(db::AccountDatabase& db);
// Runs the first-start steps on an open, empty database. False when a step that the rest
// depends on failed.
bool CreateFirstStartRows(db::AccountDatabase& db);

// The full path that new sessions record as their account database.
std::string SessionDatabasePath();

bool CreateNewSession(db::AccountDatabase& db, SessionContext& session,
                      std::string_view databaseName);
bool LoadSession(db::AccountDatabase& db, SessionContext& session, std::string_view cookie);
std::string GetLoggedOnUser(const SessionContext& session);
// Forgets every cached session. For tests.
void ClearSessionCache();

// Lower-case hex SHA-512 of salt + password + the program's pepper.
std::string PasswordHash(std::string_view salt, std::string_view password);
// True only when the user exists and has no password hash.
bool IsPasswordNotSet(db::AccountDatabase& db, std::string_view email);

// The owner's profile for the account routes.
struct Profile {
    std::string accountId;
    std::string ownerEmail;
    std::string accountName;
    std::string id, name, name2, email, phone, createdDate;
    int userType = 0;
    bool loaded = false;

    bool Reload(db::AccountDatabase& db, std::string_view userEmail, std::string_view account);
};

// The owner's USER_ACCOUNT row, saved field by field.
struct OwnerRecord {
    std::string id, name, name2, email, phone, createdDate;
    int userType = 0;
    bool nameModified = false, name2Modified = false, emailModified = false,
         phoneModified = false, userTypeModified = false;

    bool Save(db::AccountDatabase& db);
};

// ---------------------------------------------------------------------------------------------
// The gate and the routes

// Makes "main.db" when it is missing, puts the session layer into the web server's route step
// (each routed request opens its own database handle and loads the session named by its
// cookie) and registers the account and SQL script routes. Call before the listener starts.
// False when the database could not be set up (the routes are registered all the same).
bool InstallWebRoutes();

// The request's own database handle, opened by the route step.
db::AccountDatabase& RequestDatabase(web::WebRequest& request);
// The session the request's cookie named, or the one the gate made for it; an empty one (no id)
// without either.
const SessionContext& RequestSession(const web::WebRequest& request);
// Makes `session` the request's session (the gate does; tests and fuzzers that call a handler
// directly do too).
void AttachSession(web::WebRequest& request, SessionContext session);
// The profile of the request's logged-on user. False (and a log line) when it cannot be loaded.
bool LoadRequestProfile(web::WebRequest& request, Profile& profile);
// The logged-on user's USER_ACCOUNT row has the administrator bit.
bool IsAdministrator(web::WebRequest& request);

// Every protected handler calls this first and returns at once on false. A request without a
// session gets a new one for the owner; without one still, a protected path answers the 303
// "Session expired" reply. An older schema is upgraded before any handler work.
bool CheckAccess(web::WebRequest& request);
// The SQL script routes' gate: runs `script` and answers with its JSON, or answers 303
// "Not logged in or session expired" when the request has no session.
bool CheckScriptAccess(web::WebRequest& request, std::string_view script);

// ---------------------------------------------------------------------------------------------
// SQL scripts: a route whose whole behaviour is a constant text of statements with placeholders.
//   %name%                 the request parameter, every ' doubled (scripts quote it)
//   %% %[ %]               the characters % [ ]
//   [db]                   the schema name
//   [createkey.TABLE.COL]  a new key that TABLE.COL does not hold yet
//   [previouskey]          the last key made by createkey in this run

// A parameter's value, empty when the request has none.
using ParameterLookup = std::function<std::string(std::string_view name)>;
// Makes a key for TABLE.COL.
using KeyMaker = std::function<std::string(std::string_view table, std::string_view column)>;

struct ScriptStatement {
    std::string sql;
    std::string firstWord; // the characters above 32 at its start; empty after a leading blank
    std::string key;       // the key this statement made, if any
    bool isLast = false;   // no script text follows it
};

// Expands the statements of `script` one after another; `path` names the route in log lines.
class SqlScriptExpander {
public:
    SqlScriptExpander(std::string_view script, std::string_view path, std::string_view schema,
                      ParameterLookup parameter, KeyMaker makeKey);
    bool Next(ScriptStatement& statement);
    const std::string& previousKey() const { return previousKey_; }

private:
    void ExpandParameter(std::string& out);
    void ExpandField(std::string& out, ScriptStatement& statement);

    std::string_view script_;
    size_t position_ = 0;
    std::string path_;
    std::string schema_;
    ParameterLookup parameter_;
    KeyMaker makeKey_;
    std::string previousKey_;
};

// Runs every statement and returns the JSON answer: {"data":[rows]} for one SELECT,
// {"key":...} for a statement that made a key, {"results":[...]} for several statements, each
// with "errorcode":200.
std::string RunSqlScript(db::AccountDatabase& db, std::string_view script,
                         std::string_view path, const ParameterLookup& parameter);

} // namespace tavolex::account
