// The request parsers, the content-type table and the gzip member, table by table.
#include "http_parse.h"
#include "listener.h"
#include "web.h"

#include "gunzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

using namespace tavolex::web;

TEST(RequestLine, MethodTargetAndVersion)
{
    struct Row {
        std::string_view line;
        std::string_view method;
        std::string_view target;
        double version;
    } rows[] = {
        {"GET /index.html HTTP/1.1", "GET", "/index.html", 1.1},
        {"POST /api/menu/save HTTP/1.0", "POST", "/api/menu/save", 1.0},
        {"get / HTTP/1.1", "get", "/", 1.1},
        {" GET / HTTP/1.1", "", "GET", 0.0}, // a leading space leaves the method empty
        {"GET\t\t/a   HTTP/2", "GET", "/a", 2.0},
        {"GET /a", "GET", "/a", 0.0},                    // no version at all
        {"GET /a junk/1.5x", "GET", "/a", 1.5},          // atof stops at the first other byte
        {"GET /a HTTP/", "GET", "/a", 0.0},
        {"", "", "", 0.0},
    };
    for (const Row& row : rows) {
        http::RequestLine parsed = http::ParseRequestLine(row.line);
        EXPECT_EQ(parsed.method, row.method) << row.line;
        EXPECT_EQ(parsed.target, row.target) << row.line;
        EXPECT_DOUBLE_EQ(parsed.version, row.version) << row.line;
    }
    std::string longTarget = "GET /" + std::string(400, 'a') + " HTTP/1.1";
    EXPECT_EQ(http::ParseRequestLine(longTarget).target.size(), 259u);
    EXPECT_EQ(http::ParseRequestLine(longTarget).targetLength, 401u); // so the caller can refuse it
}

