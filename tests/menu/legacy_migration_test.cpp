// Menus of the older form, kept whole as JSON in files of version 65, converted by the real
// program at its first gated request, and again at a later start for what it had to keep.
#include "db_internal.h"
#include "db.h"
#include "json.h"
#include "live_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace tavolex::menu {
namespace {

using tavolex::testing::HttpClient;
using tavolex::testing::LiveServer;

// The account and data tables as a file of version 65 has them, with its owner and one
// business of its own whose time zone new businesses take over.
constexpr const char* kVersion65 =
    "CREATE TABLE main.USER_ACCOUNT(ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), NAME2 VARCHAR(260), EMAIL VARCHAR(260), PHONE VARCHAR(260), USER_TYPE INT, CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);"
    "CREATE TABLE main.RESTAURANT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), ADDRESS VARCHAR(260), PHONE VARCHAR(260), EMAIL VARCHAR(260), WEBSITE VARCHAR(260), TIMEZONE VARCHAR(260), CREATED_DATE VARCHAR(20) DEFAULT NULL, DELETED VARCHAR(20) DEFAULT NULL);"
    "CREATE TABLE main.USER_IMAGES(ID CHAR(40) PRIMARY KEY NOT NULL, MIMETYPE VARCHAR(40) NOT NULL, IMAGE MEDIUMBLOB NOT NULL, TYPE VARCHAR(20));"
    "CREATE TABLE main.MENU_CONTENT (ID CHAR(40) PRIMARY KEY NOT NULL, NAME VARCHAR(260), CONTENT TEXT, RESTAURANT_ID VARCHAR(40), CREATED_DATE VARCHAR(30) DEFAULT NULL);"
    "INSERT INTO main.USER_ACCOUNT(ID, EMAIL, USER_TYPE) VALUES('o1', 'administrator', 4352);"
    "INSERT INTO main.RESTAURANT(ID, NAME, TIMEZONE, CREATED_DATE) VALUES('r1', 'Bar', '-5', '2020-01-01 00:00:00');";

// The product table as step 66 makes it, already there with a trigger that refuses one
// product: the way to make one legacy menu's write fail half-way.
constexpr const char* kRefusingProductTable =
    "CREATE TABLE main.PRODUCT(ID CHAR(40) PRIMARY KEY NOT NULL, CODE VARCHAR(20), NAME VARCHAR(260) NOT NULL, DESCRIPTION VARCHAR(260), EXTRA VARCHAR(260), PRICE BIGINT,IS_VISIBLE TINYINT(1) DEFAULT 0,IS_MODIFIER TINYINT(1) DEFAULT 0,PRODUCT_IMAGE_ID VARCHAR(40), CREATED_DATE VARCHAR(20) DEFAULT NULL, MODIFIED_DATE VARCHAR(20) DEFAULT NULL);"
    "CREATE TRIGGER main.refuse_poison BEFORE INSERT ON PRODUCT WHEN NEW.NAME = 'Poisoned' BEGIN SELECT RAISE(ABORT, 'refused for the test'); END;";

std::string Item(std::string_view name, std::string_view price)
{
    return Format(R"({"name":"%J","detail":"about %J","extras":"","price":"%J"})", name, name, price);
}

std::string Category(std::string_view name, const std::vector<std::string>& items)
{
    std::string list;
    for (const std::string& item : items)
        list += (list.empty() ? "" : ",") + item;
    return Format(R"({"name":"%J","description":"%J dishes","ritems":[%s]})", name, name, list);
}

std::string Menu(std::string_view business, std::string_view settings, const std::vector<std::string>& categories)
{
    std::string list;
    for (const std::string& category : categories)
        list += (list.empty() ? "" : ",") + category;
    return Format(R"({"header":{"name":"%J","address":"Via Roma 1","phone":"555","email":"%J@example.com","website":"w"},"settings":{%s},"rcategories":[%s]})",
                  business, business.empty() ? "nobody" : business, settings, list);
}

struct LegacyMenu {
    const char* id;
    const char* name;
    std::string content;
};

// A version-65 file holding `menus`, prepared before the program starts.
void PrepareFile(const std::string& home, const std::vector<LegacyMenu>& menus, const char* extra = "")
{
    setenv("TAVOLEX_HOME", home.c_str(), 1);
    db::AccountDatabase database{"main"};
    ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    db::CreateAccountTables(database);
    ASSERT_TRUE(database.Execute(
        "INSERT INTO main.GLOBAL_USER VALUES('u1', 'administrator', 'h', 's', 'a1', NULL);"
        "INSERT INTO main.ACCOUNT(ID, NAME, OWNER_ID, DBVERSION) VALUES('a1', 'main', 'u1', 65);"));
    ASSERT_TRUE(database.Execute(kVersion65));
    ASSERT_TRUE(database.Execute(extra));
    for (const LegacyMenu& menu : menus)
        ASSERT_TRUE(database.ExecuteFormat("INSERT INTO main.MENU_CONTENT(ID, NAME, CONTENT) VALUES('%Q', '%Q', '%Q');",
                                           menu.id, menu.name, menu.content));
}

class Rows {
public:
    Rows() { database_.Open(db::DefaultDatabasePath()); }
    // Every row of `sql` as one text, columns joined by "|", NULL as "NULL".
    std::vector<std::string> operator()(std::string_view sql)
    {
        std::vector<std::string> rows;
        db::DbQuery query;
        for (database_.QueryText(query, sql); query.HasRow(); database_.NextRow(query)) {
            std::string row;
            for (int i = 0; i < query.ColumnCount(); ++i)
                row += (i ? "|" : "") + (query.ColumnIsNull(i) ? std::string("NULL") : query.ColumnText(i));
            rows.push_back(row);
        }
        return rows;
    }
    std::string One(std::string_view sql)
    {
        auto rows = (*this)(sql);
        return rows.empty() ? "<none>" : rows[0];
    }

private:
    db::AccountDatabase database_{"main"};
};

// A logged-on client of the server.
std::string LogOn(HttpClient& client)
{
    std::string cookie = client.Request("GET", "api/account/issessionvalid").Header("Set-Cookie");
    client.SetCookie(cookie.substr(14, 18));
    return client.cookie();
}

// A menu as api/menu/get lists it: "name:shown[item:shown,...]" per category, in its order.
std::vector<std::string> Listed(HttpClient& client, std::string_view menuId)
{
    tavolex::testing::HttpAnswer answer = client.Request("GET", Format("api/menu/get?id=%U", menuId));
    JsonValue menu;
    EXPECT_EQ(ParseJson(menu, answer.body), JsonStatus::Ok) << answer.raw;
    std::vector<std::string> listed;
    const JsonMember* categories = menu.FindMember("rcategories");
    if (!categories)
        return listed;
    for (const JsonValue& category : categories->Elements()) {
        auto shown = [](const JsonValue& value) {
            const JsonMember* hidden = value.FindMember("hidden");
            return hidden && hidden->boolean() ? "hidden" : "shown";
        };
        std::string text = category.GetStringMember("name") + ":" + shown(category) + "[";
        const JsonMember* items = category.FindMember("ritems");
        for (size_t i = 0; items && i < items->ElementCount(); ++i)
            text += (i ? "," : "") + items->Element(i).GetStringMember("name") + ":" + shown(items->Element(i));
        listed.push_back(text + "]");
    }
    return listed;
}

std::vector<std::string> FirstOf(const std::vector<std::string>& list, size_t count)
{
    return {list.begin(), list.begin() + static_cast<std::ptrdiff_t>(std::min(count, list.size()))};
}

const std::vector<LegacyMenu>& LegacyMenus()
{
    static const std::vector<LegacyMenu> menus = {
        // Two menus of one business by name and symbol, the price table, numeric settings.
        {"m1", "Lunch",
         Menu("Trattoria", R"("template":"classic","columns":3.7,"currencysymbol":"$","framed":true)",
              {Category("Antipasti", {Item("Bruschetta", "$12.5"), Item("Caprese", "$1,234.56")}),
               Category("Primi", {Item("Lasagne", "$7"), Item("Risotto", " $0.999 "),
                                  Item("Tartufo", "$123456789012345")})})},
        {"m2", "Dinner",
         Menu("Trattoria", R"("template":"evening")",
              {Category("Dolci", {Item("Tiramisu", "$6.00"), Item("Discount", "-$2.00")})})},
        // The same name with another symbol: a second business of that name.
        {"m3", "Euro lunch",
         Menu("Trattoria", R"("currencysymbol":"$")",
              {Category("Pranzo", {Item("Menu del giorno", "\xE2\x82\xAC" "9.50")})})},
        // No name in the header: the default business, with a group without a category.
        {"m4", "Nameless",
         Menu("", "", {Category("", {Item("Coffee", "$3")}), R"({"name":"no items","description":""})"})},
        // Not a JSON document.
        {"m5", "Broken", "{\"header\": {\"name\": \"Trattoria"},
        // A write fails half-way, at its second category's item.
        {"m6", "Osteria menu",
         Menu("Osteria", R"("template":"rustic")",
              {Category("Pane", {Item("Bread", "$1")}), Category("Rischio", {Item("Poisoned", "$2")})})},
    };
    return menus;
}

TEST(LegacyMigration, AVersion65FileComesUpWithItsMenusConverted)
{
    LiveServer server(TAVOLEX_BINARY, [](const std::string& home) {
        PrepareFile(home, LegacyMenus(), kRefusingProductTable);
    });
    Rows rows;
    ASSERT_EQ(rows.One("SELECT DBVERSION FROM main.ACCOUNT"), "65"); // nothing ran at start

    // The browser's first requests come together; only one of them may convert the menus.
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&server] {
            HttpClient client(server.port());
            LogOn(client);
            EXPECT_EQ(client.Request("GET", "api/menu/fetch").status, 200);
        });
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(rows.One("SELECT DBVERSION FROM main.ACCOUNT"), "87");

    // The file as it was, beside it.
    std::string copyPath = db::DefaultDatabasePath() + ".before-upgrade-65";
    ASSERT_TRUE(std::filesystem::exists(copyPath));
    {
        db::AccountDatabase copy{"main"};
        ASSERT_TRUE(copy.Open(copyPath));
        db::DbQuery row;
        copy.Query(row, "SELECT DBVERSION, (SELECT count(*) FROM main.MENU_CONTENT WHERE CONTENT IS NOT NULL) FROM main.ACCOUNT");
        EXPECT_EQ(row.ColumnInt(0), 65);
        EXPECT_EQ(row.ColumnInt(1), 6);
    }

    // Businesses by name and symbol; new ones take the newest business's time zone.
    EXPECT_EQ(rows("SELECT R.NAME, C.CURRENCY_SYMBOL, R.TIMEZONE, R.EMAIL, C.CURRENCY_DIGITS FROM main.RESTAURANT R "
                   "JOIN main.CURRENCY C ON C.ID = R.ID ORDER BY R.NAME, C.CURRENCY_SYMBOL"),
              (std::vector<std::string>{"Bar|$|-5|NULL|2", "Default Restaurant|$|-5|NULL|2",
                                        "Trattoria|$|-5|Trattoria@example.com|2",
                                        "Trattoria|\xE2\x82\xAC|-5|Trattoria@example.com|2"}));
    EXPECT_EQ(rows("SELECT M.ID, R.NAME, C.CURRENCY_SYMBOL, M.CONTENT IS NULL FROM main.MENU_CONTENT M "
                   "LEFT JOIN main.RESTAURANT R ON R.ID = M.RESTAURANT_ID LEFT JOIN main.CURRENCY C ON C.ID = R.ID ORDER BY M.ID"),
              (std::vector<std::string>{"m1|Trattoria|$|1", "m2|Trattoria|$|1", "m3|Trattoria|\xE2\x82\xAC|1",
                                        "m4|Default Restaurant|$|1", "m5|NULL|NULL|0", "m6|NULL|NULL|0"}));

    // Prices in cents; a discount keeps its sign.
    EXPECT_EQ(rows("SELECT NAME, PRICE, DESCRIPTION, IS_VISIBLE, IS_MODIFIER FROM main.PRODUCT ORDER BY rowid"),
              (std::vector<std::string>{"Bruschetta|1250|about Bruschetta|1|0", "Caprese|123456|about Caprese|1|0",
                                        "Lasagne|700|about Lasagne|1|0", "Risotto|99|about Risotto|1|0",
                                        "Tartufo|10000000000000|about Tartufo|1|0", "Tiramisu|600|about Tiramisu|1|0",
                                        "Discount|-200|about Discount|1|0", "Menu del giorno|950|about Menu del giorno|1|0",
                                        "Coffee|300|about Coffee|1|0"}));
    EXPECT_EQ(rows("SELECT NAME, VALUE FROM main.MENU_SETTINGS WHERE MENU_ID = 'm1' ORDER BY NAME"),
              (std::vector<std::string>{"columns|3", "currencysymbol|$", "template|classic"}));

    // Each menu's own categories and items, visible, in their old order; the catalogue that
    // earlier menus brought, hidden, behind them.
    EXPECT_EQ(rows("SELECT C.NAME, MC.POSITION, MC.IS_VISIBLE FROM main.MENU_CATEGORY MC LEFT JOIN main.CATEGORY C "
                   "ON C.ID = MC.CATEGORY_ID WHERE MC.MENU_ID = 'm2' ORDER BY MC.POSITION, C.NAME"),
              (std::vector<std::string>{"Dolci|0|1", "Antipasti|2147483647|0", "Primi|2147483647|0"}));
    EXPECT_EQ(rows("SELECT P.NAME, MI.POSITION, MI.IS_VISIBLE FROM main.MENU_ITEM MI JOIN main.PRODUCT P ON P.ID = MI.PRODUCT_ID "
                   "WHERE MI.MENU_ID = 'm2' ORDER BY MI.POSITION, P.NAME"),
              (std::vector<std::string>{"Tiramisu|0|1", "Discount|1|1", "Bruschetta|2147483647|0", "Caprese|2147483647|0",
                                        "Lasagne|2147483647|0", "Risotto|2147483647|0", "Tartufo|2147483647|0"}));
    EXPECT_EQ(rows("SELECT MC.CATEGORY_ID IS NULL, MC.POSITION, MC.IS_VISIBLE FROM main.MENU_CATEGORY MC WHERE MC.MENU_ID = 'm4' AND MC.POSITION < 100 ORDER BY MC.POSITION"),
              (std::vector<std::string>{"1|0|1", "0|1|1"})); // a category without a name is the group without one
    EXPECT_EQ(rows("SELECT MI.CATEGORY_ID, P.NAME FROM main.MENU_ITEM MI JOIN main.PRODUCT P ON P.ID = MI.PRODUCT_ID WHERE MI.MENU_ID = 'm4' AND MI.IS_VISIBLE = 1"),
              (std::vector<std::string>{"NULL|Coffee"}));
    EXPECT_EQ(rows.One("SELECT count(*) FROM main.PRODUCT_CATEGORY PC JOIN main.PRODUCT P ON P.ID = PC.PRODUCT_ID WHERE P.NAME = 'Coffee'"), "0");

    HttpClient client(server.port());
    LogOn(client);
    EXPECT_EQ(FirstOf(Listed(client, "m2"), 3),
              (std::vector<std::string>{"Dolci:shown[Tiramisu:shown,Discount:shown]",
                                        "Antipasti:hidden[Bruschetta:hidden,Caprese:hidden]",
                                        "Primi:hidden[Lasagne:hidden,Risotto:hidden,Tartufo:hidden]"}));
    EXPECT_EQ(FirstOf(Listed(client, "m1"), 2),
              (std::vector<std::string>{"Antipasti:shown[Bruschetta:shown,Caprese:shown]",
                                        "Primi:shown[Lasagne:shown,Risotto:shown,Tartufo:shown]"}));

    // The menus that could not be converted keep their content and have no rows; the one whose
    // write failed left nothing of itself (not even its business) and its record.
    for (const char* table : {"MENU_SETTINGS", "MENU_CATEGORY", "MENU_ITEM"})
        EXPECT_EQ(rows.One(Format("SELECT count(*) FROM main.%s WHERE MENU_ID IN ('m5', 'm6')", table)), "0") << table;
    EXPECT_EQ(rows.One("SELECT count(*) FROM main.RESTAURANT WHERE NAME = 'Osteria'"), "0");
    EXPECT_EQ(rows.One("SELECT count(*) FROM main.PRODUCT WHERE NAME = 'Bread'"), "0");
    EXPECT_EQ(rows.One("SELECT count(*) FROM main.CATEGORY WHERE NAME IN ('Pane', 'Rischio')"), "0");
    EXPECT_EQ(rows.One("SELECT CONTENT FROM main.MENU_CONTENT WHERE ID = 'm6'"), LegacyMenus()[5].content);
    EXPECT_EQ(ReadSettingText("RDF", "ID", ""), "SQLInsPrdt");
    int64_t recorded = std::stoll(ReadSettingText("RDF", "Time", "0"));
    EXPECT_LE(std::abs(recorded - static_cast<int64_t>(time(nullptr))), 60);
    EXPECT_FALSE(ReadSettingText("RDF", "Thread", "").empty());
    std::string trace = ReadSettingText("RDF", "CallStack", "");
    EXPECT_NE(trace.find("menu m6"), std::string::npos) << trace;
    EXPECT_NE(trace.find("PRODUCT insert"), std::string::npos) << trace;
    std::string log = server.LogText();
    EXPECT_NE(log.find("menu m5 kept with its content: its content is not a JSON document"), std::string::npos) << log;
    EXPECT_NE(log.find("menu m6 kept with its content"), std::string::npos) << log;
    EXPECT_NE(log.find("4 legacy menus converted, 2 kept"), std::string::npos) << log;

    // Once the write can go through, the next start converts the kept menu, and only it.
    server.Stop(SIGTERM);
    {
        db::AccountDatabase database{"main"};
        ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
        ASSERT_TRUE(database.Execute("DROP TRIGGER main.refuse_poison;"));
    }
    server.Start(TAVOLEX_BINARY);
    EXPECT_EQ(rows("SELECT ID FROM main.MENU_CONTENT WHERE CONTENT IS NOT NULL"), std::vector<std::string>{"m5"});
    EXPECT_EQ(rows("SELECT R.NAME, R.TIMEZONE FROM main.MENU_CONTENT M JOIN main.RESTAURANT R ON R.ID = M.RESTAURANT_ID WHERE M.ID = 'm6'"),
              std::vector<std::string>{"Osteria|-5"});
    EXPECT_EQ(rows("SELECT P.NAME, MI.POSITION FROM main.MENU_ITEM MI JOIN main.PRODUCT P ON P.ID = MI.PRODUCT_ID "
                   "WHERE MI.MENU_ID = 'm6' AND MI.IS_VISIBLE = 1 ORDER BY P.NAME"),
              (std::vector<std::string>{"Bread|0", "Poisoned|0"}));
    EXPECT_EQ(rows.One("SELECT count(*) FROM main.PRODUCT"), "11"); // nothing converted twice
    log = server.LogText();
    EXPECT_NE(log.find("2 legacy menus were kept by an earlier start, converting them again"), std::string::npos) << log;
    EXPECT_NE(log.find("1 legacy menus converted, 1 still kept"), std::string::npos) << log;
}

