// The menu routes but save: get, add, list, delete, move, copy, and the product delete.
#include "route_support.h"

#include <climits>

namespace tavolex::menu {

namespace {

using db::RecordStatus;

// Catalogue rows placed by add before the request's own placements come: hidden, and after
// every position the request gives.
constexpr int kUnplacedPosition = INT_MAX;

// Menu get: every catalogue category with its visible, non-modifier products and this menu's
// placements, in placement order (unplaced last), then by age and name.
constexpr std::string_view kCatalogueQuery =
    "SELECT * FROM (SELECT C.ID, C.NAME AS C_NAME, C.DESCRIPTION, C.CREATED_DATE AS C_CREATED_DATE, MC.IS_VISIBLE, MC.POSITION AS MC_POSITION, P.ID, P.NAME AS P_NAME, P.DESCRIPTION, P.EXTRA, P.PRICE, P.MODIFIED_DATE AS P_MODIFIED_DATE, P.CREATED_DATE AS P_CREATED_DATE, MI.IS_VISIBLE, MI.POSITION AS MI_POSITION FROM %s.PRODUCT_CATEGORY PC JOIN %s.CATEGORY C ON PC.CATEGORY_ID = C.ID LEFT JOIN %s.PRODUCT P ON PC.PRODUCT_ID = P.ID AND P.IS_VISIBLE = 1 AND P.IS_MODIFIER = 0 LEFT JOIN %s.MENU_CATEGORY MC ON MC.CATEGORY_ID = C.ID AND MC.MENU_ID = '%Q' LEFT JOIN %s.MENU_ITEM MI ON MI.CATEGORY_ID = C.ID AND MI.PRODUCT_ID = P.ID AND MI.MENU_ID = '%Q' UNION SELECT C.ID, C.NAME AS C_NAME, C.DESCRIPTION, C.CREATED_DATE AS C_CREATED_DATE, MC.IS_VISIBLE, MC.POSITION AS MC_POSITION, NULL, NULL AS P_NAME, NULL, NULL, NULL, NULL AS P_MODIFIED_DATE, NULL AS P_CREATED_DATE, NULL, NULL AS MI_POSITION FROM %s.CATEGORY C LEFT JOIN %s.MENU_CATEGORY MC ON MC.CATEGORY_ID = C.ID AND MC.MENU_ID = '%Q' WHERE C.ID NOT IN (SELECT PC.CATEGORY_ID FROM %s.PRODUCT_CATEGORY PC JOIN %s.PRODUCT P ON PC.PRODUCT_ID = P.ID) ) ORDER BY -MC_POSITION DESC, C_CREATED_DATE IS NULL, C_CREATED_DATE, C_NAME, -MI_POSITION DESC, P_CREATED_DATE, P_MODIFIED_DATE, P_NAME";

void WriteHeader(JsonWriter& writer, db::AccountDatabase& db, std::string_view businessId)
{
    RestaurantRecord business;
    bool found = business.LoadByKey(db, businessId) == RecordStatus::Ok;
    writer.BeginObject("header");
    for (auto [member, field] : {std::pair{"name", "NAME"}, {"address", "ADDRESS"}, {"phone", "PHONE"},
                                 {"email", "EMAIL"}, {"website", "WEBSITE"}})
        writer.String(member, found ? business.Get(field) : std::string());
    writer.EndObject();
}

// Writes the categories and items of the catalogue query's rows.
void WriteCatalogue(JsonWriter& writer, db::AccountDatabase& db, std::string_view menuId)
{
    std::string schema = db.GetDatabaseName();
    db::DbQuery rows;
    db.Query(rows, kCatalogueQuery, schema, schema, schema, schema, menuId, schema, menuId, schema,
             schema, menuId, schema, schema);
    writer.BeginArray("rcategories");
    bool categoryOpen = false;
    std::string currentCategory;
    for (; rows.HasRow(); db.NextRow(rows)) {
        std::string category = rows.ColumnText(0, "uncategorized");
        if (!categoryOpen || category != currentCategory) {
            if (categoryOpen) {
                writer.EndArray();
                writer.EndObject();
            }
            writer.BeginObject();
            if (category == "uncategorized")
                writer.Null("category_id");
            else
                writer.String("category_id", category);
            writer.String("name", rows.ColumnText(1));
            writer.String("description", rows.ColumnText(2));
            writer.Bool("hidden", rows.ColumnInt(4) == 0);
            if (!rows.ColumnIsNull(5) && rows.ColumnInt64(5) == -1)
                writer.Bool("saved", false);
            writer.BeginArray("ritems");
            categoryOpen = true;
            currentCategory = std::move(category);
        }
        if (std::string product = rows.ColumnText(6); !product.empty()) {
            writer.BeginObject();
            writer.String("product_id", product);
            writer.String("name", rows.ColumnText(7));
            writer.String("detail", rows.ColumnText(8));
            writer.String("extras", rows.ColumnText(9));
            writer.String("price", rows.ColumnText(10));
            writer.Bool("hidden", rows.ColumnInt(13) == 0);
            if (!rows.ColumnIsNull(14) && rows.ColumnInt64(14) == -1)
                writer.Bool("saved", false);
            writer.EndObject();
        }
    }
    if (categoryOpen) {
        writer.EndArray();
        writer.EndObject();
    }
    writer.EndArray();
}

// Places every catalogue entry in a new menu, hidden and after everything the request places.
void PlaceCatalogueHidden(db::AccountDatabase& db, std::string_view menuId)
{
    std::string schema = db.GetDatabaseName();
    db::DbQuery rows;
    bool uncategorizedPlaced = false;
    for (db.Query(rows, kCataloguePairsQuery, schema, schema, schema, schema, schema, schema, schema, schema, schema);
         rows.HasRow(); db.NextRow(rows)) {
        std::string category = rows.ColumnText(0);
        std::string product = rows.ColumnText(1);
        // A category that already has its row (it is listed once per product) is refused by the
        // table's uniqueness, which is what is wanted.
        if (!category.empty())
            db.ExecuteFormat("INSERT INTO %s.MENU_CATEGORY (MENU_ID, CATEGORY_ID, POSITION, IS_VISIBLE) VALUES ('%Q', '%Q', %d, 0)",
                             schema, menuId, category, kUnplacedPosition);
        if (!product.empty() && !category.empty())
            db.ExecuteFormat("INSERT INTO %s.MENU_ITEM (MENU_ID, CATEGORY_ID, PRODUCT_ID, POSITION, IS_VISIBLE) VALUES ('%Q', '%Q', '%Q', %d, 0)",
                             schema, menuId, category, product, kUnplacedPosition);
        if (!product.empty() && category.empty()) {
            if (!uncategorizedPlaced)
                db.ExecuteFormat("INSERT INTO %s.MENU_CATEGORY (MENU_ID, CATEGORY_ID, POSITION, IS_VISIBLE) VALUES ('%Q', NULL, %d, 0)",
                                 schema, menuId, kUnplacedPosition);
            uncategorizedPlaced = true;
            db.ExecuteFormat("INSERT INTO %s.MENU_ITEM (MENU_ID, CATEGORY_ID, PRODUCT_ID, POSITION, IS_VISIBLE) VALUES ('%Q', NULL, '%Q', %d, 0)",
                             schema, menuId, product, kUnplacedPosition);
        }
    }
}

// A list of quoted IDs for "IN (...)": 'a','b'.
std::string QuotedList(const JsonValue& array)
{
    TextBuffer list;
    for (const JsonValue& element : array.Elements()) {
        std::string_view text = element.type() == JsonValueType::String ? FieldText(element.text()) : std::string_view();
        AppendFormat(list, list.IsEmpty() ? "'%Q'" : ",'%Q'", text);
    }
    return list.Take();
}

// The steps of menu add that place one category of the request and its items. The refusal's
// message when the element is refused (what came before it stays placed), else empty.
std::string_view AddCategory(db::AccountDatabase& db, std::string_view menuId, JsonValue& element,
                             int position)
{
    if (element.type() == JsonValueType::Invalid)
        return "Invalid category format";
    if (!IsStringMember(element, "name"))
        return "Missing or invalid category name format";
    if (!IsStringMember(element, "description"))
        return "Missing or invalid category description format";
    CategoryRecord category;
    const JsonMember* givenId = element.FindMember("category_id");
    bool isUncategorized = givenId && givenId->type() == JsonValueType::Null;
    bool keyGiven = givenId && givenId->type() == JsonValueType::String;
    bool loaded = false;
    if (keyGiven)
        category.SetKey(MemberText(element, "category_id"));
    else if (!isUncategorized)
        loaded = category.LoadWhere(db, Format("NAME = '%Q' AND DESCRIPTION = '%Q' ", MemberText(element, "name"),
                                               MemberText(element, "description"))) == RecordStatus::Ok;
    if (!loaded) {
        category.Set("NAME", MemberText(element, "name"));
        category.Set("DESCRIPTION", MemberText(element, "description"));
    }
    if (!isUncategorized)
        category.Save(db);
    if (!keyGiven && !category.Key().empty())
        element.SetStringMember("category_id", category.Key());

    MenuCategoryRecord placement;
    placement.Set("MENU_ID", menuId);
    if (isUncategorized)
        placement.SetNull("CATEGORY_ID");
    else
        placement.Set("CATEGORY_ID", category.Key());
    placement.Set("POSITION", std::to_string(position));
    ApplyHidden(placement, element);
    placement.Save(db);

    JsonMember* items = element.FindMember("ritems");
    if (!items || items->type() != JsonValueType::Array)
        return "Missing or invalid category ritems format";
    int itemPosition = 0;
    for (JsonValue& item : items->Elements()) {
        static constexpr std::pair<std::string_view, std::string_view> kRequired[] = {
            {"name", "Missing or invalid menu item name format"},
            {"detail", "Missing or invalid menu item detail format"},
            {"price", "Missing or invalid menu item price format"},
            {"extras", "Missing or invalid menu item extras format"},
        };
        for (auto [member, message] : kRequired)
            if (!IsStringMember(item, member))
                return message;
        std::string name = MemberText(item, "name");
        std::string detail = MemberText(item, "detail");
        std::string extras = MemberText(item, "extras");
        int64_t price = ReadIntegerPrice(MemberText(item, "price"));
        ProductRecord product;
        bool productKeyGiven = IsStringMember(item, "product_id");
        bool productLoaded = false;
        if (productKeyGiven)
            product.SetKey(MemberText(item, "product_id"));
        else
            productLoaded = product.LoadWhere(db, Format("NAME = '%Q' AND DESCRIPTION = '%Q' AND EXTRA = '%Q' AND PRICE = '%I64d' ",
                                                         name, detail, extras, price)) == RecordStatus::Ok;
        if (!productLoaded) {
            product.Set("NAME", name);
            product.Set("DESCRIPTION", detail);
            product.Set("PRICE", std::to_string(price));
            product.Set("EXTRA", extras);
        }
        product.Set("IS_VISIBLE", "1");
        product.Set("IS_MODIFIER", "0");
        if (!isUncategorized)
            product.AttachCategory(category.Key());
        product.Save(db);
        if (!productKeyGiven && !product.Key().empty())
            item.SetStringMember("product_id", product.Key());

        MenuItemRecord itemPlacement;
        itemPlacement.Set("MENU_ID", menuId);
        if (isUncategorized)
            itemPlacement.SetNull("CATEGORY_ID");
        else
            itemPlacement.Set("CATEGORY_ID", category.Key());
        itemPlacement.Set("PRODUCT_ID", product.Key());
        itemPlacement.Set("POSITION", std::to_string(itemPosition++));
        ApplyHidden(itemPlacement, item);
        itemPlacement.Save(db);
    }
    return {};
}

} // namespace

void MenuGet(web::WebRequest& request)
{
    if (RefuseWithoutSession(request, "Access denied. Failed to retrieve menu data.") ||
        !account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    std::string id = web::Get(request.parameters, "id");
    if (id.empty()) {
        web::SendError(request, 400, "Missing parameter(s): id");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    std::string schema = db.GetDatabaseName();
    db::DbQuery menu;
    db.Query(menu, "SELECT NAME, RESTAURANT_ID FROM %s.MENU_CONTENT WHERE ID = '%Q'", schema, id);
    if (!menu.HasRow()) {
        web::SendError(request, 400, "Menu not found");
        return;
    }
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.String("id", id);
        writer.String("name", menu.ColumnText(0));
        std::string businessId = menu.ColumnText(1);
        menu.Close();
        writer.String("restaurant_id", businessId);
        WriteHeader(writer, db, businessId);

        writer.BeginObject("settings");
        db::DbQuery settings;
        for (db.Query(settings, "SELECT NAME, VALUE FROM %s.MENU_SETTINGS WHERE MENU_ID = '%Q'", schema, id);
             settings.HasRow(); db.NextRow(settings))
            writer.String(settings.ColumnText(0), settings.ColumnText(1));
        writer.EndObject();

        WriteCatalogue(writer, db, id);
    });
}

void MenuAdd(web::WebRequest& request, JsonValue& body)
{
    if (RefuseWithoutSession(request, "Access denied. Failed to save menu.") || !account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    static constexpr std::tuple<std::string_view, JsonValueType, std::string_view> kRequired[] = {
        {"name", JsonValueType::String, "Missing or invalid name format"},
        {"rcategories", JsonValueType::Array, "Missing or invalid rcategories format"},
        {"restaurant_id", JsonValueType::String, "Missing or invalid restaurant_id format"},
        {"settings", JsonValueType::Object, "Missing or invalid settings format"},
    };
    if (!IsCompleteObject(body)) {
        web::SendError(request, 400, "Invalid parameter");
        return;
    }
    for (auto [member, type, message] : kRequired)
        if (!HasMemberOfType(body, member, type)) {
            web::SendError(request, 400, message);
            return;
        }
    db::AccountDatabase& db = account::RequestDatabase(request);
    std::string schema = db.GetDatabaseName();
    std::string createdDate = NowText();
    // One transaction makes the many inserts one commit. A refused element still keeps what was
    // placed before it, as an owner would expect of a partly read request.
    db::WriteTransaction transaction(db);
    std::string menuId = db.CreateUniqueKey("MENU_CONTENT", "ID");
    RestaurantRecord business;
    if (business.LoadWhere(db, Format("ID = '%Q'", MemberText(body, "restaurant_id"))) != RecordStatus::Ok) {
        web::SendError(request, 404, "Invalid restaurant_id");
        return;
    }
    db.ExecuteFormat("INSERT INTO %s.MENU_CONTENT(ID, NAME, RESTAURANT_ID, CREATED_DATE) VALUES ('%Q', '%Q', '%Q', '%s')",
                     schema, menuId, MemberText(body, "name"), business.Key(), createdDate);
    if (transaction.HasFailed()) {
        SendDatabaseFailure(request, db, "api/menu/add");
        return;
    }
    body.SetStringMember("id", menuId);

    JsonMember* settings = body.FindMember("settings");
    for (size_t i = 0; i < settings->MemberCount(); ++i) {
        const JsonMember& setting = settings->MemberAt(i);
        if (setting.type() != JsonValueType::String || setting.name().empty())
            continue;
        db.ExecuteFormat("INSERT INTO %s.MENU_SETTINGS(MENU_ID, NAME, VALUE) VALUES ('%Q', '%Q', '%Q')", schema, menuId,
                         FieldText(setting.name()), FieldText(setting.text()));
    }

    JsonMember* categories = body.FindMember("rcategories");
    if (categories->ElementCount() > 0)
        PlaceCatalogueHidden(db, menuId);
    int position = 0;
    std::string_view refusal;
    for (JsonValue& element : categories->Elements())
        if (refusal = AddCategory(db, menuId, element, position++); !refusal.empty())
            break;
    if (!transaction.Commit()) {
        SendDatabaseFailure(request, db, "api/menu/add");
        return;
    }
    if (!refusal.empty()) {
        web::SendError(request, 400, refusal);
        return;
    }
    SendCompletedRequest(request, body);
}

void MenuFetch(web::WebRequest& request)
{
    if (RefuseWithoutSession(request, "Access denied. Failed to retrieve menu list.") ||
        !account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    std::string schema = db.GetDatabaseName();
    std::string sql = Format("SELECT M.ID, M.NAME, R.ID, R.NAME FROM %s.MENU_CONTENT M LEFT JOIN %s.RESTAURANT R ON M.RESTAURANT_ID = R.ID",
                             schema, schema);
    if (std::string business = web::Get(request.parameters, "restaurantid"); !business.empty())
        sql += Format(" WHERE R.ID = '%Q'", business);
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.BeginArray("rmenus");
        db::DbQuery rows;
        for (db.QueryText(rows, sql); rows.HasRow(); db.NextRow(rows)) {
            writer.BeginObject();
            writer.String("id", rows.ColumnText(0));
            writer.String("name", rows.ColumnText(1));
            writer.BeginObject("restaurant");
            writer.String("id", rows.ColumnText(2));
            writer.String("name", rows.ColumnText(3));
            writer.EndObject();
            writer.EndObject();
        }
        writer.EndArray();
    });
}

void MenuDelete(web::WebRequest& request, JsonValue& body)
{
    if (RefuseWithoutSession(request, "Access denied. Failed to delete menu.") || !account::CheckAccess(request))
        return;
    const JsonMember* ids = body.FindMember("rid");
    if (!ids || ids->type() != JsonValueType::Array) {
        web::SendError(request, 400, "Missing parameter: rid");
        return;
    }
    std::string list = QuotedList(*ids);
    if (!list.empty()) {
        db::AccountDatabase& db = account::RequestDatabase(request);
        std::string schema = db.GetDatabaseName();
        // A menu goes with all its rows or stays whole.
        db::WriteTransaction transaction(db);
        db.ExecuteFormat("DELETE FROM %s.MENU_CONTENT WHERE ID IN (%s)", schema, list);
        db.ExecuteFormat("DELETE FROM %s.MENU_ITEM WHERE MENU_ID IN (%s);", schema, list);
        db.ExecuteFormat("DELETE FROM %s.MENU_CATEGORY WHERE MENU_ID IN (%s)", schema, list);
        db.ExecuteFormat("DELETE FROM %s.MENU_SETTINGS WHERE MENU_ID IN (%s)", schema, list);
        if (!transaction.Commit()) {
            SendDatabaseFailure(request, db, "api/menu/delete");
            return;
        }
    }
    web::SendOk(request);
}

void MenuAssign(web::WebRequest& request, JsonValue& body)
{
    if (!account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    std::string menuId = MemberText(body, "menuid");
    if (menuId.empty()) {
        web::SendError(request, 400, "Missing parameter: menuid");
        return;
    }
    std::string businessId = MemberText(body, "restaurantid");
    if (businessId.empty()) {
        web::SendError(request, 400, "Missing parameter: restaurantid");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    RestaurantRecord business;
    if (business.LoadByKey(db, businessId) == RecordStatus::Ok &&
        !db.ExecuteFormat("UPDATE %s.MENU_CONTENT SET RESTAURANT_ID = '%Q' WHERE ID = '%Q'", db.GetDatabaseName(),
                          businessId, menuId)) {
        SendDatabaseFailure(request, db, "api/menu/assign");
        return;
    }
    web::SendOk(request);
}

void MenuCopy(web::WebRequest& request, JsonValue& body)
{
    if (!account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    std::string sourceId = MemberText(body, "srcmenuid");
    if (sourceId.empty()) {
        web::SendError(request, 400, "Missing parameter: srcmenuid");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    std::string schema = db.GetDatabaseName();
    db::WriteTransaction transaction(db);
    db::DbQuery source;
    db.Query(source, "SELECT NAME, RESTAURANT_ID FROM %s.MENU_CONTENT WHERE ID = '%Q'", schema, sourceId);
    if (!source.HasRow()) {
        web::SendError(request, 400, "Source menu not found");
        return;
    }
    std::string name = MemberText(body, "destmenuname");
    if (name.empty())
        name = std::string(CutUtf8ToUnits(source.ColumnText(0) + " - Copy", kFieldUnits));
    std::string businessId = MemberText(body, "destrestaurantid");
    if (businessId.empty())
        businessId = source.ColumnText(1);
    else if (RestaurantRecord business; business.LoadByKey(db, businessId) != RecordStatus::Ok) {
        web::SendError(request, 400, "Invalid restaurant id");
        return;
    }
    source.Close();
    std::string menuId = db.CreateUniqueKey("MENU_CONTENT", "ID");
    db.ExecuteFormat("INSERT INTO %s.MENU_CONTENT(ID, NAME, RESTAURANT_ID, CREATED_DATE) VALUES ('%Q', '%Q', '%Q', '%s')",
                     schema, menuId, name, businessId, NowText());
    db.ExecuteFormat("INSERT INTO %s.MENU_SETTINGS(MENU_ID, NAME, VALUE) SELECT '%Q', NAME, VALUE FROM %s.MENU_SETTINGS WHERE MENU_ID = '%Q'",
                     schema, menuId, schema, sourceId);
    db.ExecuteFormat("INSERT INTO %s.MENU_CATEGORY(MENU_ID, CATEGORY_ID, POSITION, IS_VISIBLE) SELECT '%Q', CATEGORY_ID, POSITION, IS_VISIBLE FROM %s.MENU_CATEGORY WHERE MENU_ID = '%Q'",
                     schema, menuId, schema, sourceId);
    db.ExecuteFormat("INSERT INTO %s.MENU_ITEM(MENU_ID, CATEGORY_ID, PRODUCT_ID, POSITION, IS_VISIBLE) SELECT '%Q', CATEGORY_ID, PRODUCT_ID, POSITION, IS_VISIBLE FROM %s.MENU_ITEM WHERE MENU_ID = '%Q'",
                     schema, menuId, schema, sourceId);
    if (!transaction.Commit()) {
        SendDatabaseFailure(request, db, "api/menu/copy");
        return;
    }
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.String("menuid", menuId);
        writer.String("menuname", name);
    });
}

void ProductDelete(web::WebRequest& request, JsonValue& body)
{
    if (!account::CheckAccess(request))
        return;
    account::Profile profile;
    db::AccountDatabase& db = account::RequestDatabase(request);
    if (!account::LoadRequestProfile(request, profile)) {
        web::SendError(request, 500, "Internal error");
        return;
    }
    if (body.type() == JsonValueType::Invalid) {
        web::SendError(request, 400, "Invalid parameter");
        return;
    }
    std::string id = MemberText(body, "id");
    if (id.empty()) {
        web::SendError(request, 400, "Missing or invalid parameter: id");
        return;
    }
    std::string schema = db.GetDatabaseName();
    db::WriteTransaction transaction(db);
    db.ExecuteFormat("DELETE FROM %s.PRODUCT WHERE ID = '%Q'", schema, id);
    db.ExecuteFormat("DELETE FROM %s.PRODUCT_CATEGORY WHERE PRODUCT_ID = '%Q'", schema, id);
    if (!transaction.Commit()) {
        SendDatabaseFailure(request, db, "api/product/delete");
        return;
    }
    web::SendOk(request);
}

} // namespace tavolex::menu
