// The menu routes and menu save on the real program: answers byte for byte, rows in main.db,
// element errors, hostile texts, a failing database and many clients at once.
#include "menu_server.h"

#include <atomic>
#include <iostream>
#include <thread>

namespace tavolex::menu {
namespace {

using testing::Error;
using testing::MenuServer;
using Rows = std::vector<std::vector<std::string>>;

constexpr std::string_view kOk = R"({"errorcode":200,"errormsg":"OK"})";

std::string Item(std::string_view name, std::string_view price, std::string_view extra = {})
{
    return Format(R"({"name":"%J","detail":"","price":"%J","extras":""%s})", name, price, extra);
}

// Adds a menu for `business` and gives the answer.
std::string AddMenu(MenuServer& menu, std::string_view business, std::string_view categories,
                    std::string_view settings = "{}")
{
    return menu.Post("api/menu/add", Format(R"({"name":"Dinner","restaurant_id":"%s","settings":%s,"rcategories":[%s]})",
                                            business, settings, categories));
}

std::string Key(MenuServer& menu, std::string_view sql)
{
    return menu.Scalar(sql);
}

TEST(MenuRoutes, RoundTripOfAddGetSaveGet)
{
    MenuServer menu;
    std::string business = menu.AddBusiness("Bar");
    std::string added = AddMenu(menu, business,
                                R"({"name":"Starters","description":"Small","ritems":[)" + Item("Soup", "450") + "," +
                                    Item("Salad", "700") + R"(]},{"name":"Mains","description":"","ritems":[)" +
                                    Item("Steak", "2200") + "]}",
                                R"({"template":"classic"})");
    std::string menuId = MenuServer::Member(added, "id");
    std::string starters = Key(menu, "SELECT ID FROM main.CATEGORY WHERE NAME = 'Starters'");
    std::string mains = Key(menu, "SELECT ID FROM main.CATEGORY WHERE NAME = 'Mains'");
    std::string soup = Key(menu, "SELECT ID FROM main.PRODUCT WHERE NAME = 'Soup'");
    std::string salad = Key(menu, "SELECT ID FROM main.PRODUCT WHERE NAME = 'Salad'");
    std::string steak = Key(menu, "SELECT ID FROM main.PRODUCT WHERE NAME = 'Steak'");
    // The answer is the request with the keys filled in.
    EXPECT_EQ(added, R"({"name":"Dinner","restaurant_id":")" + business +
                         R"(","settings":{"template":"classic"},"rcategories":[{"name":"Starters","description":"Small","ritems":[{"name":"Soup","detail":"","price":"450","extras":"","product_id":")" +
                         soup + R"("},{"name":"Salad","detail":"","price":"700","extras":"","product_id":")" + salad +
                         R"("}],"category_id":")" + starters + R"("},{"name":"Mains","description":"","ritems":[{"name":"Steak","detail":"","price":"2200","extras":"","product_id":")" +
                         steak + R"("}],"category_id":")" + mains + R"("}],"id":")" + menuId + R"(","errorcode":200,"errormsg":"OK"})");

    auto item = [](const std::string& id, std::string_view name, std::string_view price, bool hidden = false) {
        return R"({"product_id":")" + id + R"(","name":")" + std::string(name) + R"(","detail":"","extras":"","price":")" +
               std::string(price) + R"(","hidden":)" + (hidden ? "true" : "false") + "}";
    };
    auto page = [&](std::string_view startersItems, std::string_view mainsItems, bool mainsHidden) {
        return R"({"id":")" + menuId + R"(","name":"Dinner","restaurant_id":")" + business +
               R"(","header":{"name":"Bar","address":"","phone":"","email":"","website":""},"settings":{"template":"classic"},"rcategories":[{"category_id":")" +
               starters + R"(","name":"Starters","description":"Small","hidden":false,"ritems":[)" + std::string(startersItems) +
               R"(]},{"category_id":")" + mains + R"(","name":"Mains","description":"","hidden":)" +
               (mainsHidden ? "true" : "false") + R"(,"ritems":[)" + std::string(mainsItems) + R"(]}],"errorcode":200,"errormsg":"OK"})";
    };
    std::string got = menu.Get("api/menu/get?id=" + menuId);
    EXPECT_EQ(got, page(item(soup, "Soup", "450") + "," + item(salad, "Salad", "700"), item(steak, "Steak", "2200"), false));

    // The browser sends back what it got: Salad moved up, Mains hidden, Steak dearer, a new
    // Bread, and Olives with a price the rules refuse between them.
    std::string edited = page(item(salad, "Salad", "700") + "," + item(soup, "Soup", "450") + "," +
                                  Item("Olives", "3,50") + "," + Item("Bread", "150"),
                              item(steak, "Steak", "2450"), true);
    std::string saved = menu.Post("api/menu/save", edited);
    std::string bread = Key(menu, "SELECT ID FROM main.PRODUCT WHERE NAME = 'Bread'");
    ASSERT_EQ(bread.size(), 10u);
    std::string expectedEcho = edited;
    expectedEcho.replace(expectedEcho.find(Item("Olives", "3,50")), Item("Olives", "3,50").size(),
                         Item("Olives", "3,50", R"(,"error":{"code":400,"description":"Bad format. Invalid menu item price format"})"));
    expectedEcho.replace(expectedEcho.find(Item("Bread", "150")), Item("Bread", "150").size(),
                         Item("Bread", "150", R"(,"product_id":")" + bread + R"(")"));
    EXPECT_EQ(saved, expectedEcho);

    EXPECT_EQ(menu.Get("api/menu/get?id=" + menuId),
              page(item(salad, "Salad", "700") + "," + item(soup, "Soup", "450") + "," + item(bread, "Bread", "150"),
                   item(steak, "Steak", "2450"), true));
    EXPECT_EQ(menu.Rows(Format("SELECT PRODUCT_ID, POSITION FROM main.MENU_ITEM WHERE MENU_ID = '%s' AND CATEGORY_ID = '%s' ORDER BY POSITION",
                               menuId, starters)),
              (Rows{{salad, "0"}, {soup, "1"}, {bread, "2"}}));
    EXPECT_EQ(menu.Scalar("SELECT count(*) FROM main.PRODUCT WHERE NAME = 'Olives'"), "0");
}

