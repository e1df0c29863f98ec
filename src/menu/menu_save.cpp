// Menu save: the menu edited in the browser comes back whole, and every part of it that can be
// stored is; each category or item that cannot carries an "error" in the echoed answer.
#include "route_support.h"

#include <algorithm>
#include <climits>

namespace tavolex::menu {

namespace {

using db::AccountDatabase;
using db::RecordStatus;

void SetElementError(JsonValue& element, int code, std::string_view description)
{
    JsonMember& error = element.FindOrAddMember("error");
    error.Clear();
    error.SetType(JsonValueType::Object);
    error.SetIntegerMember("code", code);
    error.SetStringMember("description", description);
}

// "position" given as a number moves the counter there (toward zero, within the column's range).
void TakePosition(const JsonValue& element, int& counter)
{
    const JsonMember* position = element.FindMember("position");
    if (!position || position->type() != JsonValueType::Number)
        return;
    counter = static_cast<int>(std::clamp<int64_t>(position->NumberAsInt64(), INT_MIN, INT_MAX));
}

// An optional "-", then digits with at most one "." among them ("-" alone reads as 0).
bool IsPriceText(std::string_view text)
{
    if (text.empty())
        return false;
    size_t i = text.front() == '-' ? 1 : 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] == '.') {
            if (point)
                return false;
            point = true;
        } else if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

// The name rule of categories and items: with an ID present a name that is not a string is
// ignored; a string name must not be empty.
bool NameIsAcceptable(const JsonValue& element, bool idPresent)
{
    const JsonMember* name = element.FindMember("name");
    if (!name || name->type() != JsonValueType::String)
        return idPresent;
    return !FieldText(name->text()).empty();
}

class MenuSaver {
public:
    MenuSaver(AccountDatabase& db, std::string menuId)
        : db_(db), schema_(db.GetDatabaseName()), menuId_(std::move(menuId))
    {
    }

    void ApplyHeader(JsonValue& header, RestaurantRecord& business);
    void StoreSettings(const JsonValue& settings);
    void StoreCategories(JsonValue& categories);

private:
    void StoreItems(JsonValue& items, const std::string& categoryId, bool isUncategorized);

