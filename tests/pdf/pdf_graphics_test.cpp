#include "pdf_graphics.h"

#include "image_samples.h"
#include "pdf_test_support.h"
#include "svg.h"

#include <gtest/gtest.h>

#include <functional>

namespace tavolex::pdf {
namespace {

using testing::Near;
using testing::Pixmap;
using testing::QpdfCheck;
using testing::ReadFile;
using testing::Rgb;
using testing::TestHome;

const Rgb kWhite{255, 255, 255};
const Rgb kRed{255, 0, 0};
const Rgb kBlue{0, 0, 255};

// The plain rectangle figure the SVG model makes for a <rect> without rounded corners.
Path Rectangle(double x, double y, double w, double h)
{
    return SvgRectanglePath(x, y, w, h, 0, 0);
}

Path ReversedRectangle(double x, double y, double w, double h)
{
    Path path;
    path.MoveTo({x, y});
    path.LineTo({x, y + h});
    path.LineTo({x + w, y + h});
    path.LineTo({x + w, y});
    path.Close();
    return path;
}

// One A4 page drawn by `draw` in user space = points with y growing downward (the page's
// flip only), checked by qpdf and rendered by pdftoppm at 72 dpi.
struct Drawn {
    std::string text; // the file, written without compression so tests can read the operators
    Pixmap pixels;
};

Drawn DrawPage(const std::function<void(PdfDocument&)>& draw, Compression compression = Compression::Off)
{
    TestHome home;
    const std::string path = home.File("page.pdf");
    testing::WriteOnePagePdf(path, draw, compression);
    Drawn drawn{ReadFile(path), testing::RenderFirstPage(path)};
    EXPECT_EQ(drawn.pixels.width, 595);
    return drawn;
}

std::span<const uint8_t> Bytes(const auto& array)
{
    return {array, sizeof array};
}

#define EXPECT_PIXEL(pixels, x, y, color, tolerance) \
    EXPECT_TRUE(Near((pixels).At(x, y), color, tolerance)) << "at " << (x) << "," << (y) << ": " << (pixels).At(x, y)

// ---------------------------------------------------------------------------------------------
// Operator texts

TEST(PdfGraphicsTest, ColoursSelectAnAlphaStateOnlyWhenTranslucent)
{
    std::string fill, stroke, opaque;
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        opaque = ColorOperators(document, {255, 0, 51, 255}, PaintTarget::Fill);
        fill = ColorOperators(document, {0, 0, 255, 128}, PaintTarget::Fill);
        stroke = ColorOperators(document, {0, 128, 0, 64}, PaintTarget::Stroke);
    });
    EXPECT_EQ(opaque, "1.000000 0.000000 0.200000 rg");
    // Objects: 1 the flip, 2 and 3 the graphics states.
    EXPECT_EQ(fill, "0.000000 0.000000 1.000000 rg /A2 gs");
    EXPECT_EQ(stroke, "0.000000 0.501961 0.000000 RG /A3 gs");
    EXPECT_NE(drawn.text.find("2 0 obj<</Type /ExtGState /ca 0.501961>> \r\nendobj"), std::string::npos);
    EXPECT_NE(drawn.text.find("3 0 obj<</Type /ExtGState /CA 0.250980>> \r\nendobj"), std::string::npos);
    EXPECT_NE(drawn.text.find("/ExtGState << /A2 2 0 R  /A3 3 0 R >>"), std::string::npos);
}

