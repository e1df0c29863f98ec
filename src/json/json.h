// json: the JSON tree that API request bodies are read into and answers are written from.
//
// A request body is read in one pass into a tree of JsonValue records (JsonReader); an answer is
// written either from such a tree (Serialize) or straight into a TextBuffer with a JsonWriter.
// Output is compact: no white space, numbers without trailing zeros, strings escaped by the
// formatter's %J.
//
// The reader is forgiving on purpose, because the browser interface relies on it: the end of
// the text closes every open bracket, a closing bracket of either kind ends the current level,
// arrays may hold "key":value members, and a bare word that starts like a number is read as far
// as it converts ("12ab" is 12). It fails only on the faults it names, and reports where.
//
// Two builds share the code: UTF-8 (JsonValue, JsonMember) for request bodies and most answers,
// and UTF-16 (JsonValueW, JsonMemberW) for the few places that work on wide text.
//
//     JsonValue body;
//     if (ParseJson(body, text, &sink) == JsonStatus::Ok) name = body.GetStringMember("name");
//     TextBuffer out; JsonWriter w(out);
//     w.BeginObject(); w.Integer("errorcode", 200); w.EndObject(); // {"errorcode":200}
#pragma once

#include "core.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex {

enum class JsonValueType : uint32_t {
    Invalid = 0,
    Null = 1,
    Number = 2,
    String = 3,
    Bool = 4,
    Array = 5,
    Object = 6,
};

// How a Number's payload is read. Any kind but Real and Integer is written as the real payload
// converted to a 64-bit integer.
enum class JsonNumberKind : uint32_t {
    None = 0,
    Real = 1,
    Integer = 2,
};

enum class JsonStatus {
    Ok = 0,
    Failed = 2,
};

// Member names, bare tokens and texts read back with GetStringMember hold at most this many
// UTF-16 units (in the narrow build: as many as the UTF-8 text would take in UTF-16); longer
// input is cut, never inside a character.
inline constexpr size_t kMaxJsonNameUnits = kTextFieldUnits;
inline constexpr size_t kMaxJsonTokenLength = kTextFieldUnits; // characters of a bare token that are read
// Brackets may nest this deep. The reader, the writer and the destructor all recurse once per
// level; 512 levels stay far inside a thread's stack (even under AddressSanitizer) and far
// beyond anything the browser interface sends (menus nest four or five levels).
inline constexpr int kMaxJsonDepth = 512;

template<class CharT>
class BasicJsonMember;
namespace json_detail {
template<class CharT>
class MemberIndex;
}

// One node of the tree. A fresh value is an empty Object. A value holds two lists: named members
// (in insertion order; a member stays at the same address while more are added, so callers may
// keep references) and unnamed elements (held by value; a reference to an element is
// invalidated by the next AppendElement or TakeElement on the same value). Arrays use the
// elements and objects the members, but the reader can give either kind both.
template<class CharT>
class BasicJsonValue {
public:
    using String = std::basic_string<CharT>;
    using View = std::basic_string_view<CharT>;
    using Member = BasicJsonMember<CharT>;

    BasicJsonValue();
    ~BasicJsonValue();
    BasicJsonValue(BasicJsonValue&& other) noexcept;
    BasicJsonValue& operator=(BasicJsonValue&& other) noexcept;
    BasicJsonValue(const BasicJsonValue&) = delete;
    BasicJsonValue& operator=(const BasicJsonValue&) = delete;

    JsonValueType type() const { return type_; }
    JsonNumberKind numberKind() const { return kind_; }
    double real() const;
    int64_t integer() const;
    bool boolean() const { return (payload_ & 0xFF) != 0; }
    // The number as the writer reads it: the integer for kind Integer, otherwise the real
    // payload converted to 64 bits (saturating; NaN gives 0).
    int64_t NumberAsInt64() const;
    // The String value (empty when there is none).
    const String& text() const { return text_; }

    // Each setter sets the type and the payload; lists are left alone.
    void SetType(JsonValueType type) { type_ = type; }
    // For numbers built by hand: the writer reads any kind but Real and Integer as the real
    // payload converted to an integer.
    void SetNumberKind(JsonNumberKind kind) { kind_ = kind; }
    void SetNull();
    void SetBool(bool value);
    void SetReal(double value);
    void SetInteger(int64_t value);
    void SetString(View text);
    void AdoptString(String&& text); // takes the text over without a copy
    // Lists emptied, text dropped, type Invalid, kind None, payload zero.
    void Clear();