// A business the conversion makes reads its prices the way its menu wrote them: with a
// decimal comma when every price that shows a fraction shows a comma.
TEST(LegacyMigration, PricesWithADecimalCommaKeepTheirValue)
{
    const std::string euro = "\xE2\x82\xAC";
    const std::vector<LegacyMenu> menus = {
        {"e1", "Bistro", Menu("Bistro", "", {Category("Plats", {Item("Soupe", euro + "12,50"), Item("Pain", euro + "7"),
                                                                 Item("Banquet", euro + "1.234,56"), Item("Tarte", "9,5 " + euro)})})},
        {"d1", "Diner", Menu("Diner", "", {Category("Mains", {Item("Burger", "$12.50"), Item("Party", "$1,234")})})},
    };
    LiveServer server(TAVOLEX_BINARY, [&menus](const std::string& home) { PrepareFile(home, menus); });
    HttpClient client(server.port());
    LogOn(client);
    ASSERT_EQ(client.Request("GET", "api/menu/fetch").status, 200);
    Rows rows;
    EXPECT_EQ(rows("SELECT R.NAME, C.CURRENCY_SYMBOL, C.DECIMAL_SYMBOL, C.THOUSANDS_SYMBOL FROM main.RESTAURANT R "
                   "JOIN main.CURRENCY C ON C.ID = R.ID WHERE R.NAME <> 'Bar' ORDER BY R.NAME"),
              (std::vector<std::string>{"Bistro|" + euro + "|,|.", "Diner|$|.|,"}));
    EXPECT_EQ(rows("SELECT NAME, PRICE FROM main.PRODUCT ORDER BY NAME"),
              (std::vector<std::string>{"Banquet|123456", "Burger|1250", "Pain|700", "Party|123400", "Soupe|1250",
                                        "Tarte|950"}));
}