TEST(PdfGraphicsTest, DashTextsFollowTheCapAndWidth)
{
    struct Row {
        const char* what;
        std::vector<double> dashes;
        LineCap cap;
        double width;
        const char* text;
    };
    const Row rows[] = {
        {"solid", {}, LineCap::Butt, 1, "[] 0 d"},
        {"butt", {4, 2}, LineCap::Butt, 1, "[4.000000 2.000000 ] 0 d"},
        {"round dashes end flat", {4, 2}, LineCap::Round, 1, "[4.000000 2.000000 ] 0 d"},
        {"square shortens dashes", {4, 2}, LineCap::Square, 1, "[3.000000 3.000000 ] 0 d"},
        {"square, wide", {4, 2}, LineCap::Square, 3, "[1.000000 5.000000 ] 0 d"},
        {"square, never below 0", {0.5, 1}, LineCap::Square, 1, "[0.000000 2.000000 ] 0 d"},
        {"square, odd list doubled", {3}, LineCap::Square, 1, "[2.000000 4.000000 ] 0 d"},
        {"odd list as is", {1, 2, 3}, LineCap::Butt, 1, "[1.000000 2.000000 3.000000 ] 0 d"},
        {"all zero is solid", {0, 0}, LineCap::Butt, 1, "[] 0 d"},
        {"negative is solid", {-1, 2}, LineCap::Butt, 1, "[] 0 d"},
    };
    for (const Row& row : rows) {
        Pen pen;
        pen.dashes = row.dashes;
        pen.cap = row.cap;
        pen.width = row.width;
        EXPECT_EQ(DashText(pen), row.text) << row.what;
    }

    // A long list is cut after the last value whose text still fits in 259 characters.
    Pen pen;
    pen.dashes.assign(100, 1);
    std::string expected = "[";
    for (int i = 0; i < 28; ++i)
        expected += "1.000000 ";
    EXPECT_EQ(DashText(pen), expected + "] 0 d");
}

TEST(PdfGraphicsTest, PenTextsNameCapJoinAndMiterLimit)
{
    struct Row {
        const char* what;
        LineCap cap;
        LineJoin join;
        double miterLimit;
        std::vector<double> dashes;
        const char* text;
    };
    const Row rows[] = {
        {"miter", LineCap::Butt, LineJoin::Miter, 4, {}, "2.000000 w 0 J 0 j 4.000000 M [] 0 d\r\n"},
        {"miter clipped", LineCap::Square, LineJoin::MiterClipped, 7, {}, "2.000000 w 2 J 0 j 7.000000 M [] 0 d\r\n"},
        {"limit below 1", LineCap::Butt, LineJoin::Miter, 0.5, {}, "2.000000 w 0 J 0 j 10.000000 M [] 0 d\r\n"},
        {"round", LineCap::Round, LineJoin::Round, 4, {}, "2.000000 w 1 J 1 j [] 0 d\r\n"},
        {"bevel", LineCap::Butt, LineJoin::Bevel, 4, {}, "2.000000 w 0 J 2 j [] 0 d\r\n"},
        {"round dashed", LineCap::Round, LineJoin::Round, 4, {4, 2}, "2.000000 w 0 J 1 j [4.000000 2.000000 ] 0 d\r\n"},
    };
    for (const Row& row : rows) {
        Pen pen;
        pen.width = 2;
        pen.cap = row.cap;
        pen.join = row.join;
        pen.miterLimit = row.miterLimit;
        pen.dashes = row.dashes;
        EXPECT_EQ(PenText(pen), row.text) << row.what;
    }
}

TEST(PdfGraphicsTest, PathSegmentsAndBounds)
{
    Path path;
    path.MoveTo({1, 2});
    path.LineTo({3.5, 2});
    path.CubicTo({3.5, 10}, {-1, 10}, {1, 2});
    path.Close();
    std::string text;
    AppendPathSegments(text, path);
    EXPECT_EQ(text, "1.000000 2.000000 m 3.500000 2.000000 l "
                    "3.500000 10.000000 -1.000000 10.000000 1.000000 2.000000 c h\r\n");

    // The curve peaks at y = 8 (three quarters of its control height), not at 10.
    const Rect box = PathBounds(path);
    EXPECT_NEAR(box.y, 2, 1e-9);
    EXPECT_NEAR(box.height, 6, 1e-9);
    EXPECT_NEAR(box.x + box.width, 3.5, 1e-9);
    EXPECT_LT(box.x, 1);
    EXPECT_GT(box.x, -1);

    const Rect empty = PathBounds(Path{});
    EXPECT_EQ(empty.width, 0);
}

