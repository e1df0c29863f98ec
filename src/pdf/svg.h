// The SVG page model: one menu page, parsed from the text of an SVG 1.1 document into an
// SvgDocument that the PDF writer places on the paper and draws item by item.
//
// The text is read into an element tree by the XML reader (xml.h); the tree is then walked in
// document order with a stack of presentation states (every property inherits from the
// parent), and each drawable element becomes one SvgItem with its geometry already built as a
// Path in the element's own user space, the transformation that maps it onto the page's user
// space, and its paint, pen, clip path and (for text) font and positions resolved; what only one
// kind of item has (a picture, a text run) is held in the item's variant. Definitions
// ("defs", gradients, clip paths, symbols, style classes) are looked up by id and class while
// walking. Text is parsed into runs here; measuring and drawing them is the writer's job, as is
// decoding the bytes of embedded pictures.
//
//     SvgDocument page;
//     if (ParseSvg(pageText, page) == SvgStatus::Ok) { /* page.items, page.width, ... */ }
//
// The value parsers (colours, lengths, number lists, transformation lists, path data) are
// declared below too; they are forgiving and never read outside their input.
#pragma once

#include "core.h"
#include "pdf_progress.h"

#include "geometry.h"
#include "xml.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavolex::pdf {

// ---------------------------------------------------------------------------------------------
// Values

struct Color {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t alpha = 255;
    friend bool operator==(const Color&, const Color&) = default;
};

enum class ColorParse { Parsed, Inherit, Invalid };

// "#rgb", "#rrggbb", "rgb(r, g, b)" (numbers or percentages), "inherit" or one of the 147
// keywords of SVG 1.1. Parsed sets red, green and blue of `color` and leaves its alpha; Inherit
// and Invalid leave `color` unchanged.
ColorParse ParseSvgColor(std::string_view text, Color& color);
// The keyword table, sorted by name, for lookups and tests.
struct ColorKeyword {
    std::string_view name;
    uint8_t red, green, blue;
};
extern const ColorKeyword kSvgColorKeywords[147];

enum class LengthAxis { Horizontal, Vertical, Diagonal, None };

struct Length {
    double value = 0;     // in user units; a percentage is kept as its fraction (50% is 0.5)
    bool percent = false;
};

// A length with its unit: none or "px", "em", "ex", "pt", "pc", "cm", "mm", "in", "%". An
// unknown unit or a missing number gives nullopt. `fontSize` resolves "em" and "ex".
std::optional<Length> ParseSvgLength(std::string_view text, double fontSize);

// Numbers separated by space, comma, tab, line feed or carriage return; any other character
// ends the list. At most `limit` numbers are read.
std::vector<double> ParseSvgNumberList(std::string_view text, size_t limit = SIZE_MAX);
// One number of such a list at the cursor, after skipping separators; nullopt (cursor where
// it was) when there is none. A sign is taken only at the start or right after the exponent's
// "e"; a second "." ends the number.
std::optional<double> ReadSvgListNumber(TextCursor& cursor);

// "matrix", "translate", "rotate" and "scale" applied in order to `matrix` (so that the first
// listed acts last on a point); anything else, "skewX" and "skewY" included, is passed over.
// Returns the number of transformations that were passed over.
int ApplySvgTransformList(std::string_view text, Matrix& matrix);

// Path data ("d"). Figures read before a fault are kept; `stoppedAt` (when given) receives the
// byte offset where reading stopped early, or SIZE_MAX when the whole text was read.
Path ParseSvgPathData(std::string_view text, size_t* stoppedAt = nullptr);

// Adds the SVG 1.1 elliptical arc from `from` to `to` (implementation notes F.6.5, endpoint to
// centre conversion) to `path` as cubic Béziers of at most 90 degrees each.
void AppendSvgArc(Path& path, Point from, double rx, double ry, double xAxisRotation,
                  bool largeArc, bool sweep, Point to);

// Geometry of the basic shapes, as SVG 1.1 defines them.
Path SvgEllipsePath(double cx, double cy, double rx, double ry);
Path SvgRectanglePath(double x, double y, double width, double height, double rx, double ry);

