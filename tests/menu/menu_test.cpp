// The rules of the menu domain that need no server: e-mail addresses, prices and time zones.
#include "menu.h"

#include <gtest/gtest.h>

#include <string>

namespace tavolex::menu {
namespace {

TEST(EmailAddress, AcceptsWhatTheRulesAllowAndNothingElse)
{
    std::string local64(64, 'a');
    std::string domain255 = std::string(251, 'b') + ".com";
    struct Case {
        std::string address;
        bool valid;
    } cases[] = {
        {"a@b.c", true},
        {"first.last+menu@example.co.uk", true},
        {"!#$%&'*+-/=?^_`{|}~@x-y.z", true},
        {local64 + "@b.c", true},
        {"a@" + domain255, true},
        // the local part
        {"@b.c", false},
        {".a@b.c", false},
        {"a.@b.c", false},
        {"a..b@b.c", false},
        {local64 + "a@b.c", false},
        {"a b@b.c", false},
        {"\xC3\xA9@b.c", false},
        // the domain
        {"a@", false},
        {"a@bc", false},
        {"a@-b.c", false},
        {"a@b.c-", false},
        {"a@b.c.", false},
        {"a@.b.c", false},
        {"a@b..c", false},
        {"a@b_c.d", false},
        {"a@b@c.d", false},
        {"a@" + domain255 + "x", false},
        // the whole
        {"ab.c", false},
        {"", false},
        {local64 + "@" + domain255, true},       // 320 characters, the most there can be
        {local64 + "a@" + domain255, false},     // 321
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsValidEmailAddress(c.address), c.valid) << c.address;
}

TEST(Prices, ReadAsWholeNumbersOfTheSmallestUnit)
{
    struct Case {
        std::string_view text;
        int64_t value;
    } cases[] = {
        {"1250", 1250},
        {"12.50", 12},
        {"-5", -5},
        {"+7", 7},
        {"  \t\n42", 42},
        {"\x01" "9", 9},
        {"12,50", 12},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"- 5", 0},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", INT64_MAX},
        {"-9223372036854775808", -INT64_MAX},
        {"123456789012345678901234567890", INT64_MAX},
        {"-99999999999999999999", -INT64_MAX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadIntegerPrice(c.text), c.value) << c.text;
}

TEST(TimeZones, TheFixedKeysInOrderWithTheOffsetsTheyName)
{
    std::span<const TimeZone> zones = TimeZoneTable();
    ASSERT_EQ(zones.size(), 138u);
    EXPECT_EQ(zones.front().key, "utc-12_dst");
    EXPECT_EQ(zones[75].key, "utc330_ist");
    EXPECT_EQ(zones.back().key, "utc14_list");
    struct Case {
        std::string_view key;
        int bias; // minutes added to local time give UTC
    } cases[] = {
        {"utc-12_dst", 720}, {"utc-930_mst", 570}, {"utc-330_nst", 210}, {"utc0_gmtst", 0},
        {"utc545_nst", -345}, {"utc1030_lhst", -630}, {"utc1245_cist", -765}, {"utc14_list", -840},
    };
    for (const Case& c : cases) {
        const TimeZone* zone = FindTimeZone(c.key);
        ASSERT_NE(zone, nullptr) << c.key;
        EXPECT_EQ(zone->biasMinutes, c.bias) << c.key;
        EXPECT_EQ(zone->daylightStart.month, 0xFF) << c.key;
    }
    for (std::string_view unknown : {"UTC14_LIST", "utc14_list ", "Europe/Paris", "", "utc14"})
        EXPECT_EQ(FindTimeZone(unknown), nullptr) << unknown;
    for (size_t i = 0; i < zones.size(); ++i)
        for (size_t j = i + 1; j < zones.size(); ++j)
            EXPECT_NE(zones[i].key, zones[j].key);
}

} // namespace
} // namespace tavolex::menu
