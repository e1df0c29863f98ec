// Web sessions: creation, the cache in front of SESSION_DATA, and the LAST_ACTIVE refresh.
#include "account.h"

#include "platform.h"
#include "random_letters.h"

#include <array>
#include <chrono>
#include <forward_list>
#include <mutex>
#include <thread>

namespace tavolex::account {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kCacheLifetime = std::chrono::milliseconds(1800000);
constexpr int kLoadAttempts = 10;
constexpr auto kLoadRetryPause = std::chrono::milliseconds(50);
constexpr time_t kRefreshAfter = 604800; // a week
constexpr time_t kFutureSlack = 86400;   // a day

struct CacheEntry {
    std::string id;
    std::string userEmail;
    std::string accountName;
    std::string lastActive;
    Clock::time_point expiry;
};

// Sixteen buckets, newest entry first, chosen by the low four bits of the ID's first character.
struct SessionCache {
    std::mutex lock;
    std::array<std::forward_list<CacheEntry>, 16> buckets;
};

SessionCache& Cache()
{
    static SessionCache cache;
    return cache;
}

size_t BucketOf(std::string_view id)
{
    return static_cast<unsigned char>(id.empty() ? 0 : id[0]) & 15u;
}

bool CacheLookup(std::string_view id, CacheEntry& out)
{
    SessionCache& cache = Cache();
    std::lock_guard guard(cache.lock);
    auto& bucket = cache.buckets[BucketOf(id)];
    Clock::time_point now = Clock::now();
    // Entries are newest first: the first expired one and everything after it go.
    auto before = bucket.before_begin();
    for (auto entry = bucket.begin(); entry != bucket.end(); before = entry++) {
        if (entry->expiry < now) {
            while (std::next(before) != bucket.end())
                bucket.erase_after(before);
            return false;
        }
        if (entry->id == id) {
            out = *entry;
            return true;
        }
    }
    return false;
}

void CacheInsert(CacheEntry entry)
{
    SessionCache& cache = Cache();
    entry.expiry = Clock::now() + kCacheLifetime;
    std::lock_guard guard(cache.lock);
    cache.buckets[BucketOf(entry.id)].push_front(std::move(entry));
}

std::string Short(std::string_view text)
{
    return std::string(CutUtf8ToUnits(text, kTextFieldUnits));
}

// "YYYY-MM-DD" at 12:00:00 local time; a two-digit year below 70 counts as 20xx.
bool ParseStoredDate(std::string_view text, time_t& out)
{
    int year = 0, month = 0, day = 0;
    std::string copy(text);
    if (std::sscanf(copy.c_str(), "%d-%d-%d", &year, &month, &day) != 3)
        return false;
    if (year < 70)
        year += 2000;
    else if (year < 100)
        year += 1900;
    tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    out = mktime(&local);
    return out != static_cast<time_t>(-1);
}

void RefreshLastActive(db::AccountDatabase& db, std::string_view id, std::string_view stored)
{
    time_t now = time(nullptr);
    time_t then = 0;
    bool known = !stored.empty() && ParseStoredDate(stored, then);
    if (known && now - then <= kRefreshAfter && then - now <= kFutureSlack)
        return;
    // A refresh that fails leaves the older date, which the session's next request finds and
    // refreshes again; the browser's answer does not depend on it, so it is not told.
    db.ExecuteFormat("UPDATE main.SESSION_DATA SET LAST_ACTIVE = '%s' WHERE ID = '%Q';",
                     db::DateText(now), id);
}

void TakeColumns(SessionContext& session, std::string_view id, const CacheEntry& columns)
{
    session.id = id;
    session.userEmail = columns.userEmail;
    session.databaseName = columns.accountName;
    session.lastActive = columns.lastActive;
}

bool QuerySession(db::AccountDatabase& db, std::string_view id, CacheEntry& out)
{
    db::DbQuery row;
    db.Query(row, "SELECT USER_EMAIL, ACCOUNT_NAME, LAST_ACTIVE FROM main.SESSION_DATA WHERE ID = '%Q';", id);
    if (!row.HasRow())
        return false;
    out.id = Short(id);
    out.userEmail = row.ColumnShortText(0);
    out.accountName = row.ColumnShortText(1);
    out.lastActive = row.ColumnShortText(2);
    return true;
}

} // namespace

std::string SessionDatabasePath()
{
    return platform::JoinPath(platform::CommonFolder(), "main.db");
}