TEST(Validators, IfNoneMatchComparesWholeEntityTags)
{
    struct Row {
        std::string_view header;
        bool matches;
    } rows[] = {
        {"\"1234-10\"", true},
        {"W/\"1234-10\"", true},                 // weak comparison, as RFC 9110 asks for GET
        {"\"a\", \"1234-10\"", true},
        {" ,\t\"1234-10\" , ", true},
        {"*", true},
        {"\"11234-10\"", false},                 // holds the tag, but is another one
        {"\"1234-100\"", false},
        {"1234-10", false},                      // without quotes it is no entity tag
        {"\"1234-10", false},                     // the closing quote is missing
        {"\"a,1234-10\"", false},                // a comma inside a tag does not split it
        {"bogus, \"1234-10\"", true},
        {"", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(http::IfNoneMatchMatches(row.header, "1234-10"), row.matches) << row.header;
}

TEST(RequestLine, LineEndsOnlyAtCarriageReturnLineFeed)
{
    struct Row {
        std::string_view data;
        std::optional<size_t> end;
    } rows[] = {
        {"GET / HTTP/1.1\r\n", 14},
        {"a\r\r\nb", 2},     // CR CR LF: the first CR belongs to the line
        {"a\rb\r\n", 3},     // CR followed by another byte: both kept
        {"a\nb\r\n", 3},     // a lone LF is an ordinary byte
        {"abc", std::nullopt},
        {"abc\r", std::nullopt},
        {"\r\n", 0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(http::FindLineEnd(row.data), row.end) << row.data;
}

TEST(Headers, NameAndValue)
{
    struct Row {
        std::string_view line;
        std::string_view name;
        std::string_view value;
    } rows[] = {
        {"Content-Length: 12", "Content-Length", "12"},
        {"content-length:12", "content-length", "12"},
        {"Host:\t  localhost:1090 ", "Host", "localhost:1090 "},
        {"NoColon", "NoColon", ""},
        {"X: a: b", "X", "a: b"},
        {": empty name", "", "empty name"},
        {"Bad: \xff\xfe", "Bad", "\xEF\xBF\xBD\xEF\xBF\xBD"}, // not UTF-8: U+FFFD each
    };
    for (const Row& row : rows) {
        http::HeaderLine header = http::ParseHeaderLine(row.line);
        EXPECT_EQ(header.name, row.name) << row.line;
        EXPECT_EQ(header.value, row.value) << row.line;
    }
    http::HeaderLine longHeader = http::ParseHeaderLine("Cookie: " + std::string(300, 'v'));
    EXPECT_EQ(longHeader.value.size(), 259u);
}

TEST(Decoding, UrlDecode)
{
    struct Row {
        std::string_view in;
        std::string_view out;
    } rows[] = {
        {"/a%2Fb%00c", "/a/bc"},   // the escaped zero byte is dropped
        {"a+b%20c", "a b c"},
        {"%41%6a%6A", "Ajj"},
        {"%zz1", "1"},             // "zz" counts as 0 0: a zero byte, dropped
        {"%4", ""},                // fewer than two characters after "%" ends decoding
        {"ab%", "ab"},
        {"%C3%A9t%C3%A9", "\xC3\xA9t\xC3\xA9"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(http::UrlDecode(row.in), row.out) << row.in;
    EXPECT_EQ(http::UrlDecode("abcdef", 3), "abc");
}

TEST(Decoding, LogTextHasNoControlCharacters)
{
    EXPECT_EQ(http::ForLog("a\nb\r\tc\x7f\xC3\xA9"), "a?b??c?\xC3\xA9");
    EXPECT_EQ(http::ForLog(http::UrlDecode("/x%0A12:00:00 forged")), "/x?12:00:00 forged");
}

TEST(Decoding, FormPieces)
{
    struct Row {
        std::string_view in;
        std::vector<std::pair<std::string, std::string>> entries; // in map order
    } rows[] = {
        {"a=1&a=2&=3", {{"a", "1"}, {"a", "2"}}},
        {"name=J%C3%BCrg+K&x", {{"name", "J\xC3\xBCrg K"}, {"x", ""}}},
        {"&&b=%3D%26", {{"b", "=&"}}},
        {"%00=1&c=%FF", {{"c", "\xEF\xBF\xBD"}}}, // a name that decodes to nothing is skipped
        {"", {}},
    };
    for (const Row& row : rows) {
        ParameterMap parameters;
        http::ParseForm(row.in, parameters);
        std::vector<std::pair<std::string, std::string>> got(parameters.begin(), parameters.end());
        EXPECT_EQ(got, row.entries) << row.in;
    }
}

TEST(Decoding, Cookies)
{
    struct Row {
        std::string_view in;
        std::map<std::string, std::string> cookies;
    } rows[] = {
        {"x=1; tavolexs_sess=abc%20d", {{"x", "1"}, {"tavolexs_sess", "abc d"}}},
        {"a=1;a=2", {{"a", "2"}}},                 // a repeated name replaces
        {"=v; b=2", {{"b", "2"}}},                 // an empty name is skipped
        {"flag; c=%C3%A9", {{"flag", ""}, {"c", "\xC3\xA9"}}},
        {"d=x=y", {{"d", "x=y"}}},
        {";;  ;", {}},
    };
    for (const Row& row : rows) {
        CookieMap cookies;
        http::ParseCookies(row.in, cookies);
        EXPECT_EQ(cookies, row.cookies) << row.in;
    }
}

TEST(Ranges, OneRangeOfATenByteFile)
{
    struct Row {
        std::string_view header;
        bool satisfiable;
        int64_t start;
        int64_t end;
    } rows[] = {
        {"bytes=0-0", true, 0, 0},
        {"bytes=2-5", true, 2, 5},
        {"bytes=3-", true, 3, 9},
        {"bytes=-4", true, 6, 9},
        {"bytes=-40", true, 0, 9},      // a suffix longer than the file is the whole file
        {"bytes=5-400", true, 5, 9},    // an end past the file is the last byte
        {"bytes=20-", false, 20, 9},
        {"bytes=10-10", false, 10, 9},
        {"bytes=6-3", false, 6, 3},
        {"bytes=-0", false, 10, 9},
        {"bytes=-", false, 10, 9},
        {"bytes=0-1,5-6", true, 0, 1},  // only one range is served
        {"bytes=99999999999999999999999-", false, INT64_MAX, 9},
    };
    for (const Row& row : rows) {
        http::ByteRange range = http::ParseRange(row.header, 10);
        EXPECT_EQ(range.satisfiable, row.satisfiable) << row.header;
        EXPECT_EQ(range.start, row.start) << row.header;
        EXPECT_EQ(range.end, row.end) << row.header;
    }
    EXPECT_FALSE(http::ParseRange("bytes=0-", 0).satisfiable); // an empty file has no byte 0
}

TEST(Origins, HostOriginAndFetchSite)
{
    struct HostRow {
        std::string_view host;
        bool local;
    } hosts[] = {
        {"localhost", true}, {"localhost:1090", true}, {"LOCALHOST:80", true},
        {"127.0.0.1", true}, {"127.0.0.1:65535", true}, {"[::1]", true}, {"[::1]:1090", true},
        {"evil.example", false}, {"localhost.evil.example", false}, {"127.0.0.1.nip.io", false},
        {"localhost:", false}, {"localhost:12a", false}, {"localhost:123456", false},
        {"127.0.0.2", false}, {"[::1", false}, {"", false},
    };
    for (const HostRow& row : hosts)
        EXPECT_EQ(http::IsLocalHost(row.host), row.local) << row.host;

    EXPECT_TRUE(http::IsOwnOrigin("http://localhost:1090", 1090));
    EXPECT_TRUE(http::IsOwnOrigin("http://127.0.0.1:1090", 1090));
    EXPECT_TRUE(http::IsOwnOrigin("http://[::1]:1090", 1090)); // the server listens there too
    EXPECT_FALSE(http::IsOwnOrigin("http://[::1]:1091", 1090));
    EXPECT_FALSE(http::IsOwnOrigin("http://localhost:1091", 1090)); // another local program
    EXPECT_FALSE(http::IsOwnOrigin("https://localhost:1090", 1090));
    EXPECT_FALSE(http::IsOwnOrigin("null", 1090));
    EXPECT_FALSE(http::IsOwnOrigin("http://evil.example", 1090));

    EXPECT_TRUE(http::IsAllowedFetchSite("same-origin"));
    EXPECT_TRUE(http::IsAllowedFetchSite("none"));
    EXPECT_FALSE(http::IsAllowedFetchSite("same-site"));
    EXPECT_FALSE(http::IsAllowedFetchSite("cross-site"));
}

TEST(ContentTypes, TableAndFallback)
{
    struct Row {
        std::string_view name;
        std::string_view type;
        bool cacheable;
        bool isInline;
    } rows[] = {
        {"/w/index.html", "text/html", true, true},
        {"app.JS", "text/javascript", true, true},
        {"a.b/style.css", "text/css", true, true},
        {"logo.JPEG", "image/jpeg", true, true},
        {"menu.pdf", "application/pdf", false, false},
        {"font.woff2", "application/font-woff2", true, true},
        {"site.webmanifest", "application/manifest+json", true, true},
        {"data.XYZ", "application/octet-stream", false, false},
        {"folder.js/README", "application/octet-stream", false, false},
        {"C:\\x\\pic.svg", "image/svg+xml", true, true},
    };
    for (const Row& row : rows) {
        ContentType type = LookUpContentType(row.name);
        EXPECT_EQ(type.type, row.type) << row.name;
        EXPECT_EQ(type.cacheable, row.cacheable) << row.name;
        EXPECT_EQ(type.isInline, row.isInline) << row.name;
    }
}

TEST(Gzip, MemberLayout)
{
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "body { color: #" + std::to_string(i) + "; }\n";
    std::string member = GzipMember(text, 0x11223344);
    ASSERT_GT(member.size(), 18u);
    const auto byte = [&member](size_t i) { return static_cast<unsigned char>(member[i]); };
    EXPECT_EQ(byte(0), 0x1F);
    EXPECT_EQ(byte(1), 0x8B);
    EXPECT_EQ(byte(2), 8);     // deflate
    EXPECT_EQ(byte(3), 0);     // no flags
    EXPECT_EQ(byte(4), 0x44);  // modification time, little-endian
    EXPECT_EQ(byte(7), 0x11);
    EXPECT_EQ(byte(8), 2);     // the best level
    EXPECT_EQ(byte(9), 0);     // operating system byte
    size_t n = member.size();
    uint32_t length = byte(n - 4) | byte(n - 3) << 8 | byte(n - 2) << 16 | static_cast<uint32_t>(byte(n - 1)) << 24;
    EXPECT_EQ(length, text.size());

    // zlib's own gzip reader takes it and checks the CRC.
    EXPECT_EQ(tavolex::testing::Gunzip(member, text.size()), text);
}

} // namespace
