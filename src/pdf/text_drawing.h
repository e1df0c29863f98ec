// Writing laid-out glyphs into the page: a piece (glyphs of one run and kind drawn from one
// origin with their own advances) becomes a text object in its font, paint and render mode, a
// filled outline where the fallback face stands in, and the bands of its decoration lines. A
// whole block (or text on a path) is one stream: its save, transformation, clip, pieces and
// restore.
//
//     BeginTextItem(document, style);
//     BlockWriter writer(document, layer, runs, metrics, glyphs, GlyphBounds(glyphs, metrics));
//     writer.Write(piece);
//     EndTextItem(document, style);
#pragma once

#include "pdf_fonts.h"
#include "pdf_graphics.h"
#include "pdf_writer.h"
#include "text_layout.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavolex::pdf {

// A piece: glyphs of one run and kind drawn from one origin with their own advances.
struct Piece {
    size_t first = 0, last = 0; // [first, last)
    Matrix placement;           // piece space (x along the baseline, y down) to user space
    double width = 0;
};

class BlockWriter {
public:
    BlockWriter(PdfDocument& document, TextLayer& layer, std::span<const TextRun> runs,
                const std::vector<RunMetrics>& metrics, const std::vector<PlacedGlyph>& glyphs, const Rect& bounds)
        : document_(document), layer_(layer), runs_(runs), metrics_(metrics), glyphs_(glyphs), bounds_(bounds),
          paints_(runs.size())
    {
    }
    void Write(const Piece& piece);

private:
    struct RunPaint {
        bool made = false;
        std::optional<std::string> fill, stroke, fillAsStroke;
    };

    RunPaint& PaintOf(size_t runIndex);
    void WriteText(const Piece& piece, const TextRun& run, const RunMetrics& metrics);
    std::string FontResource(const RunFont& font);
    int StandardFontObject(const RunFont& font);
    Matrix TextMatrix(const Piece& piece, const RunFont& font) const;
    void AppendRenderMode(std::string& out, const RunPaint& paint, const TextRun& run, bool fauxBold) const;
    void AppendGlyphIds(std::string& out, const Piece& piece, const TextRun& run, EmbeddedFont& font) const;
    void AppendWinAnsiText(std::string& out, const Piece& piece) const;
    void WriteOutlines(const Piece& piece, const TextRun& run);
    void WriteDecoration(const Piece& piece, const TextRun& run, double offset, double thickness);

    PdfDocument& document_;
    TextLayer& layer_;
    std::span<const TextRun> runs_;
    const std::vector<RunMetrics>& metrics_;
    const std::vector<PlacedGlyph>& glyphs_;
    Rect bounds_;
    std::vector<RunPaint> paints_;
};

// The save, transformation and clip that open a text item, and the restores that close it.
void BeginTextItem(PdfDocument& document, const TextStyle& style);
void EndTextItem(PdfDocument& document, const TextStyle& style);

} // namespace tavolex::pdf
