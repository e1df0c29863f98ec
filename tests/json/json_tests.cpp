// The JSON reader, the tree writer, the tree operations and JsonWriter.
#include "json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace tavolex {
namespace {

class RecordingSink : public ErrorSink {
public:
    void ReportError(std::string_view report) override { reports.emplace_back(report); }
    std::vector<std::string> reports;
};

std::string Serialized(const JsonValue& value, JsonStatus expected = JsonStatus::Ok)
{
    TextBuffer out;
    EXPECT_EQ(value.Serialize(out), expected);
    return out.Take();
}

std::string Repeat(std::string_view piece, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += piece;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reader: each row is a text and either its serialised tree or the report it gives.

struct ParseRow {
    std::string_view input;
    std::string_view serialized; // when the parse succeeds
    std::string_view report;     // when it fails ("" for the silent failure)
    bool ok;
};

constexpr ParseRow Good(std::string_view input, std::string_view serialized)
{
    return {input, serialized, {}, true};
}
constexpr ParseRow Bad(std::string_view input, std::string_view report)
{
    return {input, {}, report, false};
}

TEST(JsonReader, ReadsAndWritesBackEachRow)
{
    using namespace std::string_view_literals;
    const ParseRow rows[] = {
        // Plain JSON comes back compact.
        Good(R"([1,"x",true,null])", R"([1,"x",true,null])"),
        Good(" {\"a\" : 1,\t\"b\":[ 1, 2.5,3 ]\r\n}\n", R"({"a":1,"b":[1,2.5,3]})"),
        Good(R"({"a":{"b":{"c":[[],{}]}}})", R"({"a":{"b":{"c":[[],{}]}}})"),
        Good("\x01\x1f [1]\x0b\x0c", "[1]"), // 1..32 are blanks
        // Numbers: digits only are integers, saturating; everything else is a real.
        Good(R"({"n":007})", R"({"n":7})"),
        Good(R"({"n":99999999999999999999})", R"({"n":9223372036854775807})"),
        Good(R"({"n":9223372036854775807})", R"({"n":9223372036854775807})"),
        Good(R"({"a":-1})", R"({"a":-1})"),
        Good("[12ab,1.5x,-5,2e3,1.5e1,0.1,-0.25,+3,.5,100.0]", "[12,1.5,-5,2000,15,0.1,-0.25,3,0.5,100]"),
        Good("[1 2\t3\r4\n5]", "[1,2,3,4,5]"),
        Good("[trueish,falsey,nullx,true]", "[true,false,null,true]"),
        // Repeated keys: a value overwrites, a bracket reuses and extends.
        Good(R"({"a":1,"a":2})", R"({"a":2})"),
        Good(R"({"a":{"x":1},"a":{"y":2}})", R"({"a":{"x":1,"y":2}})"),
        Good(R"({"a":{"x":1},"a":5})", R"({"a":5})"),
        Good(R"({"a":[1],"a":{"y":2}})", R"({"a":{1,"y":2}})"),
        // Values without a key, or with an empty one, become unnamed elements.
        Good(R"({"":1,"b":2})", R"({1,"b":2})"),
        Good(R"({"":{"b":1}})", R"({{"b":1}})"),
        Good(R"({1,"a":2,3})", R"({1,3,"a":2})"),
        // Arrays: a string followed by ":" is a key; elements are written before members.
        Good(R"(["k":1,2])", R"([2,"k":1])"),
        Good(R"(["k" : "v", "w"])", R"(["w","k":"v"])"),
        Good(R"(["a","b"])", R"(["a","b"])"),
        // After a key one character is passed over unread, whatever it is.
        Good(R"({"a"=1,"b" ; 2})", R"({"a":1,"b":2})"),
        Good(R"({"a" 1})", "{}"),
        Good(R"({"a"})", "{}"),
        // Closing brackets end the level whichever kind they are; the end of text ends all.
        Good(R"({"a":1)", R"({"a":1})"),
        Good(R"({"a":[1,{"b":2)", R"({"a":[1,{"b":2}]})"),
        Good(R"({"a":1])", R"({"a":1})"),
        Good("[1,2}", "[1,2]"),
        Good("[1]] trailing text", "[1]"),
        Good("[1] , ", "[1]"),
        // The root may be any value; a top-level string is a key, so it needs an empty key.
        Good("1", "1"),
        Good("null", "null"),
        Good(R"("":"x")", R"("x")"),
        // String escapes.
        Good(R"({"s":"a\\"})", R"({"s":"a\\"})"),
        Good(R"(["\"\/\\\b\f\n\r\t"])", R"(["\"\/\\\b\f\n\r\t"])"),
        Good(R"(["a\qb\'c"])", R"(["abc"])"),
        Good(R"(["a\\\"b"])", R"(["a\\\"b"])"),
        Good("[\"a\\\xC3\xA9\\\xF0\x9F\x98\x80\\\xE2\x82\xAC" "b\"]", R"(["ab"])"), // whole characters (found by fuzzing)

        Good(R"({"s":"\u00e9"})", "{\"s\":\"\xC3\xA9\"}"),
        Good(R"(["\u0041\u00E9\u20ac\u0001"])", "[\"A\xC3\xA9\xE2\x82\xAC\\u0001\"]"),
        Good(R"(["\u0000"])", R"(["\u0000"])"),
        // Surrogates: a pair is one character; a lone half is U+FFFD.
        Good(R"(["\uD83D\uDE00"])", "[\"\xF0\x9F\x98\x80\"]"),
        Good(R"(["\uD83D"])", "[\"\xEF\xBF\xBD\"]"),
        Good(R"(["\uDE00x"])", "[\"\xEF\xBF\xBDx\"]"),
        Good(R"(["\uD83D\u0041"])", "[\"\xEF\xBF\xBD" "A\"]"),
        Good(R"(["\uD83D\q\uDE00"])", "[\"\xF0\x9F\x98\x80\"]"), // "\q" decodes to nothing
        Good(R"(["\uD83D\uD83D\uDE00\uDE00"])", "[\"\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD\"]"),
        Good(R"(["\uD83Dx\uDE00"])", "[\"\xEF\xBF\xBDx\xEF\xBF\xBD\"]"),
        // Raw bytes, malformed UTF-8 included, are kept as they are.
        Good("[\"\xC3\",\"\xE2\x82\"]", "[\"\xC3\",\"\xE2\x82\"]"),
        // A NUL ends the text.
        Good("[1]\0[2]"sv, "[1]"),
        Good("[1,\0 2]"sv, "[1]"),

        // Failures, with the place the reader stopped.
        Bad(R"({"a":1}{"b":2})", "Error near(1:14): Must be exactly one root value."),
        Bad("", "Error near(1:0): Must be exactly one root value."),
        Bad(" \r\n ", "Error near(2:1): Must be exactly one root value."),
        Bad(R"("x")", "Error near(1:3): Must be exactly one root value."),
        Bad("[1],[2]", "Error near(1:7): Must be exactly one root value."),
        Bad("1 2", "Error near(1:3): Must be exactly one root value."),
        Bad(R"("a":1)", ""),
        Bad(R"({"s":"\uZZ00"})", "Error near(1:8): Character isn't in range [0; F]"),
        Bad(R"(["\u12G4"])", "Error near(1:6): Character isn't in range [0; F]"),
        Bad(R"(["\u00"])", "Error near(1:6): Character isn't in range [0; F]"),
        Bad(R"({"s":"abc})", "Error near(1:10): String isn't delimited by double quote."),
        Bad(R"(["abc\"])", "Error near(1:8): String isn't delimited by double quote."),
        Bad("[\"ab\0cd\"]"sv, "Error near(1:4): String isn't delimited by double quote."),
        Bad("[1]\x7f", "Error near(1:3): Failed to parse value."), // 127 is not a blank
        Bad("[1 ,2]", "Error near(1:3): Failed to parse value."), // only a comma right after a value
        Bad("[,1]", "Error near(1:1): Failed to parse value."),
        Bad("[1,,2]", "Error near(1:3): Failed to parse value."),
        Bad("[tru]", "Error near(1:1): Failed to parse value."),
        Bad(R"({"a":"b":"c"})", "Error near(1:8): Failed to parse value."),
        Bad("{\n\"a\":\r\n[1,\r2,x]}", "Error near(4:2): Failed to parse value."),
        Bad("[\"\xC3\xA9\xF0\x9F\x98\x80\",x]", "Error near(1:7): Failed to parse value."),
        // The character passed over after a key is a whole one (found by fuzzing).
        Bad("\x02\":\"\xF0\x9F\x98\x80x\"\":\"\"", "Error near(1:6): Failed to parse value."),
        Bad("\"1D\"\xDC\x87", "Error near(1:5): Must be exactly one root value."),

    };
    for (const ParseRow& row : rows) {
        SCOPED_TRACE(std::string(row.input));
        JsonValue root;
        RecordingSink sink;
        JsonReader reader;
        JsonStatus status = reader.Parse(root, row.input, &sink);
        if (row.ok) {
            ASSERT_EQ(status, JsonStatus::Ok);
            EXPECT_TRUE(sink.reports.empty());
            EXPECT_EQ(reader.message(), "");
            EXPECT_EQ(Serialized(root), row.serialized);
        } else {
            ASSERT_EQ(status, JsonStatus::Failed);
            if (row.report.empty()) {
                EXPECT_TRUE(sink.reports.empty());
                EXPECT_EQ(reader.message(), "");
            } else {
                ASSERT_EQ(sink.reports.size(), 1u);
                EXPECT_EQ(sink.reports[0], row.report);
                EXPECT_TRUE(row.report.ends_with(reader.message()));
            }
        }
        // The all-or-nothing face gives the same tree, or the reader's message and offset.
        ErrorOr<JsonValue> whole = ReadJson(row.input);
        ASSERT_EQ(whole.HasError(), !row.ok);
        if (row.ok) {
            EXPECT_EQ(Serialized(whole.Value()), row.serialized);
        } else {
            EXPECT_FALSE(whole.GetError().message.empty());
            if (!row.report.empty()) {
                EXPECT_EQ(whole.GetError().message, reader.message());
            }
            EXPECT_EQ(whole.GetError().offset, reader.errorOffset());
        }
    }
}