    // Unnamed elements.
    size_t ElementCount() const { return elements_.size(); }
    BasicJsonValue& Element(size_t index) { return elements_[index]; }
    const BasicJsonValue& Element(size_t index) const { return elements_[index]; }
    std::span<BasicJsonValue> Elements() { return elements_; }
    std::span<const BasicJsonValue> Elements() const { return elements_; }
    // Appends an empty Object and returns it.
    BasicJsonValue& AppendElement();
    // Removes the element at `index` (later ones move down) and hands it over; nothing when the
    // index is at or past the count.
    std::optional<BasicJsonValue> TakeElement(size_t index);

    // Named members, in list order.
    size_t MemberCount() const { return members_.size(); }
    Member& MemberAt(size_t index) { return *members_[index]; }
    const Member& MemberAt(size_t index) const { return *members_[index]; }
    // The first member whose name equals `name` exactly (case-sensitive), or nullptr.
    Member* FindMember(View name);
    const Member* FindMember(View name) const;
    // A new member (an empty Object) at the end of the list, or at its head. The name is cut to
    // kMaxJsonNameUnits.
    Member& AddMember(View name);
    Member& AddMemberAtHead(View name);
    // Find (with the name cut as AddMember would cut it), else add at the end.
    Member& FindOrAddMember(View name);
    // Find-or-add, then the member becomes a Number of kind Integer or a String.
    Member& SetIntegerMember(View name, int64_t value);
    Member& SetStringMember(View name, View text);
    // The member's text cut to kMaxJsonNameUnits, or empty when it is missing or has no text.
    String GetStringMember(View name) const;

    // This value's lists are freed, then it takes over everything `source` holds; the source is
    // left Invalid with empty lists. A source that lives inside this value is handled: it is
    // taken out before the old lists go. The destination must not live inside the source.
    void MoveFrom(BasicJsonValue& source);

    // Appends the compact JSON text. Failed when a value of type Invalid is met (the text
    // written up to it stays in `out`).
    JsonStatus Serialize(BasicTextBuffer<CharT>& out) const;

private:
    using MemberIndex = json_detail::MemberIndex<CharT>;
    // Builds the index when the list has outgrown a straight walk; nullptr while it has not.
    MemberIndex* Index() const;

    JsonValueType type_ = JsonValueType::Object;
    JsonNumberKind kind_ = JsonNumberKind::None;
    uint64_t payload_ = 0; // the bits of the double, the int64, or the Bool byte
    String text_;
    std::vector<std::unique_ptr<Member>> members_;
    // Built once an object has many members, so that finding a name stays fast in big bodies.
    // Maps each name to the first member of that name. Built by a const lookup too, so two
    // threads must not read one value at the same time.
    mutable std::unique_ptr<MemberIndex> index_;
    std::vector<BasicJsonValue> elements_;
};

// A named member: a value and its name (at most kMaxJsonNameUnits units).
template<class CharT>
class BasicJsonMember : public BasicJsonValue<CharT> {
public:
    using typename BasicJsonValue<CharT>::View;
    using typename BasicJsonValue<CharT>::String;

    explicit BasicJsonMember(View name) : name_(name) {}
    const String& name() const { return name_; }

private:
    String name_; // never changes, the owner's index views it
};

using JsonValue = BasicJsonValue<char>;
using JsonMember = BasicJsonMember<char>;
using JsonValueW = BasicJsonValue<char16_t>;
using JsonMemberW = BasicJsonMember<char16_t>;

extern template class BasicJsonValue<char>;
extern template class BasicJsonValue<char16_t>;

// Serialises a wide tree and appends its text as UTF-8.
JsonStatus SerializeUtf8(const JsonValueW& value, TextBuffer& out);

// Receives the reader's one-line report ("Error near(LINE:COLUMN): MESSAGE").
class ErrorSink {
public:
    virtual ~ErrorSink() = default;
    virtual void ReportError(std::string_view report) = 0;
};

// Reads JSON text into a tree. The root is cleared first; on failure what was built so far
// stays in it. The text ends at its first NUL character. Each failure but one gives a message
// and a report to the sink; a text whose only item is a named member ("a":1) fails silently.
class JsonReader {
public:
    JsonStatus Parse(JsonValue& root, std::string_view text, ErrorSink* sink = nullptr);
    JsonStatus Parse(JsonValueW& root, std::u16string_view text, ErrorSink* sink = nullptr);

