// The SVG value parsers: colours, lengths, number lists, transformation lists, path data with
// arcs, and Base64.
#include <svg.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace tavolex::pdf;

namespace {

constexpr double kTolerance = 1e-6;

// Path segments as text: "M x,y L x,y C x,y x,y x,y Z", numbers rounded to 3 decimals.
std::string Describe(const Path& path)
{
    auto number = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", std::fabs(v) < 0.0005 ? 0.0 : v);
        std::string s = text;
        while (s.back() == '0')
            s.pop_back();
        if (s.back() == '.')
            s.pop_back();
        return s;
    };
    auto point = [&](Point p) { return number(p.x) + "," + number(p.y); };
    std::string out;
    for (const Segment& s : path.segments()) {
        if (!out.empty())
            out += ' ';
        switch (s.kind) {
        case SegmentKind::Move: out += "M " + point(s.points[0]); break;
        case SegmentKind::Line: out += "L " + point(s.points[0]); break;
        case SegmentKind::Cubic:
            out += "C " + point(s.points[0]) + " " + point(s.points[1]) + " " + point(s.points[2]);
            break;
        case SegmentKind::Close: out += "Z"; break;
        }
    }
    return out;
}

} // namespace

TEST(SvgColor, ParsesEveryForm)
{
    const Color start{1, 2, 3, 77};
    struct Row {
        const char* text;
        ColorParse result;
        Color color; // alpha stays 77 in every row
    } rows[] = {
        {"#fff", ColorParse::Parsed, {255, 255, 255, 77}},
        {"#abc", ColorParse::Parsed, {0xaa, 0xbb, 0xcc, 77}},
        {"#ff0000", ColorParse::Parsed, {255, 0, 0, 77}},
        {"  #1A2b3C", ColorParse::Parsed, {0x1a, 0x2b, 0x3c, 77}},
        {"#ffff", ColorParse::Invalid, start},
        {"#12345g", ColorParse::Invalid, start},
        {"#", ColorParse::Invalid, start},
        {"rgb(10, 20, 30)", ColorParse::Parsed, {10, 20, 30, 77}},
        {"rgb(10.9 20.5 300)", ColorParse::Parsed, {10, 20, 255, 77}}, // cut, then limited
        {"rgb(-5,0,0)", ColorParse::Parsed, {0, 0, 0, 77}},
        {"rgb(100%, 50%, 0%)", ColorParse::Parsed, {255, 127, 0, 77}},
        {"rgb(1,2)", ColorParse::Invalid, start},
        {"rgba(1,2,3,0.5)", ColorParse::Parsed, {1, 2, 3, 77}},
        {"rgb 1 2 3", ColorParse::Invalid, start},
        {"yellowgreen", ColorParse::Parsed, {154, 205, 50, 77}},
        {"aliceblue", ColorParse::Parsed, {240, 248, 255, 77}},
        {" black ", ColorParse::Parsed, {0, 0, 0, 77}},
        {"grey", ColorParse::Parsed, {128, 128, 128, 77}},
        {"rebeccapurple", ColorParse::Invalid, start},
        {"Red", ColorParse::Invalid, start},
        {"inherit", ColorParse::Inherit, start},
        {"", ColorParse::Invalid, start},
        {"currentColor", ColorParse::Invalid, start},
    };
    for (const Row& row : rows) {
        Color color = start;
        EXPECT_EQ(ParseSvgColor(row.text, color), row.result) << row.text;
        EXPECT_EQ(color, row.color) << row.text;
    }
}

TEST(SvgColor, KeywordTableIsSortedAndComplete)
{
    for (size_t i = 1; i < std::size(kSvgColorKeywords); ++i)
        EXPECT_LT(kSvgColorKeywords[i - 1].name, kSvgColorKeywords[i].name);
    // Every keyword is found by the search.
    for (const ColorKeyword& keyword : kSvgColorKeywords) {
        Color color{1, 1, 1, 255};
        ASSERT_EQ(ParseSvgColor(keyword.name, color), ColorParse::Parsed) << keyword.name;
        EXPECT_EQ(color, (Color{keyword.red, keyword.green, keyword.blue, 255})) << keyword.name;
    }
}