TEST(MenuRoutes, AddPlacesTheCatalogueAndRefusesInOrder)
{
    MenuServer menu;
    std::string business = menu.AddBusiness("Bar");
    AddMenu(menu, business, R"({"name":"Drinks","description":"","ritems":[)" + Item("Tea", "200") + "]}");
    std::string drinks = Key(menu, "SELECT ID FROM main.CATEGORY WHERE NAME = 'Drinks'");
    std::string tea = Key(menu, "SELECT ID FROM main.PRODUCT WHERE NAME = 'Tea'");
    menu.Execute("INSERT INTO main.CATEGORY(ID, NAME, DESCRIPTION, CREATED_DATE) VALUES('empty', 'Empty', 'none', '2030-01-01 00:00:00');"
                 "INSERT INTO main.CATEGORY(ID, NAME, DESCRIPTION, CREATED_DATE) VALUES('hid', 'Hidden', '', '2031-01-01 00:00:00');"
                 "INSERT INTO main.PRODUCT(ID, NAME, PRICE, IS_VISIBLE) VALUES('off', 'Off', 1, 0);"
                 "INSERT INTO main.PRODUCT(ID, NAME, PRICE, IS_VISIBLE, IS_MODIFIER) VALUES('mod', 'Mod', 1, 1, 1);"
                 "INSERT INTO main.PRODUCT_CATEGORY VALUES('off', 'hid'), ('mod', 'hid');");

    // An empty list stores the menu and its string settings only; get then shows the whole
    // catalogue hidden, with categories whose products cannot be listed empty.
    std::string second = MenuServer::Member(AddMenu(menu, business, "", R"({"paper":"A4","columns":2})"), "id");
    EXPECT_EQ(menu.Rows(Format("SELECT NAME, VALUE FROM main.MENU_SETTINGS WHERE MENU_ID = '%s'", second)), (Rows{{"paper", "A4"}}));
    EXPECT_EQ(menu.Scalar(Format("SELECT count(*) FROM main.MENU_CATEGORY WHERE MENU_ID = '%s'", second)), "0");
    EXPECT_EQ(menu.Get("api/menu/get?id=" + second),
              R"({"id":")" + second + R"(","name":"Dinner","restaurant_id":")" + business +
                  R"(","header":{"name":"Bar","address":"","phone":"","email":"","website":""},"settings":{"paper":"A4"},"rcategories":[{"category_id":")" +
                  drinks + R"(","name":"Drinks","description":"","hidden":true,"ritems":[{"product_id":")" + tea +
                  R"(","name":"Tea","detail":"","extras":"","price":"200","hidden":true}]},{"category_id":"empty","name":"Empty","description":"none","hidden":true,"ritems":[]},{"category_id":"hid","name":"Hidden","description":"","hidden":true,"ritems":[]}],"errorcode":200,"errormsg":"OK"})");

    // The group without category, a product found by its fields, and a third category without
    // items: what came before its item list stays stored, the third category and its placement
    // included. A category whose products are all hidden is not placed from the catalogue.
    std::string body = Format(R"({"name":"Third","restaurant_id":"%s","settings":{},"errorcode":7,"rcategories":[{"category_id":null,"name":"","description":"","ritems":[%s]},{"name":"Drinks","description":"","hidden":true,"ritems":[%s]},{"name":"Late","description":""}]})",
                              business, Item("Bread", "150"), Item("Tea", "200"));
    EXPECT_EQ(menu.Post("api/menu/add", body), Error(400, "Missing or invalid category ritems format"));
    std::string third = menu.Scalar("SELECT ID FROM main.MENU_CONTENT WHERE NAME = 'Third'");
    std::string bread = Key(menu, "SELECT ID FROM main.PRODUCT WHERE NAME = 'Bread'");
    std::string late = Key(menu, "SELECT ID FROM main.CATEGORY WHERE NAME = 'Late'");
    EXPECT_EQ(menu.Rows(Format("SELECT CATEGORY_ID, PRODUCT_ID, POSITION, IS_VISIBLE FROM main.MENU_ITEM WHERE MENU_ID = '%s' ORDER BY CATEGORY_ID", third)),
              (Rows{{"NULL", bread, "0", "1"}, {drinks, tea, "2147483647", "0"}}));
    EXPECT_EQ(menu.Rows(Format("SELECT CATEGORY_ID, POSITION, IS_VISIBLE FROM main.MENU_CATEGORY WHERE MENU_ID = '%s' ORDER BY POSITION, CATEGORY_ID = 'empty'", third)),
              (Rows{{"NULL", "0", "1"}, {late, "2", "1"}, {drinks, "2147483647", "0"}, {"empty", "2147483647", "0"}}));
    EXPECT_EQ(menu.Scalar("SELECT count(*) FROM main.CATEGORY"), "4"); // Late, and none for the group
    EXPECT_EQ(menu.Scalar(Format("SELECT IS_VISIBLE || IS_MODIFIER FROM main.PRODUCT WHERE ID = '%s'", bread)), "10");
    EXPECT_EQ(menu.Scalar(Format("SELECT count(*) FROM main.PRODUCT_CATEGORY WHERE PRODUCT_ID = '%s'", bread)), "0");

    std::string kept = menu.Post("api/menu/add", Format(R"({"name":"K","restaurant_id":"%s","settings":{},"errorcode":7,"rcategories":[]})", business));
    EXPECT_EQ(kept, Format(R"({"name":"K","restaurant_id":"%s","settings":{},"errorcode":7,"rcategories":[],"id":"%s","errormsg":"OK"})",
                           business, MenuServer::Member(kept, "id")));

    struct Case {
        std::string body;
        std::string answer;
    } cases[] = {
        {R"({"rcategories":[],"restaurant_id":"x","settings":{}})", Error(400, "Missing or invalid name format")},
        {Format(R"("name":"M","rcategories":[],"restaurant_id":"%s","settings":{})", business), Error(400, "Invalid parameter")},
        {R"({"name":"M","rcategories":{},"restaurant_id":"x","settings":{}})", Error(400, "Missing or invalid rcategories format")},
        {R"({"name":"M","rcategories":[],"restaurant_id":1,"settings":{}})", Error(400, "Missing or invalid restaurant_id format")},
        {R"({"name":"M","rcategories":[],"restaurant_id":"x","settings":[]})", Error(400, "Missing or invalid settings format")},
        {R"({"name":"M","rcategories":[],"restaurant_id":"x","settings":{}})", Error(404, "Invalid restaurant_id")},
        {Format(R"({"name":"M","rcategories":[{"description":""}],"restaurant_id":"%s","settings":{}})", business),
         Error(400, "Missing or invalid category name format")},
        {Format(R"({"name":"M","rcategories":[{"name":""}],"restaurant_id":"%s","settings":{}})", business),
         Error(400, "Missing or invalid category description format")},
        {Format(R"({"name":"M","rcategories":[{"name":"","description":"","ritems":[{"name":"a","detail":"","price":5,"extras":""}]}],"restaurant_id":"%s","settings":{}})", business),
         Error(400, "Missing or invalid menu item price format")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(menu.Post("api/menu/add", c.body), c.answer) << c.body;
}

TEST(MenuRoutes, SaveStoresWhatItCanAndMarksTheRest)
{
    MenuServer menu;
    std::string business = menu.AddBusiness("Bar");
    std::string other = menu.AddBusiness("Other");
    std::string menuId = MenuServer::Member(AddMenu(menu, business, "", R"({"paper":"A4","keep":"me"})"), "id");
    menu.Execute("INSERT INTO main.PRODUCT(ID, NAME, DESCRIPTION, EXTRA, PRICE, IS_VISIBLE) VALUES('neg', 'Credit', '', '', -500, 1);"
                 "INSERT INTO main.PRODUCT(ID, NAME, PRICE, IS_VISIBLE) VALUES('off', 'Off', 1, 0);");
    auto dump = [&] {
        return menu.Rows("SELECT * FROM main.MENU_CONTENT UNION ALL SELECT MENU_ID, NAME, VALUE, NULL, NULL FROM main.MENU_SETTINGS "
                         "UNION ALL SELECT ID, NAME, ADDRESS, EMAIL, NULL FROM main.RESTAURANT");
    };
    Rows before = dump();
    std::string onlyId = Format(R"({"id":"%s"})", menuId);
    EXPECT_EQ(menu.Post("api/menu/save", onlyId), Format(R"({"id":"%s","errorcode":200,"errormsg":"OK"})", menuId));
    struct Refusal {
        std::string body;
        std::string answer;
    } refusals[] = {
        {R"({"name":"x"})", Error(400, "Missing parameter: id")},
        // Found by fuzzing: a text the reader does not read as one whole object is refused before
        // anything is written, instead of being stored and answered with an empty reply.
        {Format(R"("id":"%s")", menuId), Error(400, "Invalid parameter")},
        {R"({"id":"nope","name":"x"})", Error(404, "Menu not found")},
        {Format(R"({"id":"%s","name":"x","restaurant_id":"nope"})", menuId), Error(404, "Restaurant not found")},
    };
    for (const Refusal& r : refusals)
        EXPECT_EQ(menu.Post("api/menu/save", r.body), r.answer) << r.body;
    EXPECT_EQ(dump(), before);

    // The header with an empty name is not applied at all; the settings are merged.
    std::string answer = menu.Post("api/menu/save", Format(R"({"id":"%s","name":"","restaurant_id":"%s","header":{"name":"","address":"Elsewhere"},"settings":{"paper":"Letter","lang":"fr","columns":2}})",
                                                          menuId, business));
    EXPECT_NE(answer.find(R"("header":{"name":"","address":"Elsewhere","error":{"code":400,"description":"Bad format. Header name cannot be empty"}})"),
              std::string::npos) << answer;
    EXPECT_EQ(menu.Rows(Format("SELECT NAME, RESTAURANT_ID FROM main.MENU_CONTENT WHERE ID = '%s'", menuId)), (Rows{{"", business}}));
    EXPECT_EQ(menu.Rows(Format("SELECT ADDRESS FROM main.RESTAURANT WHERE ID = '%s'", business)), (Rows{{""}}));
    EXPECT_EQ(menu.Rows(Format("SELECT NAME, VALUE FROM main.MENU_SETTINGS WHERE MENU_ID = '%s' ORDER BY NAME", menuId)),
              (Rows{{"keep", "me"}, {"lang", "fr"}, {"paper", "Letter"}}));
    menu.Post("api/menu/save", Format(R"({"id":"%s","restaurant_id":"%s","header":{"name":"Other Bar","email":"not checked"}})", menuId, other));
    EXPECT_EQ(menu.Rows(Format("SELECT RESTAURANT_ID FROM main.MENU_CONTENT WHERE ID = '%s'", menuId)), (Rows{{other}}));
    EXPECT_EQ(menu.Rows(Format("SELECT NAME, EMAIL FROM main.RESTAURANT WHERE ID = '%s'", other)), (Rows{{"Other Bar", "not checked"}}));

    // Positions, prices, products found by their fields, visibility, the group without category.
    std::string body = Format(
        R"({"id":"%s","rcategories":[{"name":"A","description":"","ritems":[%s,%s,%s,%s,%s,%s]},{"name":"B","description":"","position":7},{"name":"C","description":""},{"name":"D","description":"","position":2.9,"hidden":true},{"category_id":null,"ritems":[%s]},{"name":""},5,{"name":"E","description":"","position":-1}]})",
        menuId, Item("Twelve", "12.50"), Item("Comma", "12,50"), Item("Dots", "1.2.3"), Item("Dash", "-"),
        Item("Credit", "-500"), R"({"product_id":"off","hidden":false})", Item("Loose", "100"));
    answer = menu.Post("api/menu/save", body);
    for (const char* error : {R"("price":"12,50","extras":"","error":{"code":400,"description":"Bad format. Invalid menu item price format"})",
                              R"("price":"1.2.3","extras":"","error":{"code":400,"description":"Bad format. Invalid menu item price format"})",
                              R"({"name":"","error":{"code":400,"description":"Bad format. Invalid menu item name format"}})",
                              R"(5,)", R"("product_id":"neg")"})
        EXPECT_NE(answer.find(error), std::string::npos) << error << "\n" << answer;
    EXPECT_EQ(menu.Rows("SELECT NAME, PRICE FROM main.PRODUCT WHERE NAME IN ('Twelve', 'Dash', 'Comma', 'Dots') ORDER BY NAME"),
              (Rows{{"Dash", "0"}, {"Twelve", "12"}}));
    EXPECT_EQ(menu.Scalar("SELECT count(*) FROM main.PRODUCT WHERE NAME = 'Credit'"), "1");
    EXPECT_EQ(menu.Scalar("SELECT IS_VISIBLE FROM main.PRODUCT WHERE ID = 'off'"), "1");
    EXPECT_EQ(menu.Rows(Format("SELECT C.NAME, MC.POSITION, MC.IS_VISIBLE FROM main.MENU_CATEGORY MC LEFT JOIN main.CATEGORY C ON C.ID = MC.CATEGORY_ID WHERE MC.MENU_ID = '%s' ORDER BY MC.POSITION, C.NAME", menuId)),
              (Rows{{"E", "-1", "1"}, {"A", "0", "1"}, {"D", "2", "0"}, {"NULL", "3", "1"}, {"B", "7", "1"}, {"C", "8", "1"}}));
    EXPECT_EQ(menu.Rows(Format("SELECT P.NAME, MI.POSITION FROM main.MENU_ITEM MI JOIN main.PRODUCT P ON P.ID = MI.PRODUCT_ID WHERE MI.MENU_ID = '%s' AND MI.CATEGORY_ID IS NOT NULL ORDER BY MI.POSITION", menuId)),
              (Rows{{"Twelve", "0"}, {"Dash", "1"}, {"Credit", "2"}, {"Off", "3"}}));
    EXPECT_EQ(menu.Scalar("SELECT count(*) FROM main.CATEGORY"), "5");
    std::string got = menu.Get("api/menu/get?id=" + menuId);
    EXPECT_NE(got.find(R"("name":"E","description":"","hidden":false,"saved":false,"ritems":[])"), std::string::npos) << got;

    // The menu's own business gone: saving it is refused.
    menu.Execute(Format("DELETE FROM main.RESTAURANT WHERE ID = '%s'", other));
    EXPECT_EQ(menu.Post("api/menu/save", onlyId), Error(404, "Could not find restaurant of this menu"));
    EXPECT_NE(menu.Get("api/menu/get?id=" + menuId).find(R"("header":{"name":"","address":"","phone":"","email":"","website":""})"),
              std::string::npos);
}

TEST(MenuRoutes, ListDeleteMoveCopyAndProducts)
{
    MenuServer menu;
    std::string bar = menu.AddBusiness("Bar");
    std::string cafe = menu.AddBusiness("Cafe");
    std::string one = MenuServer::Member(AddMenu(menu, bar, R"({"name":"C","description":"","ritems":[)" + Item("P", "1") + "]}", R"({"paper":"A4"})"), "id");
    std::string two = MenuServer::Member(AddMenu(menu, bar, ""), "id");
    std::string three = MenuServer::Member(AddMenu(menu, cafe, ""), "id");
    menu.Execute("INSERT INTO main.MENU_CONTENT(ID, NAME, RESTAURANT_ID) VALUES('orphan', 'Lost', 'gone')");

    std::string all = menu.Get("menusfetch");
    EXPECT_NE(all.find(R"({"id":"orphan","name":"Lost","restaurant":{"id":"","name":""}})"), std::string::npos) << all;
    EXPECT_EQ(menu.Get("api/menu/fetch?restaurantid=" + cafe),
              Format(R"({"rmenus":[{"id":"%s","name":"Dinner","restaurant":{"id":"%s","name":"Cafe"}}],"errorcode":200,"errormsg":"OK"})", three, cafe));

    // Move: only to a business that exists; OK either way.
    EXPECT_EQ(menu.Post("menuassign", Format(R"({"menuid":"%s","restaurantid":"%s"})", two, cafe)), kOk);
    EXPECT_EQ(menu.Post("api/menu/assign", Format(R"({"menuid":"%s","restaurantid":"nope"})", two)), kOk);
    EXPECT_EQ(menu.Scalar(Format("SELECT RESTAURANT_ID FROM main.MENU_CONTENT WHERE ID = '%s'", two)), cafe);
    EXPECT_EQ(menu.Post("api/menu/assign", R"({"restaurantid":"x"})"), Error(400, "Missing parameter: menuid"));
    EXPECT_EQ(menu.Post("api/menu/assign", R"({"menuid":"x"})"), Error(400, "Missing parameter: restaurantid"));

    // Copy: the settings and placements go along; the name and business as asked.
    std::string copied = menu.Post("menucopy", Format(R"({"srcmenuid":"%s"})", one));
    std::string copy = MenuServer::Member(copied, "menuid");
    EXPECT_EQ(copied, Format(R"({"menuid":"%s","menuname":"Dinner - Copy","errorcode":200,"errormsg":"OK"})", copy));
    auto placements = [&](const std::string& id) {
        return menu.Rows(Format("SELECT 'C', CATEGORY_ID, POSITION, IS_VISIBLE FROM main.MENU_CATEGORY WHERE MENU_ID = '%s' UNION ALL "
                                "SELECT PRODUCT_ID, CATEGORY_ID, POSITION, IS_VISIBLE FROM main.MENU_ITEM WHERE MENU_ID = '%s' UNION ALL "
                                "SELECT 'S', NAME, VALUE, '' FROM main.MENU_SETTINGS WHERE MENU_ID = '%s' ORDER BY 1, 2", id, id, id));
    };
    EXPECT_EQ(placements(copy), placements(one));
    EXPECT_EQ(placements(copy).size(), 3u);
    EXPECT_EQ(menu.Scalar(Format("SELECT RESTAURANT_ID FROM main.MENU_CONTENT WHERE ID = '%s'", copy)), bar);
    std::string named = MenuServer::Member(menu.Post("api/menu/copy", Format(R"({"srcmenuid":"%s","destrestaurantid":"%s","destmenuname":"Brunch"})", one, cafe)), "menuid");
    EXPECT_EQ(menu.Rows(Format("SELECT NAME, RESTAURANT_ID FROM main.MENU_CONTENT WHERE ID = '%s'", named)), (Rows{{"Brunch", cafe}}));
    int menus = menu.Count("MENU_CONTENT");
    EXPECT_EQ(menu.Post("api/menu/copy", Format(R"({"srcmenuid":"%s","destrestaurantid":"nope"})", one)), Error(400, "Invalid restaurant id"));
    EXPECT_EQ(menu.Post("api/menu/copy", R"({"srcmenuid":"nope"})"), Error(400, "Source menu not found"));
    EXPECT_EQ(menu.Post("api/menu/copy", R"({})"), Error(400, "Missing parameter: srcmenuid"));
    EXPECT_EQ(menu.Count("MENU_CONTENT"), menus);

    // Delete: several at once with all their rows; an empty list; a string is not a list.
    EXPECT_EQ(menu.Post("menudelete", Format(R"({"rid":["%s","%s"]})", one, copy)), kOk);
    for (const char* table : {"MENU_SETTINGS", "MENU_CATEGORY", "MENU_ITEM"})
        EXPECT_EQ(menu.Scalar(Format("SELECT count(*) FROM main.%s WHERE MENU_ID IN ('%s', '%s')", table, one, copy)), "0") << table;
    EXPECT_EQ(menu.Scalar(Format("SELECT count(*) FROM main.MENU_CONTENT WHERE ID IN ('%s', '%s')", one, copy)), "0");
    EXPECT_EQ(menu.Post("api/menu/delete", R"({"rid":[]})"), kOk);
    EXPECT_EQ(menu.Post("api/menu/delete", Format(R"({"rid":"%s"})", two)), Error(400, "Missing parameter: rid"));
    EXPECT_EQ(menu.Count("MENU_CONTENT"), menus - 2);

    // Product delete: the product and its links go, its placements stay but are not listed.
    std::string product = menu.Scalar("SELECT ID FROM main.PRODUCT");
    EXPECT_EQ(menu.Post("api/product/delete", "not json"), Error(400, "Invalid parameter"));
    EXPECT_EQ(menu.Post("api/product/delete", R"({"id":""})"), Error(400, "Missing or invalid parameter: id"));
    EXPECT_EQ(menu.Post("api/product/delete", Format(R"({"id":"%s"})", product)), kOk);
    EXPECT_EQ(menu.Count("PRODUCT") + menu.Count("PRODUCT_CATEGORY"), 0);
    EXPECT_EQ(menu.Scalar(Format("SELECT count(*) FROM main.MENU_ITEM WHERE PRODUCT_ID = '%s'", product)), "1");
    EXPECT_EQ(menu.Get("api/menu/get?id=" + named).find(product), std::string::npos);
    EXPECT_EQ(menu.Get("api/menu/get"), Error(400, "Missing parameter(s): id"));
    EXPECT_EQ(menu.Get("api/menu/get?id=nope"), Error(400, "Menu not found"));
}

TEST(MenuRoutes, WithoutASessionTheMenuRoutesAnswer401)
{
    MenuServer menu;
    testing::HttpClient stranger(menu.server().port());
    struct Case {
        const char* method;
        const char* path;
        const char* message;
    } cases[] = {
        {"GET", "api/menu/get?id=x", "Access denied. Failed to retrieve menu data."},
        {"POST", "api/menu/add", "Access denied. Failed to save menu."},
        {"GET", "menusfetch", "Access denied. Failed to retrieve menu list."},
        {"POST", "menudelete", "Access denied. Failed to delete menu."},
        {"POST", "api/menu/save", "Access denied. Failed to save menu."},
    };
    int sessions = menu.Count("SESSION_DATA");
    for (const Case& c : cases)
        EXPECT_EQ(stranger.Request(c.method, c.path, c.method == std::string_view("POST") ? R"({"rid":[]})" : "").raw, testing::JsonReply(Error(401, c.message))) << c.path;
    EXPECT_EQ(menu.Count("SESSION_DATA"), sessions);
}

TEST(MenuRoutes, HostileTextsAreStoredAsGiven)
{
    MenuServer menu;
    const std::string values[] = {"'", "\\", ";", "'; DROP TABLE CATEGORY; --", "%id%", "[db]", "\"x\"", "a'b\"c\\d"};
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        std::string business = MenuServer::Member(
            menu.Post("api/business/add", Format(R"({"name":"%J","address":"%J","phone":"%J","email":"%J","website":"%J"})",
                                                 value, value, value, value, value)), "id");
        ASSERT_EQ(business.size(), 10u);
        EXPECT_EQ(menu.Rows(Format("SELECT NAME, ADDRESS, PHONE, EMAIL, WEBSITE FROM main.RESTAURANT WHERE ID = '%s'", business)),
                  (Rows{{value, value, value, value, value}}));
        std::string body = Format(R"({"name":"%J","restaurant_id":"%s","settings":{"%J":"%J"},"rcategories":[{"name":"%J","description":"%J","ritems":[{"name":"%J","detail":"%J","price":"1","extras":"%J"}]}]})",
                                  value, business, value, value, value, value, value, value, value);
        std::string menuId = MenuServer::Member(menu.Post("api/menu/add", body), "id");
        ASSERT_EQ(menuId.size(), 10u);
        EXPECT_EQ(menu.Rows(Format("SELECT M.NAME, S.NAME, S.VALUE FROM main.MENU_CONTENT M JOIN main.MENU_SETTINGS S ON S.MENU_ID = M.ID WHERE M.ID = '%s'", menuId)),
                  (Rows{{value, value, value}}));
        EXPECT_EQ(menu.Rows(Format("SELECT C.NAME, C.DESCRIPTION, P.NAME, P.DESCRIPTION, P.EXTRA FROM main.MENU_ITEM MI JOIN main.CATEGORY C ON C.ID = MI.CATEGORY_ID JOIN main.PRODUCT P ON P.ID = MI.PRODUCT_ID WHERE MI.MENU_ID = '%s' AND MI.IS_VISIBLE = 1", menuId)),
                  (Rows{{value, value, value, value, value}}));
        // Hostile keys through save: an unknown category key makes a new category, the product
        // key names nothing, the header takes the text.
        std::string saved = menu.Post("api/menu/save", Format(R"({"id":"%s","header":{"name":"%J","address":"%J"},"settings":{"%J":"x"},"rcategories":[{"category_id":"%J","name":"n","ritems":[{"product_id":"%J","name":"p"}]}]})",
                                                              menuId, value + "!", value, value, value, value));
        EXPECT_EQ(MenuServer::Member(saved, "errormsg"), "OK") << saved;
        EXPECT_EQ(menu.Rows(Format("SELECT NAME, ADDRESS FROM main.RESTAURANT WHERE ID = '%s'", business)), (Rows{{value + "!", value}}));
        EXPECT_EQ(menu.Rows(Format("SELECT VALUE FROM main.MENU_SETTINGS WHERE MENU_ID = '%s'", menuId)), (Rows{{"x"}}));
        EXPECT_EQ(menu.Post("api/menu/delete", Format(R"({"rid":["%J"]})", value)), kOk);
        EXPECT_EQ(menu.Post("api/business/delete", Format(R"({"restaurantId":"%J"})", value)), Error(404, "Not found"));
    }
    EXPECT_EQ(menu.Scalar("SELECT count(*) FROM main.sqlite_master WHERE name IN ('CATEGORY', 'PRODUCT', 'MENU_CONTENT')"), "3");
    EXPECT_EQ(menu.Count("MENU_CONTENT"), static_cast<int>(std::size(values)));
}

