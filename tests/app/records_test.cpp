// The records handed between processes, the command interpreter and the URL-scheme registry.
#include "app.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tavolex::app;

uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// ---------------------------------------------------------------------------------------------
// Hand-over record

TEST(HandOver, LayoutOfTheRecord)
{
    std::vector<std::string> arguments = {"/usr/bin/tavolex", "A\xC3\xA9"}; // "Aé"
    std::vector<uint8_t> record = EncodeHandOver(arguments);
    ASSERT_EQ(record.size(), 66564u);
    EXPECT_EQ(Le32At(record, 0), 2u);
    // Slot 1 starts after the count and one slot of 260 units: "A", "é", terminator.
    size_t slot1 = 4 + 520;
    EXPECT_EQ(record[slot1], 'A');
    EXPECT_EQ(record[slot1 + 1], 0);
    EXPECT_EQ(record[slot1 + 2], 0xE9);
    EXPECT_EQ(record[slot1 + 3], 0);
    EXPECT_EQ(record[slot1 + 4], 0);
    EXPECT_EQ(record[slot1 + 5], 0);
    // Unused slots are zero.
    for (size_t i = 4 + 2 * 520; i < record.size(); ++i)
        ASSERT_EQ(record[i], 0) << "byte " << i;
}

TEST(HandOver, FirstHundredTwentyEightArgumentsCutTo259Units)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < 200; ++i)
        arguments.push_back(std::to_string(i) + std::string(300, 'x'));
    auto decoded = DecodeHandOver(EncodeHandOver(arguments));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), 128u);
    for (size_t i = 0; i < 128; ++i)
        EXPECT_EQ((*decoded)[i], arguments[i].substr(0, 259)) << i;
}

TEST(HandOver, CutsNeverSplitACharacter)
{
    const std::string pair = "\xF0\x9F\x8D\x95"; // U+1F355, two UTF-16 units
    struct Case {
        std::string argument;
        std::string expected;
    } cases[] = {
        // The pair would take units 258 and 259: it is dropped whole.
        {std::string(258, 'a') + pair, std::string(258, 'a')},
        // Units 257 and 258: it fits.
        {std::string(257, 'a') + pair + "b", std::string(257, 'a') + pair},
        {"", ""},
        {std::string(259, 'z'), std::string(259, 'z')},
    };
    for (const Case& test : cases) {
        std::vector<std::string> arguments = {"tavolex", test.argument};
        auto decoded = DecodeHandOver(EncodeHandOver(arguments));
        ASSERT_TRUE(decoded);
        EXPECT_EQ((*decoded)[1], test.expected);
    }
}

TEST(HandOver, RefusesOtherSizesAndImpossibleCounts)
{
    std::vector<uint8_t> good = EncodeHandOver(std::vector<std::string>{"tavolex"});
    struct Case {
        const char* what;
        std::vector<uint8_t> record;
    };
    std::vector<Case> cases = {
        {"one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1)},
        {"one byte long", [&] { auto r = good; r.push_back(0); return r; }()},
        {"empty", {}},
        {"count 129", [&] { auto r = good; r[0] = 129; return r; }()},
        {"count -1", [&] { auto r = good; r[0] = r[1] = r[2] = r[3] = 0xFF; return r; }()},
    };
    for (const Case& test : cases)
        EXPECT_FALSE(DecodeHandOver(test.record)) << test.what;

    // A slot filled to its end without a terminator is read as 259 units.
    auto full = good;
    std::memset(full.data() + 4, 'q', 520);
    for (size_t i = 5; i < 4 + 520; i += 2)
        full[i] = 0;
    auto decoded = DecodeHandOver(full);
    ASSERT_TRUE(decoded);
    EXPECT_EQ((*decoded)[0], std::string(259, 'q'));
}

// ---------------------------------------------------------------------------------------------
// Command request and reply

TEST(CommandRequest, RoundTripAndLayout)
{
    std::vector<std::string> arguments = {"-testapi", "caf\xC3\xA9", ""};
    std::vector<uint8_t> record = EncodeCommandRequest(77, arguments);
    EXPECT_EQ(Le32At(record, 0), 0x12345678u);
    EXPECT_EQ(Le32At(record, 4), 77u);
    EXPECT_EQ(Le32At(record, 8), 3u);
    EXPECT_EQ(Le32At(record, 12), 16u); // "-testapi" as UTF-16
    EXPECT_EQ(record.size(), 12u + 4 + 16 + 4 + 8 + 4);
    auto decoded = DecodeCommandRequest(record);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->replyId, 77u);
    EXPECT_EQ(decoded->arguments, arguments);
}