// ---------------------------------------------------------------------------------------------
// Fill, stroke and clip, rendered

TEST(PdfGraphicsTest, AFilledRectangleIsRedInsideAndWhiteOutside)
{
    const Drawn drawn = DrawPage([](PdfDocument& document) {
        FillPath(document, Rectangle(100, 100, 100, 50), Paint::Solid({255, 0, 0, 255}), FillRule::NonZero);
        FillPath(document, Rectangle(300, 300, 50, 50), Paint::None(), FillRule::NonZero);
    });
    EXPECT_NE(drawn.text.find("q 1.000000 0.000000 0.000000 rg\r\n100.000000 100.000000 m "), std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 150, 125, kRed, 2);
    EXPECT_PIXEL(drawn.pixels, 150, 90, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 150, 160, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 90, 125, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 325, 325, kWhite, 2); // no paint, nothing drawn
}

TEST(PdfGraphicsTest, TranslucentFillCompositesOverWhite)
{
    const Drawn drawn = DrawPage([](PdfDocument& document) {
        FillPath(document, Rectangle(100, 100, 100, 100), Paint::Solid({0, 0, 255, 128}), FillRule::NonZero);
    });
    EXPECT_PIXEL(drawn.pixels, 150, 150, (Rgb{127, 127, 255}), 4);
}

TEST(PdfGraphicsTest, FillRulesDecideTheHole)
{
    // Two squares wound the same way: even-odd leaves the inner one empty, nonzero fills it;
    // wound against each other, nonzero leaves it empty too.
    auto ring = [](double x, bool reversed) {
        Path path = Rectangle(x, 50, 100, 100);
        path.Append(reversed ? ReversedRectangle(x + 25, 75, 50, 50) : Rectangle(x + 25, 75, 50, 50));
        return path;
    };
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        FillPath(document, ring(50, false), Paint::Solid({255, 0, 0, 255}), FillRule::EvenOdd);
        FillPath(document, ring(200, false), Paint::Solid({255, 0, 0, 255}), FillRule::NonZero);
        FillPath(document, ring(350, true), Paint::Solid({255, 0, 0, 255}), FillRule::NonZero);
    });
    EXPECT_NE(drawn.text.find("f* Q\r\n"), std::string::npos);
    for (int x : {50, 200, 350})
        EXPECT_PIXEL(drawn.pixels, x + 10, 60, kRed, 2);
    EXPECT_PIXEL(drawn.pixels, 100, 100, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 250, 100, kRed, 2);
    EXPECT_PIXEL(drawn.pixels, 400, 100, kWhite, 2);
}

TEST(PdfGraphicsTest, ADashedLineHasGaps)
{
    Path line;
    line.MoveTo({100, 200});
    line.LineTo({400, 200});
    Pen pen;
    pen.width = 10;
    pen.dashes = {20, 20};
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        StrokePath(document, line, pen, Paint::Solid({0, 0, 255, 255}));
        // Square caps keep the dash length: the dash covers 20 units, the gap 20.
        Path second;
        second.MoveTo({100, 300});
        second.LineTo({400, 300});
        Pen square = pen;
        square.cap = LineCap::Square;
        StrokePath(document, second, square, Paint::Solid({0, 0, 255, 255}));
    });
    EXPECT_PIXEL(drawn.pixels, 110, 200, kBlue, 2);
    EXPECT_PIXEL(drawn.pixels, 130, 200, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 150, 200, kBlue, 2);
    EXPECT_PIXEL(drawn.pixels, 110, 208, kWhite, 2); // half the width is 5
    EXPECT_PIXEL(drawn.pixels, 110, 300, kBlue, 2);
    EXPECT_PIXEL(drawn.pixels, 93, 300, kWhite, 2); // the cap reaches back to 95
    EXPECT_PIXEL(drawn.pixels, 97, 300, kBlue, 2);
    EXPECT_PIXEL(drawn.pixels, 131, 300, kWhite, 2);
}

