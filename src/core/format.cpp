// AppendFormat: the program's printf. The directive grammar is "%", a run of flag characters
// (".", digits, "I", "L", "l"), then one type character. Standard types go through snprintf in
// the C locale (the program never changes LC_NUMERIC); the four escaping types are ours.
#include "core.h"

#include "platform.h"

#include <climits>
#include <cmath>
#include <cstdio>

namespace tavolex {

int64_t FormatArg::AsSigned() const
{
    switch (kind_) {
    case Kind::Signed: return signed_;
    case Kind::Unsigned: return static_cast<int64_t>(unsigned_);
    case Kind::Real: return SaturatingInt64(real_);
    case Kind::Narrow:
    case Kind::Wide: return 0;
    }
    return 0;
}

uint64_t FormatArg::AsUnsigned() const
{
    if (kind_ == Kind::Unsigned)
        return unsigned_;
    return static_cast<uint64_t>(AsSigned());
}

double FormatArg::AsReal() const
{
    switch (kind_) {
    case Kind::Signed: return static_cast<double>(signed_);
    case Kind::Unsigned: return static_cast<double>(unsigned_);
    case Kind::Real: return real_;
    case Kind::Narrow:
    case Kind::Wide: return 0;
    }
    return 0;
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

std::string DecodeBase64Loosely(std::string_view text)
{
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    uint32_t group = 0;
    int sextets = 0;
    for (char c : text) {
        int value = Base64Value(c);
        if (value < 0)
            continue; // line breaks, padding and anything else are skipped
        group = (group << 6) | static_cast<uint32_t>(value);
        if (++sextets == 4) {
            bytes += static_cast<char>((group >> 16) & 255);
            bytes += static_cast<char>((group >> 8) & 255);
            bytes += static_cast<char>(group & 255);
            group = 0;
            sextets = 0;
        }
    }
    // A final incomplete group gives the whole bytes it holds.
    if (sextets == 2) {
        bytes += static_cast<char>((group >> 4) & 255);
    } else if (sextets == 3) {
        bytes += static_cast<char>((group >> 10) & 255);
        bytes += static_cast<char>((group >> 2) & 255);
    }
    return bytes;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int64_t SaturatingInt64(double value)
{
    // Converting an out-of-range double is undefined behaviour; the ends of the range stand in.
    if (std::isnan(value))
        return 0;
    if (value >= 9223372036854775807.0)
        return INT64_MAX;
    if (value <= -9223372036854775808.0)
        return INT64_MIN;
    return static_cast<int64_t>(value);
}

// ---------------------------------------------------------------------------------------------
// UTF-8 and UTF-16

void AppendUtf8(std::string& out, char32_t c)
{
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

namespace {

// Decodes one character at `text[i]`, advancing `i`; malformed bytes give U+FFFD one at a time.
char32_t DecodeUtf8(std::string_view text, size_t& i)
{
    auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    size_t length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + length > text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0xFFFD;
    return value;
}

void AppendUtf16(std::u16string& out, char32_t c)
{
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

} // namespace

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        AppendUtf16(out, DecodeUtf8(text, i));
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string_view CutUtf8ToUnits(std::string_view text, size_t maxUnits)
{
    if (text.size() <= maxUnits)
        return text; // every character takes at least as many bytes as UTF-16 units
    size_t units = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        char32_t c = DecodeUtf8(text, i);
        units += c >= 0x10000 ? 2 : 1;
        if (units > maxUnits)
            return text.substr(0, start);
    }
    return text;
}

std::u16string_view CutUtf16ToUnits(std::u16string_view text, size_t maxUnits)
{
    if (text.size() <= maxUnits)
        return text;
    size_t cut = maxUnits;
    if (cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF)
        --cut; // keep the pair whole by leaving both halves out
    return text.substr(0, cut);
}

// ---------------------------------------------------------------------------------------------
// The formatter

namespace {

// The argument as text of the buffer's own width.
template<class CharT>
std::basic_string<CharT> ArgText(const FormatArg& arg)
{
    if constexpr (std::is_same_v<CharT, char>) {
        if (arg.kind() == FormatArg::Kind::Wide)
            return Utf16ToUtf8(arg.wide());
        return std::string(arg.narrow());
    } else {
        if (arg.kind() == FormatArg::Kind::Narrow)
            return Utf8ToUtf16(arg.narrow());
        return std::u16string(arg.wide());
    }
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

template<class CharT>
void AppendJsonBody(BasicTextBuffer<CharT>& out, std::basic_string_view<CharT> text)
{
    for (CharT c : text) {
        auto unit = static_cast<std::make_unsigned_t<CharT>>(c);
        switch (unit) {
        case 8: out.AppendAscii("\\b"); continue;
        case 9: out.AppendAscii("\\t"); continue;
        case 10: out.AppendAscii("\\n"); continue;
        case 12: out.AppendAscii("\\f"); continue;
        case 13: out.AppendAscii("\\r"); continue;
        case '"': out.AppendAscii("\\\""); continue;
        case '/': out.AppendAscii("\\/"); continue;
        case '\\': out.AppendAscii("\\\\"); continue;
        default: break;
        }
        if (unit < 32) {
            char escape[7] = {'\\', 'u', '0', '0', kHexDigits[unit >> 4], kHexDigits[unit & 15], 0};
            out.AppendAscii(escape);
        } else {
            out.Append(c);
        }
    }
}

template<class CharT>
void AppendSqlBody(BasicTextBuffer<CharT>& out, std::basic_string_view<CharT> text)
{
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\'') {
            out.Append(text.substr(start, i + 1 - start));
            out.Append(CharT('\''));
            start = i + 1;
        }
    }
    out.Append(text.substr(start));
}

// "%H": entities for the five special characters, and line breaks judged by runs: one break is
// "<br>", two are "<p>", each further break adds a "<br>" before the "<p>". The marker waits for
// the next ordinary character (or the end) so that a run is judged whole.
template<class CharT>
void AppendHtmlText(BasicTextBuffer<CharT>& out, std::basic_string_view<CharT> text)
{
    size_t breaks = 0;
    CharT runKind = 0;
    auto flushBreaks = [&] {
        if (breaks == 1) {
            out.AppendAscii("<br>");
        } else if (breaks >= 2) {
            for (size_t k = 2; k < breaks; ++k)
                out.AppendAscii("<br>");
            out.AppendAscii("<p>");
        }
        breaks = 0;
        runKind = 0;
    };
    for (CharT c : text) {
        if (c == '\r' || c == '\n') {
            if (breaks == 0)
                runKind = c;
            if (c == runKind)
                ++breaks;
            continue;
        }
        flushBreaks();
        switch (c) {
        case '"': out.AppendAscii("&quot;"); break;
        case '&': out.AppendAscii("&amp;"); break;
        case '\'': out.AppendAscii("&#39;"); break;
        case '<': out.AppendAscii("&lt;"); break;
        case '>': out.AppendAscii("&gt;"); break;
        default: out.Append(c); break;
        }
    }
    flushBreaks();
}

template<class CharT>
void AppendUrlComponent(BasicTextBuffer<CharT>& out, std::string_view utf8)
{
    for (char byte : utf8) {
        auto c = static_cast<unsigned char>(byte);
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '!' || c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out.Append(static_cast<CharT>(c));
        } else {
            char escape[4] = {'%', kHexDigits[c >> 4], kHexDigits[c & 15], 0};
            out.AppendAscii(escape);
        }
    }
}

// Builds a C format for snprintf from the collected flags and the type.
std::string CConversion(std::string_view flags, char type, bool& wide64)
{
    // Width and precision are kept; the size flags ("l", "ll", "L", "I", "I64", "I32") become
    // the C length modifier.
    std::string conversion = "%";
    std::string sizeFlags;
    for (size_t i = 0; i < flags.size(); ++i) {
        char c = flags[i];
        if (c == 'I' && (flags.substr(i + 1, 2) == "64" || flags.substr(i + 1, 2) == "32")) {
            sizeFlags += flags.substr(i, 3);
            i += 2;
        } else if (c == 'I' || c == 'l' || c == 'L') {
            sizeFlags += c;
        } else {
            conversion += c;
        }
    }
    bool isReal = type == 'e' || type == 'E' || type == 'f' || type == 'F' || type == 'g' ||
                  type == 'G';
    wide64 = !isReal && (sizeFlags == "ll" || sizeFlags == "I64" || sizeFlags == "I" ||
                         sizeFlags == "L" || sizeFlags == "Ll");
    if (wide64)
        conversion += "ll";
    conversion += type;
    return conversion;
}

// The conversion comes from CConversion, built from a fixed set of characters, so it always
// matches the argument passed for its type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
int FormatStandard(char* buffer, size_t size, const std::string& conversion, char type, bool wide64,
                   const FormatArg& arg)
{
    switch (type) {
    case 'e': case 'E': case 'f': case 'F': case 'g': case 'G':
        return std::snprintf(buffer, size, conversion.c_str(), arg.AsReal());
    case 'd': case 'i':
        if (wide64)
            return std::snprintf(buffer, size, conversion.c_str(), static_cast<long long>(arg.AsSigned()));
        return std::snprintf(buffer, size, conversion.c_str(),
                             static_cast<int>(static_cast<int32_t>(arg.AsUnsigned())));
    default:
        if (wide64)
            return std::snprintf(buffer, size, conversion.c_str(),
                                 static_cast<unsigned long long>(arg.AsUnsigned()));
        return std::snprintf(buffer, size, conversion.c_str(),
                             static_cast<unsigned>(static_cast<uint32_t>(arg.AsUnsigned())));
    }
}
#pragma GCC diagnostic pop

template<class CharT>
void AppendStandard(BasicTextBuffer<CharT>& out, std::string_view flags, char type,
                    const FormatArg& arg)
{
    if (type == 'c') { // the character itself, of the buffer's own width
        out.Append(static_cast<CharT>(arg.AsUnsigned()));
        return;
    }
    bool wide64 = false;
    std::string conversion = CConversion(flags, type, wide64);
    char small[320];
    int length = FormatStandard(small, sizeof small, conversion, type, wide64, arg);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) < sizeof small) {
        out.AppendAscii(std::string_view(small, static_cast<size_t>(length)));
        return;
    }
    // Wide fields or huge "%f" values: format again into a buffer of the right size.
    std::string big(static_cast<size_t>(length) + 1, '\0');
    FormatStandard(big.data(), big.size(), conversion, type, wide64, arg);
    big.resize(static_cast<size_t>(length));
    out.AppendAscii(big);
}

bool IsFlagChar(char32_t c)
{
    return c == '.' || (c >= '0' && c <= '9') || c == 'I' || c == 'L' || c == 'l';
}

// Widths beyond this make no sense in a message and would only let a format allocate freely.
constexpr size_t kMaxFlagLength = 257;
constexpr long kMaxFieldWidth = 4096;

// Flags with absurd numbers are clamped so one format cannot ask for gigabytes.
std::string ClampFlags(std::string_view flags)
{
    std::string out;
    size_t i = 0;
    while (i < flags.size()) {
        if (flags[i] >= '0' && flags[i] <= '9') {
            size_t start = i;
            while (i < flags.size() && flags[i] >= '0' && flags[i] <= '9')
                ++i;
            std::string_view digits = flags.substr(start, i - start);
            bool afterI = start > 0 && flags[start - 1] == 'I';
            if (!afterI && (digits.size() > 4 || std::stol(std::string(digits)) > kMaxFieldWidth))
                out += std::to_string(kMaxFieldWidth);
            else
                out += digits;
        } else {
            out += flags[i++];
        }
    }
    return out;
}

template<class CharT>
uint32_t FormatInto(BasicTextBuffer<CharT>& out, std::basic_string_view<CharT> format,
                    std::span<const FormatArg> args)
{
    // Most results fit a text field; reserving one up front saves the first growth steps.
    if (out.Capacity() < kTextFieldSlotUnits)
        out.Reserve(kTextFieldSlotUnits);
    size_t nextArg = 0;
    size_t i = 0;
    size_t literalStart = 0;
    while (i < format.size()) {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        out.Append(format.substr(literalStart, i - literalStart));
        size_t directiveStart = i++;
        std::string flags;
        while (i < format.size() && IsFlagChar(format[i])) {
            if (flags.size() < kMaxFlagLength)
                flags += static_cast<char>(format[i]);
            ++i;
        }
        if (i == format.size()) { // a format that ends inside a directive: keep the text
            out.Append(format.substr(directiveStart));
            literalStart = i;
            break;
        }
        char32_t type = format[i++];
        literalStart = i;
        if (type == '%') {
            out.Append(CharT('%'));
            continue;
        }
        bool known = type == 's' || type == 'J' || type == 'Q' || type == 'H' || type == 'U' ||
                     type == 'd' || type == 'i' || type == 'u' || type == 'x' || type == 'X' ||
                     type == 'o' || type == 'c' || type == 'e' || type == 'E' || type == 'f' ||
                     type == 'F' || type == 'g' || type == 'G';
        if (!known) {
            out.Append(format.substr(directiveStart, i - directiveStart));
            continue;
        }
        if (nextArg >= args.size())
            continue;
        const FormatArg& arg = args[nextArg++];
        bool isText = type == 's' || type == 'J' || type == 'Q' || type == 'H' || type == 'U';
        if (isText) {
            if (arg.IsNull() || (arg.kind() != FormatArg::Kind::Narrow &&
                                 arg.kind() != FormatArg::Kind::Wide))
                continue;
            switch (type) {
            case 'U':
                AppendUrlComponent(out, arg.kind() == FormatArg::Kind::Wide
                                            ? std::string_view(Utf16ToUtf8(arg.wide()))
                                            : arg.narrow());
                break;
            default: {
                // Same-width text is used in place; the other width is converted first.
                std::basic_string<CharT> converted;
                std::basic_string_view<CharT> text;
                if constexpr (std::is_same_v<CharT, char>) {
                    if (arg.kind() == FormatArg::Kind::Narrow)
                        text = arg.narrow();
                    else
                        text = converted = ArgText<CharT>(arg);
                } else {
                    if (arg.kind() == FormatArg::Kind::Wide)
                        text = arg.wide();
                    else
                        text = converted = ArgText<CharT>(arg);
                }
                if (type == 's')
                    out.Append(text);
                else if (type == 'J')
                    AppendJsonBody(out, text);
                else if (type == 'Q')
                    AppendSqlBody(out, text);
                else
                    AppendHtmlText(out, text);
                break;
            }
            }
            continue;
        }
        AppendStandard(out, ClampFlags(flags), static_cast<char>(type), arg);
    }
    out.Append(format.substr(literalStart));
    return out.Length();
}

} // namespace

uint32_t AppendFormatArgs(TextBuffer& out, std::string_view format, std::span<const FormatArg> args)
{
    return FormatInto<char>(out, format, args);
}

uint32_t AppendFormatArgs(TextBufferW& out, std::u16string_view format,
                          std::span<const FormatArg> args)
{
    return FormatInto<char16_t>(out, format, args);
}

} // namespace tavolex