TEST(CommandRequest, MalformedRecordsAreIgnored)
{
    std::vector<uint8_t> good = EncodeCommandRequest(1, std::vector<std::string>{"-version"});
    struct Case {
        const char* what;
        std::vector<uint8_t> record;
    };
    std::vector<Case> cases = {
        {"11 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 11)},
        {"other magic", [&] { auto r = good; r[0] = 0x79; return r; }()},
        {"length past the end", std::vector<uint8_t>(good.begin(), good.end() - 1)},
        {"count past the end", [&] { auto r = good; r[8] = 2; return r; }()},
        {"huge count", [&] { auto r = good; r[11] = 0x7F; return r; }()},
        {"huge length", [&] { auto r = good; r[15] = 0xFF; return r; }()},
        {"length field cut", std::vector<uint8_t>(good.begin(), good.begin() + 14)},
    };
    for (const Case& test : cases)
        EXPECT_FALSE(DecodeCommandRequest(test.record)) << test.what;

    // Exactly 12 bytes with no arguments is a request without a command.
    auto bare = DecodeCommandRequest(EncodeCommandRequest(5, std::vector<std::string>{}));
    ASSERT_TRUE(bare);
    EXPECT_TRUE(bare->arguments.empty());
    // An odd length drops its last byte.
    std::vector<uint8_t> odd = {0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 'a', 0, 'b'};
    auto decodedOdd = DecodeCommandRequest(odd);
    ASSERT_TRUE(decodedOdd);
    EXPECT_EQ(decodedOdd->arguments, std::vector<std::string>{"a"});
}

TEST(CommandReply, LayoutAndLongTexts)
{
    std::vector<uint8_t> record = EncodeCommandReply({-2, "Command Not Specified."});
    ASSERT_EQ(record.size(), 16392u);
    EXPECT_EQ(Le32At(record, 0), 0xFFFFFFFEu);
    EXPECT_EQ(Le32At(record, 4), 22u);
    EXPECT_EQ(record[8], 'C');
    EXPECT_EQ(record[8 + 44], 0); // terminator

    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {std::string(9000, 'x'), std::string(8191, 'x')},
        {std::string(8190, 'x') + "\xF0\x9F\x8D\x95", std::string(8190, 'x')},
        {"", ""},
    };
    for (const Case& test : cases) {
        auto decoded = DecodeCommandReply(EncodeCommandReply({3, test.text}));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->result, 3);
        EXPECT_EQ(decoded->text, test.expected);
    }
    EXPECT_FALSE(DecodeCommandReply(std::vector<uint8_t>(16391)));
    // A length beyond the text area stops at the terminator.
    auto bad = EncodeCommandReply({0, "ok"});
    bad[4] = bad[5] = bad[6] = bad[7] = 0xFF;
    EXPECT_EQ(DecodeCommandReply(bad)->text, "ok");
}

// ---------------------------------------------------------------------------------------------
// Command interpreter

TEST(CommandInterpreter, TextsAndResults)
{
    struct Case {
        std::vector<std::string> arguments;
        int32_t result;
        std::string text;
    } cases[] = {
        {{}, -2, "Command Not Specified."},
        {{"-version"}, 0, "2.04"},
        {{"-testapi", "x"}, 0, "API Test OK [x]."},
        {{"-testapi", "100%s"}, 0, "API Test OK [100%s]."},
        {{"-testapi"}, -1, "API Test Fail (No data)."},
        {{"-x"}, -1, "Unknown Command: -x"},
        {{"-x", "-y", "last"}, -1, "Unknown Command: last"},
        {{"-VERSION"}, -1, "Unknown Command: -VERSION"},
    };
    for (const Case& test : cases) {
        CommandReply reply = RunCommand(test.arguments);
        EXPECT_EQ(reply.result, test.result) << test.text;
        EXPECT_EQ(reply.text, test.text);
    }
}

// ---------------------------------------------------------------------------------------------
// URL-scheme handlers

std::vector<std::string>& Calls()
{
    static std::vector<std::string> calls;
    return calls;
}

void Record(void* context, std::string_view text)
{
    Calls().push_back(std::string(static_cast<const char*>(context)) + "|" + std::string(text));
}

TEST(SchemeHandlers, NameLookUp)
{
    static const char start[] = "start";
    static const char other[] = "other";
    RegisterSchemeHandler("start", Record, const_cast<char*>(start));
    RegisterSchemeHandler("other", Record, const_cast<char*>(other));
    struct Case {
        std::string url;
        std::string call; // empty: no handler runs
    } cases[] = {
        {"ostrevan.tavolex:start", "start|start"},
        {"ostrevan.tavolex://start", "start|//start"},
        {"ostrevan.tavolex://start/", "start|//start/"},
        {"ostrevan.tavolex:start?menu=4#top", "start|start?menu=4#top"},
        {"ostrevan.tavolex:other#x", "other|other#x"},
        {"ostrevan.tavolex:Start", ""},
        {"ostrevan.tavolex:starting", ""},
        {"ostrevan.tavolex:/", ""},
        {"ostrevan.tavolex:///", ""},
        {"ostrevan.tavolex:", ""},
        {"http://start", ""},
        {"start", ""},
    };
    for (const Case& test : cases) {
        Calls().clear();
        bool handled = HandleSchemeUrl(test.url);
        EXPECT_EQ(handled, !test.call.empty()) << test.url;
        if (test.call.empty())
            EXPECT_TRUE(Calls().empty()) << test.url;
        else
            EXPECT_EQ(Calls(), std::vector<std::string>{test.call}) << test.url;
    }
    UnregisterSchemeHandler("other");
    Calls().clear();
    EXPECT_FALSE(HandleSchemeUrl("ostrevan.tavolex:other"));
    EXPECT_TRUE(Calls().empty());
    UnregisterSchemeHandler("start");
}

} // namespace
