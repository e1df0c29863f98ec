#include "text_drawing.h"

#include "font_names.h"
#include "text_encoding.h"

#include <cmath>

namespace tavolex::pdf {

namespace {

bool SameRunAndKind(const PlacedGlyph& a, const PlacedGlyph& b)
{
    return a.run == b.run && a.kind == b.kind;
}

} // namespace

void BlockWriter::Write(const Piece& piece)
{
    const TextRun& run = runs_[glyphs_[piece.first].run];
    const RunMetrics& metrics = metrics_[glyphs_[piece.first].run];
    if (glyphs_[piece.first].kind == GlyphKind::Outline)
        WriteOutlines(piece, run);
    else
        WriteText(piece, run, metrics);
    if (run.underline)
        WriteDecoration(piece, run, metrics.underlineOffset, metrics.underlineThickness);
    if (run.lineThrough)
        WriteDecoration(piece, run, metrics.strikeOffset, metrics.strikeThickness);
}

BlockWriter::RunPaint& BlockWriter::PaintOf(size_t runIndex)
{
    RunPaint& paint = paints_[runIndex];
    if (!paint.made) {
        const TextRun& run = runs_[runIndex];
        paint.made = true;
        paint.fill = PaintOperators(document_, run.fill, PaintTarget::Fill, bounds_);
        paint.stroke = PaintOperators(document_, run.stroke, PaintTarget::Stroke, bounds_);
        const RunFont& font = *metrics_[runIndex].font;
        if (font.embedded && font.embedded->fauxBold)
            paint.fillAsStroke = PaintOperators(document_, run.fill, PaintTarget::Stroke, bounds_);
    }
    return paint;
}

void BlockWriter::WriteText(const Piece& piece, const TextRun& run, const RunMetrics& metrics)
{
    RunPaint& paint = PaintOf(glyphs_[piece.first].run);
    const RunFont& font = *metrics.font;
    const bool fauxBold = font.embedded && font.embedded->fauxBold;
    if (!paint.fill && !paint.stroke)
        return; // nothing paints the glyphs
    document_.SetPageFlag(PageFlag::Text);
    const std::string resource = FontResource(font);
    std::string& out = document_.content();
    if (fauxBold)
        out += "q\r\n";
    if (paint.fill)
        out += *paint.fill + "\r\n";
    if (paint.stroke)
        out += *paint.stroke + "\r\n";
    out += "BT\r\n" + resource + " ";
    AppendReal(out, run.font.size);
    out += " Tf 100.000000 Tz 0.000000 Tw\r\n";
    AppendMatrix(out, TextMatrix(piece, font));
    out += " Tm\r\n";
    AppendRenderMode(out, paint, run, fauxBold);
    if (font.embedded)
        AppendGlyphIds(out, piece, run, *font.embedded);
    else
        AppendWinAnsiText(out, piece);
    if (fauxBold)
        out += "Q\r\n";
}

// The page's name for the font, its object reserved (embedded) or written (standard) at first use.
std::string BlockWriter::FontResource(const RunFont& font)
{
    std::string resource;
    int object = 0;
    if (font.embedded) {
        EmbeddedFont& embedded = *font.embedded;
        if (embedded.object == 0) {
            embedded.object = document_.ReserveObject();
            layer_.order.push_back(&embedded);
        }
        resource = embedded.resource;
        object = embedded.object;
    } else {
        resource = ResourceName("/FNT_", font.standardName);
        object = StandardFontObject(font);
    }
    DictionaryBuilder entry(resource);
    entry << ' ' << ObjectReference{object};
    document_.AddResource(ResourceKind::Font, entry.text());
    return resource;
}

int BlockWriter::StandardFontObject(const RunFont& font)
{
    auto found = layer_.standardObjects.find(font.standardName);
    if (found == layer_.standardObjects.end()) {
        const std::string base = PdfNameText(font.standardName);
        std::string object;
        if (IsSymbolicKind(font.standardKind))
            object = "<</Type /Font /BaseFont /" + base + " /Subtype /Type1>>";
        else if (font.standardKind >= 0)
            object = "<</Type /Font /BaseFont /" + base + " /Subtype /Type1 /Encoding /WinAnsiEncoding>>";
        else
            object = "<</Type /Font /BaseFont /" + base + " /Subtype /TrueType /Encoding /WinAnsiEncoding>>";
        found = layer_.standardObjects.emplace(font.standardName, document_.WriteObject(object)).first;
    }
    return found->second;
}

// Text space is y-up: flipped into the piece's y-down space, with the faux italic shear.
Matrix BlockWriter::TextMatrix(const Piece& piece, const RunFont& font) const
{
    Matrix textMatrix = piece.placement.After(Matrix::Scaling(1, -1));
    if (font.embedded && font.embedded->fauxItalic)
        textMatrix = textMatrix.After(Matrix{1, 0, std::tan(kFauxItalicAngle), 1, 0, 0});
    return textMatrix;
}

// Fill, stroke or both; faux bold strokes the glyphs in their fill with a pen of 2% of the size.
void BlockWriter::AppendRenderMode(std::string& out, const RunPaint& paint, const TextRun& run, bool fauxBold) const
{
    if (fauxBold && paint.fillAsStroke) {
        out += *paint.fillAsStroke + " 2 Tr ";
        AppendReal(out, run.font.size * 0.02);
        out += " w\r\n";
    } else if (paint.fill && paint.stroke) {
        out += "2 Tr ";
        AppendReal(out, run.strokeWidth);
        out += " w\r\n";
    } else if (paint.stroke) {
        out += "1 Tr ";
        AppendReal(out, run.strokeWidth);
        out += " w\r\n";
    } else {
        out += "0 Tr\r\n";
    }
}

// The glyph ids as two-byte codes, each recorded as used for the character it draws. Kerning moves
// a glyph off its own advance: TJ carries the difference in thousandths of the size, so the viewer
// places each glyph where the layout put it.
void BlockWriter::AppendGlyphIds(std::string& out, const Piece& piece, const TextRun& run, EmbeddedFont& font) const
{
    bool kerned = false;
    for (size_t i = piece.first; i + 1 < piece.last; ++i)
        kerned = kerned || std::fabs(glyphs_[i].advance - glyphs_[i].nominal) > 1e-9;
    out += kerned ? "[<" : "<";
    for (size_t i = piece.first; i < piece.last; ++i) {
        AppendHex4(out, glyphs_[i].glyph);
        font.used.emplace(glyphs_[i].glyph, glyphs_[i].character);
        const double adjustment = (glyphs_[i].nominal - glyphs_[i].advance) * 1000 / run.font.size;
        if (kerned && i + 1 < piece.last && std::fabs(adjustment) > 1e-6) {
            out += "> ";
            AppendReal(out, adjustment);
            out += " <";
        }
    }
    out += kerned ? ">] TJ\r\nET\r\n" : "> Tj\r\nET\r\n";
}

void BlockWriter::AppendWinAnsiText(std::string& out, const Piece& piece) const
{
    out += '(';
    for (size_t i = piece.first; i < piece.last; ++i) {
        const char code = static_cast<char>(glyphs_[i].glyph);
        if (code == '(' || code == ')' || code == '\\')
            out += '\\';
        out += code;
    }
    out += ") Tj\r\nET\r\n";
}

void BlockWriter::WriteOutlines(const Piece& piece, const TextRun& run)
{
    Face* fallback = layer_.Fallback();
    if (!fallback)
        return;
    const double scale = run.font.size / fallback->unitsPerEm();
    Path path;
    double x = 0;
    for (size_t i = piece.first; i < piece.last; ++i) {
        Matrix at = piece.placement.After(Matrix::Translation(x, 0));
        const RunFont& font = *metrics_[glyphs_[i].run].font;
        if (font.embedded && font.embedded->fauxItalic)
            at = at.After(Matrix{1, 0, -std::tan(kFauxItalicAngle), 1, 0, 0});
        fallback->AppendOutline(path, glyphs_[i].glyph, scale, at);
        x += glyphs_[i].advance;
    }
    if (!path.IsEmpty())
        FillPath(document_, path, run.fill, FillRule::NonZero);
}

void BlockWriter::WriteDecoration(const Piece& piece, const TextRun& run, double offset, double thickness)
{
    if (piece.width <= 0 || thickness <= 0)
        return;
    // A filled band rather than a stroked line, so that a gradient paints it as the glyphs.
    Path band;
    const Matrix& m = piece.placement;
    const double top = -offset - thickness / 2;
    band.MoveTo(m.Apply({0, top}));
    band.LineTo(m.Apply({piece.width, top}));
    band.LineTo(m.Apply({piece.width, top + thickness}));
    band.LineTo(m.Apply({0, top + thickness}));
    band.Close();
    FillPath(document_, band, run.fill, FillRule::NonZero);
}

void BeginTextItem(PdfDocument& document, const TextStyle& style)
{
    BeginItem(document, style.transform, style.clip, style.clipRule, PdfDocument::Flush::Later);
}

void EndTextItem(PdfDocument& document, const TextStyle& style)
{
    EndItem(document, style.clip);
}

void DrawTextBlock(PdfDocument& document, std::span<const TextRun> runs, const TextStyle& style)
{
    TextLayer& layer = Layer(document);
    std::vector<RunMetrics> metrics;
    std::vector<PlacedGlyph> glyphs = LayOut(layer, runs, metrics);
    if (glyphs.empty())
        return;
    ApplyAnchors(glyphs, runs);
    BeginTextItem(document, style);
    BlockWriter writer(document, layer, runs, metrics, glyphs, GlyphBounds(glyphs, metrics));
    size_t start = 0;
    while (start < glyphs.size()) {
        // A piece runs on while the glyphs follow each other at their own advances, unturned.
        size_t end = start + 1;
        double width = glyphs[start].advance;
        if (glyphs[start].rotate == 0) {
            while (end < glyphs.size() && SameRunAndKind(glyphs[end], glyphs[start]) && glyphs[end].rotate == 0 &&
                   glyphs[end].y == glyphs[start].y &&
                   std::fabs(glyphs[end].x - (glyphs[end - 1].x + glyphs[end - 1].advance)) < 1e-9) {
                width += glyphs[end].advance;
                ++end;
            }
        }
        Piece piece;
        piece.first = start;
        piece.last = end;
        piece.width = width;
        piece.placement = Matrix::Translation(glyphs[start].x, glyphs[start].y).After(Matrix::Rotation(glyphs[start].rotate));
        writer.Write(piece);
        start = end;
    }
    EndTextItem(document, style);
}

} // namespace tavolex::pdf
