// The account and SQL script routes on the real program.
#include "db_internal.h"
#include "account.h"
#include "live_server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <iostream>
#include <mutex>
#include <set>
#include <thread>

namespace tavolex::account {
namespace {

using testing::HttpAnswer;
using testing::HttpClient;
using testing::LiveServer;

std::string JsonHead(size_t length)
{
    return "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(length);
}

// "name=value" pairs URL-encoded for a query or form body.
std::string Encode(std::string_view text)
{
    return Format("%U", text);
}

// A tmpfs of `bytes` mounted over a test's home folder, so its disk can really fill up; unmounted
// when the object goes (declare it before the server, so the server stops first). Mounting needs
// root; without it the folder stays as it is and `mounted()` says so.
class SmallDisk {
public:
    explicit SmallDisk(size_t bytes) : bytes_(bytes) {}
    // The server's home was emptied when it went, but its folder stayed while the disk was
    // mounted on it.
    ~SmallDisk()
    {
        if (mounted_) {
            umount2(path_.c_str(), MNT_DETACH);
            rmdir(path_.c_str());
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    void MountOver(const std::string& path)
    {
        path_ = path;
        std::string options = "size=" + std::to_string(bytes_);
        mounted_ = mount("tavolex-test", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    bool mounted() const { return mounted_; }

    // Writes a filler file until the disk refuses more, then gives `room` bytes back.
    void FillLeaving(size_t room)
    {
        int fd = open((path_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::string block(4096, 'f');
        off_t size = 0;
        for (ssize_t wrote; (wrote = write(fd, block.data(), block.size())) > 0;)
            size += wrote;
        EXPECT_EQ(ftruncate(fd, size > static_cast<off_t>(room) ? size - static_cast<off_t>(room) : 0), 0);
        close(fd);
    }
    void Empty() { unlink((path_ + "/filler").c_str()); }

private:
    size_t bytes_;
    std::string path_;
    bool mounted_ = false;
};

class RoutesTest : public ::testing::Test {
protected:
    void SetUp() override { db::ResetKeyStateForTesting(); }
    // Asks for a session the way the interface does first, and keeps its cookie.
    void LogOn(HttpClient& client)
    {
        HttpAnswer answer = client.Request("GET", "api/account/issessionvalid");
        std::string cookie = answer.Header("Set-Cookie");
        ASSERT_EQ(cookie.size(), std::string("tavolexs_sess=; path=/").size() + 18) << answer.raw;
        client.SetCookie(cookie.substr(14, 18));
    }
};

TEST_F(RoutesTest, SessionsReachTheBrowserThroughTheCookie)
{
    LiveServer server(TAVOLEX_BINARY);
    HttpClient client(server.port());
    HttpAnswer first = client.Request("GET", "issessionvalid");
    std::string id = first.Header("Set-Cookie").substr(14, 18);
    EXPECT_EQ(first.raw, "HTTP/1.1 200 OK\r\nSet-Cookie: tavolexs_sess=" + id +
                             "; path=/\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\n"
                             "Content-Length: 55\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\",\"issessionvalid\":true}");
    client.SetCookie(id);
    HttpAnswer again = client.Request("GET", "api/account/issessionvalid");
    EXPECT_EQ(again.raw, JsonHead(55) + "\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\",\"issessionvalid\":true}");

    HttpAnswer details = client.Request("GET", "api/account/detailsget");
    db::AccountDatabase database{"main"};
    ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    db::DbQuery owner;
    database.Query(owner, "SELECT ID FROM main.USER_ACCOUNT");
    std::string body = "{\"id\":\"" + owner.ColumnText(0) +
                       "\",\"email\":\"\",\"firstname\":\"\",\"lastname\":\"\",\"phone\":\"\",\"type\":\"admin\","
                       "\"passwordset\":true,\"emailverified\":true,\"account_name\":\"main\",\"errorcode\":200,\"errormsg\":\"OK\"}";
    EXPECT_EQ(details.raw, JsonHead(body.size()) + "\r\n\r\n" + body);
    EXPECT_NE(server.LogText().find("LWebletSessionDataDBBased::LoadSession success (Session Name: " + id + ")"),
              std::string::npos);
}

TEST_F(RoutesTest, ProtectedRoutesMakeASessionAndScriptRoutesDoNot)
{
    LiveServer server(TAVOLEX_BINARY);
    HttpClient client(server.port());
    // A protected route without a cookie gets a fresh session from the gate and answers.
    EXPECT_EQ(client.Request("GET", "accountdetailsget").status, 200);
    // A script route without one is sent to the log-on page, and the connection stays open.
    std::string redirect = "{\"errorcode\":303,\"errormsg\":\"Not logged in or session expired\",\"errorredirect\":\"login.html\"}";
    EXPECT_EQ(client.Request("GET", "api/category/fetch").raw, JsonHead(redirect.size()) + "\r\n\r\n" + redirect);
    EXPECT_NE(server.LogText().find("LWebSQLScript script api/category/fetch called when not logged in [IP Address: 127.0.0.1]"),
              std::string::npos);
    // Paths are exact: another spelling is not a route but a missing file.
    EXPECT_EQ(client.Request("GET", "API/category/fetch").status, 404);
}

TEST_F(RoutesTest, CategoriesThroughTheScriptRoutes)
{
    LiveServer server(TAVOLEX_BINARY);
    HttpClient client(server.port());
    LogOn(client);
    EXPECT_EQ(client.Request("GET", "api/category/fetch").body, R"({"data":[],"errorcode":200})");

    HttpAnswer added = client.Request("POST", "api/category/add", "name=" + Encode("Chef's") + "&description=Hot");
    ASSERT_EQ(added.body.size(), 52u) << added.raw;
    std::string key = added.body.substr(8, 10);
    EXPECT_EQ(added.body, R"({"key":")" + key + R"(","errorcode":200,"errorcode":200})");

    EXPECT_EQ(client.Request("GET", "api/category/save?id=" + key + "&name=" + Encode("Chef's special")).body,
              R"({"errorcode":200,"errorcode":200})");
    std::string fetched = client.Request("GET", "api/category/fetch").body;
    std::string created = fetched.substr(fetched.find("\"created_date\":\"") + 16, 19);
    EXPECT_EQ(fetched, R"({"data":[{"id":")" + key + R"(","name":"Chef's special","description":"Hot","created_date":")" +
                           created + R"("}],"errorcode":200})");

    EXPECT_EQ(client.Request("POST", "api/category/delete", "id=" + key).body,
              R"({"results":[{"errorcode":200},{"errorcode":200}],"errorcode":200})");
    EXPECT_EQ(client.Request("GET", "api/currency/get?id=none").body, R"({"data":[],"errorcode":200})");
}

TEST_F(RoutesTest, HostileValuesAreStoredAsGivenThroughEveryParameter)
{
    LiveServer server(TAVOLEX_BINARY);
    HttpClient client(server.port());
    LogOn(client);
    db::AccountDatabase database{"main"};
    ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    database.Execute("INSERT INTO main.CURRENCY(ID) VALUES('c1'); INSERT INTO main.PRODUCT(ID, NAME) VALUES('p1', 'x')");
    const std::string values[] = {"'", "\\", ";", "'; DROP TABLE CATEGORY; --", "%id%", "[db]"};
    const char* currencyFields[] = {"currency_symbol", "currency_order", "currency_digits", "decimal_symbol",
                                    "thousands_symbol", "use_parentheses_for_negative", "use_currency_symbol",
                                    "use_thousands_symbol"};
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        std::string key = client.Request("POST", "api/category/add",
                                         "name=" + Encode(value) + "&description=" + Encode(value)).body.substr(8, 10);
        db::DbQuery row;
        database.Query(row, "SELECT NAME, DESCRIPTION FROM main.CATEGORY WHERE ID = '%Q'", key);
        EXPECT_EQ(row.ColumnText(0), value);
        EXPECT_EQ(row.ColumnText(1), value);

        client.Request("POST", "api/category/save", "id=" + key + "&name=" + Encode(value + value));
        database.Query(row, "SELECT NAME FROM main.CATEGORY WHERE ID = '%Q'", key);
        EXPECT_EQ(row.ColumnText(0), value + value);

        std::string form = "id=c1";
        for (const char* field : currencyFields)
            form += std::string("&") + field + "=" + Encode(value);
        client.Request("POST", "api/currency/save", form);
        database.Query(row, "SELECT * FROM main.CURRENCY WHERE ID = 'c1'");
        for (int column = 1; column <= 8; ++column)
            EXPECT_EQ(row.ColumnText(column), value) << column;

        client.Request("POST", "api/product/categoryadd", "product_id=" + Encode(value) + "&category_id=" + Encode(value));
        database.Query(row, "SELECT count(*) FROM main.PRODUCT_CATEGORY WHERE PRODUCT_ID = '%Q' AND CATEGORY_ID = '%Q'",
                       value, value);
        EXPECT_EQ(row.ColumnInt(0), 1);
        client.Request("POST", "api/product/categoryclear", "product_id=" + Encode(value));
        client.Request("POST", "api/category/delete", "id=" + Encode(value));
        database.Query(row, "SELECT count(*) FROM main.PRODUCT_CATEGORY WHERE PRODUCT_ID = '%Q'", value);
        EXPECT_EQ(row.ColumnInt(0), 0);
    }
    db::DbQuery tables;
    database.Query(tables, "SELECT count(*) FROM main.sqlite_master WHERE name = 'CATEGORY'");
    EXPECT_EQ(tables.ColumnInt(0), 1);
}

// An older file is brought to the current version by the first gated request.
TEST_F(RoutesTest, OneGatedRequestUpgradesOldFiles)
{
    struct Fixture {
        int version;
        const char* dataTables; // the data tables as a file of that version has them
    } fixtures[] = {
        {2, "CREATE TABLE main.USER_ACCOUNT(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), NAME2 VARCHAR(260), EMAIL VARCHAR(260), PHONE VARCHAR(260), USER_TYPE INT, DELETED VARCHAR(20) DEFAULT NULL);"
            "CREATE TABLE main.RESTAURANT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), ADDRESS VARCHAR(260), PHONE VARCHAR(260), EMAIL VARCHAR(260), WEBSITE VARCHAR(260), TIMEZONE_OFFSET VARCHAR(260));"
            "CREATE TABLE main.USER_IMAGES(ID CHAR(40) PRIMARY KEY NOT NULL, MIMETYPE VARCHAR(40) NOT NULL, IMAGE MEDIUMBLOB NOT NULL);"
            "CREATE TABLE main.MENU_CONTENT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), CONTENT TEXT, RESTAURANT_ID VARCHAR(40));"
            "INSERT INTO main.RESTAURANT(ID, NAME, TIMEZONE_OFFSET) VALUES('r1', 'Bar', 'Europe/Rome');"
            "INSERT INTO main.USER_IMAGES(ID, MIMETYPE, IMAGE) VALUES('i1', 'image/png', x'00');"},
        {65, "CREATE TABLE main.USER_ACCOUNT(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), NAME2 VARCHAR(260), EMAIL VARCHAR(260), PHONE VARCHAR(260), USER_TYPE INT, CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);"
             "CREATE TABLE main.RESTAURANT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), TIMEZONE VARCHAR(260), CREATED_DATE VARCHAR(20), DELETED VARCHAR(20));"
             "CREATE TABLE main.USER_IMAGES(ID CHAR(40) PRIMARY KEY NOT NULL, MIMETYPE VARCHAR(40) NOT NULL, IMAGE MEDIUMBLOB NOT NULL, TYPE VARCHAR(20));"
             "CREATE TABLE main.MENU_CONTENT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), CONTENT TEXT, RESTAURANT_ID VARCHAR(40), CREATED_DATE VARCHAR(30) DEFAULT NULL);"
             "INSERT INTO main.RESTAURANT(ID, NAME, TIMEZONE) VALUES('r1', 'Bar', 'Europe/Rome');"
             "INSERT INTO main.USER_IMAGES(ID, MIMETYPE, IMAGE, TYPE) VALUES('i1', 'image/png', x'00', 'MenuLogo');"},
    };
    for (const Fixture& fixture : fixtures) {
        SCOPED_TRACE(fixture.version);
        LiveServer server(TAVOLEX_BINARY, [&fixture](const std::string& home) {
            setenv("TAVOLEX_HOME", home.c_str(), 1);
            db::AccountDatabase database{"main"};
            database.Open(db::DefaultDatabasePath());
            db::CreateAccountTables(database);
            database.ExecuteFormat(
                "INSERT INTO main.GLOBAL_USER VALUES('u1', 'administrator', 'h', 's', 'a1', NULL);"
                "INSERT INTO main.ACCOUNT(ID, NAME, OWNER_ID, DBVERSION) VALUES('a1', 'main', 'u1', %d);",
                fixture.version);
            database.Execute(fixture.dataTables);
            database.Execute("INSERT INTO main.USER_ACCOUNT(ID, EMAIL, USER_TYPE) VALUES('o1', 'administrator', 4352);");
        });
        db::AccountDatabase database{"main"};
        ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
        EXPECT_EQ(db::ReadSchemaVersion(database), fixture.version);
        HttpClient client(server.port());
        EXPECT_EQ(client.Request("GET", "api/account/detailsget").status, 200);
        EXPECT_EQ(db::ReadSchemaVersion(database), 87);
        db::DbQuery row;
        database.Query(row, "SELECT TIMEZONE, length(CREATED_DATE) FROM main.RESTAURANT");
        EXPECT_EQ(row.ColumnText(0), "Europe/Rome");                     // 57 copied it, or it was there
        EXPECT_EQ(row.ColumnInt(1), fixture.version < 9 ? 19 : 0);      // 9 dates only older rows
        database.Query(row, "SELECT TYPE FROM main.USER_IMAGES");
        EXPECT_EQ(row.ColumnText(0), "MenuLogo");                        // 21 and 22
        database.Query(row, "SELECT ID, CURRENCY_SYMBOL, CURRENCY_DIGITS FROM main.CURRENCY");
        EXPECT_EQ(row.ColumnText(0), "r1");                              // 66 and 67
        EXPECT_EQ(row.ColumnText(1), "$");
        EXPECT_EQ(row.ColumnInt(2), 2);
        for (const char* table : {"CATEGORY", "PRODUCT", "PRODUCT_CATEGORY", "MENU_SETTINGS", "MENU_CATEGORY",
                                  "MENU_ITEM", "PRODUCT_RESTAURANT_SETTINGS"}) {
            database.Query(row, "SELECT count(*) FROM main.sqlite_master WHERE name = '%Q'", table);
            EXPECT_EQ(row.ColumnInt(0), 1) << table;                     // 66, 68 and 87
        }
        // The catalogue works at once on the upgraded file.
        std::string cookie = client.Request("GET", "issessionvalid").Header("Set-Cookie");
        client.SetCookie(cookie.substr(14, 18));
        EXPECT_EQ(client.Request("POST", "api/category/add", "name=New").body.size(), 52u);
    }
}

// Many browsers at once: every write lands, no key repeats, the file stays sound.
TEST_F(RoutesTest, SixteenClientsForThirtySeconds)
{
    LiveServer server(TAVOLEX_BINARY);
    constexpr int kClients = 16;
    std::vector<std::vector<std::string>> keys(kClients);
    std::vector<int> failures(kClients, 0);
    std::vector<std::thread> clients;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            HttpClient client(server.port());
            for (int round = 0; std::chrono::steady_clock::now() < until && round < 100000; ++round) {
                if (round % 20 == 0) { // a new browser: a new session
                    client.SetCookie({});
                    HttpAnswer session = client.Request("GET", "api/account/issessionvalid");
                    std::string cookie = session.Header("Set-Cookie");
                    if (cookie.size() < 32) {
                        ++failures[c];
                        continue;
                    }
                    client.SetCookie(cookie.substr(14, 18));
                }
                std::string name = "c" + std::to_string(c) + "-" + std::to_string(round);
                HttpAnswer added = client.Request("POST", "api/category/add", "name=" + name);
                if (added.status != 200 || added.body.size() != 52) {
                    ++failures[c];
                    continue;
                }
                std::string key = added.body.substr(8, 10);
                keys[c].push_back(key);
                HttpAnswer saved = client.Request("POST", "api/category/save", "id=" + key + "&name=" + name + "-saved");
                failures[c] += saved.status != 200;
                if (round % 10 == 0)
                    failures[c] += client.Request("GET", "api/category/fetch").status != 200;
            }
        });
    for (std::thread& client : clients)
        client.join();

