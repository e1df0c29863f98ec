#include "core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string_view>
#include <utility>

namespace tavolex {
namespace {

struct Case {
    std::string got;
    std::string want;
};

void CheckAll(const std::vector<Case>& cases)
{
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(cases[i].got, cases[i].want) << "row " << i;
}

TEST(AppendFormat, EscapingDirectives)
{
    CheckAll({
        // %Q doubles quotes and nothing else
        {Format("'%Q'", "O'Hara"), "'O''Hara'"},
        {Format("%Q", "''"), "''''"},
        {Format("%Q", "a\\b;--"), "a\\b;--"},
        // %J: the short escapes, \u00XX for other controls, quote, slash, backslash
        {Format("%J", "\t"), "\\t"},
        {Format("%J", "\x01"), "\\u0001"},
        {Format("%J", "\x1f\b\f\n\r"), "\\u001F\\b\\f\\n\\r"},
        {Format("%J", "a\"b/c\\d"), "a\\\"b\\/c\\\\d"},
        {Format("%J", "\xc3\xa9\x7f"), "\xc3\xa9\x7f"},
        // %U: unreserved bytes stay, everything else is %XX of the UTF-8 bytes
        {Format("%U", "a b/\xc3\xa9"), "a%20b%2F%C3%A9"},
        {Format("%U", "AZaz09!-._~*'()"), "AZaz09!-._~%2A%27%28%29"},
        {Format("%U", u"\U0001F600"), "%F0%9F%98%80"},
        // %H: entities and line-break runs
        {Format("%H", "a\r\nb\r\n\r\nc"), "a<br>b<p>c"},
        {Format("%H", "<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;"},
        {Format("%H", "a\n\n\n\nb"), "a<br><br><p>b"},
        {Format("%H", "a\nb\n"), "a<br>b<br>"},
        {Format("%H", "a\n\rb"), "a<br>b"},
        {Format("%H", "a\r\r\nb"), "a<p>b"},
        // null pointers and missing arguments append nothing
        {Format("[%s|%J|%Q|%H|%U]", static_cast<const char*>(nullptr), nullptr, nullptr, nullptr,
                nullptr),
         "[||||]"},
        {Format("[%s][%d]"), "[][]"},
    });
}

TEST(AppendFormat, StandardDirectives)
{
    CheckAll({
        {Format("%d|%i|%u", -5, 7, 42u), "-5|7|42"},
        {Format("%05d|%.3d|%3d", 42, 7, 5), "00042|007|  5"},
        {Format("%-5d|%d", 9), "%-5d|9"}, // '-' is no flag here: copied, and takes no argument
        {Format("%x|%X|%08x", 255, 255, 48879), "ff|FF|0000beef"},
        {Format("%c%c", 'o', 'k'), "ok"},
        {Format("%lld|%I64d|%I64u", INT64_MIN, INT64_MAX, UINT64_MAX),
         "-9223372036854775808|9223372036854775807|18446744073709551615"},
        {Format("%Iu", size_t{5000000000}), "5000000000"},
        // without a 64-bit flag the value is read as 32 bits
        {Format("%d|%u", int64_t{4294967297}, -1), "1|4294967295"},
        {Format("%f|%.2f|%e|%g", 12.5, 3.14159, 1500.0, 0.0001), "12.500000|3.14|1.500000e+03|0.0001"},
        {Format("%f", 1), "1.000000"},
        {Format("%%|%s|%5s", "x", "y"), "%|x|y"},
        {Format("100%"), "100%"},
        {Format("%z%d", 3), "%z3"},
    });
}

TEST(AppendFormat, HugeWidthsAreClamped)
{
    std::string text = Format("%999999999d", 1);
    EXPECT_EQ(text.size(), 4096u);
    EXPECT_EQ(text.back(), '1');
    EXPECT_EQ(Format("%.0f", 1e300).size(), 301u); // no fixed buffer cuts a long number
}

TEST(AppendFormat, WideBuild)
{
    TextBufferW out;
    AppendFormat(out, u"%s=%d '%Q' %J %U", u"na\u00efve", 5, "it's", u"\u00e9\t", u"\u00e9 ");
    EXPECT_EQ(out.str(), u"na\u00efve=5 'it''s' \u00e9\\t %C3%A9%20");
    EXPECT_EQ(out.Length(), out.str().size());
}

TEST(TextBuffer, GrowsByFourAndReportsLength)
{
    TextBuffer buffer;
    uint32_t length = AppendFormat(buffer, "%s", "abc");
    EXPECT_EQ(length, 3u);
    EXPECT_GE(buffer.Capacity(), 260u); // the formatter makes room for a typical line at once
    uint32_t before = buffer.Capacity();
    std::string filler(before - buffer.Length(), 'x');
    buffer.Append(filler);
    buffer.Append('y');
    EXPECT_GE(buffer.Capacity(), before * 4);
    EXPECT_EQ(buffer.Data()[buffer.Length()], '\0');
}

TEST(Utf, ConversionsAndCuts)
{
    EXPECT_EQ(Utf8ToUtf16("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), u"a\u00e9\u20ac\U0001F600");
    EXPECT_EQ(Utf16ToUtf8(u"a\u00e9\u20ac\U0001F600"), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    // malformed input becomes U+FFFD, one per bad byte; lone surrogates too
    EXPECT_EQ(Utf8ToUtf16("\xff" "a\xc3"), u"\uFFFDa\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80"), u"\uFFFD");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
    // cuts count UTF-16 units and never split a character
    EXPECT_EQ(CutUtf8ToUnits("ab\xc3\xa9z", 3), "ab\xc3\xa9");
    EXPECT_EQ(CutUtf8ToUnits("a\xf0\x9f\x98\x80", 2), "a");
    EXPECT_EQ(CutUtf8ToUnits("a\xf0\x9f\x98\x80", 3), "a\xf0\x9f\x98\x80");
    EXPECT_EQ(CutUtf16ToUnits(u"a\U0001F600", 2), u"a");
    EXPECT_EQ(CutUtf16ToUnits(u"abc", 2), u"ab");
}

TEST(TextHelpers, Base64ReadForgivinglyAndHexDigits)
{
    struct Row {
        std::string_view base64;
        std::string_view bytes;
    } rows[] = {
        {"", ""},
        {"TWFu", "Man"},
        {"TWE=", "Ma"},                 // padding is passed over
        {"TWE", "Ma"},                  // and may be missing
        {"TQ==", "M"},
        {"T", ""},                      // one sextet holds no whole byte
        {"TW\r\nFu", "Man"},            // line breaks
        {"T W-F*u", "Man"},             // anything outside the alphabet
        {"+/+/", "\xFB\xFF\xBF"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(DecodeBase64Loosely(row.base64), row.bytes) << row.base64;

    const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
                                           {'g', -1}, {'G', -1}, {' ', -1}, {'\0', -1}, {'/', -1}, {':', -1}};
    for (const auto& [c, value] : digits)
        EXPECT_EQ(HexValue(c), value) << c;
}

TEST(Deadlines, MillisecondsLeftStopsAtZero)
{
    using Clock = std::chrono::steady_clock;
    EXPECT_EQ(MillisecondsLeft(Clock::now() - std::chrono::seconds(5)), 0);
    int left = MillisecondsLeft(Clock::now() + std::chrono::seconds(60));
    EXPECT_GT(left, 50000);
    EXPECT_LE(left, 60000);
    EXPECT_EQ(MillisecondsLeft(Clock::now() + std::chrono::hours(24 * 365)), 1 << 30); // fits a poll time-out
}

} // namespace
} // namespace tavolex
