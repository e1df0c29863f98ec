// Money texts as the older menus wrote them, read back in the smallest unit of their currency.
#include "menu.h"

#include <gtest/gtest.h>

#include <string>

namespace tavolex::menu {
namespace {

CurrencyFormat Currency(std::string symbol, std::string decimal, std::string thousands, int digits)
{
    CurrencyFormat format;
    format.symbol = std::move(symbol);
    format.decimalSymbol = std::move(decimal);
    format.thousandsSymbol = std::move(thousands);
    format.digits = digits;
    return format;
}

TEST(MoneyText, ReadInTheSmallestUnitOfEachCurrency)
{
    const CurrencyFormat dollar = Currency("$", ".", ",", 2);
    const CurrencyFormat yen = Currency("\xC2\xA5", ".", ",", 0);
    const CurrencyFormat dinar = Currency("KD", ".", ",", 3);
    const CurrencyFormat euro = Currency("\xE2\x82\xAC", ",", ".", 2);
    const CurrencyFormat franc = Currency("CHF", ".", "'", 2);
    const CurrencyFormat krone = Currency("kr.", ".", " ", 2);
    struct Case {
        const char* text;
        const CurrencyFormat& format;
        int64_t expected;
    } cases[] = {
        // two digits, "." as the mark
        {"$12.5", dollar, 1250},
        {"$1,234.56", dollar, 123456},
        {"$7", dollar, 700},
        {"$0.999", dollar, 99},           // decimals past the currency's are cut, not rounded
        {".5", dollar, 50},
        {"12.50 $", dollar, 1250},        // the symbol after the amount
        {"US$ 1 234.5", dollar, 123450},  // blanks and letters are passed over
        {"", dollar, 0},
        {"$", dollar, 0},
        {"free", dollar, 0},
        // no decimals
        {"\xC2\xA5" "1,500", yen, 1500},
        {"\xC2\xA5" "1,500.75", yen, 1500},
        {"1500\xC2\xA5", yen, 1500},
        // three decimals
        {"KD 1.5", dinar, 1500},
        {"KD 1.2345", dinar, 1234},
        {"2 KD", dinar, 2000},
        // "," as the mark, "." between thousands
        {"\xE2\x82\xAC" "12,50", euro, 1250},
        {"1.234,56 \xE2\x82\xAC", euro, 123456},
        {"12,5\xE2\x82\xAC", euro, 1250},
        {"\xE2\x82\xAC 0,07", euro, 7},
        {"CHF 1'250.40", franc, 125040},
        // the symbol is passed over before its characters could count as the mark
        {"kr.5", krone, 500},
        {"5 kr.", krone, 500},
        // negative amounts: "-" anywhere before the last decimal
        {"-$5.25", dollar, -525},
        {"$-0.5", dollar, -50},
        {"-3,00 \xE2\x82\xAC", euro, -300},
        {"-\xC2\xA5" "300", yen, -300},
        {"$5.25-", dollar, 525},          // the walk ends with the last decimal the currency has
        {"-$0", dollar, 0},
        // the limit
        {"$99999999999", dollar, 9999999999900},
        {"$100000000000", dollar, kMoneyTextLimit},
        {"$100000000000.01", dollar, kMoneyTextLimit},
        {"$99999999999999", dollar, kMoneyTextLimit},     // 14 digits, read, then capped
        {"$123456789012345", dollar, kMoneyTextLimit},    // 15 digits: not read as a number
        {"$000000000000001", dollar, kMoneyTextLimit},    // leading zeros are digits too
        {"-$123456789012345.99", dollar, -kMoneyTextLimit},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseMoneyText(c.text, c.format), c.expected) << c.text;
}

TEST(MoneyText, FormatsOutsideTheUsualRange)
{
    struct Case {
        std::string text;
        CurrencyFormat format;
        int64_t expected;
    } cases[] = {
        {"12.34", Currency("$", ".", ",", -1), 12},                  // negative digits count as none
        {"12.34", Currency("$", "", ",", 2), 123400},                // no mark: every digit is whole
        {"$1", Currency("$", ".", ",", 30), kMoneyTextLimit},         // 10^30 never overflows
        {"0.0000000000000000000000000001", Currency("$", ".", ",", 30), 100},
        {"1.5", Currency("", ".", ",", 2), 150},                     // no symbol to pass over
        {"12|50", Currency("$", "|x", ",", 2), 1250},                // only the mark's first character
        {std::string(400, '1'), Currency("$", ".", ",", 2), kMoneyTextLimit},
        {"0." + std::string(400, '9'), Currency("$", ".", ",", 400), kMoneyTextLimit},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseMoneyText(c.text, c.format), c.expected) << c.text;
}

} // namespace
} // namespace tavolex::menu