    AccountDatabase& db_;
    std::string schema_;
    std::string menuId_;
};

void MenuSaver::ApplyHeader(JsonValue& header, RestaurantRecord& business)
{
    if (IsStringMember(header, "name")) {
        std::string name = MemberText(header, "name");
        if (name.empty()) {
            SetElementError(header, 400, "Bad format. Header name cannot be empty");
            return;
        }
        SetIfChanged(business, "NAME", name);
    }
    for (auto [member, field] : {std::pair{"address", "ADDRESS"}, {"phone", "PHONE"}, {"email", "EMAIL"},
                                 {"website", "WEBSITE"}})
        if (IsStringMember(header, member))
            SetIfChanged(business, field, MemberText(header, member));
    business.Save(db_);
}

void MenuSaver::StoreSettings(const JsonValue& settings)
{
    // Settings not named in the request stay: save never deletes one.
    for (size_t i = 0; i < settings.MemberCount(); ++i) {
        const JsonMember& setting = settings.MemberAt(i);
        if (setting.type() != JsonValueType::String || setting.name().empty())
            continue;
        std::string_view name = FieldText(setting.name());
        std::string_view value = FieldText(setting.text());
        db::DbQuery existing;
        db_.Query(existing, "SELECT MENU_ID FROM %s.MENU_SETTINGS WHERE MENU_ID='%Q' AND NAME='%Q';", schema_, menuId_, name);
        if (existing.HasRow())
            db_.ExecuteFormat("UPDATE %s.MENU_SETTINGS SET VALUE='%Q' WHERE MENU_ID='%Q' AND NAME='%Q';", schema_, value,
                              menuId_, name);
        else
            db_.ExecuteFormat("INSERT INTO %s.MENU_SETTINGS(MENU_ID, NAME, VALUE) VALUES('%Q','%Q','%Q');", schema_,
                              menuId_, name, value);
    }
}

void MenuSaver::StoreCategories(JsonValue& categories)
{
    int position = 0;
    for (JsonValue& element : categories.Elements()) {
        if (element.type() != JsonValueType::Object) {
            SetElementError(element, 400, "Bad format. Invalid menu category format");
            continue;
        }
        const JsonMember* givenId = element.FindMember("category_id");
        bool idPresent = givenId != nullptr;
        bool isUncategorized = idPresent && givenId->type() == JsonValueType::Null;
        CategoryRecord category;
        bool loaded = idPresent && givenId->type() == JsonValueType::String &&
                      category.LoadByKey(db_, FieldText(givenId->text())) == RecordStatus::Ok;
        if (!NameIsAcceptable(element, idPresent)) {
            SetElementError(element, 400, "Bad format. Invalid menu item name format");
            continue;
        }
        if (IsStringMember(element, "name"))
            SetIfChanged(category, "NAME", MemberText(element, "name"));
        if (IsStringMember(element, "description"))
            SetIfChanged(category, "DESCRIPTION", MemberText(element, "description"));
        if (!idPresent)
            loaded = category.LoadWhere(db_, Format("NAME = '%Q' AND DESCRIPTION = '%Q' ", category.Get("NAME"),
                                                    category.Get("DESCRIPTION"))) == RecordStatus::Ok;
        if (!isUncategorized) {
            // A category the request names by a key that no longer exists is made anew; the
            // element keeps the key it gave and the placement takes the new one.
            if (!loaded)
                category.SetKey("");
            if (category.Save(db_) != RecordStatus::Ok && !loaded) {
                SetElementError(element, 500, "Internal error. Failed to save as new category");
                continue;
            }
        }
        if (!idPresent)
            element.SetStringMember("category_id", category.Key());

        MenuCategoryRecord placement;
        placement.LoadPlacement(db_, menuId_, category.Key(), isUncategorized);
        TakePosition(element, position);
        SetIfChanged(placement, "POSITION", std::to_string(position));
        ApplyHidden(placement, element);
        placement.Save(db_);
        ++position;

        if (JsonMember* items = element.FindMember("ritems"); items && items->type() == JsonValueType::Array)
            StoreItems(*items, category.Key(), isUncategorized);
    }
}

void MenuSaver::StoreItems(JsonValue& items, const std::string& categoryId, bool isUncategorized)
{
    int position = 0;
    for (JsonValue& item : items.Elements()) {
        if (item.type() != JsonValueType::Object) {
            SetElementError(item, 400, "Bad format. Invalid menu item format");
            continue;
        }
        const JsonMember* givenId = item.FindMember("product_id");
        bool idPresent = givenId != nullptr;
        ProductRecord product;
        bool loaded = idPresent && givenId->type() == JsonValueType::String &&
                      product.LoadByKey(db_, FieldText(givenId->text())) == RecordStatus::Ok;
        if (!NameIsAcceptable(item, idPresent)) {
            SetElementError(item, 400, "Bad format. Invalid menu item name format");
            continue;
        }
        if (IsStringMember(item, "name"))
            SetIfChanged(product, "NAME", MemberText(item, "name"));
        if (IsStringMember(item, "detail"))
            SetIfChanged(product, "DESCRIPTION", MemberText(item, "detail"));
        if (IsStringMember(item, "price")) {
            std::string price = MemberText(item, "price");
            if (!IsPriceText(price)) {
                SetElementError(item, 400, "Bad format. Invalid menu item price format");
                continue;
            }
            SetIfChanged(product, "PRICE", std::to_string(ReadIntegerPrice(price)));
        }
        if (IsStringMember(item, "extras"))
            SetIfChanged(product, "EXTRA", MemberText(item, "extras"));
        if (const JsonMember* hidden = item.FindMember("hidden");
            hidden && hidden->type() == JsonValueType::Bool && !hidden->boolean())
            SetIfChanged(product, "IS_VISIBLE", "1");
        if (!idPresent)
            loaded = product.LoadWhere(db_, Format("NAME = '%Q' AND DESCRIPTION = '%Q' AND EXTRA = '%Q' AND PRICE = '%I64d' ",
                                                   product.Get("NAME"), product.Get("DESCRIPTION"), product.Get("EXTRA"),
                                                   ReadIntegerPrice(product.Get("PRICE")))) == RecordStatus::Ok;
        if (!loaded) {
            product.SetKey("");
            product.Set("IS_VISIBLE", "1");
            product.Set("IS_MODIFIER", "0");
        }
        if (!isUncategorized)
            product.AttachCategory(categoryId);
        if (product.Save(db_) != RecordStatus::Ok && !loaded) {
            SetElementError(item, 500, "Internal error. Failed to save as new product");
            continue;
        }
        if (!idPresent)
            item.SetStringMember("product_id", product.Key());

        MenuItemRecord placement;
        placement.LoadPlacement(db_, menuId_, product.Key(), categoryId, isUncategorized);
        TakePosition(item, position);
        SetIfChanged(placement, "POSITION", std::to_string(position));
        ApplyHidden(placement, item);
        placement.Save(db_);
        ++position;
    }
}

} // namespace

