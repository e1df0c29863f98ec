// The conversion of menus kept whole as one JSON document (MENU_CONTENT.CONTENT) into the
// catalogue form: run by the upgrade to version 68, and again at every start for the menus it
// had to keep.
//
// Each menu is converted inside one savepoint, its CONTENT read again inside it: a write that
// fails part-way undoes everything of that menu (its business, settings, catalogue entries and
// placements), so no half-converted menu ever stays beside a CONTENT that a later try would
// convert a second time.
#include "route_support.h"

#include <pthread.h>

#include <climits>
#include <ctime>

namespace tavolex::menu {

namespace {

using db::RecordStatus;

constexpr int kConversionVersion = 68;
constexpr std::string_view kDefaultBusinessName = "Default Restaurant";
// The catalogue placed before a menu's own entries stands after all of them.
constexpr int kUnplacedPosition = INT_MAX;

// The tags of the diagnostic record, one per kind of write.
constexpr std::string_view kSettingTag = "SQLUpdtMnSet";
constexpr std::string_view kCategoryTag = "SQLInsCtgy";
constexpr std::string_view kMenuCategoryTag = "SQLInsMnCtgy";
constexpr std::string_view kProductTag = "SQLInsPrdt";
constexpr std::string_view kMenuItemTag = "SQLInsMnItm";

std::string CurrentThreadName()
{
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        return "Unnamed";
    return name;
}

// The failure record kept in the "RDF" settings section for a support request. There is no stack
// walker here; `trace` names the step that failed, which is what the record is read for.
void RecordFailedWrite(std::string_view tag, std::string_view trace)
{
    WriteSettingText("RDF", "ID", tag.empty() ? std::string_view("Unknown") : tag);
    WriteSettingText("RDF", "Time", Format("%lld", static_cast<int64_t>(time(nullptr))));
    WriteSettingText("RDF", "Thread", CurrentThreadName());
    WriteSettingText("RDF", "CallStack", trace);
}

// A price text taken apart the way older versions of Tavolex wrote it: what stands before the first
// digit (the symbol, blanks left out), and the amount from that digit on without the blanks
// and control characters at its end.
struct PriceText {
    std::string prefix;
    std::string amount;
    bool minusBeforeAmount = false;
};

PriceText SplitPriceText(std::string_view text)
{
    PriceText price;
    size_t at = 0;
    while (at < text.size() && static_cast<unsigned char>(text[at]) <= 32)
        ++at;
    for (; at < text.size() && !(text[at] >= '0' && text[at] <= '9'); ++at) {
        char c = text[at];
        // A sign is part of the amount, never of the symbol: "-$2.00" is a discount in dollars.
        if (c == '-')
            price.minusBeforeAmount = true;
        else if (static_cast<unsigned char>(c) > 32)
            price.prefix.push_back(c);
    }
    price.prefix = std::string(CutUtf8ToUnits(price.prefix, kFieldUnits));
    std::string_view amount = text.substr(at);
    while (!amount.empty() && static_cast<unsigned char>(amount.back()) <= 32)
        amount.remove_suffix(1);
    price.amount = std::string(amount);
    return price;
}

bool HasStrings(const JsonValue& object, std::initializer_list<std::string_view> names)
{
    if (object.type() != JsonValueType::Object)
        return false;
    for (std::string_view name : names)
        if (!IsStringMember(object, name))
            return false;
    return true;
}

bool IsLegacyCategory(const JsonValue& element)
{
    return HasStrings(element, {"name", "description"});
}

bool IsLegacyItem(const JsonValue& element)
{
    return HasStrings(element, {"name", "detail", "extras", "price"});
}

const JsonMember* ItemsOf(const JsonValue& category)
{
    const JsonMember* items = category.FindMember("ritems");
    return items && items->type() == JsonValueType::Array ? items : nullptr;
}

// A catalogue entry as a menu places it: a category and a product, either side empty for a
// category without products and a product without a category.
struct CatalogueEntry {
    std::string category;
    std::string product;
};

// The catalogue as the next menu to convert finds it: what the file held when the conversion
// began, and what every menu converted since brought. Read once into a temporary table and then
// grown, because the catalogue query over the whole file costs as much as tens of thousands of
// placements once a few menus are in: two hundred menus of sixty items would take many seconds
// reading it again for each. Nothing else writes the catalogue meanwhile: the upgrade holds
// every gated request back, and the start runs before the first one.
class CatalogueSoFar {
public:
    explicit CatalogueSoFar(db::AccountDatabase& db) : db_(db), schema_(db.GetDatabaseName())
    {
        Drop();
        // Categories and items apart, so that placing them needs neither a DISTINCT nor a scan.
        db_.Execute("CREATE TEMP TABLE legacy_categories(category TEXT);");
        db_.Execute("CREATE TEMP TABLE legacy_items(category TEXT, product TEXT);");
        // Read in the order of MENU_ITEM's unique index, a menu's placements go into it one
        // after the other instead of all over its part of the tree: a fifth less time.
        db_.Execute("CREATE INDEX temp.legacy_items_order ON legacy_items(category, product);");
        const std::string pairs = Format(kCataloguePairsQuery, schema_, schema_, schema_, schema_, schema_, schema_,
                                         schema_, schema_, schema_);
        db_.ExecuteFormat("WITH pairs(category, product) AS (%s) INSERT INTO temp.legacy_categories SELECT DISTINCT category FROM pairs WHERE category IS NOT NULL",
                          pairs);
        db_.ExecuteFormat("WITH pairs(category, product) AS (%s) INSERT INTO temp.legacy_items SELECT category, product FROM pairs WHERE product IS NOT NULL",
                          pairs);
        db::DbQuery row;
        db_.Query(row, "SELECT count(*) FROM temp.legacy_items WHERE category IS NULL");
        uncategorized_ = row.ColumnInt(0) > 0;
    }
    ~CatalogueSoFar() { Drop(); }
    CatalogueSoFar(const CatalogueSoFar&) = delete;
    CatalogueSoFar& operator=(const CatalogueSoFar&) = delete;

