// The JSON tree, its writer and the direct JsonWriter. The reader lives in json_reader.cpp.
#include "json.h"

#include "json_index.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <type_traits>
#include <utility>

namespace tavolex {

namespace {

// Objects with more members than this get a hash index; below it a straight walk is faster.
constexpr size_t kIndexThreshold = 16;

template<class CharT>
std::basic_string_view<CharT> CutName(std::basic_string_view<CharT> name)
{
    if constexpr (std::is_same_v<CharT, char>)
        return CutUtf8ToUnits(name, kMaxJsonNameUnits);
    else
        return CutUtf16ToUnits(name, kMaxJsonNameUnits);
}

// Whether %J would copy the text unchanged: no control character, quote, slash or backslash.
template<class CharT>
bool NeedsNoEscape(std::basic_string_view<CharT> text)
{
    for (CharT c : text) {
        auto unit = static_cast<std::make_unsigned_t<CharT>>(c);
        if (unit < 32 || unit == '"' || unit == '/' || unit == '\\')
            return false;
    }
    return true;
}

// A string in quotes, escaped by the formatter's %J. Most texts need no escape at all; they are
// copied in one piece, which is what %J would do with them.
template<class CharT>
void AppendQuoted(BasicTextBuffer<CharT>& out, std::basic_string_view<CharT> text)
{
    if (NeedsNoEscape(text)) {
        out.Reserve(out.Length() + text.size() + 2);
        out.Append(CharT('"'));
        out.Append(text);
        out.Append(CharT('"'));
        return;
    }
    if constexpr (std::is_same_v<CharT, char>)
        AppendFormat(out, "\"%J\"", text);
    else
        AppendFormat(out, u"\"%J\"", text);
}

// Numbers are written with std::to_chars: the same text as "%lld" and "%f" in the C locale,
// without the cost of a printf per number.
template<class CharT>
void AppendInt64(BasicTextBuffer<CharT>& out, int64_t value)
{
    char digits[24];
    std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
    out.AppendAscii(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
}

// A number of neither kind is written as its real payload read as an integer, saturating (NaN
// gives 0), so no payload leads to undefined behaviour.
template<class CharT>
void AppendRealAsInt64(BasicTextBuffer<CharT>& out, double value)
{
    FormatArg saturating(value);
    AppendInt64(out, saturating.AsSigned());
}

template<class CharT>
void AppendReal(BasicTextBuffer<CharT>& out, double value)
{
    // "%f" of the largest double takes 309 digits, a sign, a point and six decimals.
    char text[330];
    std::to_chars_result result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    std::string_view written(text, static_cast<size_t>(result.ptr - text));
    // Finite values always have a point; "inf" and "nan" have none and stay whole.
    if (written.find('.') != std::string_view::npos) {
        written.remove_suffix(written.size() - (written.find_last_not_of('0') + 1));
        if (written.back() == '.')
            written.remove_suffix(1);
    }
    out.AppendAscii(written);
}

template<class CharT>
bool WriteValue(const BasicJsonValue<CharT>& value, BasicTextBuffer<CharT>& out)
{
    switch (value.type()) {
    case JsonValueType::Invalid: return false;
    case JsonValueType::Null: out.AppendAscii("null"); return true;
    case JsonValueType::Bool: out.AppendAscii(value.boolean() ? "true" : "false"); return true;
    case JsonValueType::String:
        AppendQuoted(out, std::basic_string_view<CharT>(value.text()));
        return true;
    case JsonValueType::Number:
        switch (value.numberKind()) {
        case JsonNumberKind::Real: AppendReal(out, value.real()); return true;
        case JsonNumberKind::Integer: AppendInt64(out, value.integer()); return true;
        case JsonNumberKind::None: break;
        }
        AppendRealAsInt64(out, value.real()); // any other kind
        return true;
    case JsonValueType::Array:
    case JsonValueType::Object: break;
    }
    bool isArray = value.type() == JsonValueType::Array;
    out.Append(CharT(isArray ? '[' : '{'));
    bool first = true;
    for (const BasicJsonValue<CharT>& element : value.Elements()) {
        if (!first)
            out.Append(CharT(','));
        first = false;
        if (!WriteValue(element, out))
            return false;
    }
    for (size_t i = 0; i < value.MemberCount(); ++i) {
        const BasicJsonMember<CharT>& member = value.MemberAt(i);
        if (!first)
            out.Append(CharT(','));
        first = false;
        // Inside an object a member without a name is written like an element.
        if (isArray || !member.name().empty()) {
            AppendQuoted(out, std::basic_string_view<CharT>(member.name()));
            out.Append(CharT(':'));
        }
        if (!WriteValue<CharT>(member, out))
            return false;
    }
    out.Append(CharT(isArray ? ']' : '}'));
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The tree

template<class CharT>
BasicJsonValue<CharT>::BasicJsonValue() = default;
template<class CharT>
BasicJsonValue<CharT>::~BasicJsonValue() = default;
template<class CharT>
BasicJsonValue<CharT>::BasicJsonValue(BasicJsonValue&& other) noexcept = default;
template<class CharT>
BasicJsonValue<CharT>& BasicJsonValue<CharT>::operator=(BasicJsonValue&& other) noexcept = default;

template<class CharT>
double BasicJsonValue<CharT>::real() const
{
    return std::bit_cast<double>(payload_);
}

template<class CharT>
int64_t BasicJsonValue<CharT>::integer() const
{
    return std::bit_cast<int64_t>(payload_);
}

template<class CharT>
int64_t BasicJsonValue<CharT>::NumberAsInt64() const
{
    if (kind_ == JsonNumberKind::Integer)
        return integer();
    return SaturatingInt64(real());
}

template<class CharT>
void BasicJsonValue<CharT>::SetNull()
{
    type_ = JsonValueType::Null;
}

template<class CharT>
void BasicJsonValue<CharT>::SetBool(bool value)
{
    type_ = JsonValueType::Bool;
    payload_ = value ? 1 : 0;
}

template<class CharT>
void BasicJsonValue<CharT>::SetReal(double value)
{
    type_ = JsonValueType::Number;
    kind_ = JsonNumberKind::Real;
    payload_ = std::bit_cast<uint64_t>(value);
}

template<class CharT>
void BasicJsonValue<CharT>::SetInteger(int64_t value)
{
    type_ = JsonValueType::Number;
    kind_ = JsonNumberKind::Integer;
    payload_ = std::bit_cast<uint64_t>(value);
}

template<class CharT>
void BasicJsonValue<CharT>::SetString(View text)
{
    type_ = JsonValueType::String;
    kind_ = JsonNumberKind::None;
    text_.assign(text);
}

template<class CharT>
void BasicJsonValue<CharT>::AdoptString(String&& text)
{
    type_ = JsonValueType::String;
    kind_ = JsonNumberKind::None;
    text_ = std::move(text);
}

template<class CharT>
void BasicJsonValue<CharT>::Clear()
{
    type_ = JsonValueType::Invalid;
    kind_ = JsonNumberKind::None;
    payload_ = 0;
    text_.clear();
    text_.shrink_to_fit();
    index_.reset();
    members_.clear();
    members_.shrink_to_fit();
    elements_.clear();
    elements_.shrink_to_fit();
}

template<class CharT>
BasicJsonValue<CharT>& BasicJsonValue<CharT>::AppendElement()
{
    return elements_.emplace_back();
}

template<class CharT>
std::optional<BasicJsonValue<CharT>> BasicJsonValue<CharT>::TakeElement(size_t index)
{
    if (index >= elements_.size())
        return std::nullopt;
    std::optional<BasicJsonValue> taken(std::move(elements_[index]));
    elements_.erase(elements_.begin() + static_cast<ptrdiff_t>(index));
    return taken;
}

template<class CharT>
auto BasicJsonValue<CharT>::FindMember(View name) -> Member*
{
    return const_cast<Member*>(std::as_const(*this).FindMember(name));
}

template<class CharT>
auto BasicJsonValue<CharT>::Index() const -> MemberIndex*
{
    if (!index_ && members_.size() > kIndexThreshold) {
        // From now on every add keeps it up to date. The list is walked from its tail so that
        // the first member of a name is the one the index keeps.
        index_ = std::make_unique<MemberIndex>();
        for (size_t i = members_.size(); i-- > 0;) {
            Member& member = *members_[i];
            index_->Insert(member, MemberIndex::Hash(member.name()), true);
        }
    }
    return index_.get();
}

template<class CharT>
auto BasicJsonValue<CharT>::FindMember(View name) const -> const Member*
{
    if (MemberIndex* index = Index())
        return index->Find(name, MemberIndex::Hash(name));
    for (const std::unique_ptr<Member>& member : members_) {
        if (member->name() == name)
            return member.get();
    }
    return nullptr;
}

template<class CharT>
auto BasicJsonValue<CharT>::AddMember(View name) -> Member&
{
    Member& member = *members_.emplace_back(std::make_unique<Member>(CutName(name)));
    if (index_)
        index_->Insert(member, MemberIndex::Hash(member.name()), false);
    return member;
}

template<class CharT>
auto BasicJsonValue<CharT>::AddMemberAtHead(View name) -> Member&
{
    Member& member = **members_.insert(members_.begin(), std::make_unique<Member>(CutName(name)));
    if (index_)
        index_->Insert(member, MemberIndex::Hash(member.name()), true);
    return member;
}

template<class CharT>
auto BasicJsonValue<CharT>::FindOrAddMember(View name) -> Member&
{
    View cut = CutName(name);
    if (MemberIndex* index = Index()) {
        // One hash for both the look-up and the insertion.
        size_t hash = MemberIndex::Hash(cut);
        if (Member* found = index->Find(cut, hash))
            return *found;
        Member& member = *members_.emplace_back(std::make_unique<Member>(cut));
        index->Insert(member, hash, false);
        return member;
    }
    if (Member* found = FindMember(cut))
        return *found;
    return AddMember(cut);
}

template<class CharT>
auto BasicJsonValue<CharT>::SetIntegerMember(View name, int64_t value) -> Member&
{
    Member& member = FindOrAddMember(name);
    member.SetInteger(value);
    return member;
}

template<class CharT>
auto BasicJsonValue<CharT>::SetStringMember(View name, View text) -> Member&
{
    Member& member = FindOrAddMember(name);
    member.SetString(text);
    return member;
}

template<class CharT>
auto BasicJsonValue<CharT>::GetStringMember(View name) const -> String
{
    const Member* member = FindMember(name);
    if (!member)
        return String();
    return String(CutName(View(member->text())));
}

template<class CharT>
void BasicJsonValue<CharT>::MoveFrom(BasicJsonValue& source)
{
    if (&source == this)
        return;
    BasicJsonValue taken(std::move(source)); // first, in case the source lives inside this value
    source.Clear();
    *this = std::move(taken);
}

template<class CharT>
JsonStatus BasicJsonValue<CharT>::Serialize(BasicTextBuffer<CharT>& out) const
{
    return WriteValue(*this, out) ? JsonStatus::Ok : JsonStatus::Failed;
}

template class BasicJsonValue<char>;
template class BasicJsonValue<char16_t>;

JsonStatus SerializeUtf8(const JsonValueW& value, TextBuffer& out)
{
    TextBufferW wide;
    JsonStatus status = value.Serialize(wide);
    out.Append(Utf16ToUtf8(wide.view()));
    return status;
}

void AppendJsonReal(TextBuffer& out, double value)
{
    AppendReal(out, value);
}

void AppendJsonReal(TextBufferW& out, double value)
{
    AppendReal(out, value);
}

// ---------------------------------------------------------------------------------------------
// JsonWriter

JsonKey::JsonKey(std::u16string_view key)
    : storage_(CutUtf8ToUnits(Utf16ToUtf8(key), kMaxJsonNameUnits)), view_(storage_)
{
}

JsonText::JsonText(const char16_t* text)
    : storage_(text ? Utf16ToUtf8(text) : std::string()), view_(storage_)
{
}

JsonText::JsonText(std::u16string_view text) : storage_(Utf16ToUtf8(text)), view_(storage_) {}

void JsonWriter::Separate()
{
    if (needComma_)
        out_.Append(',');
}

void JsonWriter::Key(const JsonKey& key)
{
    AppendFormat(out_, "\"%J\":", key.view());
}

void JsonWriter::BeginObject()
{
    Separate();
    out_.Append('{');
    needComma_ = false;
}

void JsonWriter::BeginObject(const JsonKey& key)
{
    Separate();
    Key(key);
    out_.Append('{');
    needComma_ = false;
}

void JsonWriter::BeginArray()
{
    Separate();
    out_.Append('[');
    needComma_ = false;
}

void JsonWriter::BeginArray(const JsonKey& key)
{
    Separate();
    Key(key);
    out_.Append('[');
    needComma_ = false;
}

// A closing bracket never takes a comma in front: the comma separates items, and "{...,}" is not
// JSON.
void JsonWriter::EndObject()
{
    out_.Append('}');
    needComma_ = true;
}

void JsonWriter::EndArray()
{
    out_.Append(']');
    needComma_ = true;
}

void JsonWriter::Integer(int32_t value)
{
    Separate();
    AppendFormat(out_, "%d", value);
    needComma_ = true;
}

void JsonWriter::Integer(const JsonKey& key, int32_t value)
{
    Separate();
    AppendFormat(out_, "\"%J\":%d", key.view(), value);
    needComma_ = true;
}

void JsonWriter::Int64(int64_t value)
{
    Separate();
    AppendFormat(out_, "%lld", value);
    needComma_ = true;
}

void JsonWriter::Int64(const JsonKey& key, int64_t value)
{
    Separate();
    AppendFormat(out_, "\"%J\":%lld", key.view(), value);
    needComma_ = true;
}

void JsonWriter::Real(double value)
{
    Separate();
    AppendReal(out_, value);
    needComma_ = true;
}

void JsonWriter::Real(const JsonKey& key, double value)
{
    Separate();
    Key(key);
    AppendReal(out_, value);
    needComma_ = true;
}

void JsonWriter::String(const JsonText& value)
{
    Separate();
    AppendFormat(out_, "\"%J\"", value.view());
    needComma_ = true;
}

void JsonWriter::String(const JsonKey& key, const JsonText& value)
{
    Separate();
    AppendFormat(out_, "\"%J\":\"%J\"", key.view(), value.view());
    needComma_ = true;
}

void JsonWriter::Bool(bool value)
{
    Separate();
    out_.Append(value ? "true" : "false");
    needComma_ = true;
}

void JsonWriter::Bool(const JsonKey& key, bool value)
{
    Separate();
    Key(key);
    out_.Append(value ? "true" : "false");
    needComma_ = true;
}

void JsonWriter::Null()
{
    Separate();
    out_.Append("null");
    needComma_ = true;
}

void JsonWriter::Null(const JsonKey& key)
{
    Separate();
    Key(key);
    out_.Append("null");
    needComma_ = true;
}

} // namespace tavolex
