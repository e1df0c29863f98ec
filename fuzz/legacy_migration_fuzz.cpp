// The legacy menu conversion and the money texts over arbitrary input. The first byte picks:
//   even: ParseMoneyText. The next byte gives the digits (-8 to 247), the next two the lengths of
//         the symbol and the decimal symbol that follow; the rest is the price text. The amount
//         must stay within the limit, and be negative only when the text holds a "-".
//   odd:  the rest is the CONTENT of one legacy menu in a real database file (kept current by
//         account::PrepareDatabase), converted by ConvertLegacyMenus. Either the menu is
//         converted (CONTENT cleared, its business exists) or it is kept whole (CONTENT as it
//         was, not one row of its own); the file must stay sound.
#include "account.h"
#include "menu.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using namespace tavolex;

struct Fixture {
    db::AccountDatabase db{"main"};

    Fixture()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavolex-legacy-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        setenv("TAVOLEX_HOME", pattern.c_str(), 1);
        if (!account::PrepareDatabase() || !db.Open(db::DefaultDatabasePath()))
            std::abort();
    }

    std::string Scalar(std::string_view sql)
    {
        db::DbQuery row;
        db.QueryText(row, sql);
        return row.HasRow() ? row.ColumnText(0, "NULL") : "<none>";
    }

    // Keeps each run short: the catalogue the conversions build would otherwise grow forever.
    void Empty()
    {
        db.Execute("DELETE FROM main.MENU_CONTENT; DELETE FROM main.MENU_SETTINGS; DELETE FROM main.MENU_CATEGORY;"
                   "DELETE FROM main.MENU_ITEM; DELETE FROM main.PRODUCT; DELETE FROM main.CATEGORY;"
                   "DELETE FROM main.PRODUCT_CATEGORY; DELETE FROM main.RESTAURANT; DELETE FROM main.CURRENCY;");
    }
};

void MoneyText(std::string_view input)
{
    if (input.size() < 3)
        return;
    menu::CurrencyFormat format;
    format.digits = static_cast<int>(static_cast<unsigned char>(input[0])) - 8;
    size_t symbolLength = std::min<size_t>(static_cast<unsigned char>(input[1]) % 8, input.size() - 3);
    size_t decimalLength = std::min<size_t>(static_cast<unsigned char>(input[2]) % 4, input.size() - 3 - symbolLength);
    format.symbol = std::string(input.substr(3, symbolLength));
    format.decimalSymbol = std::string(input.substr(3 + symbolLength, decimalLength));
    std::string_view text = input.substr(3 + symbolLength + decimalLength);
    int64_t amount = menu::ParseMoneyText(text, format);
    if (amount > menu::kMoneyTextLimit || amount < -menu::kMoneyTextLimit)
        std::abort();
    if (amount < 0 && text.find('-') == std::string_view::npos)
        std::abort();
}

void Conversion(Fixture& fixture, std::string_view input)
{
    static size_t runs = 0;
    // SQL text ends at a NUL, and so does the JSON reader: the stored CONTENT is what precedes it.
    std::string content(input.substr(0, input.find('\0')));
    db::AccountDatabase& db = fixture.db;
    std::string menuId = db::AccountDatabase::CreatePrimaryKey();
    if (!db.ExecuteFormat("INSERT INTO main.MENU_CONTENT(ID, NAME, CONTENT) VALUES('%Q', 'Fuzz', '%Q')", menuId, content))
        std::abort();
    menu::LegacyMenuCounts counts = menu::ConvertLegacyMenus(db);
    if (counts.converted + counts.kept != 1)
        std::abort();
    if (counts.converted == 1) {
        if (fixture.Scalar(Format("SELECT CONTENT FROM main.MENU_CONTENT WHERE ID = '%Q'", menuId)) != "NULL")
            std::abort();
        if (fixture.Scalar(Format("SELECT count(*) FROM main.MENU_CONTENT M JOIN main.RESTAURANT R ON R.ID = M.RESTAURANT_ID "
                                  "JOIN main.CURRENCY C ON C.ID = R.ID WHERE M.ID = '%Q'", menuId)) != "1")
            std::abort();
    } else {
        if (fixture.Scalar(Format("SELECT CONTENT FROM main.MENU_CONTENT WHERE ID = '%Q'", menuId)) != content)
            std::abort();
        for (const char* table : {"MENU_SETTINGS", "MENU_CATEGORY", "MENU_ITEM"})
            if (fixture.Scalar(Format("SELECT count(*) FROM main.%s WHERE MENU_ID = '%Q'", table, menuId)) != "0")
                std::abort();
        // Kept menus would be tried again by every later run; this one has had its chance.
        db.ExecuteFormat("DELETE FROM main.MENU_CONTENT WHERE ID = '%Q'", menuId);
    }
    if (++runs % 200 == 0) {
        if (fixture.Scalar("PRAGMA integrity_check") != "ok")
            std::abort();
        fixture.Empty();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Fixture fixture;
    if (size == 0)
        return 0;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
        Conversion(fixture, input);
    else
        MoneyText(input);
    return 0;
}
