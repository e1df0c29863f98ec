// The session layer of the route step, the gate, and the account and SQL script routes.
#include "account.h"

#include "web.h"

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

namespace tavolex::account {

namespace {

// Open handles of main.db, lent to one request at a time. Opening a handle costs file opens and
// pragmas, and closing the last one folds the write-ahead log back into the file; keeping a
// few open makes a route request cost its statements only.
class DatabasePool {
public:
    static DatabasePool& Get()
    {
        static DatabasePool pool;
        return pool;
    }

    std::unique_ptr<db::AccountDatabase> Acquire()
    {
        std::string path = db::DefaultDatabasePath();
        {
            std::lock_guard guard(lock_);
            while (!idle_.empty()) {
                Idle entry = std::move(idle_.back());
                idle_.pop_back();
                if (entry.path == path)
                    return std::move(entry.database);
                // A handle of another file (a test that moved the data folder) is not lent.
            }
        }
        auto database = std::make_unique<db::AccountDatabase>(std::string(kAccountName));
        database->Open(path);
        return database;
    }

    void Release(std::unique_ptr<db::AccountDatabase> database)
    {
        if (!database || !database->IsOpen())
            return;
        // A handle goes back as a fresh one would be: no transaction left open.
        if (database->InTransaction())
            database->Execute("ROLLBACK;");
        std::lock_guard guard(lock_);
        if (idle_.size() < kMaxIdle)
            idle_.push_back({db::DefaultDatabasePath(), std::move(database)});
    }

private:
    static constexpr size_t kMaxIdle = 8;
    struct Idle {
        std::string path;
        std::unique_ptr<db::AccountDatabase> database;
    };
    std::mutex lock_;
    std::vector<Idle> idle_;
};

// What a routed request owns on top of the web layer's record: a database handle, borrowed
// from the pool when a handler first needs it and given back when the request ends.
struct RequestData final : web::RouteResources {
    SessionContext session;
    std::unique_ptr<db::AccountDatabase> database;
    ~RequestData() override { DatabasePool::Get().Release(std::move(database)); }
    db::AccountDatabase& Database()
    {
        if (!database)
            database = DatabasePool::Get().Acquire();
        return *database;
    }
};

constexpr std::string_view kIsSessionValidBody =
    "{\"errorcode\":200,\"errormsg\":\"OK\",\"issessionvalid\":true}";

// Paths the gate lets through without a session.
bool IsPublicPath(std::string_view path)
{
    static constexpr std::string_view kPublic[] = {
        "api/account/emailverification", "api/account/login", "api/account/passwordforgot",
        "api/account/passwordset", "api/account/signup", "api/account/signupform",
        "api/account/unsubscribe", "api/menu/genpdf", "feedbacksend", "emailverification",
        "login", "loginsetpassword", "passwordforgot", "signup", "unsubscribe", "menugenpdf",
    };
    if (path.substr(0, 10) == "api/public")
        return true;
    for (std::string_view candidate : kPublic)
        if (path == candidate)
            return true;
    return false;
}

// The request's slot, made when the route step did not make it.
RequestData& DataOf(web::WebRequest& request)
{
    if (auto* data = dynamic_cast<RequestData*>(request.resources.get()))
        return *data;
    auto data = std::make_unique<RequestData>();
    RequestData& made = *data;
    request.resources = std::move(data);
    return made;
}

// The route for upload progress answers only within a session.
void UploadProgress(web::WebRequest& request)
{
    if (RequestSession(request).id.empty()) {
        web::RedirectToLogon(request);
        return;
    }
    web::SendUploadProgress(request);
}

// Sessions a browser stopped using go once a day while the program runs (and at start).
void RemoveStaleSessionsWhenDue(db::AccountDatabase& database)
{
    static std::atomic<int64_t> nextCleanup{0};
    int64_t now = static_cast<int64_t>(time(nullptr));
    int64_t due = nextCleanup.load();
    if (now < due || !nextCleanup.compare_exchange_strong(due, now + 24 * 3600))
        return;
    RemoveStaleSessions(database);
}

class SessionRouteStep final : public web::RouteStepHooks {
public:
    void BeginRoute(web::WebRequest& request) override
    {
        auto data = std::make_unique<RequestData>();
        if (request.path != "_fault" && DatabaseProblem().empty()) {
            RemoveStaleSessionsWhenDue(data->Database());
            SessionContext session;
            if (LoadSession(data->Database(), session, web::Get(request.cookies, kSessionCookie)))
                data->session = std::move(session);
            // The body is still to come: the handle waits in the pool, not on a slow sender.
            DatabasePool::Get().Release(std::move(data->database));
        }
        request.resources = std::move(data);
    }
};

// A request that did not come through the route step gets a handle of its own.
db::AccountDatabase& DatabaseOf(web::WebRequest& request)
{
    return DataOf(request).Database();
}

// ---------------------------------------------------------------------------------------------
// Account routes

void AccountDetailsGet(web::WebRequest& request)
{
    if (!CheckAccess(request))
        return;
    db::AccountDatabase& database = RequestDatabase(request);
    Profile profile;
    if (!LoadRequestProfile(request, profile)) {
        web::SendError(request, 500, "Internal error");
        return;
    }
    bool isAdministrator = (profile.userType & kAdministratorBit) != 0;
    TextBuffer answer;
    JsonWriter writer(answer);
    writer.BeginObject();
    writer.String("id", profile.id);
    writer.String("email", profile.email);
    writer.String("firstname", profile.name);
    writer.String("lastname", profile.name2);
    writer.String("phone", profile.phone);
    writer.String("type", isAdministrator ? "admin" : "user");
    writer.Bool("passwordset", !IsPasswordNotSet(database, profile.ownerEmail));
    writer.Bool("emailverified", (profile.userType & kVerifiedEmailBit) != 0);
    if (isAdministrator)
        writer.String("account_name", profile.accountName);
    writer.Integer("errorcode", 200);
    writer.String("errormsg", "OK");
    writer.EndObject();
    web::SendJson(request, answer.view());
}

void IsSessionValid(web::WebRequest& request)
{
    web::PostNotice(web::ServerNotice::BrowserAlive);
    if (std::string problem = DatabaseProblem(); !problem.empty()) {
        web::SendError(request, 500, problem);
        return;
    }
    if (!RequestSession(request).id.empty()) {
        web::SendJson(request, kIsSessionValidBody);
        return;
    }
    SessionContext session;
    if (!CreateNewSession(RequestDatabase(request), session, SessionDatabasePath())) {
        // No session could be stored: the browser is told so, never given an empty cookie.
        web::SendRedirectError(request, "Session expired", "/sessionexpired.html");
        return;
    }
    AttachSession(request, session);
    web::SendSessionCookie(request, RequestSession(request).id);
}

// ---------------------------------------------------------------------------------------------
// SQL script routes

struct ScriptRoute {
    const char* path;
    const char* script;
};

constexpr ScriptRoute kScriptRoutes[] = {
    {"api/product/categoryadd", "INSERT INTO [db].PRODUCT_CATEGORY VALUES('%product_id%','%category_id%');"},
    {"api/product/categoryclear", "DELETE FROM [db].PRODUCT_CATEGORY WHERE PRODUCT_ID = '%product_id%';"},
    {"api/product/fetchall", "SELECT id, name, description, extra, price, created_date FROM [db].PRODUCT WHERE IS_VISIBLE = 1 ORDER BY CREATED_DATE;"},
    {"api/category/add", "INSERT INTO [db].CATEGORY(ID, NAME, DESCRIPTION, CREATED_DATE) VALUES('[createkey.CATEGORY.ID]','%name%','%description%', now());"},
    {"api/category/fetch", "SELECT id, name, description, created_date FROM [db].CATEGORY ORDER BY CREATED_DATE;"},
    {"api/category/delete", "DELETE FROM [db].CATEGORY WHERE ID = '%id%';DELETE FROM [db].PRODUCT_CATEGORY WHERE CATEGORY_ID = '%id%';"},
    {"api/category/save", "UPDATE [db].CATEGORY SET NAME = '%name%' WHERE ID = '%id%';"},
    {"api/currency/get", "SELECT CURRENCY_SYMBOL as currency_symbol, CURRENCY_ORDER AS currency_order, CURRENCY_DIGITS AS currency_digits, DECIMAL_SYMBOL AS decimal_symbol, THOUSANDS_SYMBOL AS thousands_symbol, USE_PARENTHESES_FOR_NEGATIVE AS use_parentheses_for_negative, USE_CURRENCY_SYMBOL AS use_currency_symbol, USE_THOUSANDS_SYMBOL AS use_thousands_symbol FROM [db].CURRENCY WHERE ID = '%id%';"},
    {"api/currency/save", "UPDATE [db].CURRENCY SET CURRENCY_SYMBOL = '%currency_symbol%', CURRENCY_ORDER = '%currency_order%', CURRENCY_DIGITS = '%currency_digits%', DECIMAL_SYMBOL = '%decimal_symbol%', THOUSANDS_SYMBOL = '%thousands_symbol%', USE_PARENTHESES_FOR_NEGATIVE = '%use_parentheses_for_negative%', USE_CURRENCY_SYMBOL = '%use_currency_symbol%', USE_THOUSANDS_SYMBOL = '%use_thousands_symbol%' WHERE ID = '%id%';"},
};

// A plain handler per script route; the table row is found by the request's path.
void ScriptRouteHandler(web::WebRequest& request)
{
    for (const ScriptRoute& route : kScriptRoutes)
        if (request.path == route.path) {
            CheckScriptAccess(request, route.script);
            return;
        }
}

} // namespace

db::AccountDatabase& RequestDatabase(web::WebRequest& request)
{
    return DatabaseOf(request);
}

const SessionContext& RequestSession(const web::WebRequest& request)
{
    static const SessionContext none;
    auto* data = dynamic_cast<const RequestData*>(request.resources.get());
    return data ? data->session : none;
}

void AttachSession(web::WebRequest& request, SessionContext session)
{
    DataOf(request).session = std::move(session);
}

bool LoadRequestProfile(web::WebRequest& request, Profile& profile)
{
    return profile.Reload(RequestDatabase(request), GetLoggedOnUser(RequestSession(request)), kAccountName);
}

bool IsAdministrator(web::WebRequest& request)
{
    Profile profile;
    return LoadRequestProfile(request, profile) && (profile.userType & kAdministratorBit) != 0;
}

bool CheckAccess(web::WebRequest& request)
{
    // A damaged file is said so on every route, never answered as an expired session.
    if (std::string problem = DatabaseProblem(); !problem.empty()) {
        web::SendError(request, 500, problem);
        return false;
    }
    db::AccountDatabase& database = RequestDatabase(request);
    if (RequestSession(request).id.empty()) {
        // The desktop user is the owner: a request without a session gets one at once.
        SessionContext session;
        if (CreateNewSession(database, session, SessionDatabasePath()))
            AttachSession(request, session);
    }
    if (RequestSession(request).id.empty() && !IsPublicPath(request.path)) {
        web::SendRedirectError(request, "Session expired", "/sessionexpired.html");
        return false;
    }
    if (RequestSession(request).databaseName.empty())
        return false;
    db::UpgradeSchemaIfNeeded(database);
    return true;
}

bool CheckScriptAccess(web::WebRequest& request, std::string_view script)
{
    if (std::string problem = DatabaseProblem(); !problem.empty()) {
        web::SendError(request, 500, problem);
        return false;
    }
    if (RequestSession(request).id.empty()) {
        LogFormat("LWebSQLScript script %s called when not logged in [IP Address: %s]", request.path,
                  request.peerText);
        web::SendRedirectError(request, "Not logged in or session expired", "login.html");
        return false;
    }
    // SQL text ends at a NUL byte: a value holding one would lose its end and the statement's.
    for (const auto& [name, value] : request.parameters)
        if (value.find('\0') != std::string::npos) {
            web::SendError(request, 400, "Invalid parameter");
            return false;
        }
    std::string answer = RunSqlScript(RequestDatabase(request), script, request.path,
                                      [&request](std::string_view name) {
                                          return web::Get(request.parameters, name);
                                      });
    web::SendJson(request, answer);
    return true;
}

bool InstallWebRoutes()
{
    static SessionRouteStep routeStep;
    web::RouteRegistry& routes = web::RouteRegistry::Get();
    routes.SetHooks(&routeStep);
    routes.RegisterRoute("api/account/detailsget", AccountDetailsGet);
    routes.RegisterRoute("accountdetailsget", AccountDetailsGet);
    routes.RegisterRoute("api/account/issessionvalid", IsSessionValid);
    routes.RegisterRoute("issessionvalid", IsSessionValid);
    routes.RegisterRoute("uploadProgress", UploadProgress);
    for (const ScriptRoute& route : kScriptRoutes)
        routes.RegisterRoute(route.path, ScriptRouteHandler);
    return PrepareDatabase();
}

} // namespace tavolex::account