TEST(PdfGraphicsTest, AClipHidesWhatIsOutside)
{
    const Drawn drawn = DrawPage([](PdfDocument& document) {
        BeginClip(document, Rectangle(100, 100, 100, 100), FillRule::NonZero);
        FillPath(document, Rectangle(0, 0, 595, 841), Paint::Solid({255, 0, 0, 255}), FillRule::NonZero);
        EndClip(document);
        // Even-odd clip with a hole.
        Path ring = Rectangle(300, 300, 200, 200);
        ring.Append(Rectangle(350, 350, 100, 100));
        BeginClip(document, ring, FillRule::EvenOdd);
        FillPath(document, Rectangle(250, 250, 300, 300), Paint::Solid({0, 0, 255, 255}), FillRule::NonZero);
        EndClip(document);
        // After the restore nothing is clipped any more.
        FillPath(document, Rectangle(50, 700, 20, 20), Paint::Solid({0, 0, 255, 255}), FillRule::NonZero);
    });
    EXPECT_NE(drawn.text.find("h\r\nW n\r\n\r\nendstream"), std::string::npos);
    EXPECT_NE(drawn.text.find("h\r\nW* n\r\n\r\nendstream"), std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 150, 150, kRed, 2);
    EXPECT_PIXEL(drawn.pixels, 50, 50, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 250, 250, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 320, 320, kBlue, 2);
    EXPECT_PIXEL(drawn.pixels, 400, 400, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 270, 270, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 60, 710, kBlue, 2);
}

TEST(PdfGraphicsTest, AShapeItemIsTransformedClippedFilledAndStroked)
{
    // A 100 x 100 square moved to (200, 200) and scaled by 2, clipped to its left half, filled
    // red and stroked blue 4 units wide (8 on the page).
    const Path clip = Rectangle(0, 0, 50, 100);
    ShapeStyle style;
    style.transform = {2, 0, 0, 2, 200, 200};
    style.clip = &clip;
    style.fill = Paint::Solid({255, 0, 0, 255});
    style.stroke = Paint::Solid({0, 0, 255, 255});
    style.pen.width = 4;
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        const Matrix before = document.transformation();
        DrawShape(document, Rectangle(0, 0, 100, 100), style);
        EXPECT_EQ(document.transformation().e, before.e) << "the item leaves the state as it found it";
        EXPECT_EQ(DrawPicture(document, Bytes(testing::kPngGray), {0, 0, 100, 100}, ShapeStyle{}), PdfStatus::Ok);
    });
    EXPECT_NE(drawn.text.find("2.000000 0.000000 0.000000 2.000000 200.000000 200.000000 cm"), std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 250, 300, kRed, 2);
    EXPECT_PIXEL(drawn.pixels, 202, 300, kBlue, 2);   // the stroke inside the clip
    EXPECT_PIXEL(drawn.pixels, 196, 300, kWhite, 2);  // its outer half is clipped away
    EXPECT_PIXEL(drawn.pixels, 350, 300, kWhite, 2);  // the right half is clipped away
    EXPECT_PIXEL(drawn.pixels, 10, 10, (Rgb{0, 0, 0}), 4); // the picture after it is not clipped
}

// ---------------------------------------------------------------------------------------------
// Gradients

Gradient RedToBlue(GradientKind kind)
{
    Gradient gradient;
    gradient.kind = kind;
    gradient.stops = {{0, {255, 0, 0, 255}}, {1, {0, 0, 255, 255}}};
    return gradient;
}

