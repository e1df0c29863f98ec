// Fidelity of text through the whole pipeline: each text fixture is converted to PDF by our
// pipeline and rendered by pdftoppm, and compared with rsvg-convert's rendering of the same page.
//
// rsvg-convert 2.54 takes only the first value of the x, y, dx and dy lists, ignores "rotate" and
// draws nothing for "textPath". For the fixtures of those features it renders a reference page
// instead (fixtures/*.ref.svg, written by fixtures/make_text_references.py): the same glyphs
// where SVG 1.1 puts them, each a text element of its own with one x and y and a transform.
//
// Glyph edges differ between two renderers (anti-aliasing, hinting, sub-pixel placement), so the
// pictures are not compared pixel by pixel. Both are rendered at 2 pixels per user unit, the ink
// (255 minus the value, per channel) is averaged over a 5 x 5 pixel box (2.5 units), and a pixel
// is "off" when the averaged ink of the two differs by more than kOffLevel in some channel. An
// edge moved by less than a pixel changes the average by a few levels; a glyph, a word, a
// decoration line or a turned glyph out of place by a unit or more leaves off pixels all along
// it. The limits (at the fixture table) bound the off pixels against the ink of the page and
// within every 40 x 40 unit tile, so that one small fault on a page full of text still shows.
#include "fidelity_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

using tavolex::testing::ConvertPage;
using tavolex::testing::KeepRenders;
using tavolex::testing::Picture;
using tavolex::testing::ReadFile;
using tavolex::testing::RenderPdfAt;
using tavolex::testing::RenderSvg;
using tavolex::testing::TestHome;

// The fixtures are 420 x 594 user units and fill the width of A4, 210 mm: a unit is half a
// millimetre, and 2 pixels per unit is 101.6 dpi. The page itself is 595 x 841 whole points, so
// scaling it to 840 x 1188 pixels would stretch the drawing by a pixel toward the bottom; the
// resolution keeps 2 pixels per unit everywhere, and the one row that differs is left out.
constexpr int kPixelsPerUnit = 2;
constexpr double kUnitsPerMillimetre = 420 / 210.0;
constexpr double kDpi = kPixelsPerUnit * kUnitsPerMillimetre * 25.4;
constexpr int kWidth = 420 * kPixelsPerUnit;
constexpr int kHeight = 594 * kPixelsPerUnit;
constexpr int kBlurRadius = 2;    // pixels each side of the centre
constexpr int kOffLevel = 64;     // of 255
constexpr int kInkLevel = 64;     // averaged ink above this counts as ink
constexpr int kTileUnits = 40;

// Ink per channel averaged over the (2r + 1) square around each pixel, edges repeated.
std::vector<uint8_t> AveragedInk(const Picture& picture, int width, int height)
{
    const int r = kBlurRadius;
    std::vector<uint16_t> rows(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int k = -r; k <= r; ++k) {
                    const int at = std::clamp(x + k, 0, width - 1);
                    sum += 255 - picture.rgb[(size_t(y) * size_t(picture.width) + size_t(at)) * 3 + size_t(c)];
                }
                rows[(size_t(y) * size_t(width) + size_t(x)) * 3 + size_t(c)] = static_cast<uint16_t>(sum);
            }
    std::vector<uint8_t> out(rows.size());
    const int area = (2 * r + 1) * (2 * r + 1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int k = -r; k <= r; ++k) {
                    const int at = std::clamp(y + k, 0, height - 1);
                    sum += rows[(size_t(at) * size_t(width) + size_t(x)) * 3 + size_t(c)];
                }
                out[(size_t(y) * size_t(width) + size_t(x)) * 3 + size_t(c)] = static_cast<uint8_t>(sum / area);
            }
    return out;
}

struct TextDifference {
    double offShare = 0; // off pixels / ink pixels, over the page
    double tileArea = 0; // off pixels in the worst tile, in square units
    int tileX = 0, tileY = 0; // that tile's top left corner, in units
};

