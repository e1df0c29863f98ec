// Parsers for the pieces of an HTTP/1.x request the connection thread reads: the request line,
// header lines, URL and form decoding, cookies, the Range header, and the Host and Origin rules.
// Each works on text already received; none touches the socket.
#pragma once

#include "web.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavolex::web::http {

// Fixed text fields hold at most this many UTF-16 units; longer input is cut, not refused.
inline constexpr size_t kFieldLimit = kTextFieldUnits;

struct RequestLine {
    std::string method;
    std::string target;
    size_t targetLength = 0; // of the target as sent, before the cut to kFieldLimit
    double version = 0; // C atof of what follows the first "/" after the target; 0 when absent
};

// RFC 9112 section 3: method, target and version separated by blanks. Bytes up to 32 count as
// blanks; each of method and target keeps at most 259 bytes (the caller refuses a longer
// target rather than serving what is left of it).
RequestLine ParseRequestLine(std::string_view line);

// The end of the first line in `data`: the index of the CR of the first CR LF pair. A CR that
// is not followed by LF and a lone LF are ordinary bytes of the line.
std::optional<size_t> FindLineEnd(std::string_view data, size_t searchFrom = 0);

struct HeaderLine {
    std::string name;
    std::string value;
};

// "Name: value": the name up to the first ":" (the whole line when there is none), the value
// after it with leading bytes up to space skipped. Both are cut to 259 units; text that is not
// UTF-8 becomes U+FFFD.
HeaderLine ParseHeaderLine(std::string_view line);

// "+" is a space, "%XY" one byte (a character that is not a hex digit counts as 0), a decoded
// zero byte is dropped, a "%" with fewer than two characters after it ends the text. At most
// `maxBytes` bytes are produced.
// Content-Length as C's atoi reads it, saturating instead of overflowing.
int64_t ParseContentLength(std::string_view text);

std::string UrlDecode(std::string_view text, size_t maxBytes = std::string::npos);

// Replaces what is not UTF-8 with U+FFFD, then cuts to `maxUnits` UTF-16 units.
std::string CleanText(std::string_view bytes, size_t maxUnits = std::string::npos);

// Text from a request as it may appear in a log line: the program's one escaping for log lines
// (core's ForLog), so an escaped "%0A" in a path cannot write a line of its own into the log.
std::string ForLog(std::string_view text);

// "a=1&b=2": every piece with a non-empty decoded name adds an entry.
void ParseForm(std::string_view text, ParameterMap& parameters);

// "x=1; tavolexs_sess=abc": a pair with an empty name is skipped, a repeated name replaces.
void ParseCookies(std::string_view header, CookieMap& cookies);

// One byte range of a file of `size` bytes (RFC 7233 section 2.1).
struct ByteRange {
    bool satisfiable = false;
    int64_t start = 0;
    int64_t end = 0; // inclusive
};
ByteRange ParseRange(std::string_view header, int64_t size);

// The Host header names this machine: "localhost", "127.0.0.1" or "[::1]", with or without a
// port. An absent header is checked by the caller.
bool IsLocalHost(std::string_view host);

// The Origin is this server's own: "http://localhost:PORT", "http://127.0.0.1:PORT" or
// "http://[::1]:PORT".
bool IsOwnOrigin(std::string_view origin, uint16_t port);

// RFC 9110 section 13.1.2: If-None-Match holds "*" or a list of entity tags, each quoted and
// perhaps marked weak ("W/"); the file matches when one of them is its tag as a whole.
// `entityTag` is the tag without its quotes.
bool IfNoneMatchMatches(std::string_view header, std::string_view entityTag);

// Sec-Fetch-Site allows a route: "same-origin" or "none".
bool IsAllowedFetchSite(std::string_view site);

} // namespace tavolex::web::http
