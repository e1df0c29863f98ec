// The business routes on the real program: answers byte for byte, rows in main.db, errors.
#include "menu_server.h"

namespace tavolex::menu {
namespace {

using testing::Error;
using testing::MenuServer;

constexpr std::string_view kOk = R"({"errorcode":200,"errormsg":"OK"})";
constexpr std::string_view kApplications = R"("rapplications":[{"app":"menu","name":"Menu Generator","status":"active"}])";

TEST(BusinessRoutes, AddFetchDetailsAndTheCurrencyRow)
{
    MenuServer menu;
    std::string added = menu.Post("api/business/add",
                                  R"({"name":"Caf\u00e9 \"Olive\"","address":"1 Rue","phone":"+33 1","email":"no at sign","website":"w.fr","timezone":"Europe/Paris"})");
    std::string id = MenuServer::Member(added, "id");
    ASSERT_EQ(id.size(), 10u) << added;
    EXPECT_EQ(added, R"({"id":")" + id + R"(","errorcode":200,"errormsg":"OK"})");
    // An unknown zone is dropped, the address kept unchecked; the date is the UTC clock.
    auto row = menu.Rows("SELECT NAME, EMAIL, TIMEZONE, length(CREATED_DATE), DELETED FROM main.RESTAURANT")[0];
    EXPECT_EQ(row, (std::vector<std::string>{"Caf\xC3\xA9 \"Olive\"", "no at sign", "NULL", "19", "NULL"}));
    EXPECT_EQ(menu.Rows("SELECT * FROM main.CURRENCY")[0],
              (std::vector<std::string>{id, "$", "0", "2", ".", ",", "0", "1", "1", "NULL"}));

    std::string second = MenuServer::Member(
        menu.Post("restaurantadd", R"({"name":"Bar","address":"a","phone":"p","email":"e","website":"w","timezone":"utc545_nst"})"), "id");
    EXPECT_EQ(menu.Get("api/business/fetch"),
              R"({"rrestaurants":[{"id":")" + id + R"(","name":"Café \"Olive\"","address":"1 Rue","phone":"+33 1","email":"no at sign","website":"w.fr","timezone":"","readonly":false,)" +
                  std::string(kApplications) + R"(},{"id":")" + second +
                  R"(","name":"Bar","address":"a","phone":"p","email":"e","website":"w","timezone":"utc545_nst","readonly":false,)" +
                  std::string(kApplications) + R"(}],"errorcode":200,"errormsg":"OK"})");
    EXPECT_EQ(menu.Get("restaurantsfetch"), menu.Get("api/business/fetch"));
    // A NULL column is left out of the details.
    EXPECT_EQ(menu.Get("api/business/detailsget?id=" + id),
              R"({"name":"Café \"Olive\"","address":"1 Rue","phone":"+33 1","email":"no at sign","website":"w.fr","errorcode":200,"errormsg":"OK"})");
    EXPECT_EQ(menu.Get("api/business/appsfetch?id=" + id), "{" + std::string(kApplications) + R"(,"errorcode":200,"errormsg":"OK"})");
    EXPECT_EQ(menu.Get("restaurantappsfetch?id=" + second), menu.Get("api/business/appsfetch?id=" + id));

    // Same creation time: the key decides.
    menu.Execute("UPDATE main.RESTAURANT SET CREATED_DATE = '2026-01-01 00:00:00'");
    menu.Execute(Format("UPDATE main.RESTAURANT SET ID = 'zz' WHERE ID = '%Q'", id));
    menu.Execute(Format("UPDATE main.RESTAURANT SET ID = 'aa' WHERE ID = '%Q'", second));
    std::string fetched = menu.Get("api/business/fetch");
    EXPECT_LT(fetched.find(R"("id":"aa")"), fetched.find(R"("id":"zz")"));
}

