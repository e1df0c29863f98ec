// Fidelity of the whole pipeline: each feature fixture is converted to PDF by our pipeline and
// rendered by pdftoppm, rendered straight from the SVG by rsvg-convert at the same size, and the
// two pictures are compared pixel by pixel.
//
// Two renderers never agree on every edge pixel (anti-aliasing, curve flattening, sub-pixel
// placement), so a fixture passes when
//   - the mean absolute difference over all channels of all pixels is at most `meanLimit`
//     (out of 255), and
//   - at most `farLimit` of the pixels differ by more than kFarDifference in some channel.
// A wrong colour, a missing gradient, clip or picture, a misplaced shape or a wrong fill rule
// moves whole areas and breaks both limits by far; thin anti-aliased outlines do not.
#include "fidelity_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using tavolex::testing::ConvertPage;
using tavolex::testing::KeepRenders;
using tavolex::testing::Picture;
using tavolex::testing::ReadFile;
using tavolex::testing::RenderPdf;
using tavolex::testing::RenderSvg;
using tavolex::testing::TestHome;

// The fixtures are 420 x 594 user units, the proportions of A4, so the page fills the paper and
// one user unit is one pixel in both renderings.
constexpr int kWidth = 420;
constexpr int kHeight = 594;
constexpr int kFarDifference = 64;

struct Difference {
    double mean = 0;        // per channel, 0 to 255
    double farFraction = 0; // of the pixels
};

Difference Compare(const Picture& a, const Picture& b)
{
    Difference difference;
    const size_t count = size_t(a.width) * size_t(a.height);
    uint64_t sum = 0;
    size_t far = 0;
    for (size_t i = 0; i < count; ++i) {
        int largest = 0;
        for (size_t c = 0; c < 3; ++c) {
            const int d = std::abs(int(a.rgb[i * 3 + c]) - int(b.rgb[i * 3 + c]));
            sum += uint64_t(d);
            largest = std::max(largest, d);
        }
        if (largest > kFarDifference)
            ++far;
    }
    difference.mean = double(sum) / double(count * 3);
    difference.farFraction = double(far) / double(count);
    return difference;
}

struct Fixture {
    const char* name;
    double meanLimit;
    double farLimit;
};

// Limits per fixture. Most shapes agree to well under one level on average; the looser rows say
// why.
const Fixture kFixtures[] = {
    {"shapes", 1.5, 0.01},
    {"arcs", 1.5, 0.01},
    {"transforms", 1.5, 0.01},
    {"dashes", 1.5, 0.01},
    {"caps_joins", 1.5, 0.01},
    {"evenodd", 1.5, 0.01},
    // Shadings are interpolated by poppler and by cairo with different step sizes.
    {"gradients", 2.5, 0.02},
    {"clips", 1.5, 0.01},
    {"opacity", 1.5, 0.01},
    // Pictures are smoothed differently when they are scaled up (bilinear in cairo, poppler's
    // own filter), which blurs each picture edge and the JPEG's blocks by a few levels.
    {"images", 4.0, 0.03},
};

TEST(SvgFidelityTest, FixturesLookAsRsvgDrawsThem)
{
    TestHome home;
    for (const Fixture& fixture : kFixtures) {
        SCOPED_TRACE(fixture.name);
        const std::string svgPath = std::string(TAVOLEX_PDF_FIXTURES) + "/" + fixture.name + ".svg";
        const std::string svg = ReadFile(svgPath);
        ASSERT_FALSE(svg.empty()) << svgPath;

        const std::string pdfPath = home.File(std::string(fixture.name) + ".pdf");
        ASSERT_NO_FATAL_FAILURE(ConvertPage(svg, pdfPath));
        const std::string theirs = home.File(std::string(fixture.name) + "-rsvg.png");
        const Picture a = RenderPdf(pdfPath, kWidth, kHeight);
        const Picture b = RenderSvg(svgPath, theirs, kWidth, kHeight);
        ASSERT_EQ(a.width, kWidth);
        ASSERT_EQ(a.height, kHeight);
        ASSERT_EQ(b.width, kWidth);
        ASSERT_EQ(b.height, kHeight);
        const Difference difference = Compare(a, b);
        std::printf("%-12s mean %.3f, beyond %d: %.4f\n", fixture.name, difference.mean, kFarDifference,
                    difference.farFraction);
        EXPECT_LE(difference.mean, fixture.meanLimit);
        EXPECT_LE(difference.farFraction, fixture.farLimit);
        KeepRenders(pdfPath + ".poppler.png", theirs);
    }
}

// A blank page is the control: nothing drawn is white in both renderers, so the comparison
// itself is not what makes the fixtures pass.
TEST(SvgFidelityTest, TheComparisonSeesAMissingShape)
{
    TestHome home;
    const std::string drawn = "<svg xmlns='http://www.w3.org/2000/svg' width='420' height='594'>"
                              "<rect x='100' y='100' width='200' height='300' fill='#2050a0'/></svg>";
    const std::string empty = "<svg xmlns='http://www.w3.org/2000/svg' width='420' height='594'/>";
    const std::string pdfPath = home.File("empty.pdf");
    ASSERT_NO_FATAL_FAILURE(ConvertPage(empty, pdfPath));
    tavolex::testing::WriteFile(home.File("drawn.svg"), drawn);
    const Picture ours = RenderPdf(pdfPath, kWidth, kHeight);
    const Picture theirs = RenderSvg(home.File("drawn.svg"), home.File("drawn.png"), kWidth, kHeight);
    ASSERT_EQ(ours.rgb.size(), theirs.rgb.size());
    const Difference difference = Compare(ours, theirs);
    EXPECT_GT(difference.mean, 20.0);
    EXPECT_GT(difference.farFraction, 0.2);
}

} // namespace
