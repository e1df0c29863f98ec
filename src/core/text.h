// Text: the growable text buffer, the typed printf-like formatter (AppendFormat, Format) and
// the conversions and cuts between UTF-8 and UTF-16. Part of core's face (core.h).
//
//     TextBuffer sql;
//     AppendFormat(sql, "SELECT * FROM main.CATEGORY WHERE NAME='%Q'", name);
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tavolex {

// Growable text that keeps its own growth rule: when an append finds it full, the capacity is
// multiplied by four, so building a long answer costs few reallocations.
template<class CharT>
class BasicTextBuffer {
public:
    using String = std::basic_string<CharT>;
    using View = std::basic_string_view<CharT>;

    BasicTextBuffer() = default;
    explicit BasicTextBuffer(View initial) { Append(initial); }

    void Append(CharT c)
    {
        Reserve(text_.size() + 1);
        text_.push_back(c);
    }
    void Append(View text)
    {
        Reserve(text_.size() + text.size());
        text_.append(text);
    }
    // ASCII text into a buffer of either width.
    void AppendAscii(std::string_view ascii)
    {
        if constexpr (std::is_same_v<CharT, char>) {
            Append(ascii);
        } else {
            Reserve(text_.size() + ascii.size());
            for (char c : ascii)
                text_.push_back(static_cast<CharT>(static_cast<unsigned char>(c)));
        }
    }
    // Makes room for `total` characters in all.
    void Reserve(size_t total)
    {
        if (total <= text_.capacity())
            return;
        size_t grown = text_.capacity() < 16 ? 16 : text_.capacity();
        while (grown < total)
            grown *= 4;
        text_.reserve(grown);
    }
    void Clear() { text_.clear(); }
    void Truncate(size_t length)
    {
        if (length < text_.size())
            text_.resize(length);
    }

    const CharT* Data() const { return text_.c_str(); }
    uint32_t Length() const { return static_cast<uint32_t>(text_.size()); }
    uint32_t Capacity() const { return static_cast<uint32_t>(text_.capacity()); }
    bool IsEmpty() const { return text_.empty(); }
    View view() const { return text_; }
    const String& str() const { return text_; }
    String Take() { return std::move(text_); }

private:
    String text_;
};

using TextBuffer = BasicTextBuffer<char>;      // UTF-8
using TextBufferW = BasicTextBuffer<char16_t>; // UTF-16

// One argument of AppendFormat. Integers keep their signedness and width; a directive decides
// how many bits it reads (32 unless the flags say "ll" or "I64", or "I" for a size). Strings of
// the other width are converted between UTF-8 and UTF-16 on the way in.
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Real, Narrow, Wide };

    template<class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    FormatArg(T value)
    {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            signed_ = value;
        } else {
            kind_ = Kind::Unsigned;
            unsigned_ = value;
        }
    }
    FormatArg(bool value) : kind_(Kind::Signed), signed_(value ? 1 : 0) {}
    FormatArg(double value) : kind_(Kind::Real), real_(value) {}
    FormatArg(float value) : kind_(Kind::Real), real_(value) {}
    FormatArg(const char* text) : kind_(Kind::Narrow), isNull_(text == nullptr)
    {
        if (text)
            narrow_ = text;
    }
    FormatArg(std::string_view text) : kind_(Kind::Narrow), narrow_(text) {}
    FormatArg(const std::string& text) : kind_(Kind::Narrow), narrow_(text) {}
    FormatArg(const char16_t* text) : kind_(Kind::Wide), isNull_(text == nullptr)
    {
        if (text)
            wide_ = text;
    }
    FormatArg(std::u16string_view text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(const std::u16string& text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(std::nullptr_t) : kind_(Kind::Narrow), isNull_(true) {}

    Kind kind() const { return kind_; }
    bool IsNull() const { return isNull_; }
    int64_t AsSigned() const;
    uint64_t AsUnsigned() const;
    double AsReal() const;
    std::string_view narrow() const { return narrow_; }
    std::u16string_view wide() const { return wide_; }

private:
    Kind kind_;
    bool isNull_ = false;
    int64_t signed_ = 0;
    uint64_t unsigned_ = 0;
    double real_ = 0;
    std::string_view narrow_;
    std::u16string_view wide_;
};

uint32_t AppendFormatArgs(TextBuffer& out, std::string_view format, std::span<const FormatArg> args);
uint32_t AppendFormatArgs(TextBufferW& out, std::u16string_view format,
                          std::span<const FormatArg> args);

// Appends the formatted text and returns the buffer's new length. A directive whose argument is
// missing appends nothing; an unknown type character is copied as it stands.
template<class... Args>
uint32_t AppendFormat(TextBuffer& out, std::string_view format, const Args&... args)
{
    const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
    return AppendFormatArgs(out, format, std::span(list, sizeof...(Args)));
}
template<class... Args>
uint32_t AppendFormat(TextBufferW& out, std::u16string_view format, const Args&... args)
{
    const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
    return AppendFormatArgs(out, format, std::span(list, sizeof...(Args)));
}
// Formats into a fresh std::string.
template<class... Args>
std::string Format(std::string_view format, const Args&... args)
{
    TextBuffer out;
    AppendFormat(out, format, args...);
    return out.Take();
}

// True when the texts are equal but for the case of ASCII letters (one function for the
// settings files and everything above them).
using platform::EqualsIgnoringAsciiCase;
// The value of one hex digit of either case; -1 for any other character.
int HexValue(char c);
// The value of one character of the base64 alphabet (A-Z, a-z, 0-9, "+", "/"); -1 for any other.
int Base64Value(char c);
// The bytes of base64 text, read forgivingly: line breaks, padding and any other character
// outside the alphabet are passed over, and a last incomplete group gives what it holds whole.
std::string DecodeBase64Loosely(std::string_view text);
// A double as a 64-bit integer, saturating at the ends of the range; NaN gives 0.
int64_t SaturatingInt64(double value);

// The fixed text fields of the program's records and requests are slots of 260 UTF-16 units
// with the terminator, so they hold at most 259 units of text.
inline constexpr size_t kTextFieldSlotUnits = 260;
inline constexpr size_t kTextFieldUnits = kTextFieldSlotUnits - 1;

// UTF-8 <-> UTF-16. Malformed input becomes U+FFFD; a surrogate pair becomes one character.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Appends the UTF-8 form of one code point (a lone surrogate is written as U+FFFD).
void AppendUtf8(std::string& out, char32_t codePoint);
// Cuts UTF-8 text to at most `maxUnits` UTF-16 units, never inside a character.
std::string_view CutUtf8ToUnits(std::string_view text, size_t maxUnits);
// The same for UTF-16 text: never between the two halves of a surrogate pair.
std::u16string_view CutUtf16ToUnits(std::u16string_view text, size_t maxUnits);

} // namespace tavolex
