// Characters as the text layer handles them: UTF-8 decoded as the layout counts characters, code
// page 1252 for the standard fonts, and the hexadecimal forms of glyph ids and Unicode values that
// content streams and ToUnicode maps carry.
#pragma once

#include <string>
#include <string_view>

namespace tavolex::pdf {

// UTF-8 to code points; a malformed sequence becomes U+FFFD and reading goes on after its first
// byte.
std::u32string DecodeUtf8(std::string_view text);

// Code page 1252 for the standard fonts' WinAnsiEncoding; '?' for what it cannot hold.
unsigned char ToWinAnsi(char32_t c);

// Four lower-case hexadecimal digits: a glyph id in a content stream or a CMap.
void AppendHex4(std::string& out, unsigned value);
// A Unicode value as CMap destination bytes: one UTF-16 unit, or a surrogate pair.
void AppendUnicodeHex(std::string& out, char32_t value);

} // namespace tavolex::pdf
