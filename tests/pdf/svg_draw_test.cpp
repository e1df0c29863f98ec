// The shape drawer and the pipeline's face: SVG model values translated into the drawing layer,
// pictures fitted into their boxes, whole conversions with their failures, and the svg2pdf tool
// run as a user would run it.
#include "pdf.h"
#include "pdf_test_support.h"
#include "svg_draw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

namespace tavolex::pdf {
namespace {

using testing::QpdfCheck;
using testing::ReadFile;
using testing::RunTool;
using testing::TestHome;

size_t Count(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

std::string Page(const std::string& body, const std::string& size = "width='400' height='300'")
{
    return "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' " + size + ">" +
           body + "</svg>";
}

// A 2 x 1 RGBA PNG (one opaque red pixel, one half-transparent blue one).
const char kPngDataUri[] =
    "data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAIAAAABCAYAAAD0In+KAAAADklEQVR42mP4z8AAQg0AD3oDfmqBMeEAAAAASUVORK5CYII=";

PdfStatus Convert(const std::vector<std::string>& pages, const std::string& path, PdfWriteOptions options = {},
                  ProgressSink* sink = nullptr, std::string* error = nullptr, size_t* failedPage = nullptr)
{
    std::vector<std::string_view> views(pages.begin(), pages.end());
    return ConvertSvgPagesToPdf(views, options, path, sink, error, failedPage);
}

TEST(SvgDrawTest, PaperNamesChooseTheirCodeElseA4)
{
    const std::pair<const char*, PaperCode> rows[] = {
        {"A4", PaperCode::A4},       {"a4", PaperCode::A4},         {"A3", PaperCode::A3},
        {"a3", PaperCode::A3},       {"Letter", PaperCode::Letter}, {"letter", PaperCode::Letter},
        {"LEGAL", PaperCode::Legal}, {"Tabloid", PaperCode::A4},    {"", PaperCode::A4},
        {"A44", PaperCode::A4},      {"Letter ", PaperCode::A4},
    };
    for (const auto& [name, code] : rows)
        EXPECT_EQ(PaperCodeFromName(name), code) << name;

    const PdfWriteOptions options = MenuExportOptions(PaperCode::Legal, true);
    EXPECT_EQ(options.paperCode, PaperCode::Legal);
    EXPECT_EQ(options.orientation, 0);
    EXPECT_EQ(options.margin, 0.0);
    EXPECT_EQ(options.placement, 1);
    EXPECT_EQ(options.fit, 1);
    EXPECT_EQ(options.jpegQuality, 100);
    EXPECT_TRUE(options.printOnOpen);
}

TEST(SvgDrawTest, PicturesFitTheirBoxAsPreserveAspectRatioSays)
{
    struct Row {
        const char* what;
        AspectAlign align;
        bool slice;
        Rect expected;
    };
    // A 200 x 100 picture in a 100 x 100 box at (10, 20).
    const Row rows[] = {
        {"none stretches", AspectAlign::None, false, {10, 20, 100, 100}},
        {"meet, centred", AspectAlign::XMidYMid, false, {10, 45, 100, 50}},
        {"meet, top", AspectAlign::XMidYMin, false, {10, 20, 100, 50}},
        {"meet, bottom", AspectAlign::XMaxYMax, false, {10, 70, 100, 50}},
        {"slice, centred", AspectAlign::XMidYMid, true, {-40, 20, 200, 100}},
        {"slice, left", AspectAlign::XMinYMid, true, {10, 20, 200, 100}},
        {"slice, right", AspectAlign::XMaxYMin, true, {-90, 20, 200, 100}},
    };
    for (const Row& row : rows) {
        const Rect placed = FitPicture({10, 20, 100, 100}, 200, 100, {row.align, row.slice, false});
        EXPECT_DOUBLE_EQ(placed.x, row.expected.x) << row.what;
        EXPECT_DOUBLE_EQ(placed.y, row.expected.y) << row.what;
        EXPECT_DOUBLE_EQ(placed.width, row.expected.width) << row.what;
        EXPECT_DOUBLE_EQ(placed.height, row.expected.height) << row.what;
    }
    // A box without area, or a picture without size, is left as it is.
    const Rect flat = FitPicture({1, 2, 0, 50}, 200, 100, {});
    EXPECT_EQ(flat.width, 0);
    EXPECT_EQ(flat.height, 50);
}

TEST(SvgDrawTest, GradientPercentagesResolveAgainstTheViewportInUserSpaceOnly)
{
    SvgGradient gradient;
    gradient.kind = SvgGradientKind::Radial;
    gradient.units = SvgGradientUnits::UserSpace;
    gradient.x1 = {0.25, true};
    gradient.y2 = {0.5, true};
    gradient.cx = {0.5, true};
    gradient.cy = {30, false};
    gradient.r = {0.5, true};
    gradient.fx = {10, false};
    gradient.fy = {0.1, true};
    gradient.stops = {{0, {255, 0, 0, 255}, 1}, {0.6, {0, 0, 255, 51}, 0.2}};

    const Gradient user = ToDrawingGradient(gradient, 400, 300);
    EXPECT_EQ(user.kind, GradientKind::Radial);
    EXPECT_EQ(user.units, GradientUnits::UserSpace);
    EXPECT_DOUBLE_EQ(user.x1, 100);
    EXPECT_DOUBLE_EQ(user.y2, 150);
    EXPECT_DOUBLE_EQ(user.cx, 200);
    EXPECT_DOUBLE_EQ(user.cy, 30);
    EXPECT_DOUBLE_EQ(user.r, 0.5 * std::sqrt((400.0 * 400 + 300.0 * 300) / 2)); // 176.78
    EXPECT_DOUBLE_EQ(user.fx, 10);
    EXPECT_DOUBLE_EQ(user.fy, 30);
    ASSERT_EQ(user.stops.size(), 2u);
    EXPECT_DOUBLE_EQ(user.stops[1].offset, 0.6);
    EXPECT_EQ(user.stops[1].color.b, 255);
    EXPECT_EQ(user.stops[1].color.a, 51); // the stop opacity travels as the colour's alpha

    gradient.units = SvgGradientUnits::ObjectBoundingBox;
    const Gradient box = ToDrawingGradient(gradient, 400, 300);
    EXPECT_EQ(box.units, GradientUnits::ObjectBoundingBox);
    EXPECT_DOUBLE_EQ(box.x1, 0.25);
    EXPECT_DOUBLE_EQ(box.cx, 0.5);
    EXPECT_DOUBLE_EQ(box.r, 0.5);
    EXPECT_DOUBLE_EQ(box.cy, 30);
}

TEST(SvgDrawTest, PensKeepTheirCapJoinAndDashes)
{
    struct Row {
        SvgLineCap cap;
        SvgLineJoin join;
        DashStyle dash;
        LineCap expectedCap;
        LineJoin expectedJoin;
        size_t dashCount;
    };
    const Row rows[] = {
        {SvgLineCap::Butt, SvgLineJoin::Miter, DashStyle::Solid, LineCap::Butt, LineJoin::Miter, 0},
        {SvgLineCap::Square, SvgLineJoin::Bevel, DashStyle::Custom, LineCap::Square, LineJoin::Bevel, 2},
        {SvgLineCap::Round, SvgLineJoin::Round, DashStyle::Custom, LineCap::Round, LineJoin::Round, 2},
        // A solid pen ignores a list left over from the parse.
        {SvgLineCap::Round, SvgLineJoin::Round, DashStyle::Solid, LineCap::Round, LineJoin::Round, 0},
    };
    for (const Row& row : rows) {
        SvgPen pen;
        pen.width = 3;
        pen.miterLimit = 2;
        pen.cap = row.cap;
        pen.join = row.join;
        pen.dash = row.dash;
        pen.dashes = {4, 2};
        const Pen drawn = ToDrawingPen(pen);
        EXPECT_EQ(drawn.width, 3);
        EXPECT_EQ(drawn.miterLimit, 2);
        EXPECT_EQ(drawn.cap, row.expectedCap);
        EXPECT_EQ(drawn.join, row.expectedJoin);
        EXPECT_EQ(drawn.dashes.size(), row.dashCount);
    }
}

TEST(SvgDrawTest, PagesBecomeOnePdfOnThePaperAsked)
{
    TestHome home;
    const std::string path = home.File("menu.pdf");
    const std::vector<std::string> pages = {
        Page("<rect x='10' y='10' width='100' height='50' fill='red'/>"),
        Page("<circle cx='200' cy='150' r='80' fill='blue' stroke='black' stroke-dasharray='5 5'/>"),
        // Text is drawn by the text layer; a page with text still converts.
        Page("<text x='20' y='40' font-size='20'>Soup of the day</text>"
             "<path id='p' d='M 0 100 H 300'/><text><textPath href='#p'>On a path</textPath></text>"),
    };
    std::string error;
    ASSERT_EQ(Convert(pages, path, MenuExportOptions(PaperCodeFromName("letter"), false), nullptr, &error),
              PdfStatus::Ok)
        << error;
    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
    const std::string bytes = ReadFile(path);
    EXPECT_EQ(Count(bytes, "/MediaBox [0 0 612 790]"), 3u);
    EXPECT_NE(bytes.find("/Count 3"), std::string::npos);
    EXPECT_EQ(bytes.find("/OpenAction"), std::string::npos);
}

TEST(SvgDrawTest, APictureOnEveryPageIsStoredOnceAndABrokenOneIsSkipped)
{
    TestHome home;
    const std::string logo = std::string("<image x='10' y='10' width='80' height='40' xlink:href='") + kPngDataUri +
                             "'/>";
    const std::string broken = "<image x='10' y='60' width='80' height='40' "
                               "xlink:href='data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAA=='/>";
    const std::vector<std::string> pages = {Page(logo + broken), Page(logo), Page(broken)};
    const std::string path = home.File("logos.pdf");
    PdfWriteOptions options;
    ASSERT_EQ(Convert(pages, path, options), PdfStatus::Ok);
    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
    const std::string bytes = ReadFile(path);
    // One colour image with its alpha mask, named on the two pages that show it.
    EXPECT_EQ(Count(bytes, "/Subtype /Image"), 2u);
    EXPECT_EQ(Count(bytes, "/ColorSpace /DeviceGray"), 1u);
    EXPECT_EQ(Count(bytes, "/SMask "), 1u);
    EXPECT_EQ(Count(bytes, "/IMG_000001 "), 2u);
    EXPECT_EQ(bytes.find("/IMG_000002"), std::string::npos);
}

TEST(SvgDrawTest, TheSamePagesGiveTheSameFileEveryTime)
{
    // Streams are deflated on a second thread while pages are drawn and written when they are
    // done; the file must not depend on which thread was faster. Pages of a few hundred items
    // hand over several batches each.
    TestHome home;
    std::vector<std::string> pages;
    for (int page = 0; page < 5; ++page) {
        std::string body = std::string("<image x='10' y='10' width='80' height='40' xlink:href='") + kPngDataUri + "'/>";
        for (int item = 0; item < 300; ++item) {
            const int x = (item * 37 + page * 11) % 380, y = (item * 53) % 280;
            body += "<rect x='" + std::to_string(x) + "' y='" + std::to_string(y) +
                    "' width='12' height='8' fill='#" + std::to_string(100000 + item * 7 + page) +
                    "' stroke='black' stroke-dasharray='2 1'/>";
        }
        body += "<text x='20' y='290' font-family='DejaVu Sans' font-size='12'>Page " + std::to_string(page + 1) +
                ": soupe à l’oignon 7,50 €</text>";
        pages.push_back(Page(body));
    }
    std::string first;
    for (int run = 0; run < 4; ++run) {
        const std::string path = home.File("same" + std::to_string(run) + ".pdf");
        ASSERT_EQ(Convert(pages, path), PdfStatus::Ok);
        std::string bytes = ReadFile(path);
        // The dates of the Info object come from the clock.
        const size_t dates = bytes.find("/CreationDate(");
        ASSERT_NE(dates, std::string::npos);
        bytes.erase(dates, bytes.find(">>", dates) - dates);
        if (run == 0) {
            const auto check = QpdfCheck(path);
            EXPECT_EQ(check.status, 0) << check.output;
            EXPECT_GT(Count(bytes, "/Filter/FlateDecode"), 500u);
            first = std::move(bytes);
        } else {
            EXPECT_TRUE(bytes == first) << "run " << run << " differs";
        }
    }
}

TEST(SvgDrawTest, TheLogoLandsInItsBoxKeepingItsProportions)
{
    // A 2 x 1 picture in a square box: meet leaves the box's upper and lower quarters empty.
    TestHome home;
    const std::string path = home.File("meet.pdf");
    const std::vector<std::string> pages = {
        Page(std::string("<image x='0' y='0' width='420' height='594' xlink:href='") + kPngDataUri + "'/>",
             "width='420' height='594'")};
    ASSERT_EQ(Convert(pages, path), PdfStatus::Ok);
    const auto pixmap = testing::RenderFirstPage(path);
    ASSERT_EQ(pixmap.width, 595);
    const testing::Rgb white{255, 255, 255}, red{255, 0, 0};
    // The picture is 595 x 297.5 pt, centred: from y = 271.8 to 569.3; its left half is red.
    EXPECT_TRUE(Near(pixmap.At(150, 200), white, 8)) << pixmap.At(150, 200);
    EXPECT_TRUE(Near(pixmap.At(150, 420), red, 8)) << pixmap.At(150, 420);
    EXPECT_TRUE(Near(pixmap.At(150, 640), white, 8)) << pixmap.At(150, 640);
}

TEST(SvgDrawTest, ConversionFailuresSayWhy)
{
    TestHome home;
    struct Row {
        const char* what;
        std::vector<std::string> pages;
        std::string path;
        PdfStatus status;
        const char* reason;
        size_t failedPage; // the page that did not parse, from 1; 0 for none
    };
    const Row rows[] = {
        {"no pages", {}, home.File("a.pdf"), PdfStatus::Failed, "no pages", 0},
        {"second page is not SVG", {Page(""), "just text", Page("")}, home.File("b.pdf"), PdfStatus::Failed, "page 2 ", 2},
        {"folder missing", {Page("")}, home.File("missing/c.pdf"), PdfStatus::Failed, "cannot write", 0},
    };
    for (const Row& row : rows) {
        std::string error;
        size_t failedPage = 99;
        EXPECT_EQ(Convert(row.pages, row.path, {}, nullptr, &error, &failedPage), row.status) << row.what;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.what << ": " << error;
        EXPECT_EQ(failedPage, row.failedPage) << row.what;
    }
}

TEST(SvgDrawTest, ACancelledConversionStopsAndSaysSo)
{
    // Cancels once the work has come as far as `threshold`: 0 stops the parse, 0.75 the drawing.
    class CancelAt final : public ProgressSink {
    public:
        explicit CancelAt(double threshold) : threshold_(threshold) {}
        bool IsCancelled() override { return reached_ >= threshold_; }
        void ReportProgress(double fraction) override { reached_ = std::max(reached_, fraction); }

    private:
        double threshold_;
        double reached_ = 0;
    };
    TestHome home;
    std::string shapes;
    for (int i = 0; i < 50; ++i)
        shapes += "<rect x='" + std::to_string(i) + "' y='10' width='5' height='5'/>";
    for (double threshold : {0.0, 0.75}) {
        CancelAt sink(threshold);
        std::string error;
        EXPECT_EQ(Convert({Page(shapes)}, home.File("cancelled.pdf"), {}, &sink, &error), PdfStatus::Cancelled)
            << threshold;
        EXPECT_EQ(error, "cancelled");
    }
}

#ifdef TAVOLEX_SVG2PDF
TEST(Svg2PdfToolTest, ExitStatusAndMessages)
{
    TestHome home;
    const std::string tool = TAVOLEX_SVG2PDF;
    testing::WriteFile(home.File("one.svg"), Page("<rect width='100' height='100' fill='green'/>"));
    testing::WriteFile(home.File("two.svg"), Page("<circle cx='50' cy='50' r='40'/>"));
    testing::WriteFile(home.File("bad.svg"), "not svg at all");
    struct Row {
        const char* what;
        std::string arguments;
        int status;
        const char* message; // on stderr; empty for none
    };
    const Row rows[] = {
        {"two pages", "-o out1.pdf one.svg two.svg", 0, ""},
        {"paper and print", "--paper Legal --print -o out2.pdf one.svg", 0, ""},
        {"lower-case paper", "--paper a3 -o out3.pdf one.svg", 0, ""},
        {"no output", "one.svg", 1, "no output file"},
        {"no pages", "-o out.pdf", 1, "no SVG pages"},
        {"unknown paper", "--paper B5 -o out.pdf one.svg", 1, "unknown paper B5"},
        {"unknown option", "--fast -o out.pdf one.svg", 1, "unknown option --fast"},
        {"missing page", "-o out.pdf one.svg nothere.svg", 2, "cannot read nothere.svg"},
        {"broken page", "-o out.pdf one.svg bad.svg", 2, "bad.svg: page 2"},
        {"unwritable", "-o nofolder/out.pdf one.svg", 2, "cannot write nofolder/out.pdf"},
    };
    for (const Row& row : rows) {
        const auto run = RunTool("cd '" + home.path() + "' && '" + tool + "' " + row.arguments);
        EXPECT_EQ(run.status, row.status) << row.what << ": " << run.output;
        if (*row.message)
            EXPECT_NE(run.output.find(row.message), std::string::npos) << row.what << ": " << run.output;
        else
            EXPECT_EQ(run.output, "") << row.what;
    }
    for (const char* out : {"out1.pdf", "out2.pdf", "out3.pdf"}) {
        const auto check = QpdfCheck(home.File(out));
        EXPECT_EQ(check.status, 0) << out << ": " << check.output;
    }
    EXPECT_NE(ReadFile(home.File("out1.pdf")).find("/Count 2"), std::string::npos);
    const std::string legal = ReadFile(home.File("out2.pdf"));
    EXPECT_NE(legal.find("/MediaBox [0 0 612 1009]"), std::string::npos);
    EXPECT_NE(legal.find("/OpenAction"), std::string::npos);
    EXPECT_NE(ReadFile(home.File("out3.pdf")).find("/MediaBox [0 0 841 1190]"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(home.File("out.pdf")));
}

// The widths an embedded font's /W array gives, in the order written.
std::vector<std::string> EmbeddedWidths(const std::string& pdf)
{
    std::vector<std::string> widths;
    const size_t start = pdf.find("/W [");
    const size_t end = pdf.find("/CIDSystemInfo", start);
    for (size_t at = pdf.find('[', start + 4); at < end; at = pdf.find('[', at + 1))
        widths.push_back(pdf.substr(at + 1, pdf.find(']', at) - at - 1));
    return widths;
}

TEST(Svg2PdfToolTest, FontsInTheInterfaceFolderAreUsed)
{
    TestHome home;
    // A copy of the tool with an interface folder of its own, whose fonts folder holds a family
    // that no system folder has: DejaVu Sans Mono renamed MenuVu Sans Mono.
    const std::string bin = home.File("bin");
    std::filesystem::create_directories(bin + "/Web/fonts");
    std::filesystem::copy_file(TAVOLEX_SVG2PDF, bin + "/tavolex-svg2pdf");
    std::string font = ReadFile("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf");
    ASSERT_FALSE(font.empty());
    // The name table holds the family in single bytes and in UTF-16BE.
    const auto replaceAll = [&font](const std::string& from, const std::string& to) {
        for (size_t at = font.find(from); at != std::string::npos; at = font.find(from, at + to.size()))
            font.replace(at, from.size(), to);
    };
    replaceAll("DejaVu", "MenuVu");
    replaceAll(std::string("\0D\0e\0j\0a\0V\0u", 12), std::string("\0M\0e\0n\0u\0V\0u", 12));
    testing::WriteFile(bin + "/Web/fonts/MenuVuSansMono.ttf", font);
    testing::WriteFile(home.File("mono.svg"),
                       Page("<text x='10' y='50' font-family='MenuVu Sans Mono'>Wide and thin: iiWW</text>"));

    for (const std::string& tool : {bin + "/tavolex-svg2pdf", std::string(TAVOLEX_SVG2PDF)}) {
        const bool ownFonts = tool != TAVOLEX_SVG2PDF;
        const auto run = RunTool("cd '" + home.path() + "' && '" + tool + "' -o out.pdf mono.svg");
        ASSERT_EQ(run.status, 0) << run.output;
        const std::vector<std::string> widths = EmbeddedWidths(ReadFile(home.File("out.pdf")));
        ASSERT_FALSE(widths.empty());
        // Every glyph of the renamed mono face is 602.05 wide; a stand-in face has narrow i's.
        const bool monospaced = std::all_of(widths.begin(), widths.end(), [](const std::string& w) { return w == "602.05"; });
        EXPECT_EQ(monospaced, ownFonts) << tool;
    }
}

TEST(Svg2PdfToolTest, FontLookupsAreKeptInTheDataFolderForTheNextRun)
{
    TestHome home;
    const std::string tool = TAVOLEX_SVG2PDF;
    testing::WriteFile(home.File("text.svg"),
                       Page("<text x='10' y='50' font-family='DejaVu Sans' font-style='italic'>Crème brûlée</text>"));
    for (const char* out : {"first.pdf", "second.pdf"}) {
        const auto run = RunTool("cd '" + home.path() + "' && '" + tool + "' -o " + out + " text.svg");
        ASSERT_EQ(run.status, 0) << run.output;
    }
    const std::string stored = ReadFile(home.File("font-lookups.cache"));
    EXPECT_NE(stored.find("DejaVuSans-Oblique.ttf\n"), std::string::npos) << stored;
    // The stored answers give the same file, byte for byte but for the creation time.
    const auto withoutTimes = [](std::string pdf) {
        for (size_t at = 0; (at = pdf.find("(D:", at)) != std::string::npos; at += 3)
            pdf.replace(at + 3, 14, 14, '0');
        return pdf;
    };
    EXPECT_TRUE(withoutTimes(ReadFile(home.File("first.pdf"))) == withoutTimes(ReadFile(home.File("second.pdf"))));
}
#endif

} // namespace
} // namespace tavolex::pdf
