// The helpers every menu-domain route uses, and the route table.
#include "route_support.h"

namespace tavolex::menu {

std::string_view FieldText(std::string_view text)
{
    return CutUtf8ToUnits(text.substr(0, text.find('\0')), kFieldUnits);
}

std::string MemberText(const JsonValue& object, std::string_view name)
{
    const JsonMember* member = object.FindMember(name);
    if (!member || member->type() != JsonValueType::String)
        return {};
    return std::string(FieldText(member->text()));
}

bool IsStringMember(const JsonValue& object, std::string_view name)
{
    return HasMemberOfType(object, name, JsonValueType::String);
}

namespace {

bool IsComplete(const JsonValue& value)
{
    if (value.type() == JsonValueType::Invalid)
        return false;
    for (size_t i = 0; i < value.MemberCount(); ++i)
        if (!IsComplete(value.MemberAt(i)))
            return false;
    for (const JsonValue& element : value.Elements())
        if (!IsComplete(element))
            return false;
    return true;
}

} // namespace

bool IsCompleteObject(const JsonValue& value)
{
    return value.type() == JsonValueType::Object && IsComplete(value);
}

bool HasMemberOfType(const JsonValue& object, std::string_view name, JsonValueType type)
{
    const JsonMember* member = object.FindMember(name);
    return member && member->type() == type;
}

bool RefuseWithoutSession(web::WebRequest& request, std::string_view message)
{
    if (!account::RequestSession(request).id.empty())
        return false;
    web::SendError(request, 401, message);
    return true;
}

void SetIfChanged(db::DbRecord& record, std::string_view field, std::string_view value)
{
    if (record.Get(field) != value)
        record.Set(field, value);
}

void ApplyHidden(db::DbRecord& placement, const JsonValue& element)
{
    if (const JsonMember* hidden = element.FindMember("hidden"); hidden && hidden->type() == JsonValueType::Bool)
        SetIfChanged(placement, "IS_VISIBLE", hidden->boolean() ? "0" : "1");
}

void SendDatabaseFailure(web::WebRequest& request, const db::AccountDatabase& db,
                         std::string_view route)
{
    LogError("%s: the database refused the change, nothing was stored: %s", route,
             db.LastFailure().empty() ? std::string_view("the transaction could not begin")
                                      : std::string_view(db.LastFailure()));
    web::SendError(request, 500, "Internal error");
}

void SendCompletedRequest(web::WebRequest& request, JsonValue& object)
{
    if (!object.FindMember("errorcode"))
        object.SetIntegerMember("errorcode", 200);
    if (!object.FindMember("errormsg"))
        object.SetStringMember("errormsg", "OK");
    TextBuffer answer;
    if (object.Serialize(answer) != JsonStatus::Ok)
        answer.Clear();
    web::SendJson(request, answer.view());
}

void InstallMenuRoutes()
{
    // Before any route can take a request: the first gated request may upgrade the file.
    InstallLegacyMigration();
    web::RouteRegistry& routes = web::RouteRegistry::Get();
    struct JsonRoute {
        std::string_view path, alias;
        web::JsonRouteHandler handler;
    };
    struct PlainRoute {
        std::string_view path, alias;
        web::RouteHandler handler;
    };
    static constexpr JsonRoute kJsonRoutes[] = {
        {"api/business/add", "restaurantadd", BusinessAdd},
        {"api/business/delete", "restaurantdelete", BusinessDelete},
        {"api/business/save", "restaurantsave", BusinessSave},
        {"api/menu/add", {}, MenuAdd},
        {"api/menu/assign", "menuassign", MenuAssign},
        {"api/menu/copy", "menucopy", MenuCopy},
        {"api/menu/delete", "menudelete", MenuDelete},
        {"api/menu/save", {}, MenuSave},
        {"api/product/delete", {}, ProductDelete},
    };
    static constexpr PlainRoute kPlainRoutes[] = {
        {"api/business/appsfetch", "restaurantappsfetch", BusinessAppsFetch},
        {"api/business/detailsget", {}, BusinessDetailsGet},
        {"api/business/fetch", "restaurantsfetch", BusinessFetch},
        {"api/menu/fetch", "menusfetch", MenuFetch},
        {"api/menu/get", {}, MenuGet},
    };
    for (const JsonRoute& route : kJsonRoutes) {
        routes.RegisterJsonRoute(route.path, route.handler);
        if (!route.alias.empty())
            routes.RegisterJsonRoute(route.alias, route.handler);
    }
    for (const PlainRoute& route : kPlainRoutes) {
        routes.RegisterRoute(route.path, route.handler);
        if (!route.alias.empty())
            routes.RegisterRoute(route.alias, route.handler);
    }
    InstallLogoRoutes();
}

} // namespace tavolex::menu
