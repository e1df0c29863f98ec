// The time zones a business may name, and the e-mail address check of business save.
#include "menu.h"

#include <array>

namespace tavolex::menu {

namespace {

// The keys name their own offset: "utc" + a signed offset in hours, or in hours and minutes as
// HMM or HHMM ("utc-930" is UTC-9:30, "utc545" UTC+5:45), + "_" + a short zone tag.
constexpr std::string_view kTimeZoneKeys[] = {
    "utc-12_dst", "utc-11_utc", "utc-10_ast", "utc-10_hst", "utc-930_mst", "utc-9_ast",
    "utc-9_utc", "utc-7_yst", "utc-8_pstm", "utc-8_utc", "utc-8_pstuc", "utc-7_usmst",
    "utc-7_mstm", "utc-7_mstuc", "utc-6_cast", "utc-6_cstus", "utc-6_eist", "utc-6_cstm",
    "utc-6_ccst", "utc-5_sapst", "utc-5_estm", "utc-5_estus", "utc-5_hst", "utc-5_cst",
    "utc-5_usest", "utc-5_tcst", "utc-4_pst", "utc-4_ast", "utc-4_vst", "utc-4_cbst",
    "utc-4_sawst", "utc-4_psast", "utc-330_nst", "utc-3_tst", "utc-3_esast", "utc-3_saest",
    "utc-3_ast", "utc-3_gst", "utc-3_monst", "utc-3_magst", "utc-3_spst", "utc-3_bst", "utc-2_utc",
    "utc-1_ast", "utc-1_cvst", "utc0_utc", "utc0_gmtst", "utc0_gst", "utc0_stst", "utc1_mst",
    "utc1_west", "utc1_cepst", "utc1_rst", "utc1_cepnst", "utc1_wcast", "utc2_jst", "utc2_gtbst",
    "utc2_mest", "utc2_est", "utc2_eest", "utc2_syrst", "utc2_wbst", "utc2_sast", "utc2_flest",
    "utc2_ist", "utc2_kst", "utc2_sudst", "utc2_lst", "utc2_nst", "utc3_arbcst", "utc3_tst",
    "utc3_arbst", "utc3_bst", "utc3_rst", "utc3_east", "utc330_ist", "utc4_arbst", "utc4_astst",
    "utc4_azbst", "utc4_rtz", "utc4_mst", "utc4_sst", "utc4_gst", "utc4_vst", "utc4_cst",
    "utc430_ast", "utc5_wast", "utc5_est", "utc5_pst", "utc5_qst", "utc530_ist", "utc530_slst",
    "utc545_nst", "utc6_cast", "utc6_bst", "utc6_ost", "utc630_mst", "utc7_seast", "utc7_ast",
    "utc7_wmst", "utc7_nast", "utc7_ncast", "utc7_tst", "utc8_cst", "utc8_nast", "utc8_sst",
    "utc8_wast", "utc8_tst", "utc8_ust", "utc845_acwst", "utc9_tst", "utc9_tokst", "utc9_nkst",
    "utc9_kst", "utc9_yst", "utc930_cast", "utc930_auscst", "utc10_east", "utc10_ausest",
    "utc10_wpst", "utc10_tst", "utc10_vst", "utc1030_lhst", "utc11_bst", "utc11_rtz", "utc11_mst",
    "utc11_nst", "utc11_sst", "utc11_cpst", "utc12_rtz", "utc12_nzst", "utc12_utc", "utc12_fst",
    "utc1245_cist", "utc13_utc", "utc13_tst", "utc13_sst", "utc14_list",
};
static_assert(std::size(kTimeZoneKeys) == 138);

// Minutes east of UTC that a key names.
constexpr int32_t OffsetMinutesOf(std::string_view key)
{
    size_t i = 3; // after "utc"
    bool west = key[i] == '-';
    if (west)
        ++i;
    int32_t digits = 0;
    int32_t count = 0;
    for (; key[i] >= '0' && key[i] <= '9'; ++i, ++count)
        digits = digits * 10 + (key[i] - '0');
    int32_t minutes = count >= 3 ? digits / 100 * 60 + digits % 100 : digits * 60;
    return west ? -minutes : minutes;
}

static_assert(OffsetMinutesOf("utc-930_mst") == -570);
static_assert(OffsetMinutesOf("utc545_nst") == 345);
static_assert(OffsetMinutesOf("utc1245_cist") == 765);
static_assert(OffsetMinutesOf("utc-12_dst") == -720);

// The standard offset of each zone. Daylight saving is not modelled: nothing in the program reads
// the rule, so every zone carries the "no daylight saving" marks.
constexpr std::array<TimeZone, std::size(kTimeZoneKeys)> MakeTimeZoneTable()
{
    constexpr DaylightPoint kNoDaylight{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::array<TimeZone, std::size(kTimeZoneKeys)> table{};
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = TimeZone{kTimeZoneKeys[i], -OffsetMinutesOf(kTimeZoneKeys[i]), kNoDaylight, kNoDaylight, 0};
    return table;
}

constexpr std::array<TimeZone, std::size(kTimeZoneKeys)> kTimeZones = MakeTimeZoneTable();

bool IsAsciiLetterOrDigit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsLocalPartChar(char c)
{
    return IsAsciiLetterOrDigit(c) || c == '.' || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

bool IsDomainChar(char c)
{
    return IsAsciiLetterOrDigit(c) || c == '-' || c == '.';
}

} // namespace

std::span<const TimeZone> TimeZoneTable()
{
    return kTimeZones;
}

const TimeZone* FindTimeZone(std::string_view key)
{
    for (const TimeZone& zone : kTimeZones)
        if (zone.key == key)
            return &zone;
    return nullptr;
}

bool IsValidEmailAddress(std::string_view address)
{
    // Every allowed character is ASCII, so bytes count as characters; anything else fails below.
    if (address.size() > 320)
        return false;
    size_t at = address.find('@');
    if (at == std::string_view::npos)
        return false;
    std::string_view local = address.substr(0, at);
    std::string_view domain = address.substr(at + 1);
    if (local.empty() || local.size() > 64 || local.front() == '.' || local.back() == '.' ||
        local.find("..") != std::string_view::npos)
        return false;
    for (char c : local)
        if (!IsLocalPartChar(c))
            return false;
    if (domain.empty() || domain.size() > 255 || !IsAsciiLetterOrDigit(domain.front()) ||
        !IsAsciiLetterOrDigit(domain.back()) || domain.find('.') == std::string_view::npos ||
        domain.find("..") != std::string_view::npos)
        return false;
    for (char c : domain)
        if (!IsDomainChar(c))
            return false;
    return true;
}

} // namespace tavolex::menu