// A statement that fails for a reason other than a duplicate row (here a trigger that names a
// table that is gone) rolls the whole save back and is answered as a failure.
TEST(MenuRoutes, ADatabaseFailureRollsTheWholeChangeBack)
{
    MenuServer menu;
    std::string business = menu.AddBusiness("Bar");
    std::string menuId = MenuServer::Member(AddMenu(menu, business, R"({"name":"C","description":"","ritems":[)" + Item("P", "1") + "]}"), "id");
    menu.Execute("CREATE TRIGGER broken AFTER INSERT ON main.MENU_ITEM BEGIN INSERT INTO GONE VALUES(1); END;");
    Rows before = menu.Rows("SELECT * FROM main.MENU_CONTENT UNION ALL SELECT MENU_ID, NAME, VALUE, NULL, NULL FROM main.MENU_SETTINGS");
    std::string body = Format(R"({"id":"%s","name":"Renamed","settings":{"a":"b"},"rcategories":[{"name":"New","description":"","ritems":[%s]}]})",
                              menuId, Item("Fresh", "5"));
    EXPECT_EQ(menu.Post("api/menu/save", body), Error(500, "Internal error"));
    EXPECT_EQ(menu.Rows("SELECT * FROM main.MENU_CONTENT UNION ALL SELECT MENU_ID, NAME, VALUE, NULL, NULL FROM main.MENU_SETTINGS"), before);
    EXPECT_EQ(menu.Scalar("SELECT count(*) FROM main.CATEGORY WHERE NAME = 'New'"), "0");
    EXPECT_EQ(menu.Post("api/menu/add", Format(R"({"name":"M","restaurant_id":"%s","settings":{},"rcategories":[{"name":"X","description":"","ritems":[%s]}]})",
                                               business, Item("Q", "1"))),
              Error(500, "Internal error"));
    EXPECT_EQ(menu.Count("MENU_CONTENT"), 1);
    EXPECT_NE(menu.server().LogText().find("api/menu/save: the database refused the change, nothing was stored: no such table"),
              std::string::npos);
}

