// PDF graphics on top of the writer core: path segments, colours with alpha, pens with caps,
// joins and dashes, fills and strokes, clipping, linear and radial gradients, and pictures.
//
// Everything takes geometry in the shared types of geometry.h (Path, Matrix) and plain
// descriptions of paint, pen, gradient and picture, so the shape drawer that walks the SVG
// items only translates an item's presentation into these and calls them in order:
//
//     document.SaveState();
//     document.ConcatTransformation(itemTransform);
//     FillPath(document, path, Paint::Solid({255, 0, 0, 255}), FillRule::NonZero);
//     StrokePath(document, path, pen, Paint::Solid({0, 0, 0, 255}));
//     document.RestoreState();
#pragma once

#include "geometry.h"
#include "pdf_writer.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavolex::pdf {

struct Rgba {
    uint8_t r = 0, g = 0, b = 0, a = 255;
};

enum class PaintTarget { Stroke, Fill };
enum class FillRule { NonZero, EvenOdd };

enum class GradientKind { Linear, Radial };
enum class GradientUnits { UserSpace, ObjectBoundingBox };

struct GradientStop {
    double offset = 0; // 0 to 1
    Rgba color;
};

// Coordinates are numbers in the gradient's units (percentages already resolved). Spread is
// always pad: both ends extend their colour.
struct Gradient {
    GradientKind kind = GradientKind::Linear;
    GradientUnits units = GradientUnits::ObjectBoundingBox;
    Matrix transform; // gradientTransform
    double x1 = 0, y1 = 0, x2 = 1, y2 = 0;
    double cx = 0.5, cy = 0.5, r = 0.5, fx = 0.5, fy = 0.5;
    std::vector<GradientStop> stops;
};

enum class PaintKind { None, Solid, Gradient };

struct Paint {
    PaintKind kind = PaintKind::None;
    Rgba color;                           // Solid; for a gradient only the alpha counts, as a factor
    const Gradient* gradient = nullptr;   // Gradient; owned by the caller

    static Paint None() { return {}; }
    static Paint Solid(Rgba c) { return {PaintKind::Solid, c, nullptr}; }
    static Paint Of(const Gradient& g, uint8_t alpha = 255) { return {PaintKind::Gradient, {0, 0, 0, alpha}, &g}; }
};

enum class LineCap { Butt, Square, Round };
enum class LineJoin { Miter, Bevel, Round, MiterClipped };

struct Pen {
    double width = 1;
    LineCap cap = LineCap::Butt;
    LineJoin join = LineJoin::Miter;
    double miterLimit = 4;
    std::vector<double> dashes; // empty: solid
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

// "%f %f m ", "%f %f l ", "%f %f %f %f %f %f c " and "h\r\n" for each segment.
void AppendPathSegments(std::string& out, const Path& path);
// The smallest rectangle holding the path's curves (not merely their control points).
Rect PathBounds(const Path& path);

// "r g b rg" (or RG); with alpha below 255 a graphics-state object is written, named on the
// page, and " /A<n> gs" follows.
std::string ColorOperators(PdfDocument& document, Rgba color, PaintTarget target);
// "[...] 0 d" for the pen; a capped dashed line has its dashes shortened and its gaps lengthened
// by the width so that the caps land where the dash ends.
std::string DashText(const Pen& pen);
// "w J j [M] d" for the pen, ending with CR LF.
std::string PenText(const Pen& pen);

// The operators that select `paint` (colour or pattern with its soft mask), writing the objects
// they need. `bounds` is the painted path's box, for bounding-box gradients. Nothing when the
// paint paints nothing (none, a gradient without stops or with a flat box in its units).
std::optional<std::string> PaintOperators(PdfDocument& document, const Paint& paint, PaintTarget target,
                                          const Rect& bounds);

// Fills with `rule` ("f" or "f*"). A paint that paints nothing draws nothing.
void FillPath(PdfDocument& document, const Path& path, const Paint& paint, FillRule rule);
void StrokePath(PdfDocument& document, const Path& path, const Pen& pen, const Paint& paint);

// Saves the state and clips to `path` under `rule`; EndClip restores.
void BeginClip(PdfDocument& document, const Path& path, FillRule rule);
void EndClip(PdfDocument& document);

// Draws the encoded picture (PNG, JPEG, WebP or GIF) into `box`, given in user space with its
// top-left corner first; a box side of 0 takes the picture's own size. A picture that does not
// decode is skipped (Ok). Failed when no page is open.
PdfStatus DrawImage(PdfDocument& document, std::span<const uint8_t> bytes, Rect box);
// The picture's objects, written at its first use in the document and found again after; its
// record carries its size in pixels. Nothing when the picture does not decode.
std::optional<PdfDocument::ImageRecord> PrepareImage(PdfDocument& document, std::span<const uint8_t> bytes);

// One drawing item's presentation, as the shape drawer hands it over.
struct ShapeStyle {
    Matrix transform;            // from the item's user space to the page's (placement excluded)
    const Path* clip = nullptr;  // in the item's user space; nullptr for none
    FillRule clipRule = FillRule::NonZero;
    Paint fill;
    FillRule fillRule = FillRule::NonZero;
    Paint stroke;
    Pen pen;
};

// The start and end of one item: save (its stream flushed now, or kept together with what
// follows), the item's transformation taken after the current one, and its clip (saved, flushed);
// then the restores.
void BeginItem(PdfDocument& document, const Matrix& transform, const Path* clip, FillRule clipRule,
               PdfDocument::Flush flush);
void EndItem(PdfDocument& document, const Path* clip);

// The whole of one shape item: save; the item's transformation; its clip (saved, flushed);
// fill; stroke; restore (twice with a clip). The transformation is taken after the current one,
// which is the page's placement when items are drawn one after another.
void DrawShape(PdfDocument& document, const Path& path, const ShapeStyle& style);
// The same steps for a picture item: transformation and clip, then the picture in `box`.
PdfStatus DrawPicture(PdfDocument& document, std::span<const uint8_t> bytes, Rect box, const ShapeStyle& style);

} // namespace tavolex::pdf
