// Request parsing: every parser walks its input with one TextCursor.
#include "http_parse.h"

#include "core.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace tavolex::web::http {

namespace {

using TextCursor = BasicTextCursor<char>;

bool IsWordByte(unsigned char c) { return c > 32; }
bool IsBlankByte(unsigned char c) { return c < 33; }

// The URL decoder counts a character that is not a hex digit as 0.
int HexDigitOrZero(char c) { return std::max(HexValue(c), 0); }

bool IsAscii(std::string_view text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}


// Decimal digits after optional blanks, saturating; nullopt when there is no digit.
std::optional<int64_t> ParseRangeNumber(std::string_view text)
{
    TextCursor cursor(text);
    cursor.ConsumeWhile([](unsigned char c) { return c == ' ' || c == '\t'; });
    std::string_view digits = cursor.ConsumeWhile([](unsigned char c) { return c >= '0' && c <= '9'; });
    if (digits.empty())
        return std::nullopt;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t value = 0;
    for (char c : digits) {
        int digit = c - '0';
        if (value > (kMax - digit) / 10)
            return kMax;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

RequestLine ParseRequestLine(std::string_view line)
{
    RequestLine result;
    TextCursor cursor(line);
    result.method = std::string(cursor.ConsumeWhile(IsWordByte).substr(0, kFieldLimit));
    cursor.ConsumeWhile(IsBlankByte);
    std::string_view target = cursor.ConsumeWhile(IsWordByte);
    result.targetLength = target.size();
    result.target = std::string(target.substr(0, kFieldLimit));
    cursor.ConsumeWhile(IsBlankByte);
    cursor.ConsumeUntil('/');
    if (cursor.ConsumeSpecific('/')) {
        // atof never reads locale-dependent text here: the program keeps the C locale.
        std::string version(cursor.ConsumeWhile(IsWordByte).substr(0, kFieldLimit));
        result.version = std::strtod(version.c_str(), nullptr);
    }
    return result;
}

std::optional<size_t> FindLineEnd(std::string_view data, size_t searchFrom)
{
    size_t end = data.find("\r\n", searchFrom);
    if (end == std::string_view::npos)
        return std::nullopt;
    return end;
}

std::string CleanText(std::string_view bytes, size_t maxUnits)
{
    if (IsAscii(bytes))
        return std::string(bytes.substr(0, maxUnits));
    std::string clean = Utf16ToUtf8(Utf8ToUtf16(bytes));
    if (maxUnits == std::string::npos)
        return clean;
    return std::string(CutUtf8ToUnits(clean, maxUnits));
}

HeaderLine ParseHeaderLine(std::string_view line)
{
    std::string text = CleanText(line);
    TextCursor cursor(text);
    HeaderLine header;
    std::string_view name = cursor.ConsumeUntil(':');
    header.name = std::string(CutUtf8ToUnits(name, kFieldLimit));
    if (cursor.ConsumeSpecific(':')) {
        cursor.ConsumeWhile([](unsigned char c) { return c <= 32; });
        header.value = std::string(CutUtf8ToUnits(cursor.Rest(), kFieldLimit));
    }
    return header;
}

std::string UrlDecode(std::string_view text, size_t maxBytes)
{
    std::string out;
    out.reserve(std::min(text.size(), maxBytes));
    TextCursor cursor(text);
    while (!cursor.AtEnd() && out.size() < maxBytes) {
        char c = cursor.Next();
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (cursor.Remaining() < 2)
                break;
            int high = HexDigitOrZero(cursor.Next());
            int low = HexDigitOrZero(cursor.Next());
            auto byte = static_cast<char>(high * 16 + low);
            if (byte != '\0')
                out += byte;
        } else {
            out += c;
        }
    }
    return out;
}

std::string ForLog(std::string_view text) { return tavolex::ForLog(text); }

void ParseForm(std::string_view text, ParameterMap& parameters)
{
    TextCursor cursor(text);
    while (!cursor.AtEnd()) {
        std::string_view piece = cursor.ConsumeUntil('&');
        cursor.ConsumeSpecific('&');
        TextCursor pieceCursor(piece);
        std::string_view name = pieceCursor.ConsumeUntil('=');
        pieceCursor.ConsumeSpecific('=');
        std::string decodedName = CleanText(UrlDecode(name));
        if (decodedName.empty())
            continue;
        parameters.emplace(std::move(decodedName), CleanText(UrlDecode(pieceCursor.Rest())));
    }
}

void ParseCookies(std::string_view header, CookieMap& cookies)
{
    TextCursor cursor(header);
    while (!cursor.AtEnd()) {
        // Every turn consumes at least one byte: a name byte, the "=" or the ";".
        std::string_view name = cursor.ConsumeWhile([](unsigned char c) { return c != '=' && c != ';'; });
        cursor.ConsumeSpecific('=');
        std::string_view value = cursor.ConsumeUntil(';');
        cursor.ConsumeSpecific(';');
        cursor.ConsumeWhile([](unsigned char c) { return c <= 32; });
        std::string cleanName = CleanText(name, kFieldLimit);
        if (cleanName.empty())
            continue;
        std::string cutValue = CleanText(value, kFieldLimit);
        cookies[std::move(cleanName)] = CleanText(UrlDecode(cutValue));
    }
}

ByteRange ParseRange(std::string_view header, int64_t size)
{
    TextCursor cursor(header);
    size_t equals = header.find('=');
    if (equals != std::string_view::npos)
        cursor.Restore(equals + 1);
    std::optional<int64_t> first = ParseRangeNumber(cursor.ConsumeUntil('-'));
    std::optional<int64_t> second;
    if (cursor.ConsumeSpecific('-'))
        second = ParseRangeNumber(cursor.Rest());

    ByteRange range;
    if (first) {
        range.start = *first;
        range.end = second ? *second : size - 1;
    } else {
        int64_t suffix = second.value_or(0); // "bytes=-" asks for no byte at all
        range.end = size - 1;
        range.start = suffix <= size ? size - suffix : 0;
    }
    if (range.end > size - 1)
        range.end = size - 1;
    range.satisfiable = range.end >= range.start;
    return range;
}

bool IsLocalHost(std::string_view host)
{
    TextCursor cursor(host);
    std::string_view name;
    if (cursor.NextIs('[')) {
        cursor.ConsumeUntil(']');
        if (!cursor.ConsumeSpecific(']'))
            return false;
        name = host.substr(0, cursor.Position());
    } else {
        name = cursor.ConsumeUntil(':');
    }
    if (cursor.ConsumeSpecific(':')) {
        std::string_view port = cursor.ConsumeWhile([](unsigned char c) { return c >= '0' && c <= '9'; });
        if (port.empty() || port.size() > 5)
            return false;
    }
    if (!cursor.AtEnd())
        return false;
    return EqualsIgnoringAsciiCase(name, "localhost") || name == "127.0.0.1" || name == "[::1]";
}

bool IsOwnOrigin(std::string_view origin, uint16_t port)
{
    std::string portText = std::to_string(port);
    return origin == "http://localhost:" + portText || origin == "http://127.0.0.1:" + portText ||
           origin == "http://[::1]:" + portText;
}

bool IfNoneMatchMatches(std::string_view header, std::string_view entityTag)
{
    auto isSpace = [](unsigned char c) { return c == ' ' || c == '\t'; };
    TextCursor cursor(header);
    for (;;) {
        cursor.ConsumeWhile([&](unsigned char c) { return isSpace(c) || c == ','; });
        if (cursor.AtEnd())
            return false;
        if (cursor.ConsumeSpecific('*'))
            return true;
        if (cursor.NextIs("W/"))
            cursor.Skip(2);
        if (!cursor.ConsumeSpecific('"')) {
            cursor.ConsumeUntil(','); // not an entity tag: it matches nothing
            continue;
        }
        std::string_view tag = cursor.ConsumeUntil('"');
        if (cursor.ConsumeSpecific('"') && tag == entityTag)
            return true;
        cursor.ConsumeUntil(',');
    }
}

bool IsAllowedFetchSite(std::string_view site) { return site == "same-origin" || site == "none"; }

int64_t ParseContentLength(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (INT64_MAX - 9) / 10)
            return negative ? -1 : INT64_MAX;
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

} // namespace tavolex::web::http
