// menu: the account's businesses, the shared catalogue laid out as menus, and menu save.
//
// A business (a RESTAURANT row, "business" on the wire) owns its currency row and its menus. The
// catalogue (CATEGORY, PRODUCT, PRODUCT_CATEGORY) is shared by every menu; a menu (MENU_CONTENT)
// keeps only its settings (MENU_SETTINGS, texts the browser interprets) and where each catalogue
// category and product stands in it and whether it shows (MENU_CATEGORY, MENU_ITEM). The records
// below write those rows through db's DbRecord; the routes answer the browser's JSON API and
// write each request's rows in one transaction.
//
//     menu::InstallMenuRoutes();               // before the listener starts
//     if (!menu::IsValidEmailAddress(text)) ...
#pragma once

#include "db.h"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex::menu {

// Registers the business, menu, product and logo routes, and the conversion of legacy menus
// (InstallLegacyMigration). Call before the listener starts.
void InstallMenuRoutes();

// "image/png", "image/jpeg", "image/gif" or "image/webp" by the first bytes; empty for
// anything else, whatever its name or declared type says.
std::string_view SniffImageType(std::string_view bytes);
// Stores a "MenuLogo" picture (replacing `existingId` when given, else under a new
// "user_logo_" key that goes to `id`). False when the row was not written.
bool StoreUserImage(db::AccountDatabase& db, std::string_view existingId, std::string_view mimeType,
                    std::string_view bytes, std::string& id);

// One address: a local part of 1 to 64 characters of letters, digits, dots (not first, last or
// doubled) and !#$%&'*+-/=?^_`{|}~, an "@", and a domain of 1 to 255 letters, digits, hyphens
// and dots with at least one dot, starting and ending with a letter or digit; 320 at most.
bool IsValidEmailAddress(std::string_view address);

// Prices are whole numbers of the currency's smallest unit. Reads like C's atoll: leading
// characters up to the blank are skipped, one sign, then digits up to the first non-digit
// ("12.50" is 12); no digit gives 0; beyond the 64-bit range the value saturates.
int64_t ReadIntegerPrice(std::string_view text);

// ---------------------------------------------------------------------------------------------
// Time zones

// A day and time of the year when daylight saving starts or ends: month (1-12), week of the
// month (1-5, 5 the last), day of the week (0 Sunday), hour and minute. Zones without daylight
// saving carry 0xFF in every byte.
struct DaylightPoint {
    uint8_t month, week, weekday, hour, minute;
};

struct TimeZone {
    std::string_view key;     // "utc545_nst": UTC+5:45
    int32_t biasMinutes;      // added to the zone's local time gives UTC
    DaylightPoint daylightStart;
    DaylightPoint daylightEnd;
    int32_t daylightBiasMinutes;
};

// The 138 zones a business may name, in their fixed order.
std::span<const TimeZone> TimeZoneTable();
// The zone whose key equals `key` exactly (case matters), or nullptr.
const TimeZone* FindTimeZone(std::string_view key);

// ---------------------------------------------------------------------------------------------
// Records

// "YYYY-MM-DD HH:MM:SS" of the UTC wall clock now, as CREATED_DATE and MODIFIED_DATE hold it.
std::string NowText();

// One business. Inserting it also gives it its currency row ("$", 2 digits, "." and ",").
class RestaurantRecord final : public db::DbRecord {
public:
    RestaurantRecord();
    std::string TableName() const override { return "RESTAURANT"; }
    db::RecordStatus BeforeInsert(db::AccountDatabase& db) override;
    db::RecordStatus AfterInsert(db::AccountDatabase& db) override;
    db::RecordStatus AfterLoad(db::AccountDatabase& db) override;
    db::RecordStatus BeforeUpdate(db::AccountDatabase& db) override;

    // The zone TIMEZONE named when the row was loaded; nullptr for none or an unknown key.
    const TimeZone* timeZone() const { return timeZone_; }

private:
    const TimeZone* timeZone_ = nullptr;
};

// A catalogue category. A name is required; a new one gets its creation date.
class CategoryRecord final : public db::DbRecord {
public:
    CategoryRecord();
    std::string TableName() const override { return "CATEGORY"; }
    db::RecordStatus BeforeInsert(db::AccountDatabase& db) override;
    db::RecordStatus BeforeUpdate(db::AccountDatabase& db) override;
};

// A catalogue product with the categories it is to be linked to: every insert and update also
// writes the PRODUCT_CATEGORY links (a link already there is kept).
class ProductRecord final : public db::DbRecord {
public:
    ProductRecord();
    std::string TableName() const override { return "PRODUCT"; }
    db::RecordStatus BeforeInsert(db::AccountDatabase& db) override;
    db::RecordStatus AfterInsert(db::AccountDatabase& db) override;
    db::RecordStatus BeforeUpdate(db::AccountDatabase& db) override;
    db::RecordStatus AfterUpdate(db::AccountDatabase& db) override;

