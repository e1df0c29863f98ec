// Text layout: every character of a block's runs becomes a placed glyph (of the embedded font, of
// a standard font, or an outline from the fallback face where the font lacks it) with its advance
// and pen position; chunks that start at an absolute position are then moved by their anchor.
//
//     std::vector<RunMetrics> metrics;
//     std::vector<PlacedGlyph> glyphs = LayOut(Layer(document), runs, metrics);
//     ApplyAnchors(glyphs, runs);
#pragma once

#include "pdf_fonts.h"
#include "pdf_graphics.h"
#include "text_layer.h"

#include <span>
#include <vector>

namespace tavolex::pdf {

enum class GlyphKind { Embedded, Standard, Outline };

struct PlacedGlyph {
    char32_t character = 0;
    size_t run = 0;
    GlyphKind kind = GlyphKind::Standard;
    unsigned glyph = 0;   // embedded or fallback glyph id; the WinAnsi code for a standard font
    double advance = 0;   // user units, kerning included
    double nominal = 0;   // the glyph's own advance, as the font's widths give it to the viewer
    double x = 0, y = 0;  // pen position (along the path for text on a path)
    double rotate = 0;    // degrees
    bool absolute = false; // starts a text chunk
};

struct RunMetrics {
    const RunFont* font = nullptr;
    double ascent = 0, descent = 0; // user units, descent negative
    double underlineOffset = 0, underlineThickness = 0;
    double strikeOffset = 0, strikeThickness = 0;
};

// Lays out every character of the runs: glyphs, advances and pen positions, chunks marked where
// an absolute position starts one. The pen starts at (0, 0). `metrics` receives one entry per run.
std::vector<PlacedGlyph> LayOut(TextLayer& layer, std::span<const TextRun> runs, std::vector<RunMetrics>& metrics);

// Moves each chunk left by its width (end) or half of it (middle), by its first run's anchor.
void ApplyAnchors(std::vector<PlacedGlyph>& glyphs, std::span<const TextRun> runs);

// The box of the glyphs' advances from ascent to descent, in user units.
Rect GlyphBounds(const std::vector<PlacedGlyph>& glyphs, const std::vector<RunMetrics>& metrics);

} // namespace tavolex::pdf