// Menus whose documents are not menus, or whose headers are incomplete, are kept whole: what
// their settings had begun to write is undone with them.
TEST(LegacyMigration, DocumentsThatAreNotMenusAreKeptWhole)
{
    const std::vector<LegacyMenu> menus = {
        {"k1", "Array", "[1,2,3]"},
        {"k2", "No settings", R"({"header":{},"rcategories":[]})"},
        {"k3", "Header without website",
         R"({"header":{"name":"A","address":"","phone":"","email":""},"settings":{"template":"x"},"rcategories":[]})"},
        {"k4", "Header name a number",
         R"({"header":{"name":5,"address":"","phone":"","email":"","website":""},"settings":{"a":"b"},"rcategories":[]})"},
        {"k5", "Setting refused", Menu("Refused", R"("template":"x","refused":"y")", {})},
        {"ok", "Empty but whole", Menu("Whole", "", {})},
    };
    // The settings table as step 68 makes it, with a trigger that refuses one name.
    LiveServer server(TAVOLEX_BINARY, [&menus](const std::string& home) {
        PrepareFile(home, menus,
                    "CREATE TABLE main.MENU_SETTINGS(MENU_ID VARCHAR(40) NOT NULL, NAME VARCHAR(260) NOT NULL, VALUE VARCHAR(260) NOT NULL, UNIQUE(MENU_ID, NAME));"
                    "CREATE TRIGGER main.refuse_setting BEFORE INSERT ON MENU_SETTINGS WHEN NEW.NAME = 'refused' BEGIN SELECT RAISE(ABORT, 'refused for the test'); END;");
    });
    HttpClient client(server.port());
    LogOn(client);
    EXPECT_EQ(client.Request("GET", "api/menu/fetch").status, 200);
    Rows rows;
    EXPECT_EQ(rows("SELECT ID FROM main.MENU_CONTENT WHERE CONTENT IS NOT NULL ORDER BY ID"),
              (std::vector<std::string>{"k1", "k2", "k3", "k4", "k5"}));
    EXPECT_EQ(rows("SELECT MENU_ID, NAME, VALUE FROM main.MENU_SETTINGS"), std::vector<std::string>{});
    EXPECT_EQ(rows("SELECT NAME FROM main.RESTAURANT ORDER BY NAME"), (std::vector<std::string>{"Bar", "Whole"}));
    EXPECT_EQ(ReadSettingText("RDF", "ID", ""), "SQLUpdtMnSet");
    std::string trace = ReadSettingText("RDF", "CallStack", "");
    EXPECT_NE(trace.find("menu k5 > setting \"refused\""), std::string::npos) << trace;
}