TEST(SvgLength, ReadsNumbersAndUnits)
{
    struct Row {
        const char* text;
        bool valid;
        double value;
        bool percent;
    } rows[] = {
        {"10", true, 10, false},
        {"10px", true, 10, false},
        {"  ,2.5", true, 2.5, false},
        {"-3e1", true, -30, false},
        {"+4", true, 4, false},
        {"2em", true, 20, false},   // font size 10
        {"2ex", true, 10, false},
        {"1e1em", true, 100, false},
        {"72pt", true, 96, false},
        {"1pc", true, 16, false},
        {"2.54cm", true, 96, false},
        {"10mm", true, 96 * 0.3937008, false},
        {"1in", true, 96, false},
        {"50%", true, 0.5, true},
        {"10 px", false, 0, false},
        {"10km", false, 0, false},
        {"px", false, 0, false},
        {"", false, 0, false},
        {"1.5.5", false, 0, false},
        {"1e999", false, 0, false},
    };
    for (const Row& row : rows) {
        const std::optional<Length> length = ParseSvgLength(row.text, 10);
        ASSERT_EQ(length.has_value(), row.valid) << row.text;
        if (!length)
            continue;
        EXPECT_NEAR(length->value, row.value, kTolerance) << row.text;
        EXPECT_EQ(length->percent, row.percent) << row.text;
    }
}

TEST(SvgNumberList, SeparatorsSignsAndPoints)
{
    struct Row {
        const char* text;
        std::vector<double> numbers;
    } rows[] = {
        {"1 2,3\t4\n5\r6", {1, 2, 3, 4, 5, 6}},
        {"0.5.5", {0.5, 0.5}},
        {"1-2+3", {1, -2, 3}},
        {"1e-2-3E+1", {0.01, -30}},
        {"1e 2", {1}},          // an "e" without digits is not an exponent...
        {"1 2 x 3", {1, 2}},    // ...and any other character ends the list
        {".5-.5", {0.5, -0.5}},
        {"--1", {}},
        {"", {}},
        {"1;2", {1}},
    };
    for (const Row& row : rows) {
        const std::vector<double> numbers = ParseSvgNumberList(row.text);
        ASSERT_EQ(numbers.size(), row.numbers.size()) << row.text;
        for (size_t i = 0; i < numbers.size(); ++i)
            EXPECT_NEAR(numbers[i], row.numbers[i], kTolerance) << row.text;
    }
    EXPECT_EQ(ParseSvgNumberList("1 2 3 4 5", 3).size(), 3u);
}

TEST(SvgTransform, AppliesListsInOrder)
{
    struct Row {
        const char* text;
        Matrix expected;
        int passedOver;
    } rows[] = {
        {"translate(5 0)", {1, 0, 0, 1, 5, 0}, 0},
        {"translate(5)", {1, 0, 0, 1, 5, 0}, 0},
        {"translate(1,2) scale(2)", {2, 0, 0, 2, 1, 2}, 0},
        {"scale(2) translate(1,2)", {2, 0, 0, 2, 2, 4}, 0},
        {"scale(2,3)", {2, 0, 0, 3, 0, 0}, 0},
        {"rotate(90)", {0, 1, -1, 0, 0, 0}, 0},
        {"rotate(90 10 10)", {0, 1, -1, 0, 20, 0}, 0},
        {"matrix(1 2 3 4 5 6)", {1, 2, 3, 4, 5, 6}, 0},
        {"matrix(1,2,3,4,5)", {1, 0, 0, 1, 0, 0}, 1},
        {"skewX(10) translate(5 0)", {1, 0, 0, 1, 5, 0}, 1},
        {"skewY(30)", {1, 0, 0, 1, 0, 0}, 1},
        {"translate (3, 4)", {1, 0, 0, 1, 3, 4}, 0},
        {"translate(3, 4", {1, 0, 0, 1, 0, 0}, 1},
        {"TRANSLATE(3)", {1, 0, 0, 1, 0, 0}, 0},
        {"bogus translate(1)", {1, 0, 0, 1, 1, 0}, 0},
        {"", {1, 0, 0, 1, 0, 0}, 0},
    };
    for (const Row& row : rows) {
        Matrix m;
        EXPECT_EQ(ApplySvgTransformList(row.text, m), row.passedOver) << row.text;
        EXPECT_NEAR(m.a, row.expected.a, kTolerance) << row.text;
        EXPECT_NEAR(m.b, row.expected.b, kTolerance) << row.text;
        EXPECT_NEAR(m.c, row.expected.c, kTolerance) << row.text;
        EXPECT_NEAR(m.d, row.expected.d, kTolerance) << row.text;
        EXPECT_NEAR(m.e, row.expected.e, kTolerance) << row.text;
        EXPECT_NEAR(m.f, row.expected.f, kTolerance) << row.text;
    }
    // The list acts on the matrix it is given: the first transformation listed acts last.
    Matrix m = Matrix::Translation(100, 0);
    ApplySvgTransformList("scale(2)", m);
    const Point p = m.Apply({1, 1});
    EXPECT_NEAR(p.x, 102, kTolerance);
    EXPECT_NEAR(p.y, 2, kTolerance);
}