    // Places every entry in the menu, hidden, behind the menu's own entries: the rows that a
    // placement of one entry at a time writes, a row already there ignored.
    void PlaceHidden(std::string_view menuId)
    {
        db_.ExecuteFormat("INSERT OR IGNORE INTO %s.MENU_CATEGORY (MENU_ID, CATEGORY_ID, POSITION, IS_VISIBLE) SELECT '%Q', category, %d, 0 FROM temp.legacy_categories",
                          schema_, menuId, kUnplacedPosition);
        if (uncategorized_)
            db_.ExecuteFormat("INSERT OR IGNORE INTO %s.MENU_CATEGORY (MENU_ID, CATEGORY_ID, POSITION, IS_VISIBLE) VALUES ('%Q', NULL, %d, 0) ",
                              schema_, menuId, kUnplacedPosition);
        db_.ExecuteFormat("INSERT OR IGNORE INTO %s.MENU_ITEM (MENU_ID, CATEGORY_ID, PRODUCT_ID, POSITION, IS_VISIBLE) SELECT '%Q', category, product, %d, 0 FROM temp.legacy_items ORDER BY category, product",
                          schema_, menuId, kUnplacedPosition);
    }

    // What a menu that was converted brought into the catalogue.
    void Add(const std::vector<CatalogueEntry>& entries)
    {
        std::string lastCategory;
        for (const CatalogueEntry& entry : entries) {
            if (!entry.category.empty() && entry.category != lastCategory)
                db_.ExecuteFormat("INSERT INTO temp.legacy_categories VALUES('%Q')", entry.category);
            lastCategory = entry.category;
            if (entry.product.empty())
                continue;
            if (entry.category.empty()) {
                uncategorized_ = true;
                db_.ExecuteFormat("INSERT INTO temp.legacy_items VALUES(NULL, '%Q')", entry.product);
            } else {
                db_.ExecuteFormat("INSERT INTO temp.legacy_items VALUES('%Q', '%Q')", entry.category, entry.product);
            }
        }
    }

private:
    void Drop()
    {
        db_.Execute("DROP TABLE IF EXISTS temp.legacy_categories;");
        db_.Execute("DROP TABLE IF EXISTS temp.legacy_items;");
    }

