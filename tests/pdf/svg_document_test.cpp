// Whole SVG pages parsed into SvgDocument: drawing items and their geometry, presentation and
// its inheritance, class rules, definitions and references, gradients, clip paths, pictures,
// text runs, the document size rules and the recursion limits.
#include <svg.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace tavolex::pdf;

namespace {

constexpr double kTolerance = 1e-6;

SvgDocument Parse(const std::string& body, const std::string& rootAttributes = "width=\"200\" height=\"100\"")
{
    SvgDocument document;
    const SvgStatus status = ParseSvg(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" " +
            rootAttributes + ">" + body + "</svg>",
        document);
    EXPECT_EQ(status, SvgStatus::Ok) << body << "\n" << document.firstWarning;
    return document;
}

// The points of an item's path after its transformation, rounded to 1e-3.
std::vector<Point> PagePoints(const SvgItem& item)
{
    std::vector<Point> points;
    for (const Segment& s : item.path.segments()) {
        const int count = s.kind == SegmentKind::Cubic ? 3 : s.kind == SegmentKind::Close ? 0 : 1;
        for (int i = 0; i < count; ++i) {
            const Point p = item.transform.Apply(s.points[i]);
            points.push_back({std::round(p.x * 1000) / 1000, std::round(p.y * 1000) / 1000});
        }
    }
    return points;
}

std::string Kinds(const SvgDocument& document)
{
    std::string out;
    for (const SvgItem& item : document.items)
        out += std::to_string(int(item.kind()));
    return out;
}

void ExpectPoints(const SvgItem& item, const std::vector<Point>& expected, const std::string& what)
{
    const std::vector<Point> points = PagePoints(item);
    ASSERT_EQ(points.size(), expected.size()) << what;
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_NEAR(points[i].x, expected[i].x, 1e-3) << what << " point " << i;
        EXPECT_NEAR(points[i].y, expected[i].y, 1e-3) << what << " point " << i;
    }
}

class CountingSink : public ProgressSink {
public:
    explicit CountingSink(int cancelAfter) : cancelAfter_(cancelAfter) {}
    bool IsCancelled() override { return ++asked_ > cancelAfter_; }
    void ReportProgress(double fraction) override { fractions.push_back(fraction); }
    std::vector<double> fractions;

private:
    int cancelAfter_;
    int asked_ = 0;
};

} // namespace

TEST(SvgDocument, ShapesBecomeItemsWithTheirGeometry)
{
    struct Row {
        const char* element;
        SvgItemKind kind;
        std::vector<Point> points; // on the page, after every transformation
    } rows[] = {
        {"<line x1=\"1\" y1=\"2\" x2=\"3\" y2=\"4\"/>", SvgItemKind::Line, {{1, 2}, {3, 4}}},
        {"<line x1=\"1\" y1=\"2\" x2=\"3\" y2=\"4\" transform=\"translate(10 20)\"/>", SvgItemKind::Line, {{11, 22}, {13, 24}}},
        {"<g transform=\"scale(2)\"><line x2=\"3\" y2=\"4\" transform=\"translate(1 1)\"/></g>", SvgItemKind::Line, {{2, 2}, {8, 10}}},
        {"<rect x=\"1\" y=\"2\" width=\"3\" height=\"4\"/>", SvgItemKind::Rectangle, {{1, 2}, {4, 2}, {4, 6}, {1, 6}}},
        {"<rect width=\"10%\" height=\"50%\"/>", SvgItemKind::Rectangle, {{0, 0}, {20, 0}, {20, 50}, {0, 50}}},
        {"<rect width=\"1in\" height=\"72pt\" transform=\"rotate(90)\"/>", SvgItemKind::Rectangle, {{0, 0}, {0, 96}, {-96, 96}, {-96, 0}}},
        {"<polygon points=\"0,0 10,0 10,10\"/>", SvgItemKind::Polygon, {{0, 0}, {10, 0}, {10, 10}}},
        {"<polyline points=\"0 0 10 0 10 10 5\"/>", SvgItemKind::Polyline, {{0, 0}, {10, 0}, {10, 10}}},
        {"<path d=\"M0 0 10 10\" transform=\"skewX(10) translate(5 0)\"/>", SvgItemKind::Path, {{5, 0}, {15, 10}}},
        {"<path d=\"m1 1 h2 v2 z\"/>", SvgItemKind::Path, {{1, 1}, {3, 1}, {3, 3}}},
    };
    for (const Row& row : rows) {
        const SvgDocument document = Parse(row.element);
        ASSERT_EQ(document.items.size(), 1u) << row.element;
        EXPECT_EQ(document.items[0].kind(), row.kind) << row.element;
        ExpectPoints(document.items[0], row.points, row.element);
    }

    // Circles and ellipses: four quarter cubics through the four extreme points.
    const SvgDocument round = Parse("<circle cx=\"10\" cy=\"20\" r=\"5\"/><ellipse cx=\"0\" cy=\"0\" rx=\"4\" ry=\"2\" transform=\"translate(1 1)\"/>");
    ASSERT_EQ(Kinds(round), "01");
    const std::vector<Point> circle = PagePoints(round.items[0]);
    ASSERT_EQ(circle.size(), 13u);
    EXPECT_NEAR(circle[0].x, 15, kTolerance);
    EXPECT_NEAR(circle[3].y, 25, kTolerance);
    EXPECT_NEAR(circle[6].x, 5, kTolerance);
    EXPECT_NEAR(circle[9].y, 15, kTolerance);
    const std::vector<Point> ellipse = PagePoints(round.items[1]);
    EXPECT_NEAR(ellipse[0].x, 5, kTolerance);
    EXPECT_NEAR(ellipse[3].y, 3, kTolerance);

    // Not drawn: sides or radii that are not positive, masks and their content, definitions.
    const SvgDocument none = Parse(
        "<rect width=\"0\" height=\"10\"/><rect width=\"10\" height=\"-1\"/><rect width=\"10\"/>"
        "<circle r=\"0\"/><ellipse rx=\"3\"/><polygon points=\"\"/>"
        "<mask id=\"m\"><rect width=\"10\" height=\"10\"/></mask>"
        "<defs><rect width=\"10\" height=\"10\"/><g><circle r=\"4\"/></g></defs>"
        "<clipPath id=\"c\"><rect width=\"10\" height=\"10\"/></clipPath>"
        "<linearGradient id=\"g\"><stop offset=\"0\"/></linearGradient>"
        "<title>t</title><metadata><rect width=\"1\" height=\"1\"/></metadata>");
    EXPECT_EQ(Kinds(none), "");

    // Geometry that overflows the range of numbers is not handed on.
    const SvgDocument huge = Parse("<rect width=\"1\" height=\"1\" transform=\"scale(1e300) scale(1e300)\"/>"
                                   "<path d=\"M0 0 L1e308 0 l1e308 0\"/><rect width=\"1\" height=\"1\"/>");
    EXPECT_EQ(Kinds(huge), "5");
    EXPECT_EQ(huge.firstWarning, "An element whose geometry overflows is not drawn");

    // Unknown elements create nothing but their children are walked.
    EXPECT_EQ(Kinds(Parse("<foo><bar><rect width=\"1\" height=\"1\"/></bar></foo>")), "5");
}