// Eight owners' windows at once, each saving its own menu and reading the others'.
TEST(MenuRoutes, ManyClientsSaveAndReadAtOnce)
{
    MenuServer menu;
    std::string business = menu.AddBusiness("Bar");
    constexpr int kClients = 8;
    std::vector<std::string> menus;
    for (int i = 0; i < kClients; ++i)
        menus.push_back(MenuServer::Member(AddMenu(menu, business, Format(R"({"name":"C%d","description":"","ritems":[%s,%s]})", i,
                                                                          Item(Format("Dish %d", i), "100"), Item(Format("Side %d", i), "50"))), "id"));
    std::vector<std::string> categories, dishes;
    for (int i = 0; i < kClients; ++i) {
        categories.push_back(menu.Scalar(Format("SELECT ID FROM main.CATEGORY WHERE NAME = 'C%d'", i)));
        dishes.push_back(menu.Scalar(Format("SELECT ID FROM main.PRODUCT WHERE NAME = 'Dish %d'", i)));
    }
    std::atomic<int> failures{0};
    std::atomic<int> saves{0};
    std::vector<int> lastPrice(kClients, 0);
    std::vector<std::thread> clients;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            testing::HttpClient client(menu.server().port());
            client.SetCookie(menu.client().cookie());
            for (int round = 1; std::chrono::steady_clock::now() < deadline; ++round) {
                // Every menu lists the whole catalogue, which a save would write back as read;
                // each client sends only its own category, as a single editor's window would.
                std::string body = Format(R"({"id":"%s","rcategories":[{"category_id":"%s","ritems":[{"product_id":"%s","price":"%d"}]}]})",
                                          menus[static_cast<size_t>(i)], categories[static_cast<size_t>(i)],
                                          dishes[static_cast<size_t>(i)], 100 + round);
                testing::HttpAnswer saved = client.Request("POST", "api/menu/save", body);
                if (saved.status != 200 || saved.body.find("\"errorcode\":200") == std::string::npos) {
                    ++failures;
                    break;
                }
                lastPrice[static_cast<size_t>(i)] = 100 + round;
                ++saves;
                testing::HttpAnswer other = client.Request("GET", "api/menu/get?id=" + menus[static_cast<size_t>((i + 1) % kClients)]);
                if (other.status != 200 || other.body.find("\"errorcode\":200") == std::string::npos)
                    ++failures;
            }
        });
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(failures.load(), 0);
    std::cout << "[ saves    ] " << saves.load() << " in 20 s by " << kClients << " clients\n";
    for (int i = 0; i < kClients; ++i) {
        EXPECT_GT(lastPrice[static_cast<size_t>(i)], 100);
        EXPECT_EQ(menu.Scalar(Format("SELECT PRICE FROM main.PRODUCT WHERE NAME = 'Dish %d'", i)), std::to_string(lastPrice[static_cast<size_t>(i)]));
    }
    EXPECT_EQ(menu.Scalar("PRAGMA integrity_check"), "ok");
}

} // namespace
} // namespace tavolex::menu
