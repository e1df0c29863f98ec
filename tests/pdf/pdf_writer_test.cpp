#include "pdf_writer.h"

#include "pdf_graphics.h"
#include "pdf_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace tavolex::pdf {
namespace {

using testing::QpdfCheck;
using testing::ReadFile;
using testing::RunTool;
using testing::TestHome;

constexpr time_t kFixedTime = 1796819696; // 2026-12-09 12:34:56 UTC

// Sets TZ for one scope and puts the old value back.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        if (const char* old = getenv("TZ"))
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone()
    {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

PdfDocumentSettings Uncompressed()
{
    PdfDocumentSettings settings;
    settings.compression = Compression::Off;
    settings.fixedTime = kFixedTime;
    return settings;
}

// ---------------------------------------------------------------------------------------------
// Golden bytes

TEST(PdfWriterTest, OneEmptyA4PageIsWrittenByteForByte)
{
    TestHome home;
    TimeZone zone("UTC0");
    const std::string path = home.File("one.pdf");
    {
        auto document = PdfDocument::Create(path, PdfWriteOptions{}, nullptr, Uncompressed());
        ASSERT_TRUE(document);
        document->BeginPage();
        document->EndPage();
        ASSERT_EQ(document->Finish(), PdfStatus::Ok);
    }

    std::string expected = "%PDF-1.4\r\n%??\r\n";
    ASSERT_EQ(expected.size(), 15u);
    std::vector<size_t> offsets;
    auto object = [&](const std::string& text) {
        offsets.push_back(expected.size());
        expected += text;
    };
    object("1 0 obj<</Length 61>>\r\nstream\r\n"
           "1.000000 0.000000 0.000000 -1.000000 0.000000 841.000000 cm\r\n"
           "\r\nendstream\r\nendobj\r\n");
    object("2 0 obj<</Type/Page /Parent 3       0 R /MediaBox [0 0 595 841] "
           "/Group <</Type /Group /S /Transparency /CS /DeviceRGB>> /Resources <</ProcSet [/PDF ] >> "
           "/Contents [ 1 0 R ]  >> \r\nendobj\r\n");
    object("3 0 obj<</Type/Pages /Count 1 /Kids [2 0 R ]>>\r\nendobj\r\n");
    object("4 0 obj<</Producer(Tavolex)/CreationDate(D:20261209123456+00'00')"
           "/ModDate(D:20261209123456+00'00')>>\r\nendobj\r\n");
    object("5 0 obj<</Type/Catalog /Pages 3 0 R>>\r\nendobj\r\n");
    const size_t xref = expected.size();
    expected += "xref\r\n0 6\r\n0000000000 65535 f\r\n";
    for (size_t offset : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%.10zu 00000 n\r\n", offset);
        expected += line;
    }
    expected += "trailer\r\n<</Size 6 /Root 5 0 R /Info 4 0 R>>\r\nstartxref\r\n" + std::to_string(xref) +
                "\r\n%%EOF\r\n";

    EXPECT_EQ(ReadFile(path), expected);
    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
}

TEST(PdfWriterTest, InfoDatesCarryTheOffsetFromUtc)
{
    struct Row {
        const char* zone;
        const char* date;
    };
    const Row rows[] = {
        {"UTC0", "D:20261209123456+00'00'"},
        {"EST5", "D:20261209073456-05'00'"},
        {"IST-5:30", "D:20261209180456+05'30'"},
        {"NST3:30", "D:20261209090456-03'30'"},
        {"ABC0:30", "D:20261209120456-00'30'"}, // the sign of a sub-hour offset is kept
    };
    TestHome home;
    for (const Row& row : rows) {
        TimeZone zone(row.zone);
        const std::string path = home.File("date.pdf");
        auto document = PdfDocument::Create(path, PdfWriteOptions{}, nullptr, Uncompressed());
        ASSERT_TRUE(document);
        ASSERT_EQ(document->Finish(), PdfStatus::Ok);
        const std::string text = ReadFile(path);
        EXPECT_NE(text.find(std::string("/CreationDate(") + row.date + ")/ModDate(" + row.date + ")"),
                  std::string::npos)
            << row.zone;
    }
}

// Every cross-reference line is 20 bytes and points at its own "N 0 obj".
void ExpectConsistentXref(const std::string& text)
{
    const size_t startxref = text.rfind("startxref\r\n");
    ASSERT_NE(startxref, std::string::npos);
    const size_t xref = std::stoul(text.substr(startxref + 11));
    ASSERT_EQ(text.compare(xref, 6, "xref\r\n"), 0);
    const size_t countAt = xref + 8;
    const size_t count = std::stoul(text.substr(countAt));
    size_t line = text.find("\r\n", countAt) + 2;
    EXPECT_EQ(text.substr(line, 20), "0000000000 65535 f\r\n");
    for (size_t number = 1; number < count; ++number) {
        line += 20;
        const std::string entry = text.substr(line, 20);
        ASSERT_EQ(entry.substr(10), " 00000 n\r\n") << number;
        const size_t offset = std::stoul(entry.substr(0, 10));
        const std::string head = std::to_string(number) + " 0 obj";
        EXPECT_EQ(text.compare(offset, head.size(), head), 0) << number;
    }
    EXPECT_EQ(text.compare(line + 20, 9, "trailer\r\n"), 0);
}

class ItemPage : public PdfPageSource {
public:
    ItemPage(PageGeometry geometry, size_t items) : geometry_(geometry), items_(items) {}
    PageGeometry Geometry() const override { return geometry_; }
    size_t ItemCount() const override { return items_; }
    PdfStatus DrawItem(size_t index, PdfDocument& document) override
    {
        drawn.push_back(index);
        if (failAt && *failAt == index)
            return PdfStatus::Failed;
        Path path;
        path.MoveTo({0, 0});
        path.LineTo({geometry_.width, 0});
        path.LineTo({geometry_.width, geometry_.height});
        path.LineTo({0, geometry_.height});
        path.Close();
        document.SaveState();
        FillPath(document, path, Paint::Solid({255, 0, 0, 255}), FillRule::NonZero);
        document.RestoreState();
        return PdfStatus::Ok;
    }
    std::vector<size_t> drawn;
    std::optional<size_t> failAt;

private:
    PageGeometry geometry_;
    size_t items_;
};

class RecordingSink : public ProgressSink {
public:
    bool IsCancelled() override { return ++asked > cancelAfter; }
    void ReportProgress(double fraction) override { reports.push_back(fraction); }
    int asked = 0;
    int cancelAfter = 1 << 30;
    std::vector<double> reports;
};

PageGeometry PixelPage(double width, double height)
{
    PageGeometry page;
    page.width = width;
    page.height = height;
    page.unitFactorX = page.unitFactorY = 0.26458332; // millimetres per CSS pixel
    return page;
}

TEST(PdfWriterTest, PagesArePatchedToTheirParentAndCountedInOrder)
{
    TestHome home;
    const std::string path = home.File("three.pdf");
    ItemPage first(PixelPage(400, 300), 1), second(PixelPage(400, 300), 2), third(PixelPage(400, 300), 1);
    PdfPageSource* pages[] = {&first, nullptr, &second, &third}; // a missing page is skipped
    RecordingSink sink;
    ASSERT_EQ(WritePdfDocument(PdfWriteOptions{}, pages, path, &sink, Uncompressed()), PdfStatus::Ok);

    const std::string text = ReadFile(path);
    ExpectConsistentXref(text);
    const size_t pagesHead = text.find("/Type/Pages /Count 3 /Kids [");
    ASSERT_NE(pagesHead, std::string::npos);
    const size_t objectStart = text.rfind("\r\n", pagesHead) + 2;
    const std::string number = text.substr(objectStart, text.find(' ', objectStart) - objectStart);
    std::string parent = "/Parent " + number;
    parent.resize(std::string("/Parent ").size() + 7, ' ');
    parent += " 0 R";
    size_t found = 0;
    for (size_t at = text.find(parent); at != std::string::npos; at = text.find(parent, at + 1))
        ++found;
    EXPECT_EQ(found, 3u);
    EXPECT_EQ(text.find("/Parent        0 R"), std::string::npos);
    EXPECT_EQ(sink.reports, (std::vector<double>{1.0, 0.5, 1.0, 1.0}));

    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(RunTool("qpdf --show-npages '" + path + "'").output, "3\n");
}

TEST(PdfWriterTest, CompressedStreamsInflateToTheirContent)
{
    TestHome home;
    const std::string path = home.File("packed.pdf");
    ItemPage page(PixelPage(400, 300), 2); // the second item's "q" is a stream of its own
    PdfPageSource* pages[] = {&page};
    ASSERT_EQ(WritePdfDocument(PdfWriteOptions{}, pages, path, nullptr), PdfStatus::Ok);
    const std::string text = ReadFile(path);
    // The flip shrinks and is deflated; "q" cannot shrink and stays raw.
    EXPECT_EQ(text.find("1 0 obj<</Filter/FlateDecode /Length "), text.find("1 0 obj"));
    EXPECT_NE(text.find("<</Length 3>>\r\nstream\r\nq\r\n\r\nendstream"), std::string::npos);
    EXPECT_EQ(text.find("cm\r\n"), std::string::npos) << "no operators but the smallest are left raw";
    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
    const auto flip = RunTool("qpdf --show-object=1 --filtered-stream-data '" + path + "'");
    EXPECT_EQ(flip.output, "1.000000 0.000000 0.000000 -1.000000 0.000000 841.000000 cm\r\n");
}

TEST(PdfWriterTest, UncompressedStreamsCarryOnlyTheirLength)
{
    TestHome home;
    const std::string path = home.File("raw.pdf");
    ItemPage page(PixelPage(400, 300), 2);
    PdfPageSource* pages[] = {&page};
    ASSERT_EQ(WritePdfDocument(PdfWriteOptions{}, pages, path, nullptr, Uncompressed()), PdfStatus::Ok);
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.find("FlateDecode"), std::string::npos);
    EXPECT_NE(text.find("<</Length "), std::string::npos);
    // The content is split at every save and restore.
    EXPECT_NE(text.find("stream\r\nq\r\n\r\nendstream"), std::string::npos);
    EXPECT_NE(text.find("h\r\nf Q\r\nQ\r\n\r\nendstream"), std::string::npos);
    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
}

TEST(PdfWriterTest, PrintOnOpenPointsTheCatalogAtAPrintAction)
{
    TestHome home;
    const std::string path = home.File("print.pdf");
    PdfWriteOptions options;
    options.printOnOpen = true;
    ItemPage page(PixelPage(400, 300), 1);
    PdfPageSource* pages[] = {&page};
    ASSERT_EQ(WritePdfDocument(options, pages, path, nullptr, Uncompressed()), PdfStatus::Ok);
    const std::string text = ReadFile(path);
    const size_t action = text.find(" 0 obj<<\n/Type /Action\n/S /JavaScript\n/JS "
                                    "(this.print\\({bUI:true,bSilent:false,bShrinkToFit:true}\\);)\n>>\r\nendobj");
    ASSERT_NE(action, std::string::npos);
    const size_t start = text.rfind("\r\n", action) + 2;
    const std::string number = text.substr(start, action - start);
    EXPECT_NE(text.find("<</Type/Catalog /OpenAction " + number + " 0 R /Pages "), std::string::npos);
    ExpectConsistentXref(text);
    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
}

TEST(PdfWriterTest, ReservedObjectsNeverWrittenStillResolve)
{
    TestHome home;
    const std::string path = home.File("reserved.pdf");
    auto document = PdfDocument::Create(path, PdfWriteOptions{}, nullptr, Uncompressed());
    ASSERT_TRUE(document);
    const int kept = document->ReserveObject();
    document->ReserveObject(); // a step that gave up
    document->WriteReservedObject(kept, "<</Kept true>>");
    document->WriteReservedObject(kept, "<</Twice true>>"); // refused: the table would break
    EXPECT_TRUE(document->HasWriteFailed());
    EXPECT_EQ(document->Finish(), PdfStatus::Failed);
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("1 0 obj<</Kept true>>"), std::string::npos);
    EXPECT_NE(text.find("2 0 obj null\r\nendobj"), std::string::npos);
    EXPECT_EQ(text.find("Twice"), std::string::npos);
    ExpectConsistentXref(text);
    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
}

