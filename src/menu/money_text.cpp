// Prices written as display text, read back as whole numbers of the smallest unit.
#include "menu.h"

#include <algorithm>
#include <climits>

namespace tavolex::menu {

namespace {

// Digits kept of each part; more are read but dropped, as the fixed text fields of the older
// program dropped them.
constexpr size_t kMaxPartDigits = 259;
// An integer part longer than this many digits is not read as a number at all.
constexpr size_t kMaxIntegerDigits = 14;

// Arithmetic that stops just past kMoneyTextLimit: every amount beyond it ends up as the limit,
// so nothing larger ever needs to be held, whatever the digits of the format say.
constexpr int64_t kCeiling = kMoneyTextLimit + 1;

int64_t CappedMultiply(int64_t a, int64_t b)
{
    if (a == 0 || b == 0)
        return 0;
    if (a >= kCeiling / b + 1)
        return kCeiling;
    return std::min(a * b, kCeiling);
}

int64_t CappedAdd(int64_t a, int64_t b)
{
    return std::min(a + b, kCeiling); // both at most kCeiling: no overflow
}

int64_t CappedPowerOfTen(int exponent)
{
    int64_t value = 1;
    for (int i = 0; i < exponent && value < kCeiling; ++i)
        value = CappedMultiply(value, 10);
    return value;
}

int64_t CappedDigits(std::string_view digits)
{
    int64_t value = 0;
    for (char digit : digits)
        value = CappedAdd(CappedMultiply(value, 10), digit - '0');
    return value;
}

// The first character of `text` (all the bytes of one UTF-8 sequence).
std::string_view FirstCharacter(std::string_view text)
{
    if (text.empty())
        return text;
    size_t length = 1;
    while (length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        ++length;
    return text.substr(0, length);
}

int ReadSmallInteger(std::string_view text)
{
    int64_t value = ReadIntegerPrice(text);
    return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

} // namespace

int64_t ParseMoneyText(std::string_view text, const CurrencyFormat& format)
{
    const size_t digits = static_cast<size_t>(std::max(format.digits, 0));
    const std::string_view symbol = format.symbol;
    const std::string_view decimalMark = FirstCharacter(format.decimalSymbol);
    std::string integerPart;
    std::string fractionPart;
    bool inFraction = false;
    bool negative = false;
    size_t fractionDigits = 0;
    for (size_t at = 0; at < text.size();) {
        if (inFraction && fractionDigits >= digits)
            break;
        std::string_view rest = text.substr(at);
        if (!symbol.empty() && rest.starts_with(symbol)) {
            at += symbol.size();
            continue;
        }
        char c = text[at];
        if (c >= '0' && c <= '9') {
            std::string& part = inFraction ? fractionPart : integerPart;
            if (part.size() < kMaxPartDigits)
                part.push_back(c);
            if (inFraction)
                ++fractionDigits;
            ++at;
            continue;
        }
        if (!inFraction && !decimalMark.empty() && rest.starts_with(decimalMark)) {
            inFraction = true;
            at += decimalMark.size();
            continue;
        }
        if (c == '-')
            negative = true;
        ++at;
    }

    int64_t integer = integerPart.size() <= kMaxIntegerDigits ? CappedDigits(integerPart) : kMoneyTextLimit;
    int64_t value = integer;
    if (digits > 0) {
        int scale = static_cast<int>(std::min<size_t>(digits, INT_MAX));
        int fractionScale = static_cast<int>(std::min(digits - std::min(digits, fractionPart.size()), size_t{INT_MAX}));
        value = CappedAdd(CappedMultiply(integer, CappedPowerOfTen(scale)),
                          CappedMultiply(CappedDigits(fractionPart), CappedPowerOfTen(fractionScale)));
    }
    value = std::min(value, kMoneyTextLimit);
    return negative ? -value : value;
}

CurrencyFormat ReadCurrencyFormat(db::AccountDatabase& db, std::string_view businessId)
{
    CurrencyFormat format;
    std::string schema = db.GetDatabaseName();
    auto column = [&](std::string_view name) {
        db::DbQuery row;
        db.Query(row, "SELECT %s FROM %s.%s WHERE ID = '%Q';", name, schema, "CURRENCY", businessId);
        return row.ColumnShortText(0);
    };
    if (std::string text = column("CURRENCY_SYMBOL"); !text.empty())
        format.symbol = std::move(text);
    if (std::string text = column("DECIMAL_SYMBOL"); !text.empty())
        format.decimalSymbol = std::move(text);
    if (std::string text = column("THOUSANDS_SYMBOL"); !text.empty())
        format.thousandsSymbol = std::move(text);
    if (std::string text = column("CURRENCY_DIGITS"); !text.empty())
        format.digits = ReadSmallInteger(text);
    if (std::string text = column("CURRENCY_ORDER"); !text.empty())
        format.order = ReadSmallInteger(text);
    return format;
}

} // namespace tavolex::menu