TEST(JsonReader, StoresTheKindsItReads)
{
    JsonValue root;
    ASSERT_EQ(ParseJson(root, R"({"i":7,"r":-1,"big":99999999999999999999,"t":true,"f":false,"z":null,"s":"x"})"),
              JsonStatus::Ok);
    EXPECT_EQ(root.type(), JsonValueType::Object);
    ASSERT_EQ(root.MemberCount(), 7u);
    EXPECT_EQ(root.FindMember("i")->numberKind(), JsonNumberKind::Integer);
    EXPECT_EQ(root.FindMember("i")->integer(), 7);
    EXPECT_EQ(root.FindMember("r")->numberKind(), JsonNumberKind::Real);
    EXPECT_EQ(root.FindMember("r")->real(), -1.0);
    EXPECT_EQ(root.FindMember("big")->integer(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(root.FindMember("t")->type(), JsonValueType::Bool);
    EXPECT_TRUE(root.FindMember("t")->boolean());
    EXPECT_FALSE(root.FindMember("f")->boolean());
    EXPECT_EQ(root.FindMember("z")->type(), JsonValueType::Null);
    EXPECT_EQ(root.GetStringMember("s"), "x");

    // A repeated key leaves one member.
    ASSERT_EQ(ParseJson(root, R"({"a":1,"a":2})"), JsonStatus::Ok);
    ASSERT_EQ(root.MemberCount(), 1u);
    EXPECT_EQ(root.MemberAt(0).integer(), 2);
}

TEST(JsonReader, KeepsWhatItBuiltBeforeAFailure)
{
    JsonValue root;
    root.SetStringMember("old", "gone");
    ASSERT_EQ(ParseJson(root, R"({"a":1,"b":[2,x]})"), JsonStatus::Failed);
    EXPECT_EQ(root.type(), JsonValueType::Invalid);
    EXPECT_EQ(root.FindMember("old"), nullptr);
    ASSERT_EQ(root.ElementCount(), 1u);
    EXPECT_EQ(root.Element(0).FindMember("a")->integer(), 1);
    EXPECT_EQ(Serialized(root.Element(0)), R"({"a":1,"b":[2]})");
}

TEST(JsonReader, CutsNamesAndTokens)
{
    struct Row {
        std::string key;
        std::string stored;
    };
    const std::string smile = "\xF0\x9F\x98\x80"; // two UTF-16 units
    const Row rows[] = {
        {Repeat("a", 300), Repeat("a", 259)},
        {Repeat("\xC3\xA9", 259), Repeat("\xC3\xA9", 259)}, // 518 bytes but 259 units
        {Repeat(smile, 200), Repeat(smile, 129)},           // 258 units: a pair is never split
        {Repeat("a", 258) + smile, Repeat("a", 258)},
    };
    for (const Row& row : rows) {
        JsonValue root;
        ASSERT_EQ(ParseJson(root, "{\"" + row.key + "\":1,\"" + row.key + "\":2}"), JsonStatus::Ok);
        ASSERT_EQ(root.MemberCount(), 1u); // the cut key still finds its member
        EXPECT_EQ(root.MemberAt(0).name(), row.stored);
        EXPECT_EQ(root.MemberAt(0).integer(), 2);
    }

    // Only the first 259 characters of a bare token are read.
    JsonValue root;
    ASSERT_EQ(ParseJson(root, "[" + Repeat("0", 258) + "12]"), JsonStatus::Ok);
    EXPECT_EQ(root.Element(0).integer(), 1);
    ASSERT_EQ(ParseJson(root, "[" + Repeat("9", 400) + "]"), JsonStatus::Ok);
    EXPECT_EQ(root.Element(0).integer(), std::numeric_limits<int64_t>::max());
}

TEST(JsonReader, LimitsNesting)
{
    // Exactly at the limit: read, written back and destroyed without trouble.
    std::string deepest = Repeat("[", kMaxJsonDepth) + Repeat("]", kMaxJsonDepth);
    {
        JsonValue root;
        ASSERT_EQ(ParseJson(root, deepest), JsonStatus::Ok);
        EXPECT_EQ(Serialized(root), deepest);
    }
    {
        JsonValue root;
        std::string objects = Repeat("{\"a\":", kMaxJsonDepth - 1) + "{}" + Repeat("}", kMaxJsonDepth - 1);
        ASSERT_EQ(ParseJson(root, objects), JsonStatus::Ok);
        EXPECT_EQ(Serialized(root), objects);
    }
    // One more level fails where it opens.
    struct Row {
        std::string input;
        std::string report;
    };
    const Row rows[] = {
        {Repeat("[", kMaxJsonDepth + 1), "Error near(1:512): Nesting is too deep."},
        {Repeat("[", 100000), "Error near(1:512): Nesting is too deep."},
        {"{\"k\":\n" + Repeat("{\"a\":", kMaxJsonDepth), "Error near(2:2555): Nesting is too deep."},
    };
    for (const Row& row : rows) {
        JsonValue root;
        RecordingSink sink;
        ASSERT_EQ(ParseJson(root, row.input, &sink), JsonStatus::Failed);
        ASSERT_EQ(sink.reports.size(), 1u);
        EXPECT_EQ(sink.reports[0], row.report);
    }
}

// ---------------------------------------------------------------------------------------------
// Writer of the tree

TEST(JsonSerialize, WritesNumbersAndEmptyTexts)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        double real;
        JsonNumberKind kind;
        std::string_view text;
    };
    const Row rows[] = {
        {12.5, JsonNumberKind::Real, "12.5"},
        {3.0, JsonNumberKind::Real, "3"},
        {-0.25, JsonNumberKind::Real, "-0.25"},
        {100.0, JsonNumberKind::Real, "100"},
        {0.1234567, JsonNumberKind::Real, "0.123457"},
        {1e-7, JsonNumberKind::Real, "0"},
        {1e20, JsonNumberKind::Real, "100000000000000000000"},
        {inf, JsonNumberKind::Real, "inf"},
        // A number of neither kind is its real read as an integer, saturating.
        {3.9, JsonNumberKind::None, "3"},
        {-3.9, JsonNumberKind::None, "-3"},
        {1e300, JsonNumberKind::None, "9223372036854775807"},
        {-1e300, JsonNumberKind::None, "-9223372036854775808"},
        {nan, JsonNumberKind::None, "0"},
        {inf, static_cast<JsonNumberKind>(7), "9223372036854775807"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        JsonValue value;
        value.SetReal(row.real);
        value.SetNumberKind(row.kind);
        EXPECT_EQ(Serialized(value), row.text);
    }

    JsonValue value;
    value.SetInteger(-5);
    EXPECT_EQ(Serialized(value), "-5");
    value.SetInteger(std::numeric_limits<int64_t>::min());
    EXPECT_EQ(Serialized(value), "-9223372036854775808");
    value.SetString("");
    EXPECT_EQ(Serialized(value), R"("")");
    value.SetBool(false);
    EXPECT_EQ(Serialized(value), "false");
    EXPECT_EQ(Serialized(JsonValue()), "{}"); // a fresh value is an empty Object
}

TEST(JsonSerialize, WritesElementsBeforeMembers)
{
    JsonValue object;
    object.SetIntegerMember("b", 2);
    object.AppendElement().SetString("e");
    object.AddMember("").SetInteger(3); // an empty name is left out inside an object
    object.SetStringMember("s", "q\"/\n");
    EXPECT_EQ(Serialized(object), R"({"e","b":2,3,"s":"q\"\/\n"})");

    JsonValue array;
    array.SetType(JsonValueType::Array);
    array.AddMember("").SetNull(); // but kept inside an array
    array.AddMember("k").SetType(JsonValueType::Array);
    array.AppendElement().SetReal(0.5);
    EXPECT_EQ(Serialized(array), R"([0.5,"":null,"k":[]])");
}

