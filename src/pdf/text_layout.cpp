#include "text_layout.h"

#include "text_encoding.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace tavolex::pdf {

namespace {

double ListValue(const std::vector<double>& list, size_t i, bool& present)
{
    present = i < list.size();
    return present ? list[i] : 0;
}

RunMetrics MeasureRun(TextLayer& layer, const TextRun& run)
{
    RunMetrics metrics;
    metrics.font = &layer.Resolve(run.font);
    const double size = run.font.size;
    if (metrics.font->embedded) {
        Face& face = *metrics.font->embedded->face;
        const double k = size / face.unitsPerEm();
        metrics.ascent = face.ascent() * k;
        metrics.descent = face.descent() * k;
        const auto [underline, underlineSize] = face.Underline();
        const auto [strike, strikeSize] = face.LineThrough();
        metrics.underlineOffset = underline * k;
        metrics.underlineThickness = underlineSize * k;
        metrics.strikeOffset = strike * k;
        metrics.strikeThickness = strikeSize * k;
    } else {
        metrics.ascent = 0.75 * size;
        metrics.descent = -0.25 * size;
        metrics.underlineOffset = -0.1 * size;
        metrics.underlineThickness = 0.05 * size;
        metrics.strikeOffset = 0.3 * size;
        metrics.strikeThickness = 0.05 * size;
    }
    return metrics;
}

using ShapedGlyphs = std::optional<std::vector<std::pair<unsigned, double>>>;

// The glyph of character `c`, the `index`th of its run, in the run's font: its kind, id and
// advances at `size`.
void ChooseGlyph(TextLayer& layer, const RunFont& font, double size, char32_t c, const ShapedGlyphs& shaped,
                 size_t index, PlacedGlyph& placed)
{
    if (!font.embedded) {
        placed.kind = GlyphKind::Standard;
        placed.glyph = ToWinAnsi(c);
        placed.advance = StandardFontWidth(font.standardName, static_cast<int>(placed.glyph)) * size / 1000.0;
        return;
    }
    Face& face = *font.embedded->face;
    const unsigned glyph = shaped ? (*shaped)[index].first : face.Glyph(c);
    if (glyph != 0) {
        placed.kind = GlyphKind::Embedded;
        placed.glyph = glyph;
        placed.nominal = face.Advance(glyph) * size / face.unitsPerEm();
        placed.advance = shaped ? (*shaped)[index].second * size / face.unitsPerEm() : placed.nominal;
    } else if (Face* fallback = layer.Fallback()) {
        placed.kind = GlyphKind::Outline;
        placed.glyph = fallback->Glyph(c);
        placed.advance = fallback->Advance(placed.glyph) * size / fallback->unitsPerEm();
    } else {
        placed.kind = GlyphKind::Embedded;
        placed.advance = face.Advance(0) * size / face.unitsPerEm();
    }
}

} // namespace

std::vector<PlacedGlyph> LayOut(TextLayer& layer, std::span<const TextRun> runs, std::vector<RunMetrics>& metrics)
{
    std::vector<PlacedGlyph> glyphs;
    double penX = 0, penY = 0;
    bool first = true;
    for (size_t r = 0; r < runs.size(); ++r) {
        const TextRun& run = runs[r];
        metrics.push_back(MeasureRun(layer, run));
        const RunFont& font = *metrics.back().font;
        const double size = run.font.size;
        if (!(size > 0) || !std::isfinite(size))
            continue; // a font size of 0 (or none that is a number) draws nothing, as in SVG
        std::u32string characters = DecodeUtf8(run.text);
        for (char32_t& c : characters)
            if (c == '\t' || c == '\n' || c == '\r')
                c = ' ';
        const ShapedGlyphs shaped = font.embedded ? font.embedded->face->Shape(characters) : std::nullopt;
        for (size_t i = 0; i < characters.size(); ++i) {
            const char32_t c = characters[i];
            PlacedGlyph placed;
            placed.character = c;
            placed.run = r;
            bool hasX = false, hasY = false, present = false;
            const double x = ListValue(run.x, i, hasX);
            const double y = ListValue(run.y, i, hasY);
            if (hasX)
                penX = x;
            if (hasY)
                penY = y;
            penX += ListValue(run.dx, i, present);
            penY += ListValue(run.dy, i, present);
            if (!run.rotate.empty())
                placed.rotate = run.rotate[std::min(i, run.rotate.size() - 1)];
            placed.absolute = first || hasX || hasY;
            first = false;
            if (c < 0x20)
                continue; // other control characters draw nothing and take no room
            ChooseGlyph(layer, font, size, c, shaped, i, placed);
            placed.x = penX;
            placed.y = penY;
            penX += placed.advance;
            glyphs.push_back(placed);
        }
    }
    return glyphs;
}

void ApplyAnchors(std::vector<PlacedGlyph>& glyphs, std::span<const TextRun> runs)
{
    size_t start = 0;
    while (start < glyphs.size()) {
        size_t end = start + 1;
        while (end < glyphs.size() && !glyphs[end].absolute)
            ++end;
        const TextAnchor anchor = runs[glyphs[start].run].anchor;
        if (anchor != TextAnchor::Start) {
            double right = glyphs[start].x;
            for (size_t i = start; i < end; ++i)
                right = std::max(right, glyphs[i].x + glyphs[i].advance);
            double width = right - glyphs[start].x;
            if (anchor == TextAnchor::Middle)
                width /= 2;
            for (size_t i = start; i < end; ++i)
                glyphs[i].x -= width;
        }
        start = end;
    }
}

Rect GlyphBounds(const std::vector<PlacedGlyph>& glyphs, const std::vector<RunMetrics>& metrics)
{
    Rect box;
    bool empty = true;
    for (const PlacedGlyph& g : glyphs) {
        const RunMetrics& m = metrics[g.run];
        const double left = g.x, right = g.x + g.advance, top = g.y - m.ascent, bottom = g.y - m.descent;
        if (empty) {
            box = {left, top, right - left, bottom - top};
            empty = false;
            continue;
        }
        const double r = std::max(box.x + box.width, right), b = std::max(box.y + box.height, bottom);
        box.x = std::min(box.x, left);
        box.y = std::min(box.y, top);
        box.width = r - box.x;
        box.height = b - box.y;
    }
    return box;
}
double MeasureText(PdfDocument& document, const FontRequest& font, std::string_view text)
{
    TextRun run;
    run.text = text;
    run.font = font;
    std::vector<RunMetrics> metrics;
    const auto glyphs = LayOut(Layer(document), std::span(&run, 1), metrics);
    double width = 0;
    for (const PlacedGlyph& g : glyphs)
        width += g.advance;
    return width;
}

} // namespace tavolex::pdf
