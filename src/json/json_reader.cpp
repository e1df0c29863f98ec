// The JSON reader. It reads the whole text as the inside of an object, one level per bracket,
// in a single pass: every value goes into the tree as soon as it is read.
//
// The grammar it accepts is wider than JSON (RFC 8259), on purpose:
// - a closing bracket of either kind ends the current level, and the end of the text ends every
//   open level without error;
// - in an array, a string followed by ":" is a key, so arrays may hold named members;
// - inside an object a value without a key, or with an empty key, becomes an unnamed element;
// - a bare word is read as true/false/null by its first letters, as an integer when it is all
//   digits, and otherwise as far as it converts to a real ("12ab" is 12, "-5" is a real).
#include "json.h"

#include "json_cursor.h"

#include <cstdlib>
#include <type_traits>

namespace tavolex {

namespace {

using json_detail::JsonCursor;

constexpr char kFailedToParseValue[] = "Failed to parse value.";
constexpr char kNotExactlyOneRoot[] = "Must be exactly one root value.";
constexpr char kStringNotDelimited[] = "String isn't delimited by double quote.";
constexpr char kNotHexDigit[] = "Character isn't in range [0; F]";
constexpr char kNestingTooDeep[] = "Nesting is too deep.";

enum class LevelMode { Object, Array };

template<class CharT>
class Reader {
public:
    using Value = BasicJsonValue<CharT>;
    using String = std::basic_string<CharT>;
    using View = std::basic_string_view<CharT>;

    explicit Reader(View text) : cursor_(text) {}

    // Reads items into `level` until its closing bracket or the end of the text. `depth` is the
    // number of brackets open around it.
    bool ReadLevel(Value& level, LevelMode mode, int depth);

    size_t position() const { return cursor_.Position(); }
    const char* failure() const { return failure_; }
    size_t failurePosition() const { return failurePosition_; }

private:
    bool Fail(const char* message, size_t position)
    {
        failure_ = message;
        failurePosition_ = position;
        return false;
    }
    // The value a key (or its absence) stands for: the named member for a non-empty key, else a
    // new unnamed element.
    static Value& TargetOf(Value& level, const String& key, bool hasKey)
    {
        if (hasKey && !key.empty())
            return level.FindOrAddMember(key);
        return level.AppendElement();
    }
    // A repeated key overwrites the earlier value whole, lists included.
    static void PrepareForScalar(Value& target)
    {
        if (target.MemberCount() != 0 || target.ElementCount() != 0 || !target.text().empty())
            target.Clear();
    }
    bool ReadStringToken(String& out);
    bool DecodeEscapes(View body, size_t bodyStart, String& out);
    bool ReadBareToken(Value& level, const String& key, bool hasKey);

