// Text in the PDF: fonts found through fontconfig and read with FreeType, embedded as subsets
// (HarfBuzz's subsetter) with a ToUnicode map, or the 14 standard fonts when a font cannot be
// embedded; and the layout of SVG text runs (position lists, anchors, rotation, decoration, text
// along a path) with the fonts' own metrics.
//
// The SVG model gives one text item per run, the first run of each "text" element marked as
// starting its block. The drawer hands all runs of one block (that item and the text items after
// it up to the next block's first) to DrawTextBlock in one call, or to DrawTextOnPath for runs
// inside a "textPath", with the first item's matrix and clip. A text chunk (and so its anchor)
// may span runs: "12,50 <tspan>€</tspan>" anchored at its end must be measured whole.
//
//     TextRun run{.text = "Crème brûlée", .font = {"DejaVu Sans", 700, false, 14}, .x = {40}, .y = {80}};
//     DrawTextBlock(document, std::span(&run, 1), TextStyle{.transform = itemTransform});
//
// The pen runs on from one run to the next, as it does in a browser: a run without its own "x"
// continues where the previous one ended. Fonts are loaded once per document; their objects are
// written when the document is finished.
//
// Inside, one file a step: font_lookup (fontconfig's answers), font_face (a font file through
// FreeType and HarfBuzz), text_layer (the fonts of one document), text_layout (glyphs and pen
// positions), text_drawing (text objects, outlines, decoration), text_on_path, and
// font_embedding (the font objects written at the end).
#pragma once

#include "geometry.h"
#include "pdf_graphics.h"
#include "pdf_writer.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex::pdf {

// What a run asks for. `family` is the SVG font-family text: one name or a comma-separated list
// (quotes allowed), each tried in turn; "MS Shell Dlg 2" and the generic names (serif,
// sans-serif, monospace) take fontconfig's choice for them.
struct FontRequest {
    std::string family = "MS Shell Dlg 2";
    int weight = 400; // 100 to 900; 600 and above count as bold
    bool italic = false;
    double size = 16; // user units per em
};

// Where a text chunk stands relative to its position (SVG 1.1 "text-anchor").
enum class TextAnchor { Start = 0, Middle = 1, End = 2 };

// One run of a text block: its characters and where they go. The lists hold one value per
// character (code point) from the run's first; a list shorter than the text leaves the rest of
// the characters to the pen, except `rotate`, whose last value holds for the rest.
struct TextRun {
    std::string_view text; // UTF-8
    FontRequest font;
    std::vector<double> x, y, dx, dy, rotate; // user units; rotate in degrees, clockwise on the page
    TextAnchor anchor = TextAnchor::Start;
    bool underline = false;
    bool lineThrough = false;
    Paint fill = Paint::Solid({0, 0, 0, 255});
    Paint stroke;          // none by default; SVG text can be outlined
    double strokeWidth = 1;
};

struct TextStyle {
    Matrix transform;           // the item's user space to the page's (placement excluded)
    const Path* clip = nullptr; // in the item's user space
    FillRule clipRule = FillRule::NonZero;
};

// Draws every run of one text block. A new text chunk starts at each character with an absolute
// x or y; a chunk is measured and moved left by half its width (middle) or its whole width (end)
// by the anchor of its first character.
void DrawTextBlock(PdfDocument& document, std::span<const TextRun> runs, const TextStyle& style);

// Lays the runs along `path` (in the item's user space) from `startOffset` user units along it:
// each glyph sits with the middle of its advance on the path, turned along the tangent; "x"
// values are distances along the path, "dy" moves across it. Glyphs beyond the path's end are
// not drawn. The anchor moves the text back along the path by its width or half of it.
void DrawTextOnPath(PdfDocument& document, std::span<const TextRun> runs, const Path& path, double startOffset,
                    const TextStyle& style);

// The advance width of `text` in user units, as DrawTextBlock lays it out (without lists).
double MeasureText(PdfDocument& document, const FontRequest& font, std::string_view text);

// How a request is resolved in `document`: the embedded font's name ("DejaVuSans,Bold") and
// file, or the standard font ("Helvetica-Bold") when nothing can be embedded.
struct ResolvedFont {
    bool embedded = false;
    std::string name;
    std::string file;     // empty for a standard font
    bool fauxBold = false;
    bool fauxItalic = false;
};
ResolvedFont ResolveFont(PdfDocument& document, const FontRequest& font);

// From now on `document` writes its runs in the standard fonts only: no font file is embedded
// (the smallest file, for text that code page 1252 holds).
void UseStandardFontsOnly(PdfDocument& document);

// Loads fontconfig's configuration and font lists, which a first text otherwise waits for; a
// converter calls it while its helper parses pages that hold text. Nothing is loaded while
// answers kept in a file (KeepFontLookupsIn) stand in for fontconfig.
void PrepareFontLookup();
// Looks up the font files of `requests` ahead of the text layer, which then finds them at once.
// The answers are kept for the process, until a font folder is registered, and stored in the
// file KeepFontLookupsIn named.
void LookUpFonts(std::span<const FontRequest> requests);
// Writes the answers found since the last time to the file named by KeepFontLookupsIn.
void StoreFontLookups();

// The standard font for a family when nothing is embedded: "Arial" bold italic gives
// "Helvetica-BoldOblique"; a family outside the mapping keeps its own name.
std::string StandardFontName(std::string_view family, bool bold, bool italic);
// The width in 1/1000 em of code `code` (0 to 255) in a standard font; 600 for other names.
int StandardFontWidth(std::string_view standardName, int code);

} // namespace tavolex::pdf