// The upgrade is one transaction: a program killed in the middle of it leaves the file at its
// old version with its legacy menus, and the next start upgrades it whole.
TEST(LegacyMigration, AnUpgradeKilledHalfWayLeavesTheOldVersion)
{
    std::vector<std::string> items;
    for (int i = 0; i < 60; ++i)
        items.push_back(Item(Format("Dish %d", i), Format("$%d.50", i + 1)));
    std::vector<std::string> ids, contents;
    for (int i = 0; i < 200; ++i) {
        ids.push_back(Format("k%d", i));
        contents.push_back(Menu("Bar", "", {Category(Format("Group %d", i), items)}));
    }
    std::vector<LegacyMenu> menus;
    for (size_t i = 0; i < ids.size(); ++i)
        menus.push_back({ids[i].c_str(), "Big", contents[i]});
    LiveServer server(TAVOLEX_BINARY, [&](const std::string& home) { PrepareFile(home, menus); });
    std::string backup = db::UpgradeBackupPath(db::DefaultDatabasePath(), 65);
    std::thread request([&] {
        HttpClient client(server.port());
        client.Request("GET", "api/account/detailsget");
    });
    // The copy is made just before the upgrade's transaction begins; the conversion of 200
    // menus then takes seconds.
    for (int i = 0; i < 500 && !std::filesystem::exists(backup); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::exists(backup));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.Stop(SIGKILL);
    request.join();
    {
        Rows rows;
        ASSERT_EQ(rows.One("SELECT DBVERSION FROM main.ACCOUNT"), "65") << "the upgrade finished before the kill";
        EXPECT_EQ(rows.One("SELECT count(*) FROM main.MENU_CONTENT WHERE CONTENT IS NOT NULL"), "200");
        EXPECT_EQ(rows.One("SELECT count(*) FROM main.sqlite_master WHERE name IN ('PRODUCT', 'MENU_ITEM')"), "0");
    }
    server.Start(TAVOLEX_BINARY);
    HttpClient client(server.port());
    // The whole conversion runs inside this first request; under a sanitizer on a busy machine
    // it takes well over the usual ten seconds.
    client.SetPatience(std::chrono::seconds(120));
    EXPECT_EQ(client.Request("GET", "api/account/detailsget").status, 200);
    Rows rows;
    EXPECT_EQ(rows.One("SELECT DBVERSION FROM main.ACCOUNT"), "87");
    EXPECT_EQ(rows.One("SELECT count(*) FROM main.MENU_CONTENT WHERE CONTENT IS NOT NULL"), "0");
    EXPECT_EQ(rows.One("SELECT count(*) FROM main.PRODUCT"), "12000");
}

} // namespace
} // namespace tavolex::menu