    JsonCursor<CharT> cursor_;
    const char* failure_ = "";
    size_t failurePosition_ = 0;
};

template<class CharT>
bool Reader<CharT>::ReadLevel(Value& level, LevelMode mode, int depth)
{
    String key;
    bool hasKey = false;
    for (;;) {
        cursor_.SkipBlanks();
        if (cursor_.AtEnd())
            return true;
        CharT c = cursor_.Peek();
        if (c == '}' || c == ']') {
            cursor_.Skip();
            cursor_.SkipBlanks();
            cursor_.ConsumeSpecific(',');
            return true;
        }
        if (c == '{' || c == '[') {
            if (depth >= kMaxJsonDepth)
                return Fail(kNestingTooDeep, cursor_.Position());
            cursor_.Skip();
            // Under a repeated key the same member is reused and extended.
            Value& child = TargetOf(level, key, hasKey);
            hasKey = false;
            bool isObject = c == '{';
            child.SetType(isObject ? JsonValueType::Object : JsonValueType::Array);
            if (!ReadLevel(child, isObject ? LevelMode::Object : LevelMode::Array, depth + 1))
                return false;
            continue;
        }
        if (c == '"') {
            String token;
            if (!ReadStringToken(token))
                return false;
            bool isKey;
            if (mode == LevelMode::Object) {
                isKey = !hasKey;
            } else {
                cursor_.SkipBlanks();
                isKey = cursor_.Peek() == ':';
            }
            if (isKey) {
                if constexpr (std::is_same_v<CharT, char>)
                    key.assign(CutUtf8ToUnits(token, kMaxJsonNameUnits));
                else
                    key.assign(CutUtf16ToUnits(token, kMaxJsonNameUnits));
                hasKey = true;
                // The character after the key is taken to be its ":" and is not looked at.
                cursor_.SkipBlanks();
                cursor_.AdvanceCharacter();
                continue;
            }
            Value& target = TargetOf(level, key, hasKey);
            hasKey = false;
            PrepareForScalar(target);
            target.AdoptString(std::move(token));
            cursor_.ConsumeSpecific(',');
            continue;
        }
        if (!ReadBareToken(level, key, hasKey))
            return false;
        hasKey = false;
        cursor_.ConsumeSpecific(',');
    }
}

// A string token runs from its quote to the first quote not escaped by a backslash; a backslash
// escapes exactly the one character after it, so in "\\" the second backslash escapes nothing.
template<class CharT>
bool Reader<CharT>::ReadStringToken(String& out)
{
    View text = cursor_.Text();
    size_t open = cursor_.Position();
    size_t i = open + 1;
    while (i < text.size()) {
        CharT c = text[i];
        if (c == '\\') {
            i += 2;
            continue;
        }
        if (c == '"')
            break;
        ++i;
    }
    if (i >= text.size()) {
        cursor_.Restore(text.size());
        return Fail(kStringNotDelimited, text.size());
    }
    // The token is cut out between its two quotes, so it is always bound by them: the failure
    // "Text isn't bound by double quotes." of a token without them cannot happen here.
    cursor_.Restore(i + 1);
    return DecodeEscapes(text.substr(open + 1, i - open - 1), open + 1, out);
}

template<class CharT>
bool Reader<CharT>::DecodeEscapes(View body, size_t bodyStart, String& out)
{
    // Four hex digits at body[at]; a digit past the body (the closing quote) is not one.
    auto readHex4 = [&](size_t at, char32_t& unit, size_t& bad) {
        unit = 0;
        for (size_t k = at; k < at + 4; ++k) {
            CharT c = k < body.size() ? body[k] : CharT('"');
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else {
                bad = k;
                return false;
            }
            unit = (unit << 4) | static_cast<char32_t>(digit);
        }
        return true;
    };

    // Narrow build only: UTF-8 holds characters, not units, so a high surrogate waits here for
    // the low one that may follow it (escapes that decode to nothing may come between, as
    // they would in the wide build). A half without its partner becomes U+FFFD.
    char32_t pendingHigh = 0;
    auto flushPending = [&] {
        if constexpr (std::is_same_v<CharT, char>) {
            if (pendingHigh != 0)
                AppendUtf8(out, 0xFFFD);
            pendingHigh = 0;
        }
    };

    out.reserve(body.size());
    size_t k = 0;
    while (k < body.size()) {
        size_t escape = body.find(CharT('\\'), k);
        if (escape == View::npos)
            escape = body.size();
        if (escape > k) {
            flushPending();
            out.append(body.substr(k, escape - k));
        }
        k = escape;
        if (k >= body.size())
            break;
        // A backslash always has a character after it inside the body: a final one would have
        // escaped the closing quote.
        CharT code = k + 1 < body.size() ? body[k + 1] : CharT(0);
        k += 2;
        CharT simple = 0;
        switch (code) {
        case '"':
        case '/':
        case '\\': simple = code; break;
        case 'b': simple = '\b'; break;
        case 'f': simple = '\f'; break;
        case 'n': simple = '\n'; break;
        case 'r': simple = '\r'; break;
        case 't': simple = '\t'; break;
        case 'u': {
            char32_t unit;
            size_t bad = 0;
            if (!readHex4(k, unit, bad))
                return Fail(kNotHexDigit, std::min(bodyStart + bad, cursor_.Text().size()));
            k += 4;
            if constexpr (std::is_same_v<CharT, char>) {
                if (unit >= 0xDC00 && unit <= 0xDFFF && pendingHigh != 0) {
                    AppendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
                    pendingHigh = 0;
                } else {
                    flushPending();
                    if (unit >= 0xD800 && unit <= 0xDBFF)
                        pendingHigh = unit;
                    else
                        AppendUtf8(out, unit); // a lone low half is written as U+FFFD
                }
            } else {
                out += static_cast<char16_t>(unit); // the wide build keeps units as they come
            }
            break;
        }
        default:
            // An unknown escape is dropped with its character, the whole character: all of
            // its UTF-8 bytes, or both halves of a surrogate pair.
            if constexpr (std::is_same_v<CharT, char>) {
                if (static_cast<unsigned char>(code) >= 0xC0) {
                    for (int tail = 0; tail < 3 && k < body.size() &&
                                       (static_cast<unsigned char>(body[k]) & 0xC0) == 0x80;
                         ++tail)
                        ++k;
                }
            } else {
                if (code >= 0xD800 && code <= 0xDBFF && k < body.size() && body[k] >= 0xDC00 &&
                    body[k] <= 0xDFFF)
                    ++k;
            }
            break;
        }
        if (simple != 0) {
            flushPending();
            out += simple;
        }
    }
    flushPending();
    return true;
}

// A bare token runs to the next ",", "]", "}", blank, TAB, CR or LF.
template<class CharT>
bool Reader<CharT>::ReadBareToken(Value& level, const String& key, bool hasKey)
{
    size_t start = cursor_.Position();
    View token = cursor_.ConsumeUntil([](CharT c) {
        return c == ',' || c == ']' || c == '}' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
    });
    if (token.empty())
        return Fail(kFailedToParseValue, start);
    token = token.substr(0, kMaxJsonTokenLength);

    auto startsWith = [&](std::string_view word) {
        if (token.size() < word.size())
            return false;
        for (size_t i = 0; i < word.size(); ++i) {
            if (token[i] != static_cast<CharT>(word[i]))
                return false;
        }
        return true;
    };
    if (startsWith("true") || startsWith("false")) {
        Value& target = TargetOf(level, key, hasKey);
        PrepareForScalar(target);
        target.SetBool(token[0] == 't');
        return true;
    }
    if (startsWith("null")) {
        Value& target = TargetOf(level, key, hasKey);
        PrepareForScalar(target);
        target.SetNull();
        return true;
    }
    bool allDigits = true;
    for (CharT c : token)
        allDigits = allDigits && c >= '0' && c <= '9';
    if (allDigits) {
        // Unsigned digits that do not fit in 64 signed bits give the largest value.
        int64_t value = 0;
        for (CharT c : token) {
            int digit = c - '0';
            if (value > (INT64_MAX - digit) / 10) {
                value = INT64_MAX;
                break;
            }
            value = value * 10 + digit;
        }
        Value& target = TargetOf(level, key, hasKey);
        PrepareForScalar(target);
        target.SetInteger(value);
        return true;
    }
    // The leading part that converts as a real, the way "%lf" reads it (the program stays in
    // the C locale, so the point is always "."). Wide units beyond ASCII end the number.
    char buffer[kMaxJsonTokenLength + 1];
    for (size_t i = 0; i < token.size(); ++i) {
        auto unit = static_cast<std::make_unsigned_t<CharT>>(token[i]);
        if constexpr (sizeof(CharT) == 1)
            buffer[i] = static_cast<char>(unit);
        else
            buffer[i] = unit < 0x80 ? static_cast<char>(unit) : '\x7F';
    }
    buffer[token.size()] = '\0';
    char* end = nullptr;
    double real = std::strtod(buffer, &end);
    if (end == buffer)
        return Fail(kFailedToParseValue, start);
    Value& target = TargetOf(level, key, hasKey);
    PrepareForScalar(target);
    target.SetReal(real);
    return true;
}

// Line from 1, column from 0 in UTF-16 units; LF, CR and CR LF each end a line.
template<class CharT>
void LineAndColumn(std::basic_string_view<CharT> text, size_t position, int& line, int& column)
{
    line = 1;
    column = 0;
    int tailOfFourBytes = 0; // continuation bytes still to come after a 4-byte lead
    for (size_t i = 0; i < position && i < text.size(); ++i) {
        auto unit = static_cast<std::make_unsigned_t<CharT>>(text[i]);
        if (unit == '\r' || unit == '\n') {
            if (unit == '\r' && i + 1 < position && text[i + 1] == '\n')
                ++i;
            ++line;
            column = 0;
            tailOfFourBytes = 0;
        } else if constexpr (sizeof(CharT) == 1) {
            // A character takes one unit, counted at its first byte; one beyond the BMP takes a
            // second, counted at its last byte, so that a place inside such a character
            // counts as the place between its two halves would in the UTF-16 text.
            if (unit >= 0x80 && unit < 0xC0) {
                if (tailOfFourBytes > 0 && --tailOfFourBytes == 0)
                    ++column;
            } else {
                ++column;
                tailOfFourBytes = unit >= 0xF0 ? 3 : 0;
            }
        } else {
            ++column;
        }
    }
}

} // namespace

template<class CharT>
JsonStatus JsonReader::ParseText(BasicJsonValue<CharT>& root, std::basic_string_view<CharT> text,
                                 ErrorSink* sink)
{
    message_.clear();
    errorOffset_ = 0;
    errorLine_ = 0;
    errorColumn_ = 0;
    // A body is a C string to the program: a NUL ends it.
    text = text.substr(0, text.find(CharT(0)));
    root.Clear();

    Reader<CharT> reader(text);
    const char* failure = nullptr;
    size_t failurePosition = 0;
    if (!reader.ReadLevel(root, LevelMode::Object, 0)) {
        failure = reader.failure();
        failurePosition = reader.failurePosition();
    } else if (root.MemberCount() + root.ElementCount() == 1) {
        if (root.ElementCount() == 0)
            return JsonStatus::Failed; // one named member: not a value, and nothing to report
        std::optional<BasicJsonValue<CharT>> only = root.TakeElement(0);
        root.MoveFrom(*only);
        return JsonStatus::Ok;
    } else {
        failure = kNotExactlyOneRoot;
        failurePosition = reader.position();
    }

    message_ = failure;
    errorOffset_ = failurePosition;
    LineAndColumn(text, failurePosition, errorLine_, errorColumn_);
    if (sink) {
        TextBuffer report;
        AppendFormat(report, "Error near(%d:%d): %s", errorLine_, errorColumn_, message_);
        sink->ReportError(report.view());
    }
    return JsonStatus::Failed;
}

ErrorOr<JsonValue> ReadJson(std::string_view text)
{
    JsonValue root;
    JsonReader reader;
    if (reader.Parse(root, text) == JsonStatus::Ok)
        return root;
    // The one failure without a message: a text whose only item is a named member.
    return Error{reader.message().empty() ? std::string("a named member alone is not a document") : reader.message(),
                 reader.errorOffset()};
}

JsonStatus JsonReader::Parse(JsonValue& root, std::string_view text, ErrorSink* sink)
{
    return ParseText(root, text, sink);
}

JsonStatus JsonReader::Parse(JsonValueW& root, std::u16string_view text, ErrorSink* sink)
{
    return ParseText(root, text, sink);
}

} // namespace tavolex