TEST(PdfWriterTest, CancellationEndsThePageAndStillFinishesTheFile)
{
    TestHome home;
    const std::string path = home.File("cancel.pdf");
    ItemPage first(PixelPage(400, 300), 4), second(PixelPage(400, 300), 1);
    PdfPageSource* pages[] = {&first, &second};
    RecordingSink sink;
    sink.cancelAfter = 2;
    EXPECT_EQ(WritePdfDocument(PdfWriteOptions{}, pages, path, &sink), PdfStatus::Cancelled);
    EXPECT_EQ(first.drawn, (std::vector<size_t>{0, 1, 2}));
    EXPECT_TRUE(second.drawn.empty());
    EXPECT_EQ(sink.reports, (std::vector<double>{0.25, 0.5}));
    const auto check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(RunTool("qpdf --show-npages '" + path + "'").output, "1\n");
}

TEST(PdfWriterTest, AFailedItemFailsTheDocumentAtThatPage)
{
    TestHome home;
    const std::string path = home.File("failed.pdf");
    ItemPage first(PixelPage(400, 300), 3), second(PixelPage(400, 300), 1);
    first.failAt = 1;
    PdfPageSource* pages[] = {&first, &second};
    EXPECT_EQ(WritePdfDocument(PdfWriteOptions{}, pages, path, nullptr), PdfStatus::Failed);
    EXPECT_EQ(first.drawn, (std::vector<size_t>{0, 1}));
    EXPECT_TRUE(second.drawn.empty());
    EXPECT_EQ(QpdfCheck(path).status, 0);
}