TEST(SvgPathData, CommandsRepeatsAndFaults)
{
    struct Row {
        const char* d;
        const char* path;
        bool complete;
    } rows[] = {
        // absolute and relative lines, implicit repeats
        {"M0 0 10 10", "M 0,0 L 10,10", true},
        {"m1 1 2 2 3 3", "M 1,1 L 3,3 L 6,6", true},
        {"M0,0L10,0,10,10Z", "M 0,0 L 10,0 L 10,10 Z", true},
        {"M5 5 h10 v10 H0 V0", "M 5,5 L 15,5 L 15,15 L 0,15 L 0,0", true},
        {"M5 5 h-1-1", "M 5,5 L 4,5 L 3,5", true},
        {"M0 0l.5.5", "M 0,0 L 0.5,0.5", true},
        // close returns to the start; a later drawing command starts a new figure there
        {"M1 1 L5 1 z l1 1", "M 1,1 L 5,1 Z M 1,1 L 2,2", true},
        {"M1 1 L5 1 z m1 1 l1 0", "M 1,1 L 5,1 Z M 2,2 L 3,2", true},
        // cubics, reflections only after the same family
        {"M0 0 C1 1 2 1 3 0 S5 -1 6 0", "M 0,0 C 1,1 2,1 3,0 C 4,-1 5,-1 6,0", true},
        {"M0 0 L3 0 S5 -1 6 0", "M 0,0 L 3,0 C 3,0 5,-1 6,0", true},
        {"M0 0 c1 1 2 1 3 0 s2 -1 3 0", "M 0,0 C 1,1 2,1 3,0 C 4,-1 5,-1 6,0", true},
        // quadratics become cubics
        {"M0 0 Q3 3 6 0", "M 0,0 C 2,2 4,2 6,0", true},
        {"M0 0 Q3 3 6 0 T12 0", "M 0,0 C 2,2 4,2 6,0 C 8,-2 10,-2 12,0", true},
        {"M0 0 T6 0", "M 0,0 C 0,0 2,0 6,0", true}, // control point at the current point
        // faults: what was read before stays
        {"M0 0 L10 10 F5 5", "M 0,0 L 10,10", false},
        {"M0 0 L10 10 p", "M 0,0 L 10,10", false},
        {"M0 0 L10", "M 0,0", false},
        {"M0 0 L10 10 #", "M 0,0 L 10,10", false},
        {"L10 10", "", false},
        {"10 10", "", false},
        {"M0 0 Z 5 5", "M 0,0 Z", false},
        {"", "", true},
        {"  ", "", true},
    };
    for (const Row& row : rows) {
        size_t stoppedAt = 0;
        const Path path = ParseSvgPathData(row.d, &stoppedAt);
        EXPECT_EQ(Describe(path), row.path) << row.d;
        EXPECT_EQ(stoppedAt == SIZE_MAX, row.complete) << row.d;
    }
}