TEST(JsonSerialize, StopsAtAnInvalidValue)
{
    JsonValue array;
    array.SetType(JsonValueType::Array);
    array.AppendElement().SetInteger(1);
    array.AppendElement().SetType(JsonValueType::Invalid);
    array.AppendElement().SetInteger(3);
    EXPECT_EQ(Serialized(array, JsonStatus::Failed), "[1,");

    JsonValue object;
    object.SetIntegerMember("a", 1);
    object.AddMember("b").AddMember("c").SetType(JsonValueType::Invalid);
    EXPECT_EQ(Serialized(object, JsonStatus::Failed), R"({"a":1,"b":{"c":)");

    JsonValue invalid;
    invalid.SetType(JsonValueType::Invalid);
    EXPECT_EQ(Serialized(invalid, JsonStatus::Failed), "");
}

// ---------------------------------------------------------------------------------------------
// Tree operations

TEST(JsonTree, TakesElements)
{
    JsonValue array;
    ASSERT_EQ(ParseJson(array, R"([10,{"a":[1,2]},30])"), JsonStatus::Ok);
    std::optional<JsonValue> taken = array.TakeElement(1);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(Serialized(*taken), R"({"a":[1,2]})");
    EXPECT_EQ(Serialized(array), "[10,30]");
    EXPECT_FALSE(array.TakeElement(2).has_value());
    EXPECT_FALSE(array.TakeElement(SIZE_MAX).has_value());
    taken = array.TakeElement(1);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->integer(), 30);
    EXPECT_EQ(Serialized(array), "[10]");
}