    db::AccountDatabase& db_;
    std::string schema_;
    bool uncategorized_ = false; // a product without a category: the menu's group of them is placed
};

// One menu's conversion. Convert() answers whether CONTENT was cleared; `reason` says why not.
class MenuConversion {
public:
    MenuConversion(db::AccountDatabase& db, CatalogueSoFar& catalogue, std::string menuId, int timeZone)
        : db_(db), catalogue_(catalogue), schema_(db.GetDatabaseName()), menuId_(std::move(menuId)),
          timeZone_(timeZone), failuresAtStart_(db.FailureCount())
    {
    }

    enum class Outcome { Converted, Kept, Gone };
    Outcome Convert();
    const std::string& reason() const { return reason_; }

private:
    bool Keep(std::string reason)
    {
        reason_ = std::move(reason);
        return false;
    }
    // Records the failed write and keeps the menu.
    bool FailedWrite(std::string_view tag, std::string_view step);

    bool ConvertDocument(const JsonValue& document);
    bool StoreSettings(const JsonValue& settings);
    void TakeSymbolFromPrices(const JsonValue& categories);
    bool ChooseBusiness(const JsonValue& header);
    std::string FindBusiness(std::string_view name);
    bool CreateBusiness(std::string_view name, const JsonValue* header);
    bool StoreCategories(const JsonValue& categories);
    bool StoreItems(const JsonValue& items, const std::string& categoryId, int categoryPosition);

