// Text in the PDF, checked with the real tools: pdftotext must recover every character,
// pdffonts must list every embedded font as a subset with a ToUnicode map, qpdf must find no
// fault, and pdftoppm's pixels must show the layout (anchors, decoration, text along a path).
//
// Fonts used (Debian packages): fonts-dejavu-core (DejaVu Sans, DejaVu Serif, the default
// sans-serif face), fonts-dejavu-extra (DejaVu Math TeX Gyre, a family with one regular face)
// and fonts-freefont-otf (FreeSans, CFF outlines).
#include "pdf_fonts.h"

#include "pdf.h"

#include "core.h"
#include "pdf_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <thread>

namespace tavolex::pdf {
namespace {

using tavolex::AppendUtf8;
using tavolex::Utf16ToUtf8;
using tavolex::Utf8ToUtf16;
using testing::QpdfCheck;
using testing::ReadFile;
using testing::RunTool;
using testing::TestHome;

struct Written {
    std::string path;
    std::string bytes; // the file as written
};

// One A4 page drawn by `draw`, user space = points with y downward; the file stays in `home`.
Written WritePage(const TestHome& home, const std::function<void(PdfDocument&)>& draw,
                  Compression compression = Compression::Flate, const std::string& name = "text.pdf")
{
    const std::string path = home.File(name);
    testing::WriteOnePagePdf(path, draw, compression);
    return {path, ReadFile(path)};
}

TextRun MakeRun(std::string_view text, FontRequest font, double x, double y)
{
    TextRun run;
    run.text = text;
    run.font = std::move(font);
    run.x = {x};
    run.y = {y};
    return run;
}

void Draw(PdfDocument& document, const TextRun& run)
{
    DrawTextBlock(document, std::span(&run, 1), TextStyle{});
}

// pdftotext's text with runs of spaces and line breaks made single spaces.
std::string ExtractedText(const std::string& path)
{
    const auto result = RunTool("pdftotext -enc UTF-8 '" + path + "' -");
    std::string out;
    bool space = false;
    for (char c : result.output) {
        if (c == ' ' || c == '\n' || c == '\f' || c == '\r') {
            space = true;
            continue;
        }
        if (space && !out.empty())
            out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

struct FontLine {
    std::string name;
    std::string type;
    bool embedded = false;
    bool subset = false;
    bool toUnicode = false;
};

// pdffonts' table: name, type words, encoding, then "emb sub uni" as yes/no and the object.
std::vector<FontLine> ListFonts(const std::string& path)
{
    std::vector<FontLine> fonts;
    std::istringstream lines(RunTool("pdffonts '" + path + "'").output);
    std::string line;
    int row = 0;
    while (std::getline(lines, line)) {
        if (row++ < 2)
            continue; // header and rule
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.size() < 7)
            continue;
        FontLine font;
        font.name = w[0];
        font.type = w[1];
        // From the end: object number, generation, uni, sub, emb.
        const size_t n = w.size();
        font.embedded = w[n - 5] == "yes";
        font.subset = w[n - 4] == "yes";
        font.toUnicode = w[n - 3] == "yes";
        fonts.push_back(font);
    }
    return fonts;
}

// The rightmost column holding a dark pixel between rows `top` and `bottom`, or -1.
int RightmostInk(const testing::Pixmap& pixels, int top, int bottom)
{
    for (int x = pixels.width - 1; x >= 0; --x)
        for (int y = top; y <= bottom; ++y)
            if (pixels.At(x, y).r < 128)
                return x;
    return -1;
}

int LeftmostInk(const testing::Pixmap& pixels, int top, int bottom)
{
    for (int x = 0; x < pixels.width; ++x)
        for (int y = top; y <= bottom; ++y)
            if (pixels.At(x, y).r < 128)
                return x;
    return -1;
}

// ---------------------------------------------------------------------------------------------

TEST(PdfFonts, EveryCharacterIsRecoveredFromEmbeddedSubsets)
{
    // Each line in its own font; every font must come out as a subset with a ToUnicode map.
    const struct {
        const char* text;
        FontRequest font;
    } lines[] = {
        {"Crème brûlée, façade, naïve, Ærø", {"DejaVu Sans", 400, false, 14}},
        {"Straße 12,50 € – “Tagesmenü” ‘heute’", {"DejaVu Sans", 700, false, 14}},
        {"office affine waffle flow", {"DejaVu Serif", 400, false, 14}},
        {"Ελληνική σαλάτα και μουσακάς", {"DejaVu Serif", 700, false, 14}},
        {"Борщ со сметаной, пельмени", {"FreeSans", 400, false, 14}},
        {"Œufs à la coque (2) \\ [extra]", {"FreeSans", 700, true, 14}},
    };
    for (const Compression compression : {Compression::Flate, Compression::Off}) {
        TestHome home;
        const Written written = WritePage(
            home,
            [&](PdfDocument& document) {
                double y = 100;
                for (const auto& line : lines) {
                    Draw(document, MakeRun(line.text, line.font, 60, y));
                    y += 30;
                }
            },
            compression);
        const std::string text = ExtractedText(written.path);
        for (const auto& line : lines)
            EXPECT_NE(text.find(line.text), std::string::npos) << line.text << "\nin: " << text;

        const auto fonts = ListFonts(written.path);
        ASSERT_EQ(fonts.size(), std::size(lines));
        for (const FontLine& font : fonts) {
            EXPECT_TRUE(font.embedded) << font.name;
            EXPECT_TRUE(font.subset) << font.name;
            EXPECT_TRUE(font.toUnicode) << font.name;
            ASSERT_GT(font.name.size(), 7u);
            EXPECT_EQ(font.name[6], '+') << font.name;
            for (int i = 0; i < 6; ++i)
                EXPECT_TRUE(font.name[static_cast<size_t>(i)] >= 'A' && font.name[static_cast<size_t>(i)] <= 'Z')
                    << font.name;
        }
        // The tags count up from AAAAAA in the order the fonts were written.
        EXPECT_EQ(fonts[0].name, "AAAAAA+DejaVuSans");
        EXPECT_EQ(fonts[1].name, "AAAAAB+DejaVuSans,Bold");
        EXPECT_EQ(fonts[5].name, "AAAAAF+FreeSans,BoldItalic");
        // TrueType outlines as CIDFontType2, CFF outlines as CIDFontType0.
        EXPECT_EQ(fonts[0].type, "CID");
        if (compression == Compression::Off) {
            EXPECT_NE(written.bytes.find("/Subtype /CIDFontType2"), std::string::npos);
            EXPECT_NE(written.bytes.find("/Subtype /CIDFontType0 "), std::string::npos);
            EXPECT_NE(written.bytes.find("/FontFile3 "), std::string::npos);
            EXPECT_NE(written.bytes.find("<</Subtype /CIDFontType0C /Length "), std::string::npos);
            EXPECT_NE(written.bytes.find("/Encoding /Identity-H"), std::string::npos);
        }
    }
}

TEST(PdfFonts, LongMapsAndManyPages)
{
    // Some 800 characters from Latin-1 to Cyrillic in one font, every other one of them in a
    // second: the ToUnicode maps need blocks of at most 100 entries, and their ranges stop at each
    // 256-glyph boundary; each font is written once for the two pages that use it.
    const std::pair<char32_t, char32_t> blocks[] = {
        {0x21, 0x7E}, {0xA1, 0xAC}, {0xAE, 0x24F}, {0x391, 0x3A1}, {0x3A3, 0x3C9}, {0x400, 0x44F}};
    std::string all, sparse;
    for (const auto& [first, last] : blocks)
        for (char32_t c = first; c <= last; ++c) {
            AppendUtf8(all, c);
            if (c % 2)
                AppendUtf8(sparse, c);
        }
    TestHome home;
    const std::string path = home.File("long.pdf");
    {
        auto document = PdfDocument::Create(path, PdfWriteOptions{}, nullptr, {Compression::Off, {}, 5000});
        ASSERT_TRUE(document);
        for (int page = 0; page < 2; ++page) {
            document->BeginPage();
            // 40 characters a line.
            double y = 40;
            for (const auto& [text, family] : {std::pair(&all, "DejaVu Sans"), std::pair(&sparse, "DejaVu Serif")}) {
                const std::u16string wide = Utf8ToUtf16(*text);
                for (size_t at = 0; at < wide.size(); at += 40, y += 14)
                    Draw(*document, MakeRun(Utf16ToUtf8(wide.substr(at, 40)), {family, 400, false, 9}, 30, y));
            }
            document->EndPage();
        }
        ASSERT_EQ(document->Finish(), PdfStatus::Ok);
    }
    EXPECT_EQ(QpdfCheck(path).status, 0);
    const std::string pdf = ReadFile(path);
    int blockCount = 0, ranges = 0;
    bool inRanges = false;
    std::string maps;
    for (size_t cmap = pdf.find("begincmap"); cmap != std::string::npos; cmap = pdf.find("begincmap", cmap + 1))
        maps += pdf.substr(cmap, pdf.find("endcmap", cmap) - cmap);
    std::istringstream lines(maps);
    for (std::string line; std::getline(lines, line);) {
        if (line.ends_with(" beginbfrange") || line.ends_with(" beginbfchar")) {
            EXPECT_LE(std::stoi(line), 100) << line;
            inRanges = line.ends_with(" beginbfrange");
            ++blockCount;
        } else if (line == "endbfrange") {
            inRanges = false;
        } else if (inRanges && line.size() > 13 && line[0] == '<' && line[5] == '>') {
            // "<first> <last> ...": only the last byte may differ.
            EXPECT_EQ(line.substr(1, 2), line.substr(8, 2)) << line;
            ++ranges;
        }
    }
    EXPECT_GE(blockCount, 5);
    EXPECT_GE(ranges, 3);
    std::string text = RunTool("pdftotext -enc UTF-8 '" + path + "' -").output;
    std::string joined;
    for (char c : text)
        if (c != '\n' && c != '\f')
            joined.push_back(c);
    EXPECT_TRUE(joined == all + sparse + all + sparse) << "the extracted text differs";
    const auto fonts = ListFonts(path);
    ASSERT_EQ(fonts.size(), 2u);
    for (const FontLine& font : fonts)
        EXPECT_TRUE(font.subset && font.toUnicode) << font.name;
}

TEST(PdfFonts, GradientPaintAndOpacityOnText)
{
    TestHome home;
    static const Gradient gradient{GradientKind::Linear, GradientUnits::ObjectBoundingBox, {}, 0, 0, 1, 0,
                                   0.5, 0.5, 0.5, 0.5, 0.5, {{0, {255, 0, 0, 255}}, {1, {0, 0, 255, 255}}}};
    const Written written = WritePage(home, [](PdfDocument& document) {
        TextRun run = MakeRun("MMMMMMMMMM", {"DejaVu Sans", 700, false, 60}, 50, 200);
        run.fill = Paint::Of(gradient);
        Draw(document, run);
        TextRun faint = MakeRun("MMMM", {"DejaVu Sans", 700, false, 60}, 50, 400);
        faint.fill = Paint::Solid({0, 0, 0, 128});
        Draw(document, faint);
    });
    const auto pixels = testing::RenderFirstPage(written.path);
    // Solid strokes of the first and the last M: red on the left, blue on the right, grey below.
    auto strongest = [&](int x0, int x1, int y0, int y1, auto better) {
        testing::Rgb best{255, 255, 255};
        for (int x = x0; x < x1; ++x)
            for (int y = y0; y < y1; ++y)
                if (better(pixels.At(x, y), best))
                    best = pixels.At(x, y);
        return best;
    };
    const auto darker = [](const testing::Rgb& a, const testing::Rgb& b) { return a.r + a.g + a.b < b.r + b.g + b.b; };
    const auto left = strongest(50, 100, 160, 200, darker);
    const auto right = strongest(500, 560, 160, 200, darker);
    EXPECT_GT(left.r, 180) << left;
    EXPECT_LT(left.b, 80) << left;
    EXPECT_GT(right.b, 180) << right;
    EXPECT_LT(right.r, 80) << right;
    const auto grey = strongest(50, 200, 360, 400, darker);
    EXPECT_NEAR(grey.r, 127, 6) << grey;
}

TEST(PdfFonts, RegisteringAFontFolder)
{
    TestHome home;
    EXPECT_FALSE(RegisterFontFolder(home.File("no-such-folder")));
    const std::string folder = home.File("fonts");
    ASSERT_EQ(RunTool("mkdir '" + folder + "' && cp /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf '" + folder +
                      "/Menu.ttf'")
                  .status,
              0);
    EXPECT_TRUE(RegisterFontFolder(folder));
    // The copy is a face of its family now: fontconfig knows both files.
    EXPECT_NE(RunTool("true").status, -1);
    auto document = PdfDocument::Create(home.File("r.pdf"), PdfWriteOptions{}, nullptr);
    ASSERT_TRUE(document);
    const ResolvedFont resolved = ResolveFont(*document, {"DejaVu Sans Mono", 400, false, 12});
    EXPECT_TRUE(resolved.embedded);
    EXPECT_TRUE(resolved.file.ends_with("DejaVuSansMono.ttf") || resolved.file == folder + "/Menu.ttf") << resolved.file;
}

TEST(PdfFonts, StoredLookupsStandInForFontconfigUntilItsInputsChange)
{
    TestHome home;
    // The user's own fontconfig folder is watched; here it lies in the test's folder.
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string savedConfigHome = configHome ? configHome : "";
    setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    const std::string store = home.File("font-lookups.cache");
    KeepFontLookupsIn(store);
    const std::string page = R"(<svg xmlns="http://www.w3.org/2000/svg" width="200" height="100">)"
                             R"(<text x="10" y="50" font-family="DejaVu Serif" font-weight="bold" font-size="20">)"
                             R"(Menu</text></svg>)";
    const std::string_view pages[] = {page};
    ASSERT_EQ(ConvertSvgPagesToPdf(pages, {}, home.File("first.pdf"), nullptr), PdfStatus::Ok);
    const auto resolve = [&] {
        auto document = PdfDocument::Create(home.File("resolved.pdf"), PdfWriteOptions{}, nullptr);
        return document ? ResolveFont(*document, {"DejaVu Serif", 700, false, 20}).file : std::string("no document");
    };
    const std::string real = resolve();
    ASSERT_TRUE(real.ends_with("DejaVuSerif-Bold.ttf")) << real;
    const std::string written = ReadFile(store);
    ASSERT_NE(written.find('\t' + real + '\n'), std::string::npos) << written;

    // A stored answer planted in the file tells whether the file or fontconfig answered.
    const std::string mono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
    std::string planted = written;
    planted.replace(planted.find('\t' + real + '\n') + 1, real.size(), mono);
    const auto replaceLine = [](std::string& text, std::string_view start, std::string_view with) {
        const size_t at = text.find(start);
        ASSERT_NE(at, std::string::npos) << start;
        text.replace(at, text.find('\n', at) - at, with);
    };
    struct Row {
        const char* what;
        std::function<void(std::string&)> change;
        const std::string& expected;
    };
    const Row rows[] = {
        {"nothing changed", [](std::string&) {}, mono},
        {"a configuration file or font folder changed",
         [&](std::string& text) { replaceLine(text, "stamp\t", "stamp\t1.0 0 0\t/etc/fonts"); }, real},
        {"another fontconfig", [&](std::string& text) { replaceLine(text, "fontconfig ", "fontconfig 1"); }, real},
        {"the file was cut short", [](std::string& text) { text.resize(text.size() - 4); }, real},
        {"the file is damaged", [](std::string& text) { text = "tavolex font lookups 1\n\xFF\xFE\n"; }, real},
        {"another language", [](std::string&) { setenv("FC_LANG", "el", 1); }, real},
        {"the user made a fontconfig folder",
         [&](std::string&) { std::filesystem::create_directory(home.File("fontconfig")); }, real},
        {"a font folder was registered",
         [&](std::string&) {
             std::filesystem::create_directory(home.File("menu-fonts"));
             EXPECT_TRUE(RegisterFontFolder(home.File("menu-fonts")));
         },
         real},
    };
    for (const Row& row : rows) {
        std::string text = planted;
        row.change(text);
        testing::WriteFile(store, text);
        KeepFontLookupsIn(store);
        EXPECT_EQ(resolve(), row.expected) << row.what;
        unsetenv("FC_LANG");
    }
    // The next conversion stores what fontconfig answers now.
    ASSERT_EQ(ConvertSvgPagesToPdf(pages, {}, home.File("again.pdf"), nullptr), PdfStatus::Ok);
    const std::string rewritten = ReadFile(store);
    EXPECT_NE(rewritten.find('\t' + real + '\n'), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find('\t' + home.File("fontconfig") + '\n'), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find("\nfolder\t" + home.File("menu-fonts") + '\n'), std::string::npos) << rewritten;
    EXPECT_TRUE(rewritten.ends_with("\nend\n"));

    KeepFontLookupsIn("");
    if (configHome)
        setenv("XDG_CONFIG_HOME", savedConfigHome.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

TEST(PdfFonts, OddRunsDrawSafely)
{
    // Runs a broken or unusual page may hold: each draws what it can and the file stays sound.
    const struct {
        std::string text;
        double size;
        const char* expected; // in pdftotext's output, or nothing to find
    } rows[] = {
        {"", 12, nullptr},
        {"zero size", 0, nullptr},
        {"not a number", std::nan(""), nullptr},
        {"bad \xC3 byte \xFF end", 12, "bad \xEF\xBF\xBD byte \xEF\xBF\xBD end"}, // U+FFFD for each
        {"tab\tand\nbreak\x01", 12, "tab and break"},
        {"   ", 12, nullptr},
    };
    TestHome home;
    const Written written = WritePage(home, [&](PdfDocument& document) {
        double y = 50;
        for (const auto& row : rows) {
            Draw(document, MakeRun(row.text, {"DejaVu Sans", 400, false, row.size}, 50, y));
            y += 30;
        }
        // Position lists longer than the text, and a rotate list of one value for all.
        TextRun lists = MakeRun("ab", {"DejaVu Sans", 400, false, 12}, 50, y);
        lists.x = {50, 70, 90, 110};
        lists.dy = {1, 2, 3, 4, 5};
        lists.rotate = {10};
        Draw(document, lists);
    });
    const std::string text = ExtractedText(written.path);
    for (const auto& row : rows) {
        if (row.expected) {
            EXPECT_NE(text.find(row.expected), std::string::npos) << row.expected << " in " << text;
        }
    }
    EXPECT_EQ(text.find("zero"), std::string::npos);
    EXPECT_EQ(text.find("number"), std::string::npos);
}

TEST(PdfFonts, DocumentsOnSeveralThreads)
{
    // Exports run on the connection threads: each document keeps its own fonts, and fontconfig
    // is asked by one thread at a time.
    TestHome home;
    const char* const texts[] = {"Frühstück für zwei – 18 €", "Café crème · croissant", "Борщ и блины",
                                 "Ελληνικός καφές"};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto document = PdfDocument::Create(home.File("t" + std::to_string(t) + ".pdf"), PdfWriteOptions{}, nullptr);
            if (!document)
                return;
            for (int page = 0; page < 3; ++page) {
                document->BeginPage();
                for (int line = 0; line < 20; ++line)
                    Draw(*document, MakeRun(texts[t], {line % 2 ? "DejaVu Serif" : "DejaVu Sans", 400 + 300 * (line % 3 == 0),
                                                       line % 4 == 1, 11}, 40, 40 + 20.0 * line));
                document->EndPage();
            }
            document->Finish();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t) {
        const std::string path = home.File("t" + std::to_string(t) + ".pdf");
        EXPECT_EQ(QpdfCheck(path).status, 0) << path;
        EXPECT_NE(ExtractedText(path).find(texts[t]), std::string::npos) << texts[t];
    }
}

TEST(PdfFonts, SubsetsKeepTheFileSmall)
{
    // DejaVu Sans is some 700 KB; a line of it must not carry the whole program.
    TestHome home;
    const Written written = WritePage(home, [](PdfDocument& document) {
        Draw(document, MakeRun("Tagesmenü 12,50 €", {"DejaVu Sans", 400, false, 12}, 50, 50));
    });
    EXPECT_LT(written.bytes.size(), 20000u);
}

TEST(PdfFonts, ObjectsHaveTheirFormats)
{
    TestHome home;
    const Written written = WritePage(
        home,
        [](PdfDocument& document) {
            // "abc" are neighbouring glyphs in DejaVu Sans, rising with their characters; "€" is
            // alone.
            Draw(document, MakeRun("abc€", {"DejaVu Sans", 400, false, 20}, 50, 50));
        },
        Compression::Off);
    const std::string& pdf = written.bytes;
    EXPECT_NE(pdf.find("/CMapName /Adobe-Identity-UCS def /CMapType 2 def\n"
                       "1 begincodespacerange <0000> <FFFF> endcodespacerange\n"
                       "1 beginbfrange\n<0044> <0046> <0061>\nendbfrange\n"
                       "1 beginbfchar\n"),
              std::string::npos);
    EXPECT_NE(pdf.find("<</Type /FontDescriptor /FontName /AAAAAA+DejaVuSans /Flags 4 /FontBBox [-1020.51 -462.89 "),
              std::string::npos);
    EXPECT_NE(pdf.find(" /ItalicAngle   0.00 /Ascent 928.22 /Descent -235.84 /CapHeight 729.00 /StemV 80 /FontFile2 "),
              std::string::npos);
    EXPECT_NE(pdf.find(" /W [ 68 [612.79] 69 [634.77] 70 [549.80]"), std::string::npos);
    EXPECT_NE(pdf.find("/CIDSystemInfo <</Ordering (Identity) /Registry (Adobe) /Supplement 0>> >>"), std::string::npos);
    EXPECT_NE(pdf.find("/Subtype /Type0 /Name /FNT_EMD_DejaVuSans /Encoding /Identity-H /DescendantFonts[ "),
              std::string::npos);
    EXPECT_NE(pdf.find("BT\r\n/FNT_EMD_DejaVuSans 20.000000 Tf 100.000000 Tz 0.000000 Tw\r\n"), std::string::npos);
    EXPECT_NE(pdf.find("0 Tr\r\n<004400450046"), std::string::npos);
    EXPECT_NE(pdf.find("/FNT_EMD_DejaVuSans "), std::string::npos);
}

TEST(PdfFonts, KerningMovesGlyphsAsTheBrowserDoes)
{
    // DejaVu Sans kerns "A" and "V" together; the layout and the TJ adjustments follow it, and the
    // text still comes out whole.
    TestHome home;
    const Written written = WritePage(
        home,
        [](PdfDocument& document) {
            const FontRequest font{"DejaVu Sans", 400, false, 100};
            EXPECT_LT(MeasureText(document, font, "AV"), MeasureText(document, font, "A") + MeasureText(document, font, "V") - 3);
            Draw(document, MakeRun("AVATAR", font, 50, 200));
        },
        Compression::Off);
    EXPECT_NE(written.bytes.find("] TJ\r\n"), std::string::npos);
    EXPECT_NE(ExtractedText(written.path).find("AVATAR"), std::string::npos);
}

TEST(PdfFonts, StandardFontsWhenNothingIsEmbedded)
{
    // The name mapping.
    const struct {
        const char* family;
        bool bold, italic;
        const char* expected;
    } names[] = {
        {"Arial", true, true, "Helvetica-BoldOblique"},
        {"Arial", false, false, "Helvetica"},
        {"Helvetica", false, true, "Helvetica-Oblique"},
        {"Times New Roman", true, false, "Times-Bold"},
        {"Times New Roman", false, true, "Times-Italic"},
        {"Courier", true, true, "Courier-BoldOblique"},
        {"Times-Roman", false, false, "Times-Roman"},
        {"Symbol", false, false, "Symbol"},
        {"Symbol", true, false, "Symbol"},
        {"Open Sans", false, false, "Open Sans"},
    };
    for (const auto& row : names)
        EXPECT_EQ(StandardFontName(row.family, row.bold, row.italic), row.expected) << row.family;

    // Widths from the standard metrics, 600 for names outside the 14.
    EXPECT_EQ(StandardFontWidth("Helvetica", 'A'), 667);
    EXPECT_EQ(StandardFontWidth("Helvetica", 0x80), 556); // the euro in code page 1252
    EXPECT_EQ(StandardFontWidth("Times-Roman", 'W'), 944);
    EXPECT_EQ(StandardFontWidth("Courier-Bold", 'i'), 600);
    EXPECT_EQ(StandardFontWidth("Open Sans", 'i'), 600);

    TestHome home;
    const Written written = WritePage(
        home,
        [](PdfDocument& document) {
            UseStandardFontsOnly(document);
            Draw(document, MakeRun("Menu (2) \\ 5 €", {"Arial", 700, true, 12}, 50, 50));
            Draw(document, MakeRun("Soupe", {"Times New Roman", 400, false, 12}, 50, 80));
            Draw(document, MakeRun("Suppe", {"Times New Roman", 400, false, 12}, 50, 110));
            EXPECT_NEAR(MeasureText(document, {"Arial", 400, false, 10}, "AW"), (667 + 944) / 100.0, 1e-9);
        },
        Compression::Off);
    const std::string& pdf = written.bytes;
    EXPECT_NE(pdf.find("(Menu \\(2\\) \\\\ 5 \x80) Tj\r\nET\r\n"), std::string::npos);
    EXPECT_NE(pdf.find("<</Type /Font /BaseFont /Helvetica-BoldOblique /Subtype /Type1 /Encoding /WinAnsiEncoding>>"),
              std::string::npos);
    // One object per standard font and document.
    const std::string times = "/BaseFont /Times-Roman ";
    EXPECT_NE(pdf.find(times), std::string::npos);
    EXPECT_EQ(pdf.find(times, pdf.find(times) + 1), std::string::npos);
    EXPECT_NE(ExtractedText(written.path).find("Menu (2) \\ 5 € Soupe Suppe"), std::string::npos);
}

TEST(PdfFonts, EndAnchoredColumnLinesUpOnItsRightEdge)
{
    // A price column anchored at x = 400 in two fonts and sizes, as a menu has it.
    const struct {
        const char* text;
        FontRequest font;
    } prices[] = {
        {"4,50 €", {"DejaVu Sans", 400, false, 16}},
        {"12,00 €", {"DejaVu Sans", 700, false, 16}},
        {"128,90 €", {"DejaVu Serif", 400, false, 20}},
        {"0,99 €", {"FreeSans", 400, true, 16}},
        {"1.234,00 €", {"DejaVu Sans", 400, false, 12}},
    };
    TestHome home;
    const Written written = WritePage(home, [&](PdfDocument& document) {
        double y = 100;
        for (const auto& price : prices) {
            TextRun run = MakeRun(price.text, price.font, 400, y);
            run.anchor = TextAnchor::End;
            Draw(document, run);
            TextRun middle = MakeRun(price.text, price.font, 200, y);
            middle.anchor = TextAnchor::Middle;
            Draw(document, middle);
            y += 40;
        }
    });
    const auto pixels = testing::RenderFirstPage(written.path);
    ASSERT_EQ(pixels.width, 595);
    int y = 100;
    for (const auto& price : prices) {
        // The euro sign's right side bearing is about a point; the ink ends just left of 400.
        const int right = RightmostInk(pixels, y - 18, y + 4);
        EXPECT_GE(right, 396) << price.text;
        EXPECT_LE(right, 400) << price.text;
        // The middle anchor puts the ink's centre on 200.
        const int left = LeftmostInk(pixels, y - 18, y + 4);
        const int middleRight = [&] {
            for (int x = 300; x >= 0; --x)
                for (int row = y - 18; row <= y + 4; ++row)
                    if (pixels.At(x, row).r < 128)
                        return x;
            return -1;
        }();
        EXPECT_NEAR((left + middleRight) / 2.0, 200, 2.5) << price.text;
        y += 40;
    }
}

TEST(PdfFonts, MissingGlyphsAreDrawnFromTheFallbackFace)
{
    // DejaVu Serif has no umbrella (U+2602); the default sans-serif face, DejaVu Sans, has.
    TestHome home;
    const Written written = WritePage(
        home,
        [](PdfDocument& document) {
            Draw(document, MakeRun("Terrasse \xE2\x98\x82 offen", {"DejaVu Serif", 400, false, 40}, 50, 100));
        },
        Compression::Off);
    // The covered pieces are text, the umbrella a filled outline between them.
    EXPECT_NE(ExtractedText(written.path).find("Terrasse"), std::string::npos);
    EXPECT_NE(ExtractedText(written.path).find("offen"), std::string::npos);
    const size_t first = written.bytes.find("\r\nET\r\n");
    const size_t second = written.bytes.find("\r\nET\r\n", first + 1);
    ASSERT_NE(second, std::string::npos);
    const std::string between = written.bytes.substr(first, second - first);
    EXPECT_NE(between.find(" c "), std::string::npos);
    EXPECT_NE(between.find("f Q"), std::string::npos);
    // Ink where the umbrella stands: after "Terrasse " at 40 pt, before "offen".
    const double left = 50 + [&] {
        auto document = PdfDocument::Create(home.File("measure.pdf"), PdfWriteOptions{}, nullptr);
        return MeasureText(*document, {"DejaVu Serif", 400, false, 40}, "Terrasse ");
    }();
    const auto pixels = testing::RenderFirstPage(written.path);
    int ink = 0;
    for (int x = static_cast<int>(left) + 2; x < static_cast<int>(left) + 30; ++x)
        for (int y = 70; y < 100; ++y)
            ink += pixels.At(x, y).r < 128;
    EXPECT_GT(ink, 50);
}

TEST(PdfFonts, FauxBoldAndItalicForAFamilyWithOneFace)
{
    TestHome home;
    const std::string file = home.File("faux.pdf");
    auto document = PdfDocument::Create(file, PdfWriteOptions{}, nullptr, {Compression::Off, {}, 5000});
    ASSERT_TRUE(document);
    const struct {
        FontRequest font;
        const char* name;
        bool fauxBold, fauxItalic;
    } rows[] = {
        {{"DejaVu Math TeX Gyre", 400, false, 12}, "DejaVuMathTeXGyre", false, false},
        {{"DejaVu Math TeX Gyre", 700, false, 12}, "DejaVuMathTeXGyre,Bold", true, false},
        {{"DejaVu Math TeX Gyre", 400, true, 12}, "DejaVuMathTeXGyre,Italic", false, true},
        {{"DejaVu Math TeX Gyre", 700, true, 12}, "DejaVuMathTeXGyre,BoldItalic", true, true},
        {{"DejaVu Sans", 700, false, 12}, "DejaVuSans,Bold", false, false},
        {{"'No Such Family', DejaVu Sans", 400, false, 12}, "'NoSuchFamily',DejaVuSans", false, false},
    };
    for (const auto& row : rows) {
        const ResolvedFont resolved = ResolveFont(*document, row.font);
        EXPECT_TRUE(resolved.embedded) << row.name;
        EXPECT_EQ(resolved.name, row.name);
        EXPECT_EQ(resolved.fauxBold, row.fauxBold) << row.name;
        EXPECT_EQ(resolved.fauxItalic, row.fauxItalic) << row.name;
    }
    EXPECT_NE(ResolveFont(*document, rows[5].font).file.find("DejaVuSans.ttf"), std::string::npos);
    EXPECT_NE(ResolveFont(*document, rows[4].font).file.find("DejaVuSans-Bold.ttf"), std::string::npos);
    EXPECT_NE(ResolveFont(*document, {"MS Shell Dlg 2", 400, false, 12}).file.find("DejaVuSans.ttf"), std::string::npos);

    document->BeginPage();
    Draw(*document, MakeRun("Plain", rows[0].font, 50, 50));
    Draw(*document, MakeRun("Heavy", rows[3].font, 50, 80));
    document->EndPage();
    ASSERT_EQ(document->Finish(), PdfStatus::Ok);
    document.reset();
    const std::string pdf = ReadFile(file);
    // Faux bold strokes the glyphs with the fill colour; faux italic shears the text matrix.
    EXPECT_NE(pdf.find("q\r\n0.000000 0.000000 0.000000 rg\r\nBT\r\n"), std::string::npos);
    EXPECT_NE(pdf.find("0.000000 0.000000 0.000000 RG 2 Tr 0.240000 w\r\n"), std::string::npos);
    EXPECT_NE(pdf.find("1.000000 0.000000 0.341987 -1.000000 50.000000 80.000000 Tm"), std::string::npos);
    EXPECT_NE(pdf.find("/Flags 68"), std::string::npos);
    EXPECT_EQ(QpdfCheck(file).status, 0);
    EXPECT_NE(ExtractedText(file).find("Plain Heavy"), std::string::npos);
}

TEST(PdfFonts, PositionListsRotationAndDecoration)
{
    TestHome home;
    const Written written = WritePage(home, [](PdfDocument& document) {
        // Each letter placed by its own x; the last one turned a quarter; a second run continues
        // from the pen and is underlined; a third one struck through.
        TextRun letters = MakeRun("ABC", {"DejaVu Sans", 400, false, 30}, 0, 100);
        letters.x = {100, 200, 300};
        letters.rotate = {0, 0, 90};
        TextRun tail = MakeRun(" tail", {"DejaVu Sans", 400, false, 30}, 0, 0);
        tail.x.clear();
        tail.y.clear();
        tail.dy = {100};
        tail.underline = true;
        TextRun struck = MakeRun("struck", {"DejaVu Sans", 400, false, 30}, 100, 300);
        struck.lineThrough = true;
        const TextRun runs[] = {letters, tail};
        DrawTextBlock(document, runs, TextStyle{});
        Draw(document, struck);
    });
    const auto pixels = testing::RenderFirstPage(written.path);
    // A, B upright at 100 and 200; C turned clockwise: its ink lies below the baseline at x 300.
    EXPECT_GE(LeftmostInk(pixels, 75, 100), 99);
    int belowBaselineAtC = 0;
    for (int x = 290; x < 325; ++x)
        for (int y = 102; y < 130; ++y)
            belowBaselineAtC += pixels.At(x, y).r < 128;
    EXPECT_GT(belowBaselineAtC, 40);
    // The tail starts after the C (x 300 + its advance) and 100 points lower; its underline is a
    // continuous band a few points below the baseline at y 200.
    int underlineRow = -1;
    for (int y = 201; y < 210 && underlineRow < 0; ++y) {
        int dark = 0;
        for (int x = 325; x < 370; ++x)
            dark += pixels.At(x, y).r < 200;
        if (dark >= 43)
            underlineRow = y;
    }
    EXPECT_GT(underlineRow, 0);
    // The strike-through crosses the middle of the lower-case letters at y 300.
    int strikeRow = -1;
    for (int y = 285; y < 298 && strikeRow < 0; ++y) {
        int dark = 0;
        for (int x = 100; x < 180; ++x)
            dark += pixels.At(x, y).r < 200;
        if (dark >= 78)
            strikeRow = y;
    }
    EXPECT_GT(strikeRow, 0);
}

TEST(PdfFonts, TextAlongAPath)
{
    TestHome home;
    const Written written = WritePage(home, [](PdfDocument& document) {
        // Down a vertical line: every glyph turned a quarter clockwise, so the ink stays in a
        // narrow column around x 200 between y 100 and the end of the text.
        Path down;
        down.MoveTo({200, 100});
        down.LineTo({200, 500});
        TextRun run;
        run.text = "Tagesmenü";
        run.font = {"DejaVu Sans", 400, false, 20};
        DrawTextOnPath(document, std::span(&run, 1), down, 0, TextStyle{});
        // Along a horizontal line and anchored in the middle of a 300-point path.
        Path across;
        across.MoveTo({100, 600});
        across.LineTo({400, 600});
        TextRun centred;
        centred.text = "Dessert";
        centred.font = {"DejaVu Sans", 400, false, 20};
        centred.anchor = TextAnchor::Middle;
        DrawTextOnPath(document, std::span(&centred, 1), across, 150, TextStyle{});
    });
    EXPECT_NE(ExtractedText(written.path).find("Dessert"), std::string::npos);
    const auto pixels = testing::RenderFirstPage(written.path);
    int inside = 0, outside = 0;
    for (int y = 95; y < 260; ++y)
        for (int x = 150; x < 250; ++x) {
            const bool dark = pixels.At(x, y).r < 128;
            if (x >= 190 && x <= 226)
                inside += dark;
            else
                outside += dark;
        }
    EXPECT_GT(inside, 200);
    EXPECT_EQ(outside, 0);
    const int left = LeftmostInk(pixels, 580, 605), right = RightmostInk(pixels, 580, 605);
    EXPECT_NEAR((left + right) / 2.0, 250, 2.5);
}

TEST(PdfFonts, SvgTextItemsThroughTheDrawer)
{
    // A menu page as the browser writes it: a block of runs, a price whose end anchor covers two
    // runs, a decoration and a textPath. Every character comes out, every font as a subset, and
    // the price's right edge sits on x 380 of a 400-unit page printed at its own size.
    const std::string page =
        R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="400" height="300">)"
        R"(<defs><path id="arc" d="M50 250 C150 150 250 150 350 250"/></defs>)"
        R"(<text x="20" y="40" font-family="DejaVu Serif" font-size="20">Crème <tspan font-weight="bold">Straße</tspan> office</text>)"
        R"(<text x="380" y="80" text-anchor="end" font-family="DejaVu Sans" font-size="16">12,50 <tspan font-style="italic">€</tspan></text>)"
        R"(<text x="20" y="120" font-family="DejaVu Sans" text-decoration="underline" fill="#c00">Борщ “heute” – Ελληνικά</text>)"
        R"(<text font-family="DejaVu Sans" font-size="14"><textPath xlink:href="#arc">Tagesmenü</textPath></text></svg>)";
    TestHome home;
    const std::string path = home.File("svg.pdf");
    const std::string_view pages[] = {page};
    PdfWriteOptions options;
    options.fit = 0; // keep the size: one user unit is 0.75 point
    options.placement = 0;
    std::string error;
    ASSERT_EQ(ConvertSvgPagesToPdf(pages, options, path, nullptr, &error), PdfStatus::Ok) << error;
    EXPECT_EQ(QpdfCheck(path).status, 0);
    const std::string text = ExtractedText(path);
    for (const char* expected : {"Crème Straße office", "12,50 €", "Борщ “heute” – Ελληνικά"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << " in " << text;
    const auto fonts = ListFonts(path);
    EXPECT_EQ(fonts.size(), 4u);
    for (const FontLine& font : fonts)
        EXPECT_TRUE(font.embedded && font.subset && font.toUnicode) << font.name;
    const auto pixels = testing::RenderFirstPage(path);
    const int right = RightmostInk(pixels, static_cast<int>(66 * 0.75), static_cast<int>(82 * 0.75));
    EXPECT_NEAR(right, 380 * 0.75, 2) << "the anchored price ends at " << right;
}

} // namespace
} // namespace tavolex::pdf