TEST(JsonTree, MovesValues)
{
    JsonValue source;
    ASSERT_EQ(ParseJson(source, R"({"a":[1,{"b":"c"}],"d":2.5})"), JsonStatus::Ok);
    JsonValue destination;
    destination.SetStringMember("old", "x");
    destination.AppendElement();
    destination.MoveFrom(source);
    EXPECT_EQ(Serialized(destination), R"({"a":[1,{"b":"c"}],"d":2.5})");
    EXPECT_EQ(source.type(), JsonValueType::Invalid);
    EXPECT_EQ(source.MemberCount() + source.ElementCount(), 0u);

    // From a value that lives inside the destination.
    destination.MoveFrom(destination.FindMember("a")->Element(1));
    EXPECT_EQ(Serialized(destination), R"({"b":"c"})");

    // Into a member: its name stays, its value changes.
    JsonValue holder;
    JsonMember& member = holder.AddMember("m");
    JsonValue text;
    text.SetString("t");
    member.MoveFrom(text);
    EXPECT_EQ(member.name(), "m");
    EXPECT_EQ(Serialized(holder), R"({"m":"t"})");
}

TEST(JsonTree, AddsAndFindsMembers)
{
    // Small and large objects (the latter are looked up through an index) behave the same.
    for (size_t count : {3u, 40u}) {
        SCOPED_TRACE(count);
        JsonValue object;
        std::vector<JsonMember*> added;
        for (size_t i = 0; i < count; ++i)
            added.push_back(&object.AddMember("m" + std::to_string(i)));
        // References stay valid while the list grows.
        for (size_t i = 0; i < count; ++i)
            EXPECT_EQ(object.FindMember("m" + std::to_string(i)), added[i]);
        EXPECT_EQ(object.FindMember("M0"), nullptr); // names are case-sensitive

        // A second member of a name at the end is not found; one at the head is.
        JsonMember& late = object.AddMember("m1");
        EXPECT_EQ(object.FindMember("m1"), added[1]);
        JsonMember& head = object.AddMemberAtHead("m1");
        EXPECT_EQ(object.FindMember("m1"), &head);
        EXPECT_EQ(&object.MemberAt(0), &head);
        EXPECT_EQ(&object.MemberAt(object.MemberCount() - 1), &late);

        // Find-or-add finds the first, or adds at the end.
        EXPECT_EQ(&object.FindOrAddMember("m2"), added[2]);
        size_t before = object.MemberCount();
        JsonMember& fresh = object.FindOrAddMember("new");
        EXPECT_EQ(object.MemberCount(), before + 1);
        EXPECT_EQ(&object.MemberAt(before), &fresh);
        EXPECT_EQ(fresh.type(), JsonValueType::Object);
        EXPECT_EQ(object.FindMember("new"), &fresh);
    }
}