TEST(PdfGraphicsTest, ALinearGradientWritesFunctionsShadingAndPattern)
{
    const Gradient gradient = RedToBlue(GradientKind::Linear);
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        FillPath(document, Rectangle(100, 100, 200, 100), Paint::Of(gradient), FillRule::NonZero);
    });
    const std::string& text = drawn.text;
    // Two opaque stops: one colour function, the stitching function, shading and pattern; no mask.
    EXPECT_NE(text.find("2 0 obj<</FunctionType 2 /Domain [0 1] /C0 [1.000000 0.000000 0.000000] "
                        "/C1 [0.000000 0.000000 1.000000] /N 1>>"),
              std::string::npos);
    EXPECT_NE(text.find("3 0 obj<</FunctionType 3 /Domain [0 1] /Functions [2 0 R ] /Bounds[] /Encode [0 1 ]>>"),
              std::string::npos);
    EXPECT_NE(text.find("4 0 obj<</ShadingType 2 /ColorSpace /DeviceRGB /Coords [0.000000 0.000000 1.000000 "
                        "0.000000] /Function 3 0 R /Extend [true true]>>"),
              std::string::npos);
    // The bounding box (200 x 100 at 100, 100) then the flip.
    EXPECT_NE(text.find("5 0 obj<</Type /Pattern /Matrix [200.000000 0.000000 0.000000 -100.000000 100.000000 "
                        "741.000000] /PatternType 2 /Shading 4 0 R>>"),
              std::string::npos);
    EXPECT_NE(text.find("q /Pattern cs /P5 scn  \r\n"), std::string::npos);
    EXPECT_EQ(text.find("SMask"), std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 101, 150, kRed, 6);
    EXPECT_PIXEL(drawn.pixels, 298, 150, kBlue, 6);
    EXPECT_PIXEL(drawn.pixels, 200, 150, (Rgb{128, 0, 128}), 6);
    EXPECT_PIXEL(drawn.pixels, 200, 95, kWhite, 2);
}

TEST(PdfGraphicsTest, GradientStopsHoldTheirColourToTheEnds)
{
    // Stops at 0.25 and 0.75 in user space from x 100 to 300: solid red before 150, blue after 250.
    Gradient gradient = RedToBlue(GradientKind::Linear);
    gradient.units = GradientUnits::UserSpace;
    gradient.x1 = 100;
    gradient.x2 = 300;
    gradient.stops = {{0.25, {255, 0, 0, 255}}, {0.5, {0, 255, 0, 255}}, {0.75, {0, 0, 255, 255}}};
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        FillPath(document, Rectangle(50, 100, 300, 50), Paint::Of(gradient), FillRule::NonZero);
    });
    EXPECT_NE(drawn.text.find("/Bounds[0.250000 0.500000 0.750000 ]"), std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 60, 125, kRed, 4);
    EXPECT_PIXEL(drawn.pixels, 148, 125, kRed, 8);
    EXPECT_PIXEL(drawn.pixels, 200, 125, (Rgb{0, 255, 0}), 8);
    EXPECT_PIXEL(drawn.pixels, 340, 125, kBlue, 4);
}

TEST(PdfGraphicsTest, ARadialGradientRunsFromTheCentreOut)
{
    const Gradient gradient = RedToBlue(GradientKind::Radial);
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        FillPath(document, Rectangle(100, 100, 200, 200), Paint::Of(gradient), FillRule::NonZero);
    });
    EXPECT_NE(drawn.text.find("<</ShadingType 3 /ColorSpace /DeviceRGB /Coords [0.500000 0.500000 0.000000 "
                              "0.500000 0.500000 0.500000]"),
              std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 200, 200, kRed, 8);
    EXPECT_PIXEL(drawn.pixels, 103, 200, kBlue, 8);
    EXPECT_PIXEL(drawn.pixels, 105, 105, kBlue, 4); // past the circle the last colour extends
}