TEST(SvgDocument, InitialPresentationState)
{
    const SvgDocument document = Parse("<rect width=\"1\" height=\"1\"/><text>a</text>");
    ASSERT_EQ(document.items.size(), 2u);
    const SvgItem& item = document.items[0];
    EXPECT_EQ(item.fill.kind, SvgPaintKind::Color);
    EXPECT_EQ(item.fill.color, (Color{0, 0, 0, 255}));
    EXPECT_EQ(item.stroke.kind, SvgPaintKind::None);
    EXPECT_EQ(item.stroke.color.alpha, 255);
    EXPECT_EQ(item.fillRule, SvgFillRule::NonZero);
    EXPECT_EQ(item.pen.width, 1);
    EXPECT_EQ(item.pen.cap, SvgLineCap::Butt);
    EXPECT_EQ(item.pen.join, SvgLineJoin::Miter);
    EXPECT_EQ(item.pen.miterLimit, 4);
    EXPECT_EQ(item.pen.dash, DashStyle::Solid);
    EXPECT_TRUE(item.transform.IsIdentity());
    EXPECT_FALSE(item.hasClip);
    const SvgTextRun& run = *document.items[1].text();
    EXPECT_EQ(run.font.family, "MS Shell Dlg 2");
    EXPECT_EQ(run.font.size, 16);
    EXPECT_EQ(run.font.weight, 400);
    EXPECT_FALSE(run.font.italic);
    EXPECT_EQ(run.anchor, SvgTextAnchor::Start);
    EXPECT_FALSE(run.underline);
    EXPECT_FALSE(run.lineThrough);
}