bool CreateNewSession(db::AccountDatabase& db, SessionContext& session,
                      std::string_view databaseName)
{
    if (!db.IsOpen()) {
        LogError("LWebletSessionDataDBBased::CreateNewSession called when database is not open");
        return false;
    }
    std::string id;
    for (;;) {
        std::optional<std::string> letters = RandomLowerLetters(8);
        if (!letters) {
            LogError("LWebletSessionDataDBBased::CreateNewSession: the system's random source failed");
            return false;
        }
        id = db::AccountDatabase::CreatePrimaryKey() + *letters;
        db::DbQuery found;
        db.Query(found, "SELECT %s FROM %s.%s WHERE %s = '%Q';", "ID", "main", "SESSION_DATA", "ID", id);
        if (!found.HasRow())
            break;
    }
    std::string today = db::DateText(time(nullptr));
    bool inserted = db.ExecuteFormat(
        "INSERT INTO main.SESSION_DATA(ID, USER_EMAIL, ACCOUNT_NAME, LAST_ACTIVE) VALUES ('%s', '%Q', '%Q', '%s');",
        id, kOwnerEmail, databaseName, today);
    if (!inserted)
        Log("LWebletSessionDataDBBased::CreateNewSession: DB FAILED");
    LogFormat("LWebletSessionDataDBBased::CreateNewSession: %s %s %s", id, kOwnerEmail, databaseName);
    session.id = id;
    session.databaseName = Short(databaseName);
    session.userEmail = kOwnerEmail;
    session.lastActive = today;
    // A session the table does not hold would be lost on the next request: report it.
    return inserted;
}

bool LoadSession(db::AccountDatabase& db, SessionContext& session, std::string_view cookie)
{
    if (cookie.empty())
        return false;
    if (!db.IsOpen()) {
        LogError("LWebletSessionDataDBBased::LoadSession called when database is not open");
        return false;
    }
    std::string id = Short(cookie);
    // The ID is the cookie as the browser, or anyone, sent it.
    std::string idForLog = ForLog(id);
    CacheEntry columns;
    bool found = CacheLookup(id, columns);
    if (!found && QuerySession(db, id, columns)) {
        found = true;
        CacheInsert(columns);
    }
    if (found && !columns.accountName.empty()) {
        RefreshLastActive(db, id, columns.lastActive);
        LogFormat("LWebletSessionDataDBBased::LoadSession success (Session Name: %s)", idForLog);
        TakeColumns(session, id, columns);
        return true;
    }

    // The row may have been inserted by another thread and not be visible yet: ask again.
    for (int attempt = 1;; ++attempt) {
        if (QuerySession(db, id, columns)) {
            if (!columns.accountName.empty())
                break;
            LogError("LWebletSessionDataDBBased::LoadSession database (ACCOUNT_NAME) is blank - have you run LegacyUpdate (ID: %s)", idForLog);
        }
        LogFormat("LWebletSessionDataDBBased::LoadSession Cannot find session data in the central database for: %s", idForLog);
        if (attempt == kLoadAttempts) {
            LogFormat("LWebletSessionDataDBBased::LoadSession timeout: %s", idForLog);
            return false;
        }
        LogFormat("LWebletSessionDataDBBased::LoadSession waiting 50ms: %s", idForLog);
        std::this_thread::sleep_for(kLoadRetryPause);
    }
    RefreshLastActive(db, id, columns.lastActive);
    LogFormat("LWebletSessionDataDBBased::LoadSession success (session name: %s)", idForLog);
    TakeColumns(session, id, columns);
    return true;
}

std::string GetLoggedOnUser(const SessionContext& session)
{
    if (session.id.empty())
        LogError("LWebletSessionDataDBBased::GetLoggedOnUser() called without a CreateNewSession or LoadSession!");
    return session.userEmail;
}

void RemoveStaleSessions(db::AccountDatabase& db)
{
    constexpr time_t kStaleAfter = 30 * 24 * 3600;
    std::string before = db::DateText(time(nullptr) - kStaleAfter);
    // LAST_ACTIVE holds the local date a session was last used; one without a date is kept.
    if (db.ExecuteFormat("DELETE FROM main.SESSION_DATA WHERE LAST_ACTIVE < '%s' AND LAST_ACTIVE <> '';", before))
        ClearSessionCache();
}

void ClearSessionCache()
{
    SessionCache& cache = Cache();
    std::lock_guard guard(cache.lock);
    for (auto& bucket : cache.buckets)
        bucket.clear();
}

} // namespace tavolex::account