    db::AccountDatabase& db_;
    CatalogueSoFar& catalogue_;
    std::vector<CatalogueEntry> created_; // what this menu brings into the catalogue
    std::string schema_;
    std::string menuId_;
    int timeZone_;
    int failuresAtStart_;
    std::string symbol_ = "$";
    bool decimalComma_ = false; // every price that shows a fraction mark shows a comma
    RestaurantRecord business_;
    bool haveBusiness_ = false;
    CurrencyFormat format_;
    std::string reason_;
};

MenuConversion::Outcome MenuConversion::Convert()
{
    db::Savepoint savepoint(db_, "legacy_menu");
    if (!savepoint.began()) {
        Keep(Format("the database could not begin its conversion: %s", db_.LastFailure()));
        return Outcome::Kept;
    }
    std::string content;
    {
        db::DbQuery row;
        db_.Query(row, "SELECT CONTENT FROM %s.MENU_CONTENT WHERE ID = '%Q' AND CONTENT IS NOT NULL", schema_, menuId_);
        if (!row.HasRow())
            return Outcome::Gone; // converted by another thread meanwhile, or deleted
        content = row.ColumnText(0);
    }
    ErrorOr<JsonValue> document = ReadJson(content);
    if (document.HasError()) {
        Keep("its content is not a JSON document");
        return Outcome::Kept;
    }
    if (!ConvertDocument(document.Value()))
        return Outcome::Kept;
    db_.ExecuteFormat("UPDATE %s.MENU_CONTENT SET CONTENT = NULL WHERE ID = '%Q';", schema_, menuId_);
    // Statements whose results the steps do not look at (the lookups, the placement of the
    // catalogue, the business and currency updates) still count: a menu whose rows did not all
    // reach the file keeps its CONTENT.
    if (savepoint.HasFailed()) {
        Keep(Format("the database refused a write: %s", db_.LastFailure()));
        return Outcome::Kept;
    }
    if (!savepoint.Release()) {
        Keep(Format("the conversion could not be committed: %s", db_.LastFailure()));
        return Outcome::Kept;
    }
    catalogue_.Add(created_);
    return Outcome::Converted;
}

bool MenuConversion::FailedWrite(std::string_view tag, std::string_view step)
{
    std::string trace = Format("MigrateLegacyMenuContent > menu %s > %s", menuId_, step);
    // A refusal by a constraint or a trigger leaves no failure text; anything else does.
    if (db_.FailureCount() != failuresAtStart_)
        trace += Format(": %s", db_.LastFailure());
    RecordFailedWrite(tag, trace);
    return Keep(Format("%s failed [%s]", step, tag));
}

bool MenuConversion::ConvertDocument(const JsonValue& document)
{
    const JsonMember* header = document.FindMember("header");
    const JsonMember* categories = document.FindMember("rcategories");
    const JsonMember* settings = document.FindMember("settings");
    if (!header || header->type() != JsonValueType::Object || !categories ||
        categories->type() != JsonValueType::Array || !settings || settings->type() != JsonValueType::Object)
        return Keep("its content lacks the header, settings or categories of a menu");
    if (!StoreSettings(*settings))
        return false;
    TakeSymbolFromPrices(*categories);
    if (!HasStrings(*header, {"name", "address", "phone", "email", "website"}))
        return Keep("its header does not give the business's name, address, phone, e-mail and website");
    if (!ChooseBusiness(*header))
        return Keep("no business could be found or made for it");
    db_.ExecuteFormat("UPDATE %s.MENU_CONTENT SET RESTAURANT_ID = '%Q' WHERE ID = '%Q';", schema_, business_.Key(),
                      menuId_);
    format_ = ReadCurrencyFormat(db_, business_.Key());
    catalogue_.PlaceHidden(menuId_);
    return StoreCategories(*categories);
}

bool MenuConversion::StoreSettings(const JsonValue& settings)
{
    for (size_t i = 0; i < settings.MemberCount(); ++i) {
        const JsonMember& setting = settings.MemberAt(i);
        std::string_view name = FieldText(setting.name());
        if (name.empty())
            continue;
        if (setting.name() == "currencysymbol" && setting.type() == JsonValueType::String)
            symbol_ = std::string(FieldText(setting.text()));
        bool stored = true;
        if (setting.type() == JsonValueType::String)
            stored = db_.ExecuteFormat("INSERT INTO %s.MENU_SETTINGS(MENU_ID, NAME, VALUE) VALUES('%Q', '%Q', '%Q')",
                                       schema_, menuId_, name, FieldText(setting.text()));
        else if (setting.type() == JsonValueType::Number)
            // NumberAsInt64 cuts a real toward zero: a setting of 3.7 is stored as "3".
            stored = db_.ExecuteFormat("INSERT INTO %s.MENU_SETTINGS(MENU_ID, NAME, VALUE) VALUES('%Q', '%Q', '%lld')",
                                       schema_, menuId_, name, setting.NumberAsInt64());
        if (!stored)
            return FailedWrite(kSettingTag, Format("setting \"%s\": MENU_SETTINGS insert", name));
    }
    return true;
}

// The mark an amount ends its fraction with: "12,50" and "3,5" show a comma, "12.50" a point;
// "1.234" or "1,234" show neither, since three digits after the mark are a thousands group.
char FractionMarkOf(std::string_view amount)
{
    while (!amount.empty() && !(amount.back() >= '0' && amount.back() <= '9'))
        amount.remove_suffix(1); // a symbol after the amount, "12,50 EUR"
    size_t mark = amount.find_last_of(",.");
    if (mark == std::string_view::npos)
        return 0;
    size_t digits = amount.size() - mark - 1;
    bool allDigits = amount.substr(mark + 1).find_first_not_of("0123456789") == std::string_view::npos;
    return digits >= 1 && digits <= 2 && allDigits ? amount[mark] : 0;
}

// The symbol the menu's prices show in front of their amounts; the last item that shows one
// decides, over the "currencysymbol" setting too. The prices also tell whether they were
// written with a decimal comma.
void MenuConversion::TakeSymbolFromPrices(const JsonValue& categories)
{
    int commas = 0, points = 0;
    for (const JsonValue& category : categories.Elements()) {
        const JsonMember* items = ItemsOf(category);
        if (!IsLegacyCategory(category) || !items)
            continue;
        for (const JsonValue& item : items->Elements()) {
            if (!IsLegacyItem(item))
                continue;
            PriceText price = SplitPriceText(MemberText(item, "price"));
            char mark = FractionMarkOf(price.amount);
            commas += mark == ',';
            points += mark == '.';
            if (!price.prefix.empty() && !price.amount.empty())
                symbol_ = std::move(price.prefix);
        }
    }
    decimalComma_ = commas > 0 && points == 0;
}

std::string MenuConversion::FindBusiness(std::string_view name)
{
    db::DbQuery row;
    db_.Query(row,
              "SELECT R.* FROM %s.RESTAURANT R JOIN %s.CURRENCY C ON C.ID = R.ID WHERE R.NAME = '%Q' AND C.CURRENCY_SYMBOL = '%Q' ORDER BY R.CREATED_DATE LIMIT 1;",
              schema_, schema_, name, symbol_);
    for (int i = 0; i < row.ColumnCount(); ++i)
        if (row.ColumnName(i) == "ID")
            return row.ColumnText(i);
    return {};
}

bool MenuConversion::CreateBusiness(std::string_view name, const JsonValue* header)
{
    RestaurantRecord business;
    business.Set("NAME", name);
    if (header)
        for (auto [member, field] : {std::pair{"address", "ADDRESS"}, {"phone", "PHONE"}, {"email", "EMAIL"},
                                     {"website", "WEBSITE"}})
            business.Set(field, MemberText(*header, member));
    business.Set("TIMEZONE", Format("%d", timeZone_));
    if (business.Save(db_) != RecordStatus::Ok)
        return false;
    db_.ExecuteFormat("UPDATE %s.CURRENCY SET CURRENCY_SYMBOL = '%Q' WHERE ID = '%Q'", schema_, symbol_,
                      business.Key());
    // A new business's format reads "12,50" as twelve hundred and fifty: prices written with a
    // decimal comma give it the comma, and the point for thousands.
    if (decimalComma_)
        db_.ExecuteFormat("UPDATE %s.CURRENCY SET DECIMAL_SYMBOL = ',', THOUSANDS_SYMBOL = '.' WHERE ID = '%Q'",
                          schema_, business.Key());
    return business_.LoadByKey(db_, business.Key()) == RecordStatus::Ok;
}

bool MenuConversion::ChooseBusiness(const JsonValue& header)
{
    if (std::string name = MemberText(header, "name"); !name.empty()) {
        std::string id = FindBusiness(name);
        haveBusiness_ = id.empty() ? CreateBusiness(name, &header)
                                   : business_.LoadByKey(db_, id) == RecordStatus::Ok;
    }
    if (!haveBusiness_) {
        std::string id = FindBusiness(kDefaultBusinessName);
        haveBusiness_ = id.empty() ? CreateBusiness(kDefaultBusinessName, nullptr)
                                   : business_.LoadByKey(db_, id) == RecordStatus::Ok;
    }
    return haveBusiness_;
}

bool MenuConversion::StoreCategories(const JsonValue& categories)
{
    int position = 0;
    for (const JsonValue& element : categories.Elements()) {
        if (!IsLegacyCategory(element))
            continue;
        CategoryRecord category;
        category.Set("NAME", MemberText(element, "name"));
        category.Set("DESCRIPTION", MemberText(element, "description"));
        // A category without a name cannot be in the catalogue; its items form the menu's
        // group without a category.
        bool stored = false;
        if (!category.Get("NAME").empty()) {
            if (category.Save(db_) != RecordStatus::Ok)
                return FailedWrite(kCategoryTag, Format("category %d: CATEGORY insert", position));
            stored = true;
        }
        MenuCategoryRecord placement;
        placement.Set("MENU_ID", menuId_);
        if (stored)
            placement.Set("CATEGORY_ID", category.Key());
        else
            placement.SetNull("CATEGORY_ID");
        placement.Set("POSITION", std::to_string(position));
        placement.Set("IS_VISIBLE", "1");
        if (placement.Save(db_) != RecordStatus::Ok)
            return FailedWrite(kMenuCategoryTag, Format("category %d: MENU_CATEGORY insert", position));
        size_t entriesBefore = created_.size();
        if (const JsonMember* items = ItemsOf(element);
            items && !StoreItems(*items, stored ? category.Key() : std::string(), position))
            return false;
        if (stored && created_.size() == entriesBefore)
            created_.push_back({category.Key(), {}});
        ++position;
    }
    return true;
}

bool MenuConversion::StoreItems(const JsonValue& items, const std::string& categoryId, int categoryPosition)
{
    int position = 0;
    for (const JsonValue& item : items.Elements()) {
        if (!IsLegacyItem(item))
            continue;
        PriceText price = SplitPriceText(MemberText(item, "price"));
        int64_t amount = ParseMoneyText(price.amount, format_);
        if (price.minusBeforeAmount && amount > 0)
            amount = -amount;
        ProductRecord product;
        product.Set("NAME", MemberText(item, "name"));
        product.Set("DESCRIPTION", MemberText(item, "detail"));
        product.Set("EXTRA", MemberText(item, "extras"));
        product.Set("PRICE", std::to_string(amount));
        product.Set("IS_VISIBLE", "1");
        product.Set("IS_MODIFIER", "0");
        if (!categoryId.empty())
            product.AttachCategory(categoryId);
        if (product.Save(db_) != RecordStatus::Ok)
            return FailedWrite(kProductTag, Format("category %d, item %d: PRODUCT insert", categoryPosition, position));
        MenuItemRecord placement;
        placement.Set("MENU_ID", menuId_);
        if (categoryId.empty())
            placement.SetNull("CATEGORY_ID");
        else
            placement.Set("CATEGORY_ID", categoryId);
        placement.Set("PRODUCT_ID", product.Key());
        placement.Set("POSITION", std::to_string(position));
        placement.Set("IS_VISIBLE", "1");
        if (placement.Save(db_) != RecordStatus::Ok)
            return FailedWrite(kMenuItemTag, Format("category %d, item %d: MENU_ITEM insert", categoryPosition, position));
        created_.push_back({categoryId, product.Key()});
        ++position;
    }
    return true;
}

// The time zone new businesses get: the newest business's, read as a number as the older
// program kept it.
int TimeZoneForNewBusinesses(db::AccountDatabase& db)
{
    db::DbQuery row;
    db.Query(row, "SELECT TIMEZONE FROM %s.RESTAURANT ORDER BY CREATED_DATE DESC LIMIT 1", db.GetDatabaseName());
    return row.HasRow() ? row.ColumnInt(0) : 0;
}

std::vector<std::string> MenusWithContent(db::AccountDatabase& db)
{
    std::vector<std::string> ids;
    db::DbQuery rows;
    for (db.Query(rows, "SELECT ID, CONTENT FROM %s.MENU_CONTENT WHERE CONTENT IS NOT NULL", db.GetDatabaseName());
         rows.HasRow(); db.NextRow(rows))
        ids.push_back(rows.ColumnText(0));
    return ids;
}

void RetryKeptLegacyMenus()
{
    db::AccountDatabase db{"main"};
    if (!db.Open(db::DefaultDatabasePath()))
        return;
    // Below the version the upgrade converts them itself, at the first request.
    if (db::ReadSchemaVersion(db) < kConversionVersion)
        return;
    db::DbQuery row;
    db.Query(row, "SELECT count(*) FROM %s.MENU_CONTENT WHERE CONTENT IS NOT NULL", db.GetDatabaseName());
    int waiting = row.HasRow() ? row.ColumnInt(0) : 0;
    row.Close();
    if (waiting == 0)
        return;
    LogFormat("MigrateLegacyMenuContent: %d legacy menus were kept by an earlier start, converting them again",
              waiting);
    LegacyMenuCounts counts = ConvertLegacyMenus(db);
    LogFormat("MigrateLegacyMenuContent: %d legacy menus converted, %d still kept", counts.converted, counts.kept);
}

} // namespace

LegacyMenuCounts ConvertLegacyMenus(db::AccountDatabase& db)
{
    LegacyMenuCounts counts;
    std::vector<std::string> menus = MenusWithContent(db);
    if (menus.empty())
        return counts;
    int timeZone = TimeZoneForNewBusinesses(db);
    CatalogueSoFar catalogue(db);
    for (std::string& id : menus) {
        MenuConversion conversion(db, catalogue, id, timeZone);
        switch (conversion.Convert()) {
        case MenuConversion::Outcome::Converted: ++counts.converted; break;
        case MenuConversion::Outcome::Kept:
            ++counts.kept;
            LogError("MigrateLegacyMenuContent: menu %s kept with its content: %s", id, conversion.reason());
            break;
        case MenuConversion::Outcome::Gone: break;
        }
    }
    return counts;
}

void MigrateLegacyMenuContent(db::AccountDatabase& db)
{
    LegacyMenuCounts counts = ConvertLegacyMenus(db);
    if (counts.converted + counts.kept > 0)
        LogFormat("MigrateLegacyMenuContent: %d legacy menus converted, %d kept", counts.converted, counts.kept);
}

void InstallLegacyMigration()
{
    db::RegisterUpgradeOperation(kConversionVersion, MigrateLegacyMenuContent);
    RetryKeptLegacyMenus();
}

} // namespace tavolex::menu
