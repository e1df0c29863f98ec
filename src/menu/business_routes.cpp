// The business routes: add, save, delete, details, applications and the list.
#include "route_support.h"

namespace tavolex::menu {

namespace {

using db::RecordStatus;

constexpr std::string_view kBusinessMembers[] = {"name", "address", "phone", "email", "website"};

// The applications a business offers the user: the menu maker, for administrators only.
void WriteApplications(JsonWriter& writer, bool isAdministrator)
{
    writer.BeginArray("rapplications");
    if (isAdministrator) {
        writer.BeginObject();
        writer.String("app", "menu");
        writer.String("name", "Menu Generator");
        writer.String("status", "active");
        writer.EndObject();
    }
    writer.EndArray();
}

bool BusinessExists(db::AccountDatabase& db, std::string_view id)
{
    db::DbQuery row;
    db.Query(row, "SELECT NAME FROM %s.RESTAURANT WHERE ID = '%Q'", db.GetDatabaseName(), id);
    return row.HasRow();
}

std::string LowerCaseAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

void BusinessAdd(web::WebRequest& request, JsonValue& body)
{
    if (!account::CheckAccess(request))
        return;
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    if (body.type() == JsonValueType::Invalid)
        return; // not JSON: no answer, and the connection closes
    for (std::string_view member : kBusinessMembers)
        if (!body.FindMember(member)) {
            web::SendError(request, 400, "Missing parameter(s)");
            return;
        }
    RestaurantRecord business;
    business.Set("NAME", MemberText(body, "name"));
    business.Set("ADDRESS", MemberText(body, "address"));
    business.Set("PHONE", MemberText(body, "phone"));
    business.Set("EMAIL", MemberText(body, "email"));
    business.Set("WEBSITE", MemberText(body, "website"));
    if (std::string zone = MemberText(body, "timezone"); FindTimeZone(zone))
        business.Set("TIMEZONE", zone);

    db::AccountDatabase& db = account::RequestDatabase(request);
    // The business and its currency row are written together or not at all.
    db::WriteTransaction transaction(db);
    RecordStatus saved = business.Save(db);
    if (saved == RecordStatus::RequiredEmpty)
        business.SetKey(""); // an empty name stores nothing and answers an empty id
    if (!transaction.Commit() && saved != RecordStatus::RequiredEmpty) {
        SendDatabaseFailure(request, db, "api/business/add");
        return;
    }
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.String("id", business.Key());
    });
}

void BusinessSave(web::WebRequest& request, JsonValue& body)
{
    if (!account::CheckAccess(request))
        return;
    std::string id = MemberText(body, "id");
    if (id.empty()) {
        web::SendError(request, 400, "Missing parameter: id");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    RestaurantRecord business;
    if (business.LoadByKey(db, id) != RecordStatus::Ok) {
        web::SendError(request, 400, "Invalid restaurant id");
        return;
    }
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    if (std::string name = MemberText(body, "name"); !name.empty())
        SetIfChanged(business, "NAME", name);
    for (auto [member, field] : {std::pair{"address", "ADDRESS"}, {"phone", "PHONE"}})
        if (IsStringMember(body, member))
            SetIfChanged(business, field, MemberText(body, member));
    if (IsStringMember(body, "email")) {
        std::string email = LowerCaseAscii(MemberText(body, "email"));
        if (!IsValidEmailAddress(email)) {
            web::SendError(request, 400, "Invalid email format");
            return;
        }
        SetIfChanged(business, "EMAIL", email);
    }
    if (IsStringMember(body, "website"))
        SetIfChanged(business, "WEBSITE", MemberText(body, "website"));
    if (IsStringMember(body, "timezone")) {
        std::string zone = MemberText(body, "timezone");
        if (!FindTimeZone(zone)) {
            web::SendError(request, 400, "Invalid time zone");
            return;
        }
        SetIfChanged(business, "TIMEZONE", zone);
    }
    if (business.Save(db) == RecordStatus::SqlFailed) {
        SendDatabaseFailure(request, db, "api/business/save");
        return;
    }
    web::SendOk(request);
}

void BusinessDelete(web::WebRequest& request, JsonValue& body)
{
    if (!account::CheckAccess(request))
        return;
    std::string id = MemberText(body, "restaurantId");
    if (id.empty()) {
        web::SendError(request, 400, "Missing parameter(s): restaurantId");
        return;
    }
    if (!IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    RestaurantRecord business;
    if (business.LoadByKey(db, id) != RecordStatus::Ok) {
        web::SendError(request, 404, "Not found");
        return;
    }
    std::string schema = db.GetDatabaseName();
    // The business goes with its menus and their rows, or nothing goes: a failure part-way
    // never leaves placements without their menu or a menu without its business.
    db::WriteTransaction transaction(db);
    // Programs sharing the account database may keep roles per business; this one never makes
    // that table, so it is cleared only where it exists.
    db::DbQuery rows;
    db.Query(rows, "SELECT 1 FROM %s.sqlite_master WHERE type = 'table' AND name = 'RESTAURANT_ROLE'", schema);
    if (rows.HasRow())
        db.ExecuteFormat("DELETE FROM %s.RESTAURANT_ROLE WHERE RESTAURANT_ID = '%Q';", schema, id);

    TextBuffer menus;
    for (db.Query(rows, "SELECT ID FROM %s.MENU_CONTENT WHERE RESTAURANT_ID = '%Q';", schema, id);
         rows.HasRow(); db.NextRow(rows))
        AppendFormat(menus, menus.IsEmpty() ? "'%Q'" : ",'%Q'", rows.ColumnText(0));
    rows.Close();
    if (!menus.IsEmpty()) {
        db.ExecuteFormat("DELETE FROM %s.MENU_CATEGORY WHERE MENU_ID IN (%s)", schema, menus.view());
        db.ExecuteFormat("DELETE FROM %s.MENU_ITEM WHERE MENU_ID IN (%s)", schema, menus.view());
        db.ExecuteFormat("DELETE FROM %s.MENU_SETTINGS WHERE MENU_ID IN (%s)", schema, menus.view());
        db.ExecuteFormat("DELETE FROM %s.MENU_CONTENT WHERE ID IN (%s)", schema, menus.view());
    }
    db.ExecuteFormat("DELETE FROM %s.RESTAURANT WHERE ID = '%Q';", schema, id);
    if (!transaction.Commit()) {
        SendDatabaseFailure(request, db, "api/business/delete");
        return;
    }
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.String("restaurantId", id);
    });
}