// Standard Base64 (RFC 4648 section 4); white space is skipped, padding optional. nullopt on
// any other character.
std::optional<std::string> DecodeBase64(std::string_view text);

// ---------------------------------------------------------------------------------------------
// Model

enum class SvgGradientKind { Linear = 2, Radial = 3 };
enum class SvgGradientUnits { UserSpace = 0, ObjectBoundingBox = 1 };
enum class SpreadMethod { Pad = 0, Reflect = 1, Repeat = 2 };

struct SvgGradientStop {
    double offset = 0;   // 0 to 1, never below the offset of the stop before
    Color color;         // alpha 255 * opacity
    double opacity = 1;  // 0 to 1
};

struct SvgGradient {
    std::string id;
    SvgGradientKind kind = SvgGradientKind::Linear;
    SvgGradientUnits units = SvgGradientUnits::ObjectBoundingBox;
    SpreadMethod spread = SpreadMethod::Pad;
    Matrix transform;
    // Linear x1, y1, x2, y2; radial cx, cy, r, fx, fy. Percentages keep their flag and their
    // fraction; object-bounding-box numbers are fractions of the box.
    Length x1, y1, x2, y2;
    Length cx, cy, r, fx, fy;
    std::vector<SvgGradientStop> stops;
};

enum class SvgPaintKind { None = 0, Color = 1, Gradient = 2 };

struct SvgPaint {
    SvgPaintKind kind = SvgPaintKind::None;
    Color color;       // the colour, with the fill or stroke alpha
    int gradient = -1; // index into SvgDocument::gradients when kind is Gradient
};

enum class SvgFillRule { NonZero = 0, EvenOdd = 1 };
enum class SvgLineCap { Butt = 0, Square = 1, Round = 2 };
enum class SvgLineJoin { Miter = 0, Bevel = 1, Round = 2 };
enum class DashStyle { Solid = 0, Custom = 5 };

struct SvgPen {
    double width = 1;
    SvgLineCap cap = SvgLineCap::Butt;
    SvgLineJoin join = SvgLineJoin::Miter;
    double miterLimit = 4; // at least 1
    DashStyle dash = DashStyle::Solid;
    std::vector<double> dashes; // an even count when custom
};

enum class SvgTextAnchor { Start = 0, Middle = 1, End = 2 };

struct Font {
    std::string family = "MS Shell Dlg 2"; // as written, at most 259 characters
    int weight = 400;                      // 100 to 900
    bool italic = false;
    double size = 16;
};

// "preserveAspectRatio" of an image: how the picture fills its box.
enum class AspectAlign {
    None, XMinYMin, XMidYMin, XMaxYMin, XMinYMid, XMidYMid, XMaxYMid, XMinYMax, XMidYMax, XMaxYMax
};
struct AspectRatio {
    AspectAlign align = AspectAlign::XMidYMid;
    bool slice = false; // meet otherwise
    bool defer = false;
};

struct SvgImage {
    std::string type;  // the text after "data:image/", such as "png", "jpeg" or "svg+xml"
    std::string bytes; // the decoded picture, not yet decoded into pixels
    double x = 0, y = 0, width = 0, height = 0; // the box; 0 sides take the picture's size
    AspectRatio aspect;
};

// One run of text with everything needed to measure and draw it. The position lists apply to
// the run's characters in order (a list shorter than the text leaves the later characters to
// follow on; the last rotation holds); a run with no "x"/"y" continues where the previous run of
// its block ended. The parser has already given each character the value that its nearest
// "text" or "tspan" with a list holds for it, as SVG 1.1 has the lists reach into descendants.
struct SvgTextRun {
    std::string text; // UTF-8, white space already handled as "xml:space" says
    Font font;
    SvgTextAnchor anchor = SvgTextAnchor::Start;
    bool underline = false;
    bool lineThrough = false;
    std::vector<double> x, y, dx, dy, rotate;
    bool startsBlock = false; // the first run of its "text" element
};

