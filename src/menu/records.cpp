// The business, catalogue and placement records, and the price reading rule.
#include "menu.h"

#include <climits>
#include <ctime>

namespace tavolex::menu {

using db::AccountDatabase;
using db::RecordStatus;

std::string NowText()
{
    return db::UtcTimestampText(time(nullptr));
}

int64_t ReadIntegerPrice(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= 32)
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint64_t magnitude = 0;
    constexpr uint64_t kLimit = static_cast<uint64_t>(INT64_MAX);
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > kLimit) {
            magnitude = kLimit;
            break;
        }
    }
    auto value = static_cast<int64_t>(magnitude);
    return negative ? -value : value;
}

// ---------------------------------------------------------------------------------------------
// RestaurantRecord

RestaurantRecord::RestaurantRecord()
    : DbRecord({"NAME", "ADDRESS", "PHONE", "EMAIL", "WEBSITE", "TIMEZONE", "CREATED_DATE", "DELETED"})
{
}

RecordStatus RestaurantRecord::BeforeInsert(AccountDatabase&)
{
    if (Get("NAME").empty())
        return RecordStatus::RequiredEmpty;
    if (Get("CREATED_DATE").empty())
        Set("CREATED_DATE", NowText());
    return RecordStatus::Ok;
}

RecordStatus RestaurantRecord::AfterInsert(AccountDatabase& db)
{
    // Other readers join CURRENCY C ON C.ID = R.ID: every business has its own format row.
    bool inserted = db.ExecuteFormat(
        "INSERT INTO %s.CURRENCY(ID, CURRENCY_SYMBOL, CURRENCY_ORDER, CURRENCY_DIGITS, DECIMAL_SYMBOL, THOUSANDS_SYMBOL, USE_PARENTHESES_FOR_NEGATIVE, USE_CURRENCY_SYMBOL, USE_THOUSANDS_SYMBOL) VALUES('%s', '%Q', %d, %d, '%Q', '%Q', %d, %d, %d);",
        db.GetDatabaseName(), Key(), "$", 0, 2, ".", ",", 0, 1, 1);
    return inserted ? RecordStatus::Ok : RecordStatus::SqlFailed;
}

RecordStatus RestaurantRecord::AfterLoad(AccountDatabase&)
{
    if (const TimeZone* zone = FindTimeZone(Get("TIMEZONE")))
        timeZone_ = zone;
    return RecordStatus::Ok;
}

RecordStatus RestaurantRecord::BeforeUpdate(AccountDatabase&)
{
    const db::DbField* name = Field("NAME");
    if (name->modified && name->value.empty())
        return RecordStatus::RequiredEmpty;
    return RecordStatus::Ok;
}

// ---------------------------------------------------------------------------------------------
// CategoryRecord

CategoryRecord::CategoryRecord() : DbRecord({"NAME", "DESCRIPTION", "CREATED_DATE"}) {}

RecordStatus CategoryRecord::BeforeInsert(AccountDatabase& db)
{
    return BeforeUpdate(db);
}

RecordStatus CategoryRecord::BeforeUpdate(AccountDatabase&)
{
    if (Get("NAME").empty())
        return RecordStatus::RequiredEmpty;
    if (Key().empty())
        Set("CREATED_DATE", NowText());
    return RecordStatus::Ok;
}

// ---------------------------------------------------------------------------------------------
// ProductRecord

ProductRecord::ProductRecord()
    : DbRecord({"CODE", "NAME", "DESCRIPTION", "EXTRA", "PRICE", "IS_VISIBLE", "IS_MODIFIER",
                "CREATED_DATE", "MODIFIED_DATE"})
{
    // Defaults of a product nobody has shown yet; they are written only when set.
    Set("IS_VISIBLE", "0", false);
    Set("IS_MODIFIER", "0", false);
}

RecordStatus ProductRecord::BeforeInsert(AccountDatabase& db)
{
    if (Get("CREATED_DATE").empty())
        Set("CREATED_DATE", NowText());
    return BeforeUpdate(db);
}

RecordStatus ProductRecord::BeforeUpdate(AccountDatabase&)
{
    Set("MODIFIED_DATE", NowText());
    return RecordStatus::Ok;
}

