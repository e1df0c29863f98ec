// The shape drawer: the walk over a parsed SVG page that turns each drawing item into calls of
// the PDF drawing layer (pdf_graphics.h).
//
// An SvgPageSource adapts one SvgDocument to the writer's PdfPageSource: it gives the page's
// size for the placement, and draws item i when the writer asks. The SVG model's paints, pens,
// gradients and clips are translated into the drawing layer's own types; gradients are
// converted once per page, with percentages of user-space gradients resolved against the page's
// viewport.
//
//     SvgPageSource source(page);
//     PdfPageSource* pages[] = {&source};
//     WritePdfDocument(options, pages, path, sink);
#pragma once

#include "pdf_graphics.h"
#include "pdf_writer.h"
#include "svg.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tavolex::pdf {

// The drawing layer's form of one SVG gradient; percentages of user-space coordinates are
// fractions of the viewport (`viewportWidth` x `viewportHeight`, radii of its normalised
// diagonal), as SVG 1.1 says.
Gradient ToDrawingGradient(const SvgGradient& gradient, double viewportWidth, double viewportHeight);
Pen ToDrawingPen(const SvgPen& pen);

// A picture's encoded bytes, as the decoders and the writer take them.
inline std::span<const uint8_t> BytesOf(const std::string& bytes)
{
    return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

// Where a picture of `pictureWidth` x `pictureHeight` pixels lands in `box` under
// "preserveAspectRatio" (meet fits it inside, slice covers the box and is clipped to it).
Rect FitPicture(const Rect& box, double pictureWidth, double pictureHeight, const AspectRatio& aspect);

class SvgPageSource final : public PdfPageSource {
public:
    // `document` must outlive the source.
    explicit SvgPageSource(const SvgDocument& document);

    PageGeometry Geometry() const override;
    size_t ItemCount() const override { return document_.items.size(); }
    PdfStatus DrawItem(size_t index, PdfDocument& document) override;

private:
    Paint ToDrawingPaint(const SvgPaint& paint) const;
    ShapeStyle StyleOf(const SvgItem& item) const;
    PdfStatus DrawPictureItem(PdfDocument& document, const SvgItem& item, const SvgImage& image);
    PdfStatus DrawTextItem(PdfDocument& document, size_t index);

    const SvgDocument& document_;
    std::vector<Gradient> gradients_; // same order as document_.gradients
};

} // namespace tavolex::pdf