    std::set<std::string> unique;
    size_t made = 0;
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(failures[c], 0) << "client " << c;
        made += keys[c].size();
        unique.insert(keys[c].begin(), keys[c].end());
    }
    EXPECT_EQ(unique.size(), made);
    EXPECT_GT(made, 100u);
    db::AccountDatabase database{"main"};
    ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    db::DbQuery row;
    database.Query(row, "SELECT count(*), sum(NAME LIKE '%%-saved') FROM main.CATEGORY");
    EXPECT_EQ(static_cast<size_t>(row.ColumnInt(0)), made); // every reported write is there
    EXPECT_EQ(static_cast<size_t>(row.ColumnInt(1)), made);
    database.Query(row, "PRAGMA integrity_check");
    EXPECT_EQ(row.ColumnText(0), "ok");
    std::cout << "16 clients, 30 s: " << made << " categories added and saved\n";
}

// A hard stop while keys and rows are being made: after a restart no key repeats and the file
// opens clean.
TEST_F(RoutesTest, KilledWhileWritingRestartsClean)
{
    LiveServer server(TAVOLEX_BINARY);
    std::vector<std::string> before;
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    std::mutex lock;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&] {
            HttpClient client(server.port());
            HttpAnswer session = client.Request("GET", "api/account/issessionvalid");
            client.SetCookie(session.Header("Set-Cookie").substr(14, 18));
            while (!stop) {
                HttpAnswer added = client.Request("POST", "api/category/add", "name=k");
                if (added.body.size() == 52) {
                    std::lock_guard guard(lock);
                    before.push_back(added.body.substr(8, 10));
                }
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(server.Stop(SIGKILL), 128 + SIGKILL);
    stop = true;
    for (std::thread& writer : writers)
        writer.join();
    ASSERT_FALSE(before.empty());

    server.Start(TAVOLEX_BINARY);
    HttpClient client(server.port());
    LogOn(client);
    std::set<std::string> seen(before.begin(), before.end());
    for (int i = 0; i < 50; ++i) {
        HttpAnswer added = client.Request("POST", "api/category/add", "name=after");
        ASSERT_EQ(added.body.size(), 52u) << added.raw;
        EXPECT_TRUE(seen.insert(added.body.substr(8, 10)).second) << "repeated key";
    }
    db::AccountDatabase database{"main"};
    ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    db::DbQuery row;
    database.Query(row, "PRAGMA integrity_check");
    EXPECT_EQ(row.ColumnText(0), "ok");
    database.Query(row, "SELECT count(*) FROM main.CATEGORY");
    EXPECT_GE(static_cast<size_t>(row.ColumnInt(0)), before.size()); // every answered add is there
}

} // namespace
} // namespace tavolex::account