enum class SvgItemKind {
    Circle = 0, Ellipse = 1, Line = 2, Polygon = 3, Polyline = 4, Rectangle = 5, Path = 6,
    Image = 7, Text = 8, TextOnPath = 9
};

// A shape item: what it draws is the item's path.
struct SvgShape {
    SvgItemKind kind = SvgItemKind::Path; // Circle to Path
};

// A text item: one run; laid along the item's path when `onPath` ("textPath").
struct SvgText {
    SvgTextRun run;
    bool onPath = false;
};

struct SvgItem {
    // The element's user space to the page's user space (before the root transformation and
    // the view box). Path, clip path, image box and text positions are all in the element's
    // user space.
    Matrix transform;
    Path path; // the shape; the picture's box; the path text on a path is laid along; else empty
    SvgPaint fill;
    SvgFillRule fillRule = SvgFillRule::NonZero;
    SvgPaint stroke;
    SvgPen pen;
    bool hasClip = false;
    Path clipPath;
    SvgFillRule clipRule = SvgFillRule::NonZero;
    std::variant<SvgShape, SvgImage, SvgText> content;

    SvgItemKind kind() const
    {
        if (const SvgShape* shape = std::get_if<SvgShape>(&content))
            return shape->kind;
        if (std::holds_alternative<SvgImage>(content))
            return SvgItemKind::Image;
        return std::get<SvgText>(content).onPath ? SvgItemKind::TextOnPath : SvgItemKind::Text;
    }
    // The run of a text item and the picture of an image item; null for the other kinds.
    const SvgTextRun* text() const
    {
        const SvgText* text = std::get_if<SvgText>(&content);
        return text ? &text->run : nullptr;
    }
    SvgTextRun* text()
    {
        SvgText* text = std::get_if<SvgText>(&content);
        return text ? &text->run : nullptr;
    }
    const SvgImage* image() const { return std::get_if<SvgImage>(&content); }
};

using SvgStatus = TaskStatus;

struct SvgDocument {
    double width = 0;  // user units (pixels at 96 per inch)
    double height = 0;
    double viewBoxX = 0, viewBoxY = 0, viewBoxWidth = 0, viewBoxHeight = 0; // 0 without viewBox
    Matrix rootTransform;
    double unitFactorX = 0.26458332; // millimetres per user unit (25.4 / 96)
    double unitFactorY = 0.26458332;
    std::vector<SvgItem> items;      // document order
    std::vector<SvgGradient> gradients; // referred to by SvgPaint::gradient
    std::map<std::string, std::string> classes; // class name to declaration text
    std::vector<std::string> ids;               // every "id" found, first occurrence order

    std::string xmlError;     // the reader's first error; recorded, not a failure
    std::string firstWarning; // the first thing the parser passed over or repaired
    uint32_t warningCount = 0;
};

// Recursion limits of the walk. Each is reached only by a broken or hostile page; what lies
// beyond is passed over with a warning.
//
// Element nesting: the walk recurses once per element and keeps a presentation state per
// level. The XML reader bounds the tree it builds, but a tree may come from elsewhere
// (ParseSvgTree), and "use" adds levels of its own.
inline constexpr int kSvgMaxElementDepth = 200;
// References (clip paths, "use", "tref", "textPath") that lead to further references: cycles
// are refused outright; this bounds honest chains, each of which costs a walk.
inline constexpr int kSvgMaxReferenceDepth = 16;
// Gradients inheriting through "xlink:href": a longer chain is cut where it reaches the limit.
inline constexpr int kSvgMaxGradientChain = 16;

// Parses one page. Failed: no root element, or a gradient that inherits from one that does
// not exist (the reason is in firstWarning). Cancelled: the sink said so.
SvgStatus ParseSvg(std::string_view text, SvgDocument& document, ProgressSink* sink = nullptr);
// The same over a tree read already; `root` is the nameless top node.
SvgStatus ParseSvgTree(const XmlNode& root, SvgDocument& document, ProgressSink* sink = nullptr);

} // namespace tavolex::pdf