TEST(SvgPathData, ArcsByEndpointToCentreConversion)
{
    // Points on a circle of radius 10 around (10, 0): every end point and the arc's middle.
    auto endPoints = [](const Path& path) {
        std::vector<Point> points;
        for (const Segment& s : path.segments())
            if (s.kind == SegmentKind::Cubic)
                points.push_back(s.points[2]);
        return points;
    };
    struct Row {
        const char* d;
        size_t cubics;
        Point centre; // every end point lies on the circle of radius `radius` around it
        double radius;
        Point last;
    } rows[] = {
        // half circle from (0,0) to (20,0), sweep 1 runs through y > 0 in SVG's y-down space
        {"M0 0 A10 10 0 0 1 20 0", 2, {10, 0}, 10, {20, 0}},
        {"M0 0 a10 10 0 0 0 20 0", 2, {10, 0}, 10, {20, 0}},
        // radii too small are scaled up to fit the chord
        {"M0 0 A1 1 0 0 1 20 0", 2, {10, 0}, 10, {20, 0}},
        // quarter arcs: the flags choose one of the two centres
        {"M0 0 A10 10 0 0 1 10 10", 1, {0, 10}, 10, {10, 10}},
        {"M0 0 A10 10 0 1 0 10 10", 3, {0, 10}, 10, {10, 10}},
        {"M0 0 A10 10 0 0 0 10 10", 1, {10, 0}, 10, {10, 10}},
        {"M0 0 A10 10 0 1 1 10 10", 3, {10, 0}, 10, {10, 10}},
        // flags written without separators
        {"M0 0 a10 10 0 0110 10", 1, {0, 10}, 10, {10, 10}},
    };
    for (const Row& row : rows) {
        const Path path = ParseSvgPathData(row.d);
        const std::vector<Point> points = endPoints(path);
        ASSERT_EQ(points.size(), row.cubics) << row.d;
        for (const Point& p : points)
            EXPECT_NEAR(std::hypot(p.x - row.centre.x, p.y - row.centre.y), row.radius, 1e-6) << row.d;
        EXPECT_NEAR(points.back().x, row.last.x, kTolerance) << row.d;
        EXPECT_NEAR(points.back().y, row.last.y, kTolerance) << row.d;
    }
    // Sweep 1 runs in the direction of growing angles, clockwise on a y-down page: from (0,0)
    // to (20,0) over the top (negative y); sweep 0 under the bottom.
    EXPECT_LT(endPoints(ParseSvgPathData("M0 0 A10 10 0 0 1 20 0"))[0].y, -9.99);
    EXPECT_GT(endPoints(ParseSvgPathData("M0 0 A10 10 0 0 0 20 0"))[0].y, 9.99);
    // The cubic's middle lies on the circle too (approximation error below 0.03 %).
    const Path quarter = ParseSvgPathData("M20 10 A10 10 0 0 1 10 20");
    const Segment& s = quarter.segments()[1];
    const double t = 0.5, u = 1 - t;
    const Point start = quarter.segments()[0].points[0];
    const double mx = u * u * u * start.x + 3 * u * u * t * s.points[0].x + 3 * u * t * t * s.points[1].x + t * t * t * s.points[2].x;
    const double my = u * u * u * start.y + 3 * u * u * t * s.points[0].y + 3 * u * t * t * s.points[1].y + t * t * t * s.points[2].y;
    EXPECT_NEAR(std::hypot(mx - 10, my - 10), 10, 0.003);
    // A rotated ellipse: rx 20, ry 10 turned by 90 degrees is 10 wide and 20 high.
    const Path rotated = ParseSvgPathData("M0 0 A20 10 90 0 1 0 40");
    for (const Point& p : endPoints(rotated))
        EXPECT_NEAR(std::pow(p.x / 10, 2) + std::pow((p.y - 20) / 20, 2), 1, 1e-6);
    // Degenerate arcs: to the same point nothing, with a zero radius a line.
    EXPECT_EQ(Describe(ParseSvgPathData("M5 5 A10 10 0 0 1 5 5")), "M 5,5");
    EXPECT_EQ(Describe(ParseSvgPathData("M5 5 A0 10 0 0 1 9 9")), "M 5,5 L 9,9");
    // A bad flag stops reading.
    size_t stoppedAt = 0;
    EXPECT_EQ(Describe(ParseSvgPathData("M0 0 A10 10 0 2 1 20 0", &stoppedAt)), "M 0,0");
    EXPECT_EQ(stoppedAt, 5u);
}

TEST(SvgShapes, EllipseAndRoundedRectangle)
{
    const Path circle = SvgEllipsePath(10, 10, 5, 5);
    ASSERT_EQ(circle.segments().size(), 6u); // move, four quarter cubics, close
    EXPECT_EQ(Describe(circle).substr(0, 7), "M 15,10");
    EXPECT_EQ(Describe(SvgRectanglePath(1, 2, 3, 4, 0, 0)), "M 1,2 L 4,2 L 4,6 L 1,6 Z");
    // Radii larger than half a side are limited to it.
    const Path rounded = SvgRectanglePath(0, 0, 10, 4, 8, 8);
    EXPECT_EQ(Describe(rounded).substr(0, 13), "M 5,0 L 5,0 C");
}

TEST(Base64, DecodesTheStandardAlphabet)
{
    struct Row {
        const char* text;
        std::optional<std::string> bytes;
    } rows[] = {
        {"", std::string()},
        {"TWFu", std::string("Man")},
        {"TWE=", std::string("Ma")},
        {"TQ==", std::string("M")},
        {"TQ", std::string("M")},
        {"T W\nF u", std::string("Man")},
        {"+/+/", std::string("\xfb\xff\xbf")},
        {"TWFu!", std::nullopt},
        {"TQ==TQ==", std::nullopt},
        {"T", std::nullopt},
        {"-_", std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(DecodeBase64(row.text), row.bytes) << row.text;
}