// ---------------------------------------------------------------------------------------------
// The output file

TEST(PdfWriterTest, AFileHeldByAnotherWriterIsWaitedForWithinTheWindow)
{
    TestHome home;
    const std::string path = home.File("held.pdf");
    testing::WriteFile(path, "old content that must go");
    const int holder = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    // Held for the whole window: no document.
    PdfDocumentSettings shortWindow;
    shortWindow.retryWindowMs = 300;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PdfDocument::Create(path, PdfWriteOptions{}, nullptr, shortWindow));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(ReadFile(path), "old content that must go");

    // Released during the window: the file is replaced.
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(holder);
    });
    auto document = PdfDocument::Create(path, PdfWriteOptions{}, nullptr, Uncompressed());
    release.join();
    ASSERT_TRUE(document);
    EXPECT_EQ(document->Finish(), PdfStatus::Ok);
    EXPECT_EQ(ReadFile(path).substr(0, 15), "%PDF-1.4\r\n%??\r\n");
    EXPECT_EQ(QpdfCheck(path).status, 0);
}

TEST(PdfWriterTest, AnUncreatableFileFailsAtOnce)
{
    TestHome home;
    const auto start = std::chrono::steady_clock::now();
    PdfPageSource* pages[] = {nullptr};
    EXPECT_EQ(WritePdfDocument(PdfWriteOptions{}, pages, home.File("missing/folder/x.pdf"), nullptr),
              PdfStatus::Failed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// ---------------------------------------------------------------------------------------------
// Paper and placement

TEST(PdfWriterTest, PaperCodesChooseTheirTableRowElseA4)
{
    struct Row {
        int32_t code;
        int32_t orientation;
        int32_t width;
        int32_t height;
    };
    const Row rows[] = {
        {0, 0, 595, 841},   {1, 0, 612, 790},   {2, 0, 612, 1009},  {22, 0, 841, 1190},
        {16, 0, 2383, 3370}, {18, 0, 1683, 2383}, {20, 0, 1190, 1683},
        // Codes outside the mapping give A4.
        {3, 0, 595, 841},   {-1, 0, 595, 841},  {5, 0, 595, 841},   {21, 0, 595, 841},
        // Landscape swaps; any other orientation keeps.
        {0, 1, 841, 595},   {2, 1, 1009, 612},  {0, 2, 595, 841},   {0, -1, 595, 841},
    };
    for (const Row& row : rows) {
        const PaperChoice paper = ChoosePaper(static_cast<PaperCode>(row.code), row.orientation);
        EXPECT_EQ(paper.widthPt, row.width) << row.code << "/" << row.orientation;
        EXPECT_EQ(paper.heightPt, row.height) << row.code << "/" << row.orientation;
    }
}

TEST(PdfWriterTest, PaperTableAnswersIdsOneToTwentyTwo)
{
    EXPECT_EQ(FindPaperSize(0), nullptr);
    EXPECT_EQ(FindPaperSize(23), nullptr);
    ASSERT_NE(FindPaperSize(1), nullptr);
    EXPECT_EQ(FindPaperSize(1)->name, u"A0");
    ASSERT_NE(FindPaperSize(22), nullptr);
    EXPECT_EQ(FindPaperSize(22)->key, u"ostrevanmanual");
    EXPECT_DOUBLE_EQ(FindPaperSize(22)->widthMm, 127.54);
    for (int id = 1; id <= 22; ++id)
        EXPECT_EQ(FindPaperSize(id)->id, id);
    EXPECT_EQ(PaperIdForCode(PaperCode::Letter), 18);
    EXPECT_EQ(PaperIdForCode(static_cast<PaperCode>(7)), std::nullopt);
}

TEST(PdfWriterTest, LandscapeSwapsTheMediaBox)
{
    TestHome home;
    const std::string path = home.File("landscape.pdf");
    PdfWriteOptions options;
    options.paperCode = PaperCode::A3;
    options.orientation = 1;
    ItemPage page(PixelPage(400, 300), 1);
    PdfPageSource* pages[] = {&page};
    ASSERT_EQ(WritePdfDocument(options, pages, path, nullptr, Uncompressed()), PdfStatus::Ok);
    EXPECT_NE(ReadFile(path).find("/MediaBox [0 0 1190 841]"), std::string::npos);
}

TEST(PdfWriterTest, PlacementScalesAndPositionsThePage)
{
    constexpr double kPt = 72 / 25.4;
    constexpr double kBase = 0.26458332 * 2.8346457; // a CSS pixel in points
    struct Row {
        const char* what;
        double width, height, viewWidth, viewHeight;
        double margin;
        int32_t placement, fit;
        double scale, offsetX, offsetY;
    };
    const Row rows[] = {
        // An A4-sized page of 793.7 x 1122.5 px fits exactly.
        {"exact", 793.7007874, 1122.519685, 0, 0, 0, 1, 1, kBase, 0, 0},
        // Half the width: fit 1 and fit 2 enlarge by 2 and centre; fit 0 keeps it in the corner.
        {"fit enlarges", 396.8503937, 300, 0, 0, 0, 1, 1, 2 * kBase, 0, (297 - 2 * 300 * 0.26458332) * kPt / 2},
        {"fit 2 enlarges", 396.8503937, 300, 0, 0, 0, 1, 2, 2 * kBase, 0, (297 - 2 * 300 * 0.26458332) * kPt / 2},
        {"no fit centres", 396.8503937, 300, 0, 0, 0, 1, 0, kBase, 105 * kPt / 2,
         (297 - 300 * 0.26458332) * kPt / 2},
        {"no fit, top left", 396.8503937, 300, 0, 0, 0, 0, 0, kBase, 0, 0},
        // Twice the width: fit 2 does not shrink.
        {"fit 2 keeps", 1587.4015748, 300, 0, 0, 0, 0, 2, kBase, 0, 0},
        {"fit 1 shrinks", 1587.4015748, 300, 0, 0, 0, 0, 1, kBase / 2, 0, 0},
        // A margin shrinks the room and offsets the page.
        {"margin", 793.7007874, 1122.519685, 0, 0, 10, 0, 1, kBase * 190 / 210, 10 * kPt, 10 * kPt},
        {"bottom", 396.8503937, 300, 0, 0, 0, 2, 0, kBase, 0, (297 - 300 * 0.26458332) * kPt},
        // A view box half the size doubles the user unit.
        {"view box", 793.7007874, 1122.519685, 396.8503937, 561.2598425, 0, 1, 1, 2 * kBase, 0, 0},
        // Sides that are not positive give nothing.
        {"no width", 0, 300, 0, 0, 0, 1, 1, 0, 0, 0},
        {"negative view box", 400, 300, -10, 300, 0, 1, 1, 0, 0, 0},
    };
    for (const Row& row : rows) {
        PageGeometry page = PixelPage(row.width, row.height);
        page.viewBoxWidth = row.viewWidth;
        page.viewBoxHeight = row.viewHeight;
        const Placement placed = PlacePage(page, 210, 297, row.margin, row.placement, row.fit);
        EXPECT_NEAR(placed.scale, row.scale, 1e-5) << row.what;
        EXPECT_NEAR(placed.offsetX, row.offsetX, 1e-3) << row.what;
        EXPECT_NEAR(placed.offsetY, row.offsetY, 1e-3) << row.what;
    }
}

TEST(PdfWriterTest, APlacedPageFillsThePaperWhereItShould)
{
    // A landscape 800 x 400 px page fitted to portrait A4: full width, centred vertically.
    TestHome home;
    const std::string path = home.File("placed.pdf");
    ItemPage page(PixelPage(800, 400), 1);
    PdfPageSource* pages[] = {&page};
    ASSERT_EQ(WritePdfDocument(PdfWriteOptions{}, pages, path, nullptr), PdfStatus::Ok);
    const auto pixmap = testing::RenderFirstPage(path);
    ASSERT_EQ(pixmap.width, 595);
    const testing::Rgb red{255, 0, 0}, white{255, 255, 255};
    // The page is 595.3 x 297.6 pt, from y = 271.6 to 569.3.
    EXPECT_TRUE(Near(pixmap.At(297, 420), red, 8)) << pixmap.At(297, 420);
    EXPECT_TRUE(Near(pixmap.At(3, 280), red, 8)) << pixmap.At(3, 280);
    EXPECT_TRUE(Near(pixmap.At(591, 560), red, 8)) << pixmap.At(591, 560);
    EXPECT_TRUE(Near(pixmap.At(297, 260), white, 8)) << pixmap.At(297, 260);
    EXPECT_TRUE(Near(pixmap.At(297, 580), white, 8)) << pixmap.At(297, 580);
}

// ---------------------------------------------------------------------------------------------
// Numbers

TEST(PdfWriterTest, NumbersAreWrittenAsPrintfWouldInTheCLocale)
{
    struct Row {
        double value;
        const char* text;
    };
    const Row rows[] = {
        {1, "1.000000"},
        {128 / 255.0, "0.501961"},
        {-2.5, "-2.500000"},
        {0.0000004, "0.000000"},
        {0.0000005000001, "0.000001"},
        {123456789.125, "123456789.125000"},
        {-0.0, "-0.000000"},
        {std::nan(""), "0.000000"}, // PDF has no NaN or infinity
        {HUGE_VAL, "0.000000"},
    };
    for (const Row& row : rows) {
        std::string out;
        AppendReal(out, row.value);
        EXPECT_EQ(out, row.text) << row.value;
    }
    std::string out;
    AppendMatrix(out, {1, 0, 0, -1, 0, 841});
    EXPECT_EQ(out, "1.000000 0.000000 0.000000 -1.000000 0.000000 841.000000");
    out.clear();
    AppendInt(out, -2147483648LL);
    EXPECT_EQ(out, "-2147483648");
}

TEST(PdfWriterTest, TransformationsAreWrittenAsTheStepFromTheCurrentOne)
{
    TestHome home;
    auto document = PdfDocument::Create(home.File("cm.pdf"), PdfWriteOptions{}, nullptr, Uncompressed());
    ASSERT_TRUE(document);
    document->BeginPage();
    document->ConcatTransformation(Matrix::Scaling(2, 2));
    document->content().clear();
    document->SaveState();
    document->SetTransformation({2, 0, 0, 2, 10, 20}); // the same scale, moved by (5, 10) user units
    EXPECT_EQ(document->content(), "1.000000 0.000000 0.000000 1.000000 5.000000 10.000000 cm\r\n");
    document->RestoreState();
    document->font().name = "Helvetica";
    document->EndPage();
    document->BeginPage();
    EXPECT_EQ(document->font().name, "Courier") << "a page starts with the default font";
    EXPECT_EQ(document->font().size, 12);
    EXPECT_TRUE(document->transformation().IsIdentity());
    document->ConcatTransformation(Matrix::Scaling(2, 2));
    document->SaveState();
    document->ConcatTransformation(Matrix::Translation(5, 10));
    document->RestoreState();
    EXPECT_EQ(document->transformation().e, 0);
    EXPECT_EQ(document->transformation().a, 2);
    EXPECT_EQ(document->Finish(), PdfStatus::Ok);
}

} // namespace
} // namespace tavolex::pdf