TEST(BusinessRoutes, RefusalsInTheirOrder)
{
    MenuServer menu;
    std::string id = menu.AddBusiness("Bar");
    struct Case {
        const char* path;
        std::string body; // empty: a GET
        std::string answer;
    } cases[] = {
        {"api/business/add", R"({"name":"x","address":"","phone":"","email":""})", Error(400, "Missing parameter(s)")},
        {"api/business/add", R"({"name":"","address":"","phone":"","email":"","website":""})", R"({"id":"","errorcode":200,"errormsg":"OK"})"},
        {"api/business/save", R"({"name":"x"})", Error(400, "Missing parameter: id")},
        {"api/business/save", R"({"id":7})", Error(400, "Missing parameter: id")},
        {"api/business/save", R"({"id":"nope"})", Error(400, "Invalid restaurant id")},
        {"api/business/save", R"({"id":")" + id + R"(","name":"New","email":"a@@b.c","timezone":"x"})", Error(400, "Invalid email format")},
        {"api/business/save", R"({"id":")" + id + R"(","name":"New","email":"","timezone":"utc1_west"})", Error(400, "Invalid email format")},
        {"api/business/save", R"({"id":")" + id + R"(","name":"New","email":"a@b.c","timezone":"UTC14_LIST"})", Error(400, "Invalid time zone")},
        {"api/business/save", R"({"id":")" + id + R"(","timezone":"Europe/Paris"})", Error(400, "Invalid time zone")},
        {"api/business/delete", R"({"restaurantId":""})", Error(400, "Missing parameter(s): restaurantId")},
        {"api/business/delete", R"({})", Error(400, "Missing parameter(s): restaurantId")},
        {"api/business/delete", R"({"restaurantId":"nope"})", Error(404, "Not found")},
        {"api/business/detailsget", "", Error(400, "Missing parameter: id")},
        {"api/business/detailsget?id=nope", "", Error(400, "Invalid restaurant")},
        {"api/business/appsfetch", "", Error(400, "Missing parameter: id")},
        {"api/business/appsfetch?id=nope", "", Error(400, "Invalid restaurant id")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.body);
        EXPECT_EQ(c.body.empty() ? menu.Get(c.path) : menu.Post(c.path, c.body), c.answer);
    }
    // Nothing was written by any refusal: one business, its old name, no zone.
    EXPECT_EQ(menu.Rows("SELECT NAME, EMAIL, TIMEZONE FROM main.RESTAURANT"),
              (std::vector<std::vector<std::string>>{{"Bar", "", "NULL"}}));
    // A body that is not JSON gets no answer at all: the connection just closes.
    testing::HttpAnswer answer = menu.client().Request("POST", "api/business/add", "not json");
    EXPECT_EQ(answer.raw, "");
}

TEST(BusinessRoutes, SaveAppliesOnlyWhatItIsGiven)
{
    MenuServer menu;
    std::string id = MenuServer::Member(
        menu.Post("api/business/add", R"({"name":"Bar","address":"Old","phone":"1","email":"x","website":"w"})"), "id");
    EXPECT_EQ(menu.Post("restaurantsave", R"({"id":")" + id + R"(","name":"","address":"","email":"Chef.Anna@Example.COM","timezone":"utc14_list"})"),
              kOk);
    // An empty name keeps the stored one, an empty address clears it, absent members stay.
    EXPECT_EQ(menu.Rows("SELECT NAME, ADDRESS, PHONE, EMAIL, WEBSITE, TIMEZONE FROM main.RESTAURANT")[0],
              (std::vector<std::string>{"Bar", "", "1", "chef.anna@example.com", "w", "utc14_list"}));
    EXPECT_EQ(menu.Post("api/business/save", R"({"id":")" + id + R"(","name":"Grill","website":7,"timezone":"utc-930_mst"})"), kOk);
    EXPECT_EQ(menu.Rows("SELECT NAME, WEBSITE, TIMEZONE FROM main.RESTAURANT")[0],
              (std::vector<std::string>{"Grill", "w", "utc-930_mst"}));
}