    void AttachCategory(std::string categoryId) { categories_.push_back(std::move(categoryId)); }

private:
    db::RecordStatus WriteCategoryLinks(db::AccountDatabase& db);
    std::vector<std::string> categories_;
};

// A row that places something in one menu, found by the ids it is named by and its category.
// The catalogue's products without a category form a group of their own, whose placements have
// a NULL CATEGORY_ID (`categoryId` empty below).
class PlacementRecord : public db::DbRecord {
public:
    // Inserts a placement that was not loaded, updates one that was; RequiredEmpty while one of
    // the naming ids is empty.
    db::RecordStatus Save(db::AccountDatabase& db) final;

protected:
    struct NamingId {
        std::string_view field;
        std::string_view value;
    };
    // `fieldNames` start with the naming ids (MENU_ID first) and hold CATEGORY_ID.
    PlacementRecord(std::vector<std::string> fieldNames, std::vector<std::string> namingIds);
    // Loads the placement, or prepares a new one for those ids and that category.
    db::RecordStatus LoadOrPrepare(db::AccountDatabase& db, std::initializer_list<NamingId> ids,
                                   std::string_view categoryId, bool isUncategorized);
    // The WHERE text that finds this placement's row.
    virtual std::string Condition() const = 0;

    bool isUncategorized_ = false;

private:
    std::vector<std::string> namingIds_;
    bool loaded_ = false;
};

// Where a category stands in one menu.
class MenuCategoryRecord final : public PlacementRecord {
public:
    MenuCategoryRecord();
    std::string TableName() const override { return "MENU_CATEGORY"; }
    db::RecordStatus LoadPlacement(db::AccountDatabase& db, std::string_view menuId,
                                   std::string_view categoryId, bool isUncategorized);

private:
    std::string Condition() const override;
};

// Where a product stands under one category of one menu.
class MenuItemRecord final : public PlacementRecord {
public:
    MenuItemRecord();
    std::string TableName() const override { return "MENU_ITEM"; }
    db::RecordStatus LoadPlacement(db::AccountDatabase& db, std::string_view menuId,
                                   std::string_view productId, std::string_view categoryId,
                                   bool isUncategorized);

private:
    std::string Condition() const override;
};

// ---------------------------------------------------------------------------------------------
// Money texts

// How a business writes its prices, from its CURRENCY row.
struct CurrencyFormat {
    std::string symbol = "$";
    std::string decimalSymbol = ".";
    std::string thousandsSymbol = ",";
    int digits = 2;      // CURRENCY_DIGITS: decimals of the smallest unit
    int order = 0;       // CURRENCY_ORDER: where the symbol stands, for the interface
};

// The CURRENCY row of the business; a missing row or an empty column keeps the default above.
CurrencyFormat ReadCurrencyFormat(db::AccountDatabase& db, std::string_view businessId);

// The largest amount a money text gives (in smallest units), whatever its length.
inline constexpr int64_t kMoneyTextLimit = 10000000000000;

// A price as display text ("$1,234.56", "12,50 EUR", "-3.5") to a count of the currency's
// smallest unit. The symbol is passed over wherever it stands; so is every character that is
// neither a digit, the first character of the decimal symbol, nor "-" (thousands separators,
// blanks, letters). "-" anywhere makes the amount negative. Decimals past `digits` are cut, not
// rounded ("$0.999" is 99); more than 14 digits before the mark, or any amount beyond
// kMoneyTextLimit, give kMoneyTextLimit.
int64_t ParseMoneyText(std::string_view text, const CurrencyFormat& format);

// ---------------------------------------------------------------------------------------------
// Legacy menus
//
// Menus of the older form are one JSON document each in MENU_CONTENT.CONTENT, with their own
// business header, settings, categories and items whose prices are display text. The schema
// upgrade to version 68 converts them into the catalogue form: each menu under the business of
// its header name and currency symbol, its settings as MENU_SETTINGS rows, its categories and
// items as new catalogue entries placed visible in their old order after the rest of the
// catalogue placed hidden, its CONTENT cleared. Each menu is converted whole or not at all (one
// savepoint); a menu that cannot be converted keeps its CONTENT, the failed write leaves its
// record in the settings section "RDF", and every later start tries it again.

struct LegacyMenuCounts {
    int converted = 0;
    int kept = 0; // CONTENT still set: not a menu document, or a write failed
};

// The version-68 upgrade step: converts every menu that has CONTENT.
void MigrateLegacyMenuContent(db::AccountDatabase& db);
// The same, with the counts; what the step and the start both run.
LegacyMenuCounts ConvertLegacyMenus(db::AccountDatabase& db);
// Registers MigrateLegacyMenuContent at version 68 and, on a file already past it, converts
// again the menus an earlier run had to keep (logged). Called once at start, before requests.
void InstallLegacyMigration();

} // namespace tavolex::menu