namespace tavolex::account {
namespace {

// An empty main.db is set up as a missing one; one that is not a database is never touched,
// and every route says so instead of answering as if the session had expired.
TEST_F(RoutesTest, EmptyAndDamagedDatabaseFiles)
{
    {
        LiveServer server(TAVOLEX_BINARY, [](const std::string& home) { testing::WriteFile(home + "/main.db", ""); });
        HttpClient client(server.port());
        LogOn(client);
        EXPECT_EQ(client.Request("GET", "api/category/fetch").body, R"({"data":[],"errorcode":200})");
    }
    const std::string damaged = std::string("SQLite format 2\0", 16) + std::string(4000, 'x');
    LiveServer server(TAVOLEX_BINARY, [&](const std::string& home) { testing::WriteFile(home + "/main.db", damaged); });
    HttpClient client(server.port());
    std::string expected = R"({"errorcode":500,"errormsg":"main.db is damaged: file is not a database; nothing was changed"})";
    for (const char* path : {"api/account/issessionvalid", "api/account/detailsget", "api/category/fetch"})
        EXPECT_EQ(client.Request("GET", path).raw, JsonHead(expected.size()) + "\r\n\r\n" + expected) << path;
    EXPECT_NE(server.LogText().find("main.db is damaged: file is not a database; nothing was changed"), std::string::npos);
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    EXPECT_EQ(testing::ReadFile(server.home().File("main.db")), damaged);
}

// Another process holding the database lock past the program's wait: the add says the database
// is busy, stores nothing, and the log says which script failed; once the lock goes, adds work.
TEST_F(RoutesTest, AHeldLockIsAnsweredAsBusyAndStoresNothing)
{
    LiveServer server(TAVOLEX_BINARY);
    HttpClient client(server.port());
    LogOn(client);
    client.SetPatience(std::chrono::seconds(90));
    {
        db::AccountDatabase holder{"main"};
        ASSERT_TRUE(holder.Open(db::DefaultDatabasePath()));
        ASSERT_TRUE(holder.Execute("BEGIN EXCLUSIVE"));
        EXPECT_EQ(client.Request("POST", "api/category/add", "name=Held").body,
                  R"({"errorcode":500,"errormsg":"The database is busy"})");
    }
    EXPECT_EQ(client.Request("GET", "api/category/fetch").body, R"({"data":[],"errorcode":200})");
    EXPECT_NE(server.LogText().find("LWebSQLScript script api/category/add failed, nothing was stored: database is locked"),
              std::string::npos) << server.LogText();
    EXPECT_EQ(client.Request("POST", "api/category/add", "name=Free").body.size(), 52u);
}

// A full disk: every add answers either a key that names a stored row or "The disk is full";
// after room is made, adds work again.
TEST_F(RoutesTest, AFullDiskIsAnsweredAsFullAndNoAnswerNamesAMissingRow)
{
    SmallDisk disk(8 << 20);
    LiveServer server(TAVOLEX_BINARY, [&](const std::string& home) { disk.MountOver(home); });
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    HttpClient client(server.port());
    LogOn(client);
    ASSERT_EQ(client.Request("GET", "api/category/fetch").body, R"({"data":[],"errorcode":200})");
    disk.FillLeaving(64 << 10);

    std::vector<std::string> keys;
    int full = 0;
    const std::string description(3000, 'd');
    for (int i = 0; i < 80; ++i) {
        std::string body = client.Request("POST", "api/category/add", Format("name=Dish%d&description=%s", i, description)).body;
        if (body == R"({"errorcode":500,"errormsg":"The disk is full"})")
            ++full;
        else if (body.size() == 52u)
            keys.push_back(body.substr(8, 10));
        else
            ADD_FAILURE() << body;
    }
    EXPECT_GT(full, 0);
    EXPECT_GT(keys.size(), 0u) << "the room left should hold a few rows";
    {
        db::AccountDatabase database{"main"};
        ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
        for (const std::string& key : keys) {
            db::DbQuery row;
            database.Query(row, "SELECT count(*) FROM main.CATEGORY WHERE ID = '%Q'", key);
            EXPECT_EQ(row.ColumnText(0), "1") << key;
        }
    }
    EXPECT_NE(server.LogText().find("LWebSQLScript script api/category/add failed, nothing was stored: database or disk is full"),
              std::string::npos);
    disk.Empty();
    EXPECT_EQ(client.Request("POST", "api/category/add", "name=Later").body.size(), 52u);
}

TEST_F(RoutesTest, SessionsUnusedForThirtyDaysGo)
{
    LiveServer server(TAVOLEX_BINARY);
    HttpClient client(server.port());
    LogOn(client);
    ASSERT_EQ(server.Stop(SIGTERM), 0);
    {
        db::AccountDatabase database{"main"};
        ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
        std::string old = db::DateText(time(nullptr) - 31 * 24 * 3600);
        std::string recent = db::DateText(time(nullptr) - 29 * 24 * 3600);
        ASSERT_TRUE(database.ExecuteFormat(
            "INSERT INTO main.SESSION_DATA VALUES('oldsessionaaaaaaaa', 'administrator', 'main', '%s'),"
            "('recentsessionaaaaa', 'administrator', 'main', '%s'), ('undatedsessionaaaa', 'administrator', 'main', '')",
            old, recent));
    }
    server.Start(TAVOLEX_BINARY);
    HttpClient again(server.port());
    again.SetCookie(client.cookie());
    EXPECT_EQ(again.Request("GET", "api/account/issessionvalid").status, 200);
    db::AccountDatabase database{"main"};
    ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    db::DbQuery rows;
    std::set<std::string> left;
    for (database.Query(rows, "SELECT ID FROM main.SESSION_DATA"); rows.HasRow(); database.NextRow(rows))
        left.insert(rows.ColumnText(0));
    EXPECT_EQ(left, (std::set<std::string>{client.cookie(), "recentsessionaaaaa", "undatedsessionaaaa"}));
}

} // namespace
} // namespace tavolex::account