RecordStatus ProductRecord::AfterInsert(AccountDatabase& db)
{
    return WriteCategoryLinks(db);
}

RecordStatus ProductRecord::AfterUpdate(AccountDatabase& db)
{
    return WriteCategoryLinks(db);
}

RecordStatus ProductRecord::WriteCategoryLinks(AccountDatabase& db)
{
    RecordStatus status = RecordStatus::Ok;
    for (const std::string& category : categories_)
        if (!db.ExecuteFormat("INSERT OR IGNORE INTO %s.PRODUCT_CATEGORY(PRODUCT_ID, CATEGORY_ID) VALUES('%Q', '%Q')",
                              db.GetDatabaseName(), Key(), category))
            status = RecordStatus::SqlFailed;
    return status;
}

// ---------------------------------------------------------------------------------------------
// Placements

PlacementRecord::PlacementRecord(std::vector<std::string> fieldNames, std::vector<std::string> namingIds)
    : DbRecord(std::move(fieldNames), ""), namingIds_(std::move(namingIds))
{
    Set("IS_VISIBLE", "1", false);
}

RecordStatus PlacementRecord::LoadOrPrepare(AccountDatabase& db, std::initializer_list<NamingId> ids,
                                            std::string_view categoryId, bool isUncategorized)
{
    isUncategorized_ = isUncategorized;
    for (const NamingId& id : ids)
        Set(id.field, id.value, false);
    Set("CATEGORY_ID", categoryId, false);
    RecordStatus status = LoadWhere(db, Condition());
    loaded_ = status == RecordStatus::Ok;
    if (!loaded_) {
        // Marked modified, so the insert writes them.
        for (const NamingId& id : ids)
            Set(id.field, id.value);
        if (isUncategorized)
            SetNull("CATEGORY_ID");
        else
            Set("CATEGORY_ID", categoryId);
    }
    return status;
}

RecordStatus PlacementRecord::Save(AccountDatabase& db)
{
    for (const std::string& id : namingIds_)
        if (Get(id).empty())
            return RecordStatus::RequiredEmpty;
    if (!loaded_) {
        isUncategorized_ = Field("CATEGORY_ID")->isNull;
        RecordStatus status = Insert(db);
        loaded_ = status == RecordStatus::Ok;
        return status;
    }
    return UpdateWhere(db, Condition());
}

MenuCategoryRecord::MenuCategoryRecord()
    : PlacementRecord({"MENU_ID", "CATEGORY_ID", "POSITION", "IS_VISIBLE"}, {"MENU_ID"})
{
}

RecordStatus MenuCategoryRecord::LoadPlacement(AccountDatabase& db, std::string_view menuId,
                                               std::string_view categoryId, bool isUncategorized)
{
    return LoadOrPrepare(db, {{"MENU_ID", menuId}}, categoryId, isUncategorized);
}

std::string MenuCategoryRecord::Condition() const
{
    if (isUncategorized_)
        return Format("MENU_ID = '%Q' AND CATEGORY_ID IS NULL ", Get("MENU_ID"));
    return Format("MENU_ID = '%Q' AND CATEGORY_ID = '%Q'", Get("MENU_ID"), Get("CATEGORY_ID"));
}

MenuItemRecord::MenuItemRecord()
    : PlacementRecord({"MENU_ID", "CATEGORY_ID", "PRODUCT_ID", "POSITION", "IS_VISIBLE"},
                      {"MENU_ID", "PRODUCT_ID"})
{
}

RecordStatus MenuItemRecord::LoadPlacement(AccountDatabase& db, std::string_view menuId,
                                           std::string_view productId, std::string_view categoryId,
                                           bool isUncategorized)
{
    return LoadOrPrepare(db, {{"MENU_ID", menuId}, {"PRODUCT_ID", productId}}, categoryId, isUncategorized);
}

std::string MenuItemRecord::Condition() const
{
    std::string condition = Format("MENU_ID = '%Q' AND PRODUCT_ID = '%Q' ", Get("MENU_ID"), Get("PRODUCT_ID"));
    if (isUncategorized_)
        condition += "AND CATEGORY_ID IS NULL ";
    else
        condition += Format("AND CATEGORY_ID = '%Q' ", Get("CATEGORY_ID"));
    return condition;
}


} // namespace tavolex::menu