    // The latest failure: its message (empty after a success or a silent failure), and where it
    // happened: the offset in characters, the line (from 1) and the column (from 0, in UTF-16
    // units) that the report names.
    const std::string& message() const { return message_; }
    size_t errorOffset() const { return errorOffset_; }
    int errorLine() const { return errorLine_; }
    int errorColumn() const { return errorColumn_; }

private:
    template<class CharT>
    JsonStatus ParseText(BasicJsonValue<CharT>& root, std::basic_string_view<CharT> text,
                         ErrorSink* sink);

    std::string message_;
    size_t errorOffset_ = 0;
    int errorLine_ = 0;
    int errorColumn_ = 0;
};

// The tree of a whole JSON text, or why it is not one: the reader's message and the offset (in
// bytes) where it stopped. For callers that keep nothing of a text that did not parse.
ErrorOr<JsonValue> ReadJson(std::string_view text);

inline JsonStatus ParseJson(JsonValue& root, std::string_view text, ErrorSink* sink = nullptr)
{
    return JsonReader().Parse(root, text, sink);
}
inline JsonStatus ParseJson(JsonValueW& root, std::u16string_view text, ErrorSink* sink = nullptr)
{
    return JsonReader().Parse(root, text, sink);
}

// A key for JsonWriter: UTF-8 as given, or UTF-16 converted to UTF-8 and cut to
// kMaxJsonNameUnits.
class JsonKey {
public:
    JsonKey(const char* key) : view_(key) {}
    JsonKey(std::string_view key) : view_(key) {}
    JsonKey(const std::string& key) : view_(key) {}
    JsonKey(const char16_t* key) : JsonKey(std::u16string_view(key)) {}
    JsonKey(std::u16string_view key);
    JsonKey(const std::u16string& key) : JsonKey(std::u16string_view(key)) {}
    JsonKey(const JsonKey&) = delete;
    JsonKey& operator=(const JsonKey&) = delete;
    std::string_view view() const { return view_; }

private:
    std::string storage_;
    std::string_view view_;
};

// A string value for JsonWriter: UTF-8 as given, or UTF-16 converted to UTF-8 whole.
class JsonText {
public:
    JsonText(const char* text) : view_(text ? std::string_view(text) : std::string_view()) {}
    JsonText(std::string_view text) : view_(text) {}
    JsonText(const std::string& text) : view_(text) {}
    JsonText(const char16_t* text);
    JsonText(std::u16string_view text);
    JsonText(const std::u16string& text) : JsonText(std::u16string_view(text)) {}
    JsonText(const JsonText&) = delete;
    JsonText& operator=(const JsonText&) = delete;
    std::string_view view() const { return view_; }

private:
    std::string storage_;
    std::string_view view_;
};

// Writes compact JSON straight into a buffer. Each operation first writes "," when the one
// before it finished an item; a key, when given, is written as "key": in front of the value.
//
//     JsonWriter w(out);
//     w.BeginObject(); w.Integer("errorcode", 200); w.String("errormsg", ""); w.EndObject();
//     // {"errorcode":200,"errormsg":""}
class JsonWriter {
public:
    explicit JsonWriter(TextBuffer& out) : out_(out) {}

    void BeginObject();
    void BeginObject(const JsonKey& key);
    void BeginArray();
    void BeginArray(const JsonKey& key);
    void EndObject();
    void EndArray();
    void Integer(int32_t value);
    void Integer(const JsonKey& key, int32_t value);
    void Int64(int64_t value);
    void Int64(const JsonKey& key, int64_t value);
    // "%f" with trailing zeros removed, and the point too when nothing follows it.
    void Real(double value);
    void Real(const JsonKey& key, double value);
    void String(const JsonText& value);
    void String(const JsonKey& key, const JsonText& value);
    void Bool(bool value);
    void Bool(const JsonKey& key, bool value);
    void Bool(const char*) = delete; // a key without a value would turn into true
    void Null();
    void Null(const JsonKey& key);

    bool needComma() const { return needComma_; }

private:
    void Separate();
    void Key(const JsonKey& key);

    TextBuffer& out_;
    bool needComma_ = false;
};

// Appends a real the way the tree and the writer write it ("%f", trailing zeros and then a
// trailing point removed: 12.5, 3, -0.25).
void AppendJsonReal(TextBuffer& out, double value);
void AppendJsonReal(TextBufferW& out, double value);

} // namespace tavolex
