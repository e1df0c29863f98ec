// Figures for the legacy menu conversion: 200 menus of 60 items each (6 categories of 10), under
// 20 businesses, in a file of version 65. Measured twice: the conversion alone on a file whose
// schema is already current, and the first request of the real program on the old file (copy
// before the upgrade, every step, the conversion), timed at the client. Prints figures; judges
// nothing. The budget for the conversion is 2 s.
#include "live_server.h"
#include "menu.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace {

using namespace tavolex;
using Clock = std::chrono::steady_clock;

constexpr int kMenus = 200;
constexpr int kCategories = 6;
constexpr int kItemsPerCategory = 10;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string LegacyContent(int menu)
{
    TextBuffer json;
    AppendFormat(json, R"({"header":{"name":"Business %d","address":"Via Roma %d","phone":"555-%d","email":"b%d@example.com","website":"https://example.com"},)",
                 menu % 20, menu, menu, menu % 20);
    AppendFormat(json, R"("settings":{"template":"classic","paper":"A4","columns":2,"currencysymbol":"$","title":"Menu %d"},"rcategories":[)", menu);
    for (int c = 0; c < kCategories; ++c) {
        AppendFormat(json, R"(%s{"name":"Category %d of menu %d","description":"Dishes of the day","ritems":[)", c ? "," : "", c, menu);
        for (int i = 0; i < kItemsPerCategory; ++i)
            AppendFormat(json, R"(%s{"name":"Dish %d-%d-%d","detail":"Fresh, with herbs and olive oil","extras":"vegetarian","price":"$%d.%02d"})",
                         i ? "," : "", menu, c, i, 3 + i, (menu * 7 + i) % 100);
        json.Append("]}");
    }
    json.Append("]}");
    return json.Take();
}

void PrepareVersion65(const std::string& home)
{
    setenv("TAVOLEX_HOME", home.c_str(), 1);
    db::AccountDatabase database{"main"};
    database.Open(db::DefaultDatabasePath());
    db::CreateAccountTables(database);
    database.Execute(
        "INSERT INTO main.GLOBAL_USER VALUES('u1', 'administrator', 'h', 's', 'a1', NULL);"
        "INSERT INTO main.ACCOUNT(ID, NAME, OWNER_ID, DBVERSION) VALUES('a1', 'main', 'u1', 65);"
        "CREATE TABLE main.USER_ACCOUNT(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), NAME2 VARCHAR(260), EMAIL VARCHAR(260), PHONE VARCHAR(260), USER_TYPE INT, CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);"
        "CREATE TABLE main.RESTAURANT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), ADDRESS VARCHAR(260), PHONE VARCHAR(260), EMAIL VARCHAR(260), WEBSITE VARCHAR(260), TIMEZONE VARCHAR(260), CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);"
        "CREATE TABLE main.USER_IMAGES(ID CHAR(40) PRIMARY KEY NOT NULL, MIMETYPE VARCHAR(40) NOT NULL, IMAGE MEDIUMBLOB NOT NULL, TYPE VARCHAR(20));"
        "CREATE TABLE main.MENU_CONTENT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), CONTENT TEXT, RESTAURANT_ID VARCHAR(40), CREATED_DATE VARCHAR(30) DEFAULT NULL);"
        "INSERT INTO main.USER_ACCOUNT(ID, EMAIL, USER_TYPE) VALUES('o1', 'administrator', 4352);");
    database.Execute("BEGIN;");
    // Keys as the older program made them: the fastest digit first, so they spread over the index.
    for (int menu = 0; menu < kMenus; ++menu)
        database.ExecuteFormat("INSERT INTO main.MENU_CONTENT(ID, NAME, CONTENT) VALUES('%Q', 'Menu %d', '%Q');",
                               db::AccountDatabase::CreatePrimaryKey(), menu, LegacyContent(menu));
    database.Execute("COMMIT;");
}

void PrintRows(db::AccountDatabase& db)
{
    db::DbQuery row;
    db.Query(row, "SELECT (SELECT count(*) FROM main.PRODUCT), (SELECT count(*) FROM main.MENU_ITEM), "
                  "(SELECT count(*) FROM main.MENU_CATEGORY), (SELECT count(*) FROM main.RESTAURANT), "
                  "(SELECT count(*) FROM main.MENU_CONTENT WHERE CONTENT IS NOT NULL)");
    std::printf("  rows: %d products, %d item placements (%d hidden), %d category placements, %d businesses, %d menus kept\n",
                row.ColumnInt(0), row.ColumnInt(1), row.ColumnInt(1) - kMenus * kCategories * kItemsPerCategory,
                row.ColumnInt(2), row.ColumnInt(3), row.ColumnInt(4));
}

void ConversionAlone()
{
    testing::TestHome home;
    PrepareVersion65(home.path());
    db::AccountDatabase db{"main"};
    db.Open(db::DefaultDatabasePath());
    db::RegisterUpgradeOperation(68, nullptr); // the schema only: the conversion is timed below
    db::UpgradeSchemaIfNeeded(db);
    auto start = Clock::now();
    std::clock_t processorStart = std::clock();
    menu::LegacyMenuCounts counts = menu::ConvertLegacyMenus(db);
    double seconds = Seconds(Clock::now() - start);
    // The machine may be shared: the processor time says what the conversion itself costs.
    double processor = static_cast<double>(std::clock() - processorStart) / CLOCKS_PER_SEC;
    std::printf("MigrateLegacyMenuContent, %d menus of %d items: %.3f s (%.3f s of processor time, %.2f ms a menu), "
                "%d converted, %d kept\n",
                kMenus, kCategories * kItemsPerCategory, seconds, processor, seconds * 1000 / kMenus,
                counts.converted, counts.kept);
    PrintRows(db);
    std::error_code ignored;
    std::printf("  file: %.1f MB\n", static_cast<double>(std::filesystem::file_size(db::DefaultDatabasePath(), ignored)) / 1e6);
}

void FirstRequestOfTheProgram()
{
    testing::LiveServer server(TAVOLEX_BINARY, PrepareVersion65);
    testing::HttpClient client(server.port());
    std::string cookie = client.Request("GET", "api/account/issessionvalid").Header("Set-Cookie");
    client.SetCookie(cookie.substr(14, 18));
    auto start = Clock::now();
    int status = client.Request("GET", "api/menu/fetch").status;
    double seconds = Seconds(Clock::now() - start);
    auto again = Clock::now();
    client.Request("GET", "api/menu/fetch");
    std::printf("first gated request on the version-65 file (copy, upgrade, conversion): %.3f s (status %d); "
                "the next one: %.2f ms\n",
                seconds, status, Seconds(Clock::now() - again) * 1000);
    db::AccountDatabase db{"main"};
    db.Open(db::DefaultDatabasePath());
    PrintRows(db);
}

} // namespace

int main()
{
    ConversionAlone();
    FirstRequestOfTheProgram();
    return 0;
}