TEST(SvgDocument, PresentationAttributesAndStyles)
{
    struct Row {
        const char* attributes;
        void (*check)(const SvgItem&);
    } rows[] = {
        {"fill=\"red\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color, (Color{255, 0, 0, 255})); }},
        {"fill=\"none\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.kind, SvgPaintKind::None); }},
        {"fill=\"bogus\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.kind, SvgPaintKind::Color); EXPECT_EQ(i.fill.color, (Color{0, 0, 0, 255})); }},
        {"stroke=\"#00f\"", [](const SvgItem& i) { EXPECT_EQ(i.stroke.kind, SvgPaintKind::Color); EXPECT_EQ(i.stroke.color, (Color{0, 0, 255, 255})); }},
        {"opacity=\"0.5\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color.alpha, 127); EXPECT_EQ(i.stroke.color.alpha, 255); }},
        {"fill-opacity=\"2\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color.alpha, 255); }},
        {"fill-opacity=\"-1\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color.alpha, 0); }},
        {"fill-opacity=\"50%\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color.alpha, 127); }},
        {"stroke-opacity=\"0.25\" fill=\"blue\"", [](const SvgItem& i) { EXPECT_EQ(i.stroke.color.alpha, 63); EXPECT_EQ(i.fill.color.alpha, 255); }},
        {"fill-opacity=\"0.5\" fill=\"red\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color, (Color{255, 0, 0, 127})); }},
        {"fill-rule=\"evenodd\"", [](const SvgItem& i) { EXPECT_EQ(i.fillRule, SvgFillRule::EvenOdd); }},
        {"stroke-width=\"3\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.width, 3); }},
        {"stroke-width=\"10%\"", [](const SvgItem& i) { EXPECT_NEAR(i.pen.width, 0.1 * std::sqrt((200.0 * 200 + 100 * 100) / 2), kTolerance); }},
        {"stroke-width=\"-2\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.width, 1); }},
        {"stroke-linecap=\"round\" stroke-linejoin=\"bevel\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.cap, SvgLineCap::Round); EXPECT_EQ(i.pen.join, SvgLineJoin::Bevel); }},
        {"stroke-linecap=\"square\" stroke-linejoin=\"round\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.cap, SvgLineCap::Square); EXPECT_EQ(i.pen.join, SvgLineJoin::Round); }},
        {"stroke-miterlimit=\"0.5\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.miterLimit, 1); }},
        {"stroke-miterlimit=\"8\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.miterLimit, 8); }},
        {"stroke-dasharray=\"5 3 2\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.dash, DashStyle::Custom); EXPECT_EQ(i.pen.dashes, (std::vector<double>{5, 3, 2, 5, 3, 2})); }},
        {"stroke-dasharray=\"4,2\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.dashes, (std::vector<double>{4, 2})); }},
        {"stroke-dasharray=\"0 0\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.dash, DashStyle::Solid); }},
        {"stroke-dasharray=\"none\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.dash, DashStyle::Solid); }},
        {"stroke-dasharray=\"4 -2\"", [](const SvgItem& i) { EXPECT_EQ(i.pen.dash, DashStyle::Solid); }},
        {"style=\" fill : red ; stroke:blue;stroke-width:2\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color, (Color{255, 0, 0, 255})); EXPECT_EQ(i.stroke.color, (Color{0, 0, 255, 255})); EXPECT_EQ(i.pen.width, 2); }},
        {"transform=\"translate(1 2)\"", [](const SvgItem& i) { EXPECT_EQ(i.transform.e, 1); EXPECT_EQ(i.transform.f, 2); }},
        {"fill=\"inherit\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color, (Color{0, 0, 0, 255})); }},
        {"unknown=\"x\" fill=\"lime\"", [](const SvgItem& i) { EXPECT_EQ(i.fill.color, (Color{0, 255, 0, 255})); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.attributes);
        const SvgDocument document = Parse(std::string("<rect width=\"1\" height=\"1\" ") + row.attributes + "/>");
        ASSERT_EQ(document.items.size(), 1u);
        row.check(document.items[0]);
    }
}

TEST(SvgDocument, PresentationInheritsAndClassesApply)
{
    const SvgDocument document = Parse(
        "<style type=\"text/css\"><![CDATA[ .warm{fill:orange} .a, .b {stroke:red} .c, .d{stroke-width:7}"
        " .a{stroke-width:3} rect{fill:blue} /* .x{fill:red} */ ]]></style>"
        "<style>.plain{fill-opacity:0.5}</style>"
        "<style type=\"text/other\">.skipped{fill:red}</style>"
        "<g fill=\"green\" stroke=\"black\" stroke-width=\"4\">"
        "  <rect width=\"1\" height=\"1\"/>"
        "  <g fill=\"none\"><rect width=\"1\" height=\"1\" stroke=\"none\"/></g>"
        "  <rect width=\"1\" height=\"1\" class=\"warm\"/>"
        "  <rect width=\"1\" height=\"1\" class=\"a\"/>"
        "  <rect width=\"1\" height=\"1\" class=\"b d\"/>"
        "  <rect width=\"1\" height=\"1\" class=\"plain skipped x\"/>"
        "</g><rect width=\"1\" height=\"1\"/>");
    ASSERT_EQ(document.items.size(), 7u);
    const auto& items = document.items;
    EXPECT_EQ(items[0].fill.color, (Color{0, 128, 0, 255}));
    EXPECT_EQ(items[0].stroke.color, (Color{0, 0, 0, 255}));
    EXPECT_EQ(items[0].pen.width, 4);
    EXPECT_EQ(items[1].fill.kind, SvgPaintKind::None);
    EXPECT_EQ(items[1].stroke.kind, SvgPaintKind::None);
    EXPECT_EQ(items[2].fill.color, (Color{255, 165, 0, 255}));
    // ".a" holds both of its rules.
    EXPECT_EQ(items[3].stroke.color, (Color{255, 0, 0, 255}));
    EXPECT_EQ(items[3].pen.width, 3);
    // In ".a, .b" the second piece starts with a space: ".b" receives nothing; ".d" neither.
    EXPECT_EQ(items[4].stroke.color, (Color{0, 0, 0, 255}));
    EXPECT_EQ(items[4].pen.width, 4);
    EXPECT_EQ(items[5].fill.color, (Color{0, 128, 0, 127}));
    // Outside the group everything is back to the initial state; "rect{...}" is no class rule.
    EXPECT_EQ(items[6].fill.color, (Color{0, 0, 0, 255}));
    EXPECT_EQ(items[6].stroke.kind, SvgPaintKind::None);
    EXPECT_EQ(document.classes.count("warm"), 1u);
    EXPECT_EQ(document.classes.count(" b"), 0u);
    EXPECT_EQ(document.classes.count("b"), 0u);
    EXPECT_EQ(document.classes.count("skipped"), 0u);
    EXPECT_EQ(document.classes.count("x"), 0u);
    EXPECT_EQ(document.classes.at("a"), "stroke:red;stroke-width:3");
}

TEST(SvgDocument, AClassRepeatedPastItsLimitKeepsItsFirstDeclarations)
{
    // ".a" stops growing at 16 KB and the rest of its rules are passed over with a warning; the
    // selector's next piece still takes the rule that ".a" could not.
    std::string rules;
    for (int i = 0; i < 700; ++i)
        rules += ".a{stroke:blue;stroke-width:2}";
    rules += ".a,.c{fill:red;stroke-linecap:round;stroke-linejoin:round}";
    const SvgDocument document = Parse("<style>" + rules + "</style><rect class=\"a\" width=\"1\" height=\"1\"/>"
                                       "<rect class=\"c\" width=\"1\" height=\"1\"/>");
    ASSERT_EQ(document.items.size(), 2u);
    EXPECT_EQ(document.items[0].stroke.color, (Color{0, 0, 255, 255}));
    EXPECT_EQ(document.items[0].pen.width, 2);
    EXPECT_EQ(document.items[0].fill.color, (Color{0, 0, 0, 255}));
    EXPECT_EQ(document.items[1].fill.color, (Color{255, 0, 0, 255}));
    EXPECT_LE(document.classes.at("a").size(), 16384u);
    EXPECT_GT(document.classes.at("a").size(), 16000u);
    EXPECT_EQ(document.firstWarning, "Class a has too many declarations; the rest are ignored");
}

TEST(SvgDocument, GradientsWithDefaultsAndInheritance)
{
    const SvgDocument document = Parse(
        "<rect width=\"10\" height=\"10\" fill=\"url(#late)\"/>"
        "<defs>"
        "  <linearGradient id=\"base\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"1\" spreadMethod=\"reflect\">"
        "    <stop offset=\"0\" stop-color=\"red\"/>"
        "    <stop offset=\"50%\" style=\"stop-color:#00f;stop-opacity:0.5\"/>"
        "    <stop offset=\"0.25\" stop-color=\"lime\" stop-opacity=\"3\"/>"
        "  </linearGradient>"
        "  <linearGradient id=\"child\" xlink:href=\"#base\" y2=\"5\" gradientUnits=\"userSpaceOnUse\"/>"
        "  <linearGradient id=\"plain\"><stop offset=\"1\" stop-color=\"white\"/></linearGradient>"
        "  <radialGradient id=\"round\" fx=\"3\"><stop offset=\"0\"/></radialGradient>"
        "  <radialGradient id=\"ring\" xlink:href=\"#base\" r=\"20%\" gradientTransform=\"scale(2)\"/>"
        "</defs>"
        "<rect width=\"10\" height=\"10\" fill=\"url(#child)\" stroke=\"url(#plain)\"/>"
        "<rect width=\"10\" height=\"10\" fill=\"url(#round)\" stroke=\"url(#ring)\"/>"
        "<rect width=\"10\" height=\"10\" fill=\"url(#missing)\" stroke=\"url('#base')\"/>"
        "<linearGradient id=\"late\" x1=\"0.1\"><stop offset=\"0\"/></linearGradient>");
    ASSERT_EQ(document.items.size(), 4u);
    auto gradientOf = [&](const SvgPaint& paint) -> const SvgGradient& {
        EXPECT_EQ(paint.kind, SvgPaintKind::Gradient);
        return document.gradients.at(size_t(paint.gradient));
    };
    // A gradient defined after its use is found.
    const SvgGradient& late = gradientOf(document.items[0].fill);
    EXPECT_EQ(late.id, "late");
    EXPECT_NEAR(late.x1.value, 0.1, kTolerance);
    EXPECT_EQ(late.x2.value, 0); // not all zero: no default

    const SvgGradient& child = gradientOf(document.items[1].fill);
    EXPECT_EQ(child.kind, SvgGradientKind::Linear);
    EXPECT_EQ(child.units, SvgGradientUnits::UserSpace);
    EXPECT_EQ(child.spread, SpreadMethod::Reflect); // inherited
    EXPECT_EQ(child.y2.value, 5);                   // its own value wins
    ASSERT_EQ(child.stops.size(), 3u);              // stops inherited
    EXPECT_EQ(child.stops[0].color, (Color{255, 0, 0, 255}));
    EXPECT_NEAR(child.stops[1].offset, 0.5, kTolerance);
    EXPECT_EQ(child.stops[1].color, (Color{0, 0, 255, 127}));
    EXPECT_NEAR(child.stops[2].offset, 0.5, kTolerance); // never below the stop before
    EXPECT_EQ(child.stops[2].opacity, 1);
    EXPECT_EQ(child.stops[2].color, (Color{0, 255, 0, 255}));

    // All-zero linear coordinates become 0 0 100% 0; the units default to the bounding box.
    const SvgGradient& plain = gradientOf(document.items[1].stroke);
    EXPECT_EQ(plain.units, SvgGradientUnits::ObjectBoundingBox);
    EXPECT_EQ(plain.spread, SpreadMethod::Pad);
    EXPECT_TRUE(plain.x2.percent);
    EXPECT_EQ(plain.x2.value, 1);
    EXPECT_EQ(plain.x1.value, 0);

    // Radial: cx, cy and r that are 0 become 50 %; the focus defaults to the centre.
    const SvgGradient& round = gradientOf(document.items[2].fill);
    EXPECT_EQ(round.kind, SvgGradientKind::Radial);
    for (const Length* l : {&round.cx, &round.cy, &round.r}) {
        EXPECT_TRUE(l->percent);
        EXPECT_EQ(l->value, 0.5);
    }
    EXPECT_EQ(round.fx.value, 3);
    EXPECT_EQ(round.fy.value, 0.5);
    const SvgGradient& ring = gradientOf(document.items[2].stroke);
    EXPECT_EQ(ring.kind, SvgGradientKind::Radial); // its own kind, the stops of the linear base
    EXPECT_EQ(ring.stops.size(), 3u);
    EXPECT_NEAR(ring.r.value, 0.2, kTolerance);
    EXPECT_EQ(ring.transform.a, 2);

    // A paint naming nothing keeps the inherited paint; a gradient is built once.
    EXPECT_EQ(document.items[3].fill.kind, SvgPaintKind::Color);
    EXPECT_EQ(gradientOf(document.items[3].stroke).id, "base"); // url('#base') with quotes
    size_t bases = 0;
    for (const SvgGradient& g : document.gradients)
        bases += g.id == "base";
    EXPECT_EQ(bases, 1u);
}

TEST(SvgDocument, GradientReferenceFailuresAndChains)
{
    // A gradient that inherits from a gradient that does not exist fails the page.
    SvgDocument broken;
    EXPECT_EQ(ParseSvg("<svg><linearGradient id=\"g\" xlink:href=\"#nothing\"/>"
                       "<rect width=\"1\" height=\"1\" fill=\"url(#g)\"/></svg>",
                       broken),
              SvgStatus::Failed);
    EXPECT_NE(broken.firstWarning.find("inherits from a missing gradient"), std::string::npos);

    // A cycle is refused without failing the page.
    SvgDocument cycle;
    EXPECT_EQ(ParseSvg("<svg width=\"5\" height=\"5\"><linearGradient id=\"a\" xlink:href=\"#b\"/>"
                       "<linearGradient id=\"b\" xlink:href=\"#a\"><stop offset=\"0\"/></linearGradient>"
                       "<rect width=\"1\" height=\"1\" fill=\"url(#a)\"/></svg>",
                       cycle),
              SvgStatus::Ok);
    EXPECT_NE(cycle.firstWarning.find("inherits from itself"), std::string::npos);

    // A chain longer than the limit is cut where it reaches it.
    std::string chain = "<svg width=\"5\" height=\"5\"><linearGradient id=\"g0\"><stop offset=\"0\"/></linearGradient>";
    const int links = kSvgMaxGradientChain + 4;
    for (int i = 1; i <= links; ++i)
        chain += "<linearGradient id=\"g" + std::to_string(i) + "\" xlink:href=\"#g" + std::to_string(i - 1) + "\"/>";
    chain += "<rect width=\"1\" height=\"1\" fill=\"url(#g" + std::to_string(links) + ")\"/></svg>";
    SvgDocument longChain;
    EXPECT_EQ(ParseSvg(chain, longChain), SvgStatus::Ok);
    EXPECT_NE(longChain.firstWarning.find("Gradient chain longer than 16"), std::string::npos);
    ASSERT_EQ(longChain.items.size(), 1u);
    EXPECT_EQ(longChain.items[0].fill.kind, SvgPaintKind::Gradient);
    EXPECT_TRUE(longChain.gradients[size_t(longChain.items[0].fill.gradient)].stops.empty());
}

TEST(SvgDocument, ClipPathsUseAndReferences)
{
    const SvgDocument document = Parse(
        "<defs><clipPath id=\"c\" transform=\"translate(1 0)\"><rect width=\"10\" height=\"10\" transform=\"translate(0 2)\"/>"
        "<use xlink:href=\"#shared\" clip-rule=\"evenodd\"/></clipPath>"
        "<circle id=\"shared\" r=\"3\" fill=\"red\"/></defs>"
        "<g clip-path=\"url(#c)\" transform=\"translate(100 0)\">"
        "  <rect width=\"5\" height=\"5\" transform=\"scale(2)\"/>"
        "</g>"
        "<use xlink:href=\"#shared\" x=\"7\" y=\"8\"/>"
        "<use xlink:href=\"#grp\"/><g id=\"grp\"/>"
        "<use xlink:href=\"#nowhere\"/>");
    ASSERT_EQ(Kinds(document), "50");
    const SvgItem& clipped = document.items[0];
    ASSERT_TRUE(clipped.hasClip);
    EXPECT_EQ(clipped.clipRule, SvgFillRule::EvenOdd);
    // The clip was named on the group (translate 100) and is kept in the item's own space
    // (scale 2 more): its first point, (1, 2) in the group, is (0.5, 1) for the item.
    ASSERT_FALSE(clipped.clipPath.IsEmpty());
    const Point first = clipped.clipPath.segments()[0].points[0];
    EXPECT_NEAR(first.x, 0.5, kTolerance);
    EXPECT_NEAR(first.y, 1, kTolerance);
    const Point onPage = clipped.transform.Apply(first);
    EXPECT_NEAR(onPage.x, 101, kTolerance);
    EXPECT_NEAR(onPage.y, 2, kTolerance);
    // The used circle is drawn where "x" and "y" put it, with its own fill.
    const SvgItem& used = document.items[1];
    EXPECT_EQ(used.fill.color, (Color{255, 0, 0, 255}));
    EXPECT_NEAR(PagePoints(used)[0].x, 10, kTolerance);
    EXPECT_NEAR(PagePoints(used)[0].y, 8, kTolerance);
    EXPECT_GE(document.warningCount, 2u); // the <g> and the missing target
}

TEST(SvgDocument, ReferenceCyclesAndDepthLimits)
{
    // A clip path that clips its own content with itself, and one that refers to a second that
    // refers back: refused, the page still parses.
    SvgDocument cycle;
    EXPECT_EQ(ParseSvg("<svg width=\"9\" height=\"9\"><clipPath id=\"a\"><rect width=\"1\" height=\"1\" clip-path=\"url(#b)\"/></clipPath>"
                       "<clipPath id=\"b\"><rect width=\"2\" height=\"2\" clip-path=\"url(#a)\"/></clipPath>"
                       "<rect width=\"3\" height=\"3\" clip-path=\"url(#a)\"/></svg>",
                       cycle),
              SvgStatus::Ok);
    EXPECT_NE(cycle.firstWarning.find("refers to itself or nests too deep"), std::string::npos);
    ASSERT_EQ(cycle.items.size(), 1u);
    EXPECT_TRUE(cycle.items[0].hasClip);

    // A chain of distinct clip paths deeper than the reference limit is cut there.
    std::string chain = "<svg width=\"9\" height=\"9\">";
    const int links = kSvgMaxReferenceDepth + 5;
    for (int i = 0; i < links; ++i)
        chain += "<clipPath id=\"c" + std::to_string(i) + "\"><rect width=\"1\" height=\"1\" clip-path=\"url(#c" +
                 std::to_string(i + 1) + ")\"/></clipPath>";
    chain += "<clipPath id=\"c" + std::to_string(links) + "\"><rect width=\"1\" height=\"1\"/></clipPath>";
    chain += "<rect width=\"3\" height=\"3\" clip-path=\"url(#c0)\"/></svg>";
    SvgDocument deep;
    EXPECT_EQ(ParseSvg(chain, deep), SvgStatus::Ok);
    EXPECT_NE(deep.firstWarning.find("refers to itself or nests too deep"), std::string::npos);

    // Element nesting beyond the walk's limit is not drawn; just inside it is.
    auto nested = [](int depth) {
        std::string text = "<svg width=\"9\" height=\"9\">";
        for (int i = 0; i < depth; ++i)
            text += "<g>";
        text += "<rect width=\"1\" height=\"1\"/>";
        for (int i = 0; i < depth; ++i)
            text += "</g>";
        return text + "</svg>";
    };
    SvgDocument inside;
    EXPECT_EQ(ParseSvg(nested(kSvgMaxElementDepth - 1), inside), SvgStatus::Ok);
    EXPECT_EQ(inside.items.size(), 1u);
    EXPECT_EQ(inside.warningCount, 0u);
    SvgDocument beyond;
    EXPECT_EQ(ParseSvg(nested(kSvgMaxElementDepth + 10), beyond), SvgStatus::Ok);
    EXPECT_EQ(beyond.items.size(), 0u);
    EXPECT_NE(beyond.firstWarning.find("nested deeper than 200"), std::string::npos);
}

TEST(SvgDocument, DocumentSizeRules)
{
    struct Row {
        const char* attributes;
        const char* body;
        double width, height;
        double viewBox[4];
    } rows[] = {
        {"width=\"200\" height=\"100\"", "", 200, 100, {0, 0, 0, 0}},
        {"width=\"200.9\" height=\"100.2px\"", "", 200, 100, {0, 0, 0, 0}},
        {"width=\"210mm\" height=\"297mm\"", "", 793, 1122, {0, 0, 0, 0}},
        {"viewBox=\"0 0 300 400\"", "", 300, 400, {0, 0, 300, 400}},
        {"width=\"0\" viewBox=\"10 20 300 400\" height=\"50\"", "", 300, 50, {10, 20, 300, 400}},
        {"width=\"50%\" height=\"100%\" viewBox=\"0,0,300,400\"", "", 150, 400, {0, 0, 300, 400}},
        {"viewBox=\"0 0 300\"", "<rect x=\"10\" width=\"20.6\" height=\"5.4\"/>", 31, 5, {0, 0, 0, 0}},
        {"", "<rect x=\"10\" width=\"20.5\" height=\"5.5\"/>", 31, 6, {0, 0, 0, 0}},
        {"width=\"100\"", "<circle cx=\"10\" cy=\"10\" r=\"5\" transform=\"scale(3)\"/>", 45, 45, {0, 0, 0, 0}},
        {"transform=\"scale(2)\"", "<line x2=\"10\" y2=\"20\"/>", 20, 40, {0, 0, 0, 0}},
        {"width=\"10km\" height=\"20\"", "", 0, 0, {0, 0, 0, 0}},
    };
    for (const Row& row : rows) {
        const SvgDocument document = Parse(row.body, row.attributes);
        SCOPED_TRACE(row.attributes);
        EXPECT_EQ(document.width, row.width);
        EXPECT_EQ(document.height, row.height);
        EXPECT_EQ(document.viewBoxX, row.viewBox[0]);
        EXPECT_EQ(document.viewBoxY, row.viewBox[1]);
        EXPECT_EQ(document.viewBoxWidth, row.viewBox[2]);
        EXPECT_EQ(document.viewBoxHeight, row.viewBox[3]);
        EXPECT_NEAR(document.unitFactorX, 0.26458332, 1e-9);
        EXPECT_NEAR(document.unitFactorY, 0.26458332, 1e-9);
    }
    // The root's transform is the root transformation, not the items'.
    const SvgDocument rooted = Parse("<rect width=\"1\" height=\"1\"/>", "width=\"9\" height=\"9\" transform=\"translate(3 4)\"");
    EXPECT_EQ(rooted.rootTransform.e, 3);
    EXPECT_EQ(rooted.rootTransform.f, 4);
    EXPECT_TRUE(rooted.items[0].transform.IsIdentity());
}

TEST(SvgDocument, EmbeddedPictures)
{
    struct Row {
        const char* href;
        bool drawn;
        const char* type;
        const char* bytes;
    } rows[] = {
        {"data:image/png;base64,iVBORw0KGgo=", true, "png", "\x89PNG\r\n\x1a\n"},
        {"data:image/jpeg;base64,/9j/4A==", true, "jpeg", "\xff\xd8\xff\xe0"},
        {"  data:image/svg+xml;base64,PHN2Zy8+", true, "svg+xml", "<svg/>"},
        {"data:image/png,rawbytes", false, "", ""},
        {"data:image/png;base64,!!!", false, "", ""},
        {"picture.png", false, "", ""},
        {"#id", false, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.href);
        const SvgDocument document = Parse(std::string("<image x=\"5\" y=\"6\" width=\"30\" height=\"40\" "
                                                       "preserveAspectRatio=\"xMaxYMin slice\" xlink:href=\"") +
                                           row.href + "\"/>");
        ASSERT_EQ(document.items.size(), row.drawn ? 1u : 0u);
        if (!row.drawn) {
            EXPECT_GE(document.warningCount, 1u);
            continue;
        }
        const SvgImage& image = *document.items[0].image();
        EXPECT_EQ(document.items[0].kind(), SvgItemKind::Image);
        EXPECT_EQ(image.type, row.type);
        EXPECT_EQ(image.bytes, row.bytes);
        EXPECT_EQ(image.x, 5);
        EXPECT_EQ(image.y, 6);
        EXPECT_EQ(image.width, 30);
        EXPECT_EQ(image.height, 40);
        EXPECT_EQ(image.aspect.align, AspectAlign::XMaxYMin);
        EXPECT_TRUE(image.aspect.slice);
    }
    // "href" without the xlink prefix works too, and the default aspect is xMidYMid meet.
    const SvgDocument plain = Parse("<image href=\"data:image/gif;base64,R0lGODlh\"/>");
    ASSERT_EQ(plain.items.size(), 1u);
    EXPECT_EQ(plain.items[0].image()->aspect.align, AspectAlign::XMidYMid);
    EXPECT_FALSE(plain.items[0].image()->aspect.slice);
    EXPECT_EQ(plain.items[0].image()->bytes, "GIF89a");
}

TEST(SvgDocument, TextRunsWithFontsPositionsAnchorsAndDecorations)
{
    const SvgDocument document = Parse(
        "<text x=\"10 20\" y=\"30\" font-family=\"Georgia, serif\" font-size=\"20\" text-anchor=\"middle\">\n"
        "   Soup   of <tspan font-weight=\"bold\" fill=\"red\" dy=\"2 3\" text-decoration=\"underline\">the\tday</tspan>"
        " only <tspan font-style=\"italic\" font-size=\"150%\" x=\"1em\" rotate=\"5\" text-decoration=\"line-through\">4.50</tspan>\n"
        "</text>"
        "<text x=\"5\" y=\"6\" font-weight=\"900\"><tspan font-weight=\"bolder\">A</tspan><tspan font-weight=\"550\">B</tspan>"
        "<tspan font-weight=\"lighter\" text-anchor=\"end\">C</tspan></text>"
        "<text xml:space=\"preserve\" x=\"1\">  two  spaces </text>"
        "<text id=\"source\" x=\"1\">Borrowed</text>"
        "<text y=\"9\"><tref xlink:href=\"#source\" fill=\"blue\"/></text>"
        "<path id=\"curve\" d=\"M0 0 L100 0\" transform=\"translate(0 50)\"/>"
        "<text><textPath xlink:href=\"#curve\">Along</textPath> after</text>");
    std::vector<const SvgItem*> runs;
    for (const SvgItem& item : document.items)
        if (item.kind() == SvgItemKind::Text || item.kind() == SvgItemKind::TextOnPath)
            runs.push_back(&item);
    ASSERT_EQ(runs.size(), 12u);

    const SvgTextRun& soup = *runs[0]->text();
    EXPECT_EQ(soup.text, "Soup of ");
    EXPECT_TRUE(soup.startsBlock);
    EXPECT_EQ(soup.x, (std::vector<double>{10, 20}));
    EXPECT_EQ(soup.y, (std::vector<double>{30}));
    EXPECT_EQ(soup.font.family, "Georgia, serif");
    EXPECT_EQ(soup.font.size, 20);
    EXPECT_EQ(soup.anchor, SvgTextAnchor::Middle);
    EXPECT_EQ(runs[0]->fill.color, (Color{0, 0, 0, 255}));

    const SvgTextRun& day = *runs[1]->text();
    EXPECT_EQ(day.text, "the day");
    EXPECT_FALSE(day.startsBlock);
    EXPECT_EQ(day.font.weight, 700);
    EXPECT_TRUE(day.underline);
    EXPECT_FALSE(day.lineThrough);
    EXPECT_TRUE(day.x.empty()); // continues after the run before
    EXPECT_EQ(day.dy, (std::vector<double>{2, 3}));
    EXPECT_EQ(day.anchor, SvgTextAnchor::Middle); // inherited
    EXPECT_EQ(runs[1]->fill.color, (Color{255, 0, 0, 255}));

    EXPECT_EQ(runs[2]->text()->text, " only ");
    EXPECT_EQ(runs[2]->fill.color, (Color{0, 0, 0, 255}));
    EXPECT_FALSE(runs[2]->text()->underline);

    const SvgTextRun& price = *runs[3]->text();
    EXPECT_EQ(price.text, "4.50"); // the block's trailing space is dropped
    EXPECT_TRUE(price.font.italic);
    EXPECT_EQ(price.font.size, 30);
    EXPECT_EQ(price.x, (std::vector<double>{30})); // 1em of the new size
    EXPECT_EQ(price.rotate, (std::vector<double>{5}));
    EXPECT_TRUE(price.lineThrough);

    EXPECT_EQ(runs[4]->text()->text, "A");
    EXPECT_EQ(runs[4]->text()->font.weight, 900); // bolder on 900 stays 900
    EXPECT_EQ(runs[4]->text()->x, (std::vector<double>{5}));
    EXPECT_EQ(runs[5]->text()->font.weight, 900); // 550 is ignored
    EXPECT_EQ(runs[6]->text()->font.weight, 800);
    EXPECT_EQ(runs[6]->text()->anchor, SvgTextAnchor::End);

    EXPECT_EQ(runs[7]->text()->text, "  two  spaces ");
    EXPECT_EQ(runs[8]->text()->text, "Borrowed");
    EXPECT_EQ(runs[9]->text()->text, "Borrowed");
    EXPECT_EQ(runs[9]->fill.color, (Color{0, 0, 255, 255}));
    EXPECT_EQ(runs[9]->text()->y, (std::vector<double>{9}));

    EXPECT_EQ(runs[10]->kind(), SvgItemKind::TextOnPath);
    EXPECT_EQ(runs[10]->text()->text, "Along");
    ASSERT_EQ(runs[10]->path.segments().size(), 2u);
    EXPECT_EQ(runs[10]->path.segments()[1].points[0].y, 50); // the path's own transform
    EXPECT_EQ(runs[11]->kind(), SvgItemKind::Text);              // the text path ended
    EXPECT_EQ(runs[11]->text()->text, " after");
}

namespace {

// Each run as "text" followed by its non-empty lists, runs separated by " | ".
std::string DescribeRuns(const SvgDocument& document)
{
    std::string out;
    auto list = [&](const char* name, const std::vector<double>& values) {
        if (values.empty())
            return;
        out += std::string(" ") + name + "=";
        for (size_t i = 0; i < values.size(); ++i)
            out += (i ? "," : "") + std::to_string(static_cast<int>(values[i]));
    };
    for (const SvgItem& item : document.items) {
        if (!out.empty())
            out += " | ";
        out += item.text()->text;
        list("x", item.text()->x);
        list("y", item.text()->y);
        list("dx", item.text()->dx);
        list("dy", item.text()->dy);
        list("rotate", item.text()->rotate);
    }
    return out;
}

} // namespace

// SVG 1.1 section 10.5: the lists of a text or tspan give values to the characters of its
// descendants too, counted through the whole element; the nearest element with a value for a
// character wins, and the last rotation holds for the characters after the list.
TEST(SvgDocument, PositionListsReachTheCharactersOfDescendants)
{
    const struct {
        const char* body;
        const char* runs;
    } kCases[] = {
        {"<text x=\"1 2 3 4 5 6\">ab<tspan>cd</tspan>ef</text>", "ab x=1,2 | cd x=3,4 | ef x=5,6"},
        // The tspan's own value comes first; where its list ends the text's goes on.
        {"<text x=\"1 2 3 4\">a<tspan x=\"10\">bc</tspan>d</text>", "a x=1 | bc x=10,3 | d x=4"},
        {"<text y=\"5\" dy=\"1 2 3\">a<tspan dy=\"10\">b</tspan>cd</text>", "a y=5 dy=1 | b dy=10 | cd dy=3"},
        {"<text dx=\"1 2\"><tspan dx=\"7 8 9\">a</tspan>b</text>", "a dx=7 | b dx=2"},
        // Rotation: the last value holds, into the tspan and after it; a tspan's own list wins.
        {"<text rotate=\"5 6\">ab<tspan>cd</tspan>e</text>", "ab rotate=5,6 | cd rotate=6 | e rotate=6"},
        {"<text rotate=\"5 6 7\">a<tspan rotate=\"9\">bc</tspan>d</text>", "a rotate=5 | bc rotate=9 | d rotate=7"},
        // Characters are the ones drawn: collapsed spaces do not count, a kept one does, and a
        // character of several bytes is one.
        {"<text x=\"1 2 3\">a  <tspan>b</tspan></text>", "a  x=1,2 | b x=3"},
        {"<text x=\"1 2 3\">\xc3\xa9<tspan>\xe2\x82\xac</tspan>z</text>", "\xc3\xa9 x=1 | \xe2\x82\xac x=2 | z x=3"},
        // An empty tspan's list reaches no character.
        {"<text x=\"1 2\">a<tspan x=\"50\"></tspan>b</text>", "a x=1 | b x=2"},
        // Each text element counts from its own first character.
        {"<text x=\"1 2\">a</text><text>b</text>", "a x=1 | b"},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(DescribeRuns(Parse(c.body)), c.runs) << c.body;
}

TEST(SvgDocument, FailuresProgressAndCancellation)
{
    SvgDocument empty;
    EXPECT_EQ(ParseSvg("", empty), SvgStatus::Failed);
    SvgDocument commentOnly;
    EXPECT_EQ(ParseSvg("<?xml version=\"1.0\"?><!-- nothing -->", commentOnly), SvgStatus::Failed);
    EXPECT_EQ(commentOnly.firstWarning, "The page has no root element");

    // The reader's error is recorded and the tree it built is still drawn.
    SvgDocument unclosed;
    EXPECT_EQ(ParseSvg("<svg width=\"5\" height=\"5\"><rect width=\"1\" height=\"1\">", unclosed), SvgStatus::Ok);
    EXPECT_EQ(unclosed.items.size(), 1u);
    EXPECT_EQ(unclosed.xmlError.rfind("Ln 1, Col ", 0), 0u);

    std::string page = "<svg width=\"5\" height=\"5\">";
    for (int i = 0; i < 500; ++i)
        page += "<rect width=\"1\" height=\"1\"/>";
    page += "</svg>";
    CountingSink patient(1000000);
    SvgDocument whole;
    EXPECT_EQ(ParseSvg(page, whole, &patient), SvgStatus::Ok);
    EXPECT_EQ(whole.items.size(), 500u);
    ASSERT_GE(patient.fractions.size(), 3u);
    EXPECT_EQ(patient.fractions.front(), 0.2);
    EXPECT_EQ(patient.fractions.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(patient.fractions.begin(), patient.fractions.end()));

    CountingSink impatient(2);
    SvgDocument cancelled;
    EXPECT_EQ(ParseSvg(page, cancelled, &impatient), SvgStatus::Cancelled);
}