TEST(PdfGraphicsTest, StopAlphaBecomesASoftMask)
{
    Gradient gradient = RedToBlue(GradientKind::Linear);
    gradient.stops = {{0, {255, 0, 0, 255}}, {1, {255, 0, 0, 0}}};
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        FillPath(document, Rectangle(100, 100, 200, 100), Paint::Of(gradient), FillRule::NonZero);
    });
    const std::string& text = drawn.text;
    EXPECT_NE(text.find("<</FunctionType 2 /Domain [0 1] /C0 [1.000000] /C1 [0.000000] /N 1>>"), std::string::npos);
    EXPECT_NE(text.find("/ColorSpace /DeviceGray /Coords"), std::string::npos);
    EXPECT_NE(text.find("/Group <</S /Transparency /CS /DeviceGray>> >>\r\nstream\r\n/S"), std::string::npos);
    EXPECT_NE(text.find("<</Type /ExtGState /ca 1 /CA 1 /BM /Normal /AIS false /SMask <</S /Luminosity /G "),
              std::string::npos);
    EXPECT_NE(text.find(" gs \r\n100.000000 100.000000 m"), std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 102, 150, kRed, 8);
    EXPECT_PIXEL(drawn.pixels, 200, 150, (Rgb{255, 128, 128}), 10);
    EXPECT_PIXEL(drawn.pixels, 297, 150, kWhite, 8);
}

TEST(PdfGraphicsTest, GradientsFollowTheTransformationAndStrokeToo)
{
    // A user-space gradient under a scale of 2: the ends land at 2 * (50..150) = 100..300.
    Gradient gradient = RedToBlue(GradientKind::Linear);
    gradient.units = GradientUnits::UserSpace;
    gradient.x1 = 50;
    gradient.x2 = 150;
    Path line;
    line.MoveTo({50, 100});
    line.LineTo({150, 100});
    Pen pen;
    pen.width = 10;
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        document.SaveState();
        document.ConcatTransformation(Matrix::Scaling(2, 2));
        StrokePath(document, line, pen, Paint::Of(gradient));
        document.RestoreState();
    });
    EXPECT_NE(drawn.text.find("/Pattern CS /P"), std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 103, 200, kRed, 8);
    EXPECT_PIXEL(drawn.pixels, 297, 200, kBlue, 8);
    EXPECT_PIXEL(drawn.pixels, 200, 200, (Rgb{128, 0, 128}), 8);
    EXPECT_PIXEL(drawn.pixels, 200, 180, kWhite, 2);
}

TEST(PdfGraphicsTest, TheSoftMaskFollowsTheGradientTransformAndThePage)
{
    // A gradient turned a quarter by its own transform runs top to bottom; under a scale of 2
    // its mask must still line up with its colours.
    Gradient gradient = RedToBlue(GradientKind::Linear);
    gradient.transform = {0, 1, -1, 0, 1, 0};
    gradient.stops = {{0, {255, 0, 0, 255}}, {1, {255, 0, 0, 0}}};
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        document.SaveState();
        document.ConcatTransformation(Matrix::Scaling(2, 2));
        FillPath(document, Rectangle(50, 50, 100, 100), Paint::Of(gradient), FillRule::NonZero);
        document.RestoreState();
    });
    EXPECT_PIXEL(drawn.pixels, 200, 103, kRed, 10);
    EXPECT_PIXEL(drawn.pixels, 103, 200, (Rgb{255, 128, 128}), 10);
    EXPECT_PIXEL(drawn.pixels, 297, 200, (Rgb{255, 128, 128}), 10);
    EXPECT_PIXEL(drawn.pixels, 200, 296, kWhite, 10);
}