void MenuSave(web::WebRequest& request, JsonValue& body)
{
    if (RefuseWithoutSession(request, "Access denied. Failed to save menu.") || !account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    if (!IsCompleteObject(body)) {
        web::SendError(request, 400, "Invalid parameter");
        return;
    }
    std::string menuId = MemberText(body, "id");
    if (menuId.empty()) {
        web::SendError(request, 400, "Missing parameter: id");
        return;
    }
    AccountDatabase& db = account::RequestDatabase(request);
    std::string schema = db.GetDatabaseName();
    // The whole save is one transaction: one commit, and a database failure part-way leaves
    // the menu as it was instead of half written. Refused elements are no failure of it.
    db::WriteTransaction transaction(db);

    TextBuffer changes;
    if (IsStringMember(body, "name"))
        AppendFormat(changes, "NAME='%Q'", MemberText(body, "name"));
    db::DbQuery menu;
    db.Query(menu, "SELECT RESTAURANT_ID FROM %s.MENU_CONTENT WHERE ID = '%Q'", schema, menuId);
    if (!menu.HasRow()) {
        web::SendError(request, 404, "Menu not found");
        return;
    }
    std::string currentBusiness = menu.ColumnText(0);
    menu.Close();
    RestaurantRecord business;
    bool businessLoaded = false;
    if (std::string wanted = MemberText(body, "restaurant_id"); !wanted.empty() && wanted != currentBusiness) {
        if (business.LoadByKey(db, wanted) != RecordStatus::Ok) {
            web::SendError(request, 404, "Restaurant not found");
            return;
        }
        businessLoaded = true;
        AppendFormat(changes, changes.IsEmpty() ? "RESTAURANT_ID='%Q'" : ",RESTAURANT_ID='%Q'", wanted);
    }
    if (!businessLoaded && business.LoadByKey(db, currentBusiness) != RecordStatus::Ok) {
        web::SendError(request, 404, "Could not find restaurant of this menu");
        return;
    }
    if (!changes.IsEmpty())
        db.ExecuteFormat("UPDATE %s.MENU_CONTENT SET %s WHERE ID = '%Q'", schema, changes.view(), menuId);

    MenuSaver saver(db, menuId);
    if (JsonMember* header = body.FindMember("header"); header && header->type() == JsonValueType::Object)
        saver.ApplyHeader(*header, business);
    if (JsonMember* settings = body.FindMember("settings"); settings && settings->type() == JsonValueType::Object)
        saver.StoreSettings(*settings);
    if (JsonMember* categories = body.FindMember("rcategories"); categories && categories->type() == JsonValueType::Array)
        saver.StoreCategories(*categories);
    if (!transaction.Commit()) {
        SendDatabaseFailure(request, db, "api/menu/save");
        return;
    }
    SendCompletedRequest(request, body);
}

} // namespace tavolex::menu