TEST(JsonTree, IndexesBigObjectsFaithfully)
{
    // Duplicates made before the index exists: the first stays the one found.
    JsonValue object;
    std::vector<JsonMember*> firsts;
    for (int i = 0; i < 30; ++i)
        firsts.push_back(&object.AddMember("d" + std::to_string(i % 10)));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(object.FindMember("d" + std::to_string(i)), firsts[static_cast<size_t>(i)]);

    // The reader's repeated keys in a big object overwrite in place.
    std::string text = "{";
    for (int i = 0; i < 100; ++i)
        text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += "\"k5\":\"x\",\"k99\":{\"a\":1},\"k99\":{\"b\":2}}";
    JsonValue root;
    ASSERT_EQ(ParseJson(root, text), JsonStatus::Ok);
    EXPECT_EQ(root.MemberCount(), 100u);
    EXPECT_EQ(root.GetStringMember("k5"), "x");
    EXPECT_EQ(&root.MemberAt(5), root.FindMember("k5"));
    EXPECT_EQ(Serialized(*root.FindMember("k99")), R"({"a":1,"b":2})");
}

TEST(JsonTree, SetsAndGetsMembers)
{
    JsonValue object;
    object.SetIntegerMember("n", -7);
    object.SetIntegerMember("n", int32_t{-2147483647 - 1});
    object.SetStringMember("s", "first");
    object.SetStringMember("s", "second");
    EXPECT_EQ(object.MemberCount(), 2u);
    EXPECT_EQ(object.FindMember("n")->integer(), -2147483648LL);
    EXPECT_EQ(object.FindMember("s")->numberKind(), JsonNumberKind::None);
    EXPECT_EQ(object.GetStringMember("s"), "second");
    EXPECT_EQ(object.GetStringMember("n"), ""); // no text
    EXPECT_EQ(object.GetStringMember("missing"), "");

    // Texts read back are cut to 259 units, never inside a character.
    const std::string euro = "\xE2\x82\xAC";
    object.SetStringMember("long", Repeat("x", 258) + euro + "tail");
    EXPECT_EQ(object.GetStringMember("long"), Repeat("x", 258) + euro);
    object.SetStringMember("pair", Repeat("x", 258) + "\xF0\x9F\x98\x80");
    EXPECT_EQ(object.GetStringMember("pair"), Repeat("x", 258));
    EXPECT_EQ(object.FindMember("pair")->text().size(), 262u); // the tree keeps it whole

    // Names given to the tree operations are cut the same way.
    JsonMember& member = object.AddMember(Repeat("y", 258) + euro + "z");
    EXPECT_EQ(member.name(), Repeat("y", 258) + euro);
    EXPECT_EQ(&object.FindOrAddMember(Repeat("y", 258) + euro + "other"), &member);
}