TEST(PdfGraphicsTest, DegenerateGradientsPaintPlainlyOrNotAtAll)
{
    Gradient single;
    single.stops = {{0.3, {0, 0, 255, 255}}};
    Gradient empty;
    Gradient point = RedToBlue(GradientKind::Linear);
    point.x2 = 0; // both ends at (0, 0): the last colour
    Path flat;
    flat.MoveTo({100, 400});
    flat.LineTo({300, 400});
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        FillPath(document, Rectangle(100, 100, 50, 50), Paint::Of(single), FillRule::NonZero);
        FillPath(document, Rectangle(200, 100, 50, 50), Paint::Of(empty), FillRule::NonZero);
        FillPath(document, Rectangle(300, 100, 50, 50), Paint::Of(point), FillRule::NonZero);
        Pen pen;
        pen.width = 10;
        // A horizontal line's box has no height: bounding-box units paint nothing.
        StrokePath(document, flat, pen, Paint::Of(RedToBlue(GradientKind::Linear)));
    });
    EXPECT_PIXEL(drawn.pixels, 125, 125, kBlue, 2);
    EXPECT_PIXEL(drawn.pixels, 225, 125, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 325, 125, kBlue, 2);
    EXPECT_PIXEL(drawn.pixels, 200, 400, kWhite, 2);
    EXPECT_EQ(drawn.text.find("/Pattern"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Pictures

TEST(PdfGraphicsTest, APictureWithAlphaCompositesOverWhite)
{
    const Drawn drawn = DrawPage(
        [](PdfDocument& document) {
            EXPECT_EQ(DrawImage(document, Bytes(testing::kPngAlpha), {100, 100, 80, 80}), PdfStatus::Ok);
        },
        Compression::Flate);
    EXPECT_NE(drawn.text.find("/IMG_000001 "), std::string::npos);
    EXPECT_NE(drawn.text.find("/SMask "), std::string::npos);
    EXPECT_NE(drawn.text.find("/ImageC"), std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 140, 120, kBlue, 4);              // top half: opaque blue
    EXPECT_PIXEL(drawn.pixels, 120, 160, (Rgb{255, 127, 127}), 6); // red at alpha 128
    EXPECT_PIXEL(drawn.pixels, 160, 160, kWhite, 4);             // transparent
    EXPECT_PIXEL(drawn.pixels, 140, 95, kWhite, 2);
    EXPECT_PIXEL(drawn.pixels, 140, 185, kWhite, 2);
}

TEST(PdfGraphicsTest, AJpegPassesThroughUnchanged)
{
    const Drawn drawn = DrawPage([](PdfDocument& document) {
        EXPECT_EQ(DrawImage(document, Bytes(testing::kJpegGreen), {100, 100, 0, 0}), PdfStatus::Ok);
        EXPECT_EQ(DrawImage(document, Bytes(testing::kJpegProgressive), {200, 100, 32, 32}), PdfStatus::Ok);
    });
    const std::string original(reinterpret_cast<const char*>(testing::kJpegGreen), sizeof testing::kJpegGreen);
    EXPECT_NE(drawn.text.find("/Width 16 /Height 16 /ColorSpace /DeviceRGB /BitsPerComponent 8 /Length " +
                              std::to_string(original.size()) + " /Filter /DCTDecode>>\r\nstream\r\n" + original),
              std::string::npos);
    EXPECT_NE(drawn.text.find("/IMG_000002 "), std::string::npos);
    // The first keeps its own size of 16 x 16 points.
    EXPECT_NE(drawn.text.find("q\r\n1 0 0 -1 100.000000 116.000000 cm\r\n16.000000 0 0 16.000000 0 0 cm\r\n"
                              "/IMG_000001 Do\r\nQ\r\n"),
              std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 108, 108, (Rgb{0, 200, 0}), 12);
    EXPECT_PIXEL(drawn.pixels, 230, 130, (Rgb{0, 200, 0}), 12);
    EXPECT_PIXEL(drawn.pixels, 108, 120, kWhite, 2);
}

TEST(PdfGraphicsTest, GreyGifAndWebPPicturesTakeTheRawForm)
{
    const Drawn drawn = DrawPage([](PdfDocument& document) {
        EXPECT_EQ(DrawImage(document, Bytes(testing::kPngGray), {100, 100, 40, 40}), PdfStatus::Ok);
        EXPECT_EQ(DrawImage(document, Bytes(testing::kGifTransparent), {200, 100, 40, 30}), PdfStatus::Ok);
        EXPECT_EQ(DrawImage(document, Bytes(testing::kWebPAlpha), {300, 100, 40, 40}), PdfStatus::Ok);
    });
    EXPECT_NE(drawn.text.find("/ImageB"), std::string::npos);
    EXPECT_NE(drawn.text.find("/Width 4 /Height 4 /ColorSpace /DeviceGray /BitsPerComponent 8 /Length 16 >>"),
              std::string::npos);
    EXPECT_PIXEL(drawn.pixels, 105, 105, (Rgb{0, 0, 0}), 4);
    EXPECT_PIXEL(drawn.pixels, 135, 135, (Rgb{240, 240, 240}), 4);
    // GIF rows: red red blue blue / clear clear red red / blue x4.
    EXPECT_PIXEL(drawn.pixels, 205, 105, kRed, 4);
    EXPECT_PIXEL(drawn.pixels, 235, 105, kBlue, 4);
    EXPECT_PIXEL(drawn.pixels, 205, 115, kWhite, 4);
    EXPECT_PIXEL(drawn.pixels, 235, 115, kRed, 4);
    EXPECT_PIXEL(drawn.pixels, 215, 125, kBlue, 4);
    // WebP: the first column is transparent.
    EXPECT_PIXEL(drawn.pixels, 305, 120, kWhite, 4);
    EXPECT_PIXEL(drawn.pixels, 325, 120, (Rgb{255, 255, 0}), 4);
}

TEST(PdfGraphicsTest, APictureUsedAgainIsStoredOnce)
{
    TestHome home;
    const std::string path = home.File("logo.pdf");
    {
        auto document = PdfDocument::Create(path, PdfWriteOptions{}, nullptr);
        ASSERT_TRUE(document);
        for (int page = 0; page < 2; ++page) {
            document->BeginPage();
            EXPECT_EQ(DrawImage(*document, Bytes(testing::kPngAlpha), {100, 100, 80, 80}), PdfStatus::Ok);
            EXPECT_EQ(DrawImage(*document, Bytes(testing::kPngAlpha), {300, 100, 0, 0}), PdfStatus::Ok);
            document->EndPage();
        }
        ASSERT_EQ(document->Finish(), PdfStatus::Ok);
    }
    const std::string text = ReadFile(path);
    size_t masks = 0, entries = 0;
    for (size_t at = text.find("/SMask "); at != std::string::npos; at = text.find("/SMask ", at + 1))
        ++masks;
    for (size_t at = text.find("/XObject << /IMG_000001 "); at != std::string::npos;
         at = text.find("/XObject << /IMG_000001 ", at + 1))
        ++entries;
    EXPECT_EQ(masks, 1u);
    EXPECT_EQ(entries, 2u); // once on each page, never twice on one
    EXPECT_EQ(text.find("/IMG_000002"), std::string::npos);
    EXPECT_EQ(QpdfCheck(path).status, 0) << QpdfCheck(path).output;
    const Pixmap pixels = testing::RenderFirstPage(path);
    EXPECT_PIXEL(pixels, 140, 120, kBlue, 4);
    EXPECT_PIXEL(pixels, 304, 102, kBlue, 4);  // the second keeps the picture's 8 x 8
    EXPECT_PIXEL(pixels, 302, 110, kWhite, 4); // its bottom right quarter is clear
}

TEST(PdfGraphicsTest, APictureThatDoesNotDecodeIsSkipped)
{
    const uint8_t broken[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0};
    const Drawn drawn = DrawPage([&](PdfDocument& document) {
        EXPECT_EQ(DrawImage(document, Bytes(broken), {100, 100, 40, 40}), PdfStatus::Ok);
        EXPECT_EQ(DrawImage(document, {}, {100, 100, 40, 40}), PdfStatus::Ok);
    });
    EXPECT_EQ(drawn.text.find("/XObject"), std::string::npos);
    EXPECT_EQ(drawn.text.find("/IMG_"), std::string::npos);
}

TEST(PdfGraphicsTest, APictureWithoutAnOpenPageFails)
{
    TestHome home;
    auto document = PdfDocument::Create(home.File("closed.pdf"), PdfWriteOptions{}, nullptr);
    ASSERT_TRUE(document);
    EXPECT_EQ(DrawImage(*document, Bytes(testing::kPngGray), {0, 0, 10, 10}), PdfStatus::Failed);
    EXPECT_EQ(document->Finish(), PdfStatus::Ok);
}

} // namespace
} // namespace tavolex::pdf
