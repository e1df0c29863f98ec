// What the business, menu and menu-save routes share: reading request members, the
// administrator test, and the answers that echo the request.
#pragma once

#include "account.h"
#include "json.h"
#include "menu.h"
#include "web.h"

#include <string>
#include <string_view>

namespace tavolex::menu {

// Record fields and settings hold at most this many UTF-16 units; longer input is cut.
inline constexpr size_t kFieldUnits = kTextFieldUnits;

using account::IsAdministrator;

// A text as a record field holds it: cut at a NUL (the stored texts are C strings to every
// other reader of the file) and to kFieldUnits.
std::string_view FieldText(std::string_view text);
// The member's FieldText when it is a string, else empty.
std::string MemberText(const JsonValue& object, std::string_view name);
bool IsStringMember(const JsonValue& object, std::string_view name);
// One object that the reader read whole: a text that broke off keeps what was built before the
// fault, with values that were never read, and such a tree can be neither trusted nor echoed.
bool IsCompleteObject(const JsonValue& value);
bool HasMemberOfType(const JsonValue& object, std::string_view name, JsonValueType type);

// Menu get, add, list, delete and save answer a request without a session name 401 with their
// own message, before the gate would make a session. True when it answered.
bool RefuseWithoutSession(web::WebRequest& request, std::string_view message);

// Sets the field only when the value differs, so an update writes just the changed columns.
void SetIfChanged(db::DbRecord& record, std::string_view field, std::string_view value);

// "hidden" given as a boolean sets the placement's visibility; otherwise it keeps its own.
void ApplyHidden(db::DbRecord& placement, const JsonValue& element);

// Logs what failed and answers 500 "Internal error": a write that did not reach the file is
// never answered as a success.
void SendDatabaseFailure(web::WebRequest& request, const db::AccountDatabase& db,
                         std::string_view route);

// Sends one object: the members `members` writes, then "errorcode" 200 and "errormsg" "OK".
template<class Members>
void SendAnswer(web::WebRequest& request, Members&& members)
{
    TextBuffer answer;
    JsonWriter writer(answer);
    writer.BeginObject();
    members(writer);
    writer.Integer("errorcode", 200);
    writer.String("errormsg", "OK");
    writer.EndObject();
    web::SendJson(request, answer.view());
}

// Adds "errorcode" 200 and "errormsg" "OK" where the object has no member of that name, and
// sends it.
void SendCompletedRequest(web::WebRequest& request, JsonValue& object);

// The whole catalogue as (category, product) pairs, a NULL on either side for a category
// without products and a product without a category: what menu add and the legacy conversion
// place in a menu, hidden, before the menu's own entries. Every %s is the database name.
inline constexpr std::string_view kCataloguePairsQuery =
    "SELECT C.ID, P.ID FROM %s.PRODUCT_CATEGORY PC JOIN %s.CATEGORY C ON PC.CATEGORY_ID = C.ID JOIN %s.PRODUCT P ON PC.PRODUCT_ID = P.ID AND P.IS_VISIBLE = 1 AND P.IS_MODIFIER = 0 UNION SELECT C.ID, NULL FROM %s.CATEGORY C WHERE C.ID NOT IN (SELECT PC.CATEGORY_ID FROM %s.PRODUCT_CATEGORY PC JOIN %s.PRODUCT P ON PC.PRODUCT_ID = P.ID) UNION SELECT NULL, P.ID FROM %s.PRODUCT P WHERE P.IS_VISIBLE = 1 AND P.IS_MODIFIER = 0 AND P.ID NOT IN (SELECT PC.PRODUCT_ID FROM %s.PRODUCT_CATEGORY PC JOIN %s.CATEGORY C ON PC.CATEGORY_ID = C.ID)";

// The route handlers, registered by InstallMenuRoutes.
void BusinessAdd(web::WebRequest& request, JsonValue& body);
void BusinessAppsFetch(web::WebRequest& request);
void BusinessDelete(web::WebRequest& request, JsonValue& body);
void BusinessDetailsGet(web::WebRequest& request);
void BusinessFetch(web::WebRequest& request);
void BusinessSave(web::WebRequest& request, JsonValue& body);

void MenuAdd(web::WebRequest& request, JsonValue& body);
void MenuAssign(web::WebRequest& request, JsonValue& body);
void MenuCopy(web::WebRequest& request, JsonValue& body);
void MenuDelete(web::WebRequest& request, JsonValue& body);
void MenuFetch(web::WebRequest& request);
void MenuGet(web::WebRequest& request);
void MenuSave(web::WebRequest& request, JsonValue& body);
void ProductDelete(web::WebRequest& request, JsonValue& body);
void InstallLogoRoutes();

} // namespace tavolex::menu