// ---------------------------------------------------------------------------------------------
// The wide build

TEST(JsonWide, ReadsAndWritesNonAscii)
{
    const std::u16string text = u"{\"name\":\"Caf\u00e9 \u20ac\U0001F600 \u043C\u0435\u043D\u044E\","
                                u"\"n\":[1,2.5,-3],\"e\":\"\\u00e9\\uD83D\\uDE00\\/\"}";
    JsonValueW root;
    JsonReader reader;
    ASSERT_EQ(reader.Parse(root, text), JsonStatus::Ok);
    EXPECT_EQ(root.GetStringMember(u"name"), u"Caf\u00e9 \u20ac\U0001F600 \u043C\u0435\u043D\u044E");
    EXPECT_EQ(root.GetStringMember(u"e"), u"\u00e9\U0001F600/");
    TextBufferW wide;
    ASSERT_EQ(root.Serialize(wide), JsonStatus::Ok);
    const std::u16string expected = u"{\"name\":\"Caf\u00e9 \u20ac\U0001F600 \u043C\u0435\u043D\u044E\","
                                    u"\"n\":[1,2.5,-3],\"e\":\"\u00e9\U0001F600\\/\"}";
    EXPECT_EQ(wide.str(), expected);
    TextBuffer utf8;
    ASSERT_EQ(SerializeUtf8(root, utf8), JsonStatus::Ok);
    EXPECT_EQ(utf8.str(), Utf16ToUtf8(expected));

    // The same text read by the narrow build gives the same UTF-8.
    JsonValue narrow;
    ASSERT_EQ(ParseJson(narrow, Utf16ToUtf8(text)), JsonStatus::Ok);
    EXPECT_EQ(Serialized(narrow), utf8.str());

    // Units are stored as they come, lone surrogates included; errors read the same.
    ASSERT_EQ(ParseJson(root, u"[\"\\uD83D\"]"), JsonStatus::Ok);
    EXPECT_EQ(root.Element(0).text(), std::u16string(1, char16_t(0xD83D)));
    RecordingSink sink;
    ASSERT_EQ(reader.Parse(root, u"[\"\u00e9\",\n\u00e9x]", &sink), JsonStatus::Failed);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0], "Error near(2:0): Failed to parse value.");
    sink.reports.clear();
    ASSERT_EQ(reader.Parse(root, u"\x02\":\"\U0001F600x\"\":\"\"", &sink), JsonStatus::Failed);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0], "Error near(1:6): Failed to parse value.");
    ASSERT_EQ(ParseJson(root, u"[\"a\\\U0001F600\\\u00e9b\"]"), JsonStatus::Ok);
    EXPECT_EQ(root.Element(0).text(), u"ab"); // an unknown escape drops a whole pair
    ASSERT_EQ(ParseJson(root, std::u16string_view(u"[1]\0[2]", 7)), JsonStatus::Ok);
    ASSERT_EQ(ParseJson(root, u"{\"" + std::u16string(300, u'\u00e9') + u"\":1}"), JsonStatus::Ok);
    EXPECT_EQ(root.MemberAt(0).name(), std::u16string(259, u'\u00e9'));
}