TextDifference CompareText(const Picture& ours, const Picture& theirs)
{
    const int width = std::min(ours.width, theirs.width);
    const int height = std::min(ours.height, theirs.height);
    if (width <= 0 || height <= 0)
        return {1, 1e9, 0, 0}; // nothing to compare counts as everything off
    const std::vector<uint8_t> a = AveragedInk(ours, width, height);
    const std::vector<uint8_t> b = AveragedInk(theirs, width, height);
    const int tile = kTileUnits * kPixelsPerUnit;
    const int tilesAcross = (width + tile - 1) / tile;
    std::vector<size_t> tileOff(size_t(tilesAcross) * size_t((height + tile - 1) / tile));
    size_t off = 0, ink = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int difference = 0, darkest = 0;
            for (size_t c = 0; c < 3; ++c) {
                const size_t i = (size_t(y) * size_t(width) + size_t(x)) * 3 + c;
                difference = std::max(difference, std::abs(int(a[i]) - int(b[i])));
                darkest = std::max({darkest, int(a[i]), int(b[i])});
            }
            ink += darkest > kInkLevel;
            if (difference > kOffLevel) {
                ++off;
                ++tileOff[size_t(y / tile) * size_t(tilesAcross) + size_t(x / tile)];
            }
        }
    TextDifference result;
    result.offShare = ink ? double(off) / double(ink) : 0;
    const auto worst = std::max_element(tileOff.begin(), tileOff.end());
    const size_t index = size_t(worst - tileOff.begin());
    result.tileArea = double(*worst) / (kPixelsPerUnit * kPixelsPerUnit);
    result.tileX = int(index % size_t(tilesAcross)) * kTileUnits;
    result.tileY = int(index / size_t(tilesAcross)) * kTileUnits;
    return result;
}

// Limits for every text fixture: at most 1 % of the ink pixels off, and at most 25 square units
// off in any 40 x 40 unit tile. A glyph two units out of place, a missing decoration line or a
// wrong anchor goes far beyond both (see the control below); the fixtures stay well inside.
constexpr double kOffShareLimit = 0.01;
constexpr double kTileAreaLimit = 25;

bool WithinLimits(const TextDifference& difference)
{
    return difference.offShare <= kOffShareLimit && difference.tileArea <= kTileAreaLimit;
}

struct TextFixture {
    const char* name;
    bool reference; // rsvg-convert renders fixtures/<name>.ref.svg instead of the fixture
};

const TextFixture kTextFixtures[] = {
    {"text_anchor", false},     // start, middle and end; a price column; chunks across tspans
    {"text_tspan", false},      // colour, weight, style, size, family, dx and dy per run; tref
    {"text_decoration", false}, // underline and line-through (see the fixture on rsvg's extent)
    {"text_positions", true},   // x, y, dx and dy lists, also reaching into tspans
    {"text_rotate", true},      // rotate lists, their last value holding on
    {"text_path", true},        // textPath along an arc, a cubic and a line
};

std::string FixturePath(const std::string& name, bool reference)
{
    return std::string(TAVOLEX_PDF_FIXTURES) + "/" + name + (reference ? ".ref.svg" : ".svg");
}

// rsvg-convert's picture of a fixture, or of its reference.
Picture Expected(const TestHome& home, const TextFixture& fixture)
{
    return RenderSvg(FixturePath(fixture.name, fixture.reference), home.File(std::string(fixture.name) + "-rsvg.png"),
                     kWidth, kHeight);
}

// Our picture of `svg`, through the PDF; the PDF is checked by qpdf.
Picture Ours(const TestHome& home, const std::string& name, const std::string& svg)
{
    const std::string pdfPath = home.File(name + ".pdf");
    ConvertPage(svg, pdfPath);
    return RenderPdfAt(pdfPath, kDpi);
}

void Print(const char* name, const TextDifference& d)
{
    std::printf("%-18s off %.4f of the ink, worst tile %.1f square units at %d,%d\n", name, d.offShare, d.tileArea,
                d.tileX, d.tileY);
}