TEST(BusinessRoutes, DeleteTakesTheMenusAndKeepsTheCurrencyRow)
{
    MenuServer menu;
    std::string id = menu.AddBusiness("Bar");
    std::string other = menu.AddBusiness("Other");
    for (const std::string& business : {id, id, id, other})
        menu.Post("api/menu/add", R"({"name":"M","restaurant_id":")" + business +
                                      R"(","settings":{"paper":"A4"},"rcategories":[{"name":"C","description":"","ritems":[{"name":"P","detail":"","price":"1","extras":""}]}]})");
    ASSERT_EQ(menu.Count("MENU_CONTENT"), 4);
    EXPECT_EQ(menu.Post("restaurantdelete", R"({"restaurantId":")" + id + R"("})"),
              R"({"restaurantId":")" + id + R"(","errorcode":200,"errormsg":"OK"})");
    EXPECT_EQ(menu.Scalar("SELECT group_concat(ID) FROM main.RESTAURANT"), other);
    std::string otherMenu = menu.Scalar("SELECT ID FROM main.MENU_CONTENT");
    for (const char* table : {"MENU_SETTINGS", "MENU_CATEGORY", "MENU_ITEM"})
        EXPECT_EQ(menu.Scalar(Format("SELECT group_concat(DISTINCT MENU_ID) FROM main.%s", table)), otherMenu) << table;
    EXPECT_EQ(menu.Count("MENU_CONTENT"), 1);
    EXPECT_EQ(menu.Count("CURRENCY"), 2);
}

TEST(BusinessRoutes, UsersWithoutTheAdministratorBit)
{
    MenuServer menu;
    std::string id = menu.AddBusiness("Bar");
    std::string menuId = MenuServer::Member(
        menu.Post("api/menu/add", R"({"name":"M","restaurant_id":")" + id + R"(","settings":{},"rcategories":[]})"), "id");
    menu.Execute("UPDATE main.USER_ACCOUNT SET USER_TYPE = 4096");
    EXPECT_EQ(menu.Get("api/business/fetch"),
              R"({"rrestaurants":[{"id":")" + id + R"(","name":"Bar","address":"","phone":"","email":"","website":"","timezone":"","readonly":false,"rapplications":[]}],"errorcode":200,"errormsg":"OK"})");
    EXPECT_EQ(menu.Get("api/business/appsfetch?id=" + id), R"({"rapplications":[],"errorcode":200,"errormsg":"OK"})");
    std::string unauthorized = Error(403, "Unauthorized");
    struct Case {
        std::string path;
        std::string body;
    } cases[] = {
        {"api/business/add", R"({"name":"x","address":"","phone":"","email":"","website":""})"},
        {"api/business/save", R"({"id":")" + id + R"(","name":"x"})"},
        {"api/business/delete", R"({"restaurantId":")" + id + R"("})"},
        {"api/menu/add", R"({"name":"M","restaurant_id":")" + id + R"(","settings":{},"rcategories":[]})"},
        {"api/menu/save", R"({"id":")" + menuId + R"(","name":"x"})"},
        {"api/menu/assign", R"({"menuid":")" + menuId + R"(","restaurantid":")" + id + R"("})"},
        {"api/menu/copy", R"({"srcmenuid":")" + menuId + R"("})"},
        {"api/menu/get?id=" + menuId, ""},
        {"api/menu/fetch", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.body.empty() ? menu.Get(c.path) : menu.Post(c.path, c.body), unauthorized) << c.path;
    EXPECT_EQ(menu.Rows("SELECT NAME FROM main.RESTAURANT"), (std::vector<std::vector<std::string>>{{"Bar"}}));
    EXPECT_EQ(menu.Rows("SELECT NAME FROM main.MENU_CONTENT"), (std::vector<std::vector<std::string>>{{"M"}}));
}

} // namespace
} // namespace tavolex::menu