void BusinessDetailsGet(web::WebRequest& request)
{
    if (!account::CheckAccess(request))
        return;
    std::string id = web::Get(request.parameters, "id");
    if (id.empty()) {
        web::SendError(request, 400, "Missing parameter: id");
        return;
    }
    db::AccountDatabase& db = account::RequestDatabase(request);
    if (!BusinessExists(db, id)) {
        web::SendError(request, 400, "Invalid restaurant");
        return;
    }
    db::DbQuery row;
    db.Query(row, "SELECT NAME as name, ADDRESS as address, PHONE as phone, EMAIL as email, WEBSITE as website, TIMEZONE as timezone FROM %s.RESTAURANT WHERE ID = '%Q';",
             db.GetDatabaseName(), id);
    SendAnswer(request, [&](JsonWriter& writer) {
        for (int i = 0; i < row.ColumnCount(); ++i) {
            const std::string& name = row.ColumnName(i);
            switch (row.ClassOf(i)) {
            case db::ColumnClass::Integer: writer.Int64(name, row.ColumnInt64(i)); break;
            case db::ColumnClass::Real: writer.Real(name, row.ColumnReal(i)); break;
            case db::ColumnClass::Text: writer.String(name, row.ColumnText(i)); break;
            case db::ColumnClass::Blob:
            case db::ColumnClass::Null: break;
            }
        }
    });
}

void BusinessAppsFetch(web::WebRequest& request)
{
    if (!account::CheckAccess(request))
        return;
    std::string id = web::Get(request.parameters, "id");
    if (id.empty()) {
        web::SendError(request, 400, "Missing parameter: id");
        return;
    }
    if (!BusinessExists(account::RequestDatabase(request), id)) {
        web::SendError(request, 400, "Invalid restaurant id");
        return;
    }
    SendAnswer(request, [&](JsonWriter& writer) {
        WriteApplications(writer, IsAdministrator(request));
    });
}

void BusinessFetch(web::WebRequest& request)
{
    if (!account::CheckAccess(request))
        return;
    bool isAdministrator = IsAdministrator(request);
    db::AccountDatabase& db = account::RequestDatabase(request);
    SendAnswer(request, [&](JsonWriter& writer) {
        writer.BeginArray("rrestaurants");
        db::DbQuery rows;
        for (db.Query(rows, "SELECT R.ID, R.NAME, R.ADDRESS, R.PHONE, R.EMAIL, R.WEBSITE, R.TIMEZONE FROM %s.RESTAURANT R GROUP BY R.ID ORDER BY R.CREATED_DATE, R.ID",
                      db.GetDatabaseName());
             rows.HasRow(); db.NextRow(rows)) {
            writer.BeginObject();
            static constexpr std::string_view kNames[] = {"id", "name", "address", "phone", "email", "website", "timezone"};
            for (int i = 0; i < 7; ++i)
                writer.String(kNames[i], rows.ColumnText(i));
            writer.Bool("readonly", false);
            WriteApplications(writer, isAdministrator);
            writer.EndObject();
        }
        writer.EndArray();
    });
}

} // namespace tavolex::menu
