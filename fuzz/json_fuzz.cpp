// Reads arbitrary bytes with both builds of the JSON reader, writes back what it got and reads
// that again. Beyond memory safety it checks what the rules promise:
// - a successful read never yields an Invalid value, so writing it back succeeds;
// - text written from a tree reads back to a tree that writes the same text, unless the tree
//   holds one of the few values the writer cannot express in a form the reader takes back
//   (see WritesBackExactly);
// - for valid UTF-8 without surrogate escapes, the wide build reaches the same result.
#include "json.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace tavolex;

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "json_fuzz: %s\n", what);
        std::abort();
    }
}

// Whether the text written from `value` reads back into a tree that is written the same way.
// Exceptions, all by the rules of the reader:
// - a String at the root or as an unnamed element of an Object is read back as a key;
// - a member with an empty name is read back as an unnamed element;
// - a real written as all digits reads as an integer, which saturates at 2^63 - 1;
// - a real written with more than 259 characters is cut when read back.
bool WritesBackExactly(const JsonValue& value, bool insideObject)
{
    switch (value.type()) {
    case JsonValueType::Invalid: return false;
    case JsonValueType::Null:
    case JsonValueType::Bool: return true;
    case JsonValueType::String: return !insideObject;
    case JsonValueType::Number: {
        if (value.numberKind() != JsonNumberKind::Real)
            return true;
        TextBuffer text;
        AppendJsonReal(text, value.real());
        bool allDigits = text.view().find_first_not_of("0123456789") == std::string_view::npos;
        if (allDigits && value.real() >= 9223372036854775807.0)
            return false;
        return text.Length() <= kMaxJsonTokenLength;
    }
    case JsonValueType::Array:
    case JsonValueType::Object: break;
    }
    bool isObject = value.type() == JsonValueType::Object;
    for (const JsonValue& element : value.Elements()) {
        if (!WritesBackExactly(element, isObject))
            return false;
    }
    for (size_t i = 0; i < value.MemberCount(); ++i) {
        const JsonMember& member = value.MemberAt(i);
        if (member.name().empty() || !WritesBackExactly(member, false))
            return false;
    }
    return true;
}

bool HasSurrogateEscape(std::string_view text)
{
    for (size_t i = 0; i + 2 < text.size(); ++i) {
        if (text[i] == '\\' && text[i + 1] == 'u' && (text[i + 2] == 'd' || text[i + 2] == 'D'))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);

    JsonValue first;
    JsonReader reader;
    JsonStatus status = reader.Parse(first, text);
    TextBuffer once;
    if (status == JsonStatus::Ok) {
        Require(first.Serialize(once) == JsonStatus::Ok, "a read tree failed to write");
        bool exact = WritesBackExactly(first, true);
        JsonValue second;
        JsonStatus again = ParseJson(second, once.view());
        if (exact) {
            Require(again == JsonStatus::Ok, "written text failed to read back");
            TextBuffer twice;
            Require(second.Serialize(twice) == JsonStatus::Ok, "re-read tree failed to write");
            Require(twice.view() == once.view(), "written text changed on a second round");
        }
    } else {
        // What was built before the failure is a valid tree below the cleared root.
        first.SetType(JsonValueType::Object);
        Require(first.Serialize(once) == JsonStatus::Ok, "a partial tree failed to write");
        JsonValue second;
        (void)ParseJson(second, once.view());
    }

    // The wide build agrees on text it can hold unchanged.
    std::u16string wide = Utf8ToUtf16(text);
    if (Utf16ToUtf8(wide) == text && !HasSurrogateEscape(text)) {
        JsonValueW wideRoot;
        JsonReader wideReader;
        JsonStatus wideStatus = wideReader.Parse(wideRoot, wide);
        Require(wideStatus == status, "the builds disagree on the status");
        Require(wideReader.message() == reader.message(), "the builds disagree on the message");
        Require(wideReader.errorLine() == reader.errorLine() &&
                    wideReader.errorColumn() == reader.errorColumn(),
                "the builds disagree on the place");
        if (status == JsonStatus::Ok) {
            TextBuffer utf8;
            Require(SerializeUtf8(wideRoot, utf8) == JsonStatus::Ok, "a wide tree failed to write");
            Require(utf8.view() == once.view(), "the builds wrote different text");
        }
    }
    return 0;
}