// ---------------------------------------------------------------------------------------------
// JsonWriter

TEST(JsonWriter, WritesGoldenText)
{
    TextBuffer out;
    JsonWriter w(out);
    w.BeginObject();
    w.Integer("errorcode", 200);
    w.String("errormsg", "a\"b/\t");
    w.BeginArray("list");
    w.Integer(-2147483647 - 1);
    w.Int64(9223372036854775807LL);
    w.Real(12.5);
    w.Real(3.0);
    w.Bool(true);
    w.Null();
    w.String("x");
    w.BeginObject();
    w.EndObject();
    w.BeginArray();
    w.EndArray();
    w.EndArray();
    w.Int64("big", -9223372036854775807LL - 1);
    w.Real("r", -0.125);
    w.Bool("k", false);
    w.Null("n");
    w.String(u"w\u00e9", u"\u20ac\U0001F600");
    w.BeginObject(u"o");
    EXPECT_FALSE(w.needComma());
    w.String("s", std::string_view("nul\0x", 5));
    EXPECT_TRUE(w.needComma());
    w.EndObject();
    w.EndObject();
    EXPECT_EQ(out.str(), "{\"errorcode\":200,\"errormsg\":\"a\\\"b\\/\\t\",\"list\":[-2147483648,"
                         "9223372036854775807,12.5,3,true,null,\"x\",{},[]],\"big\":-9223372036854775808,"
                         "\"r\":-0.125,\"k\":false,\"n\":null,\"w\xC3\xA9\":\"\xE2\x82\xAC\xF0\x9F\x98\x80\","
                         "\"o\":{\"s\":\"nul\\u0000x\"}}");

    // The text it writes reads back to the same text.
    JsonValue root;
    ASSERT_EQ(ParseJson(root, out.view()), JsonStatus::Ok);
    EXPECT_EQ(Serialized(root), out.str());
}

TEST(JsonWriter, CutsWideKeys)
{
    TextBuffer out;
    JsonWriter w(out);
    w.Integer(std::u16string(300, u'\u00e9'), 1);
    EXPECT_EQ(out.str(), "\"" + Repeat("\xC3\xA9", 259) + "\":1");
    out.Clear();
    JsonWriter narrow(out);
    narrow.Integer(Repeat("k", 300), 1); // a UTF-8 key is written whole
    EXPECT_EQ(out.Length(), 300u + 4u);
}

} // namespace
} // namespace tavolex