TEST(SvgTextFidelityTest, TextLooksAsRsvgDrawsIt)
{
    TestHome home;
    for (const TextFixture& fixture : kTextFixtures) {
        SCOPED_TRACE(fixture.name);
        const std::string svg = ReadFile(FixturePath(fixture.name, false));
        ASSERT_FALSE(svg.empty()) << fixture.name;
        const Picture ours = Ours(home, fixture.name, svg);
        const Picture theirs = Expected(home, fixture);
        ASSERT_EQ(ours.width, kWidth);
        ASSERT_GE(ours.height, kHeight - 1);
        ASSERT_EQ(theirs.width, kWidth);
        ASSERT_EQ(theirs.height, kHeight);
        const TextDifference difference = CompareText(ours, theirs);
        Print(fixture.name, difference);
        EXPECT_LE(difference.offShare, kOffShareLimit);
        EXPECT_LE(difference.tileArea, kTileAreaLimit)
            << "at " << difference.tileX << "," << difference.tileY;
        KeepRenders(home.File(std::string(fixture.name) + ".pdf.poppler.png"),
                    home.File(std::string(fixture.name) + "-rsvg.png"));
    }
}

// The control: our pipeline draws a fixture with one fault put into it, and the comparison with
// the right picture must break the limits.
struct Fault {
    const char* fixture;
    const char* what;
    const char* from; // text of the fixture
    const char* to;   // what our pipeline gets instead
};

const Fault kFaults[] = {
    {"text_anchor", "a price anchored at its start", R"(<text x="390" y="180" text-anchor="end">)",
     R"(<text x="390" y="180" text-anchor="start">)"},
    {"text_anchor", "a line 6 units low", R"(<text x="30" y="180">)", R"(<text x="30" y="186">)"},
    {"text_anchor", "a word 2 units to the right", R"(<text x="30" y="180">)", R"(<text x="32" y="180">)"},
    {"text_decoration", "a missing underline", R"(<text x="30" y="60" text-decoration="underline">)",
     R"(<text x="30" y="60">)"},
    {"text_decoration", "a missing line-through", R"(<text x="30" y="110" text-decoration="line-through">)",
     R"(<text x="30" y="110">)"},
    {"text_tspan", "an italic run drawn upright", R"(<tspan font-style="italic">italic</tspan>)",
     R"(<tspan>italic</tspan>)"},
    {"text_positions", "a list that stops at its own characters", R"(x="30 60 90 120 150 180")", R"(x="30 60")"},
    {"text_rotate", "each angle one glyph late", R"(rotate="0 30 60 90 135 180")", R"(rotate="0 0 30 60 90 135")"},
    {"text_path", "a curve 6 units off", R"(d="M 30 400 C 130 320 230 480 390 400")",
     R"(d="M 30 400 C 130 326 230 486 390 400")"},
};

TEST(SvgTextFidelityTest, TheComparisonSeesMisplacedText)
{
    TestHome home;
    std::map<std::string, Picture> expected;
    int count = 0;
    for (const Fault& fault : kFaults) {
        SCOPED_TRACE(fault.what);
        const auto fixture = std::find_if(std::begin(kTextFixtures), std::end(kTextFixtures),
                                          [&](const TextFixture& f) { return std::string(f.name) == fault.fixture; });
        ASSERT_NE(fixture, std::end(kTextFixtures));
        std::string svg = ReadFile(FixturePath(fault.fixture, false));
        const size_t at = svg.find(fault.from);
        ASSERT_NE(at, std::string::npos) << fault.from;
        svg.replace(at, std::string_view(fault.from).size(), fault.to);
        if (!expected.count(fault.fixture))
            expected.emplace(fault.fixture, Expected(home, *fixture));
        const Picture ours = Ours(home, "fault" + std::to_string(count++), svg);
        ASSERT_EQ(ours.width, kWidth); // a fault must show in a picture that was drawn
        const TextDifference difference = CompareText(ours, expected.at(fault.fixture));
        Print(fault.what, difference);
        EXPECT_FALSE(WithinLimits(difference));
    }
}

} // namespace
