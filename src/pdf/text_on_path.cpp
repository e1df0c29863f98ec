// Text along a path (SVG 1.1 "textPath"): each glyph of the laid-out runs is placed with the middle
// of its advance on the path, turned along the tangent there.
#include "pdf_fonts.h"

#include "text_drawing.h"
#include "text_layout.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace tavolex::pdf {

namespace {

// A path flattened to line pieces with their lengths, for laying text along it.
class PathWalker {
public:
    explicit PathWalker(const Path& path)
    {
        Point start{}, current{};
        for (const Segment& s : path.segments()) {
            switch (s.kind) {
            case SegmentKind::Move:
                start = current = s.points[0];
                break;
            case SegmentKind::Line:
                Add(current, s.points[0]);
                current = s.points[0];
                break;
            case SegmentKind::Cubic:
                AddCubic(current, s.points);
                current = s.points[2];
                break;
            case SegmentKind::Close:
                Add(current, start);
                current = start;
                break;
            }
        }
    }

    double length() const { return length_; }

    // The point at `distance` along the path and the direction there, in degrees.
    std::pair<Point, double> At(double distance) const
    {
        if (lines_.empty())
            return {{}, 0};
        // The first line that ends at or beyond the distance; the last one past the end.
        auto found = std::lower_bound(lines_.begin(), lines_.end(), distance,
                                      [](const Line& line, double d) { return line.start + line.length < d; });
        const Line& line = found == lines_.end() ? lines_.back() : *found;
        const double t = (distance - line.start) / line.length;
        const Point p{line.from.x + (line.to.x - line.from.x) * t, line.from.y + (line.to.y - line.from.y) * t};
        return {p, std::atan2(line.to.y - line.from.y, line.to.x - line.from.x) * 180 / kPi};
    }

private:
    struct Line {
        Point from, to;
        double start, length;
    };
    void Add(Point from, Point to)
    {
        const double length = std::hypot(to.x - from.x, to.y - from.y);
        if (length <= 0)
            return;
        lines_.push_back({from, to, length_, length});
        length_ += length;
    }

    // Chords of about two units: a glyph takes the direction of the chord under its middle, and a
    // longer chord would turn it off the curve by half the bend across it. The count is bounded so
    // that a huge curve costs no more than 256 chords.
    void AddCubic(Point current, const Point (&points)[3])
    {
        const double hull = std::hypot(points[0].x - current.x, points[0].y - current.y) +
                            std::hypot(points[1].x - points[0].x, points[1].y - points[0].y) +
                            std::hypot(points[2].x - points[1].x, points[2].y - points[1].y);
        const int steps = std::isfinite(hull) ? std::clamp(static_cast<int>(std::ceil(hull / 2)), 16, 256) : 16;
        Point previous = current;
        for (int i = 1; i <= steps; ++i) {
            const double t = static_cast<double>(i) / steps, u = 1 - t;
            const Point p{u * u * u * current.x + 3 * u * u * t * points[0].x + 3 * u * t * t * points[1].x +
                              t * t * t * points[2].x,
                          u * u * u * current.y + 3 * u * u * t * points[0].y + 3 * u * t * t * points[1].y +
                              t * t * t * points[2].y};
            Add(previous, p);
            previous = p;
        }
    }

    std::vector<Line> lines_;
    double length_ = 0;
};

} // namespace

void DrawTextOnPath(PdfDocument& document, std::span<const TextRun> runs, const Path& path, double startOffset,
                    const TextStyle& style)
{
    TextLayer& layer = Layer(document);
    std::vector<RunMetrics> metrics;
    std::vector<PlacedGlyph> glyphs = LayOut(layer, runs, metrics);
    const PathWalker walker(path);
    if (glyphs.empty() || walker.length() <= 0)
        return;
    ApplyAnchors(glyphs, runs);
    BeginTextItem(document, style);
    // Gradients on text along a path take the path's box.
    Rect bounds = PathBounds(path);
    BlockWriter writer(document, layer, runs, metrics, glyphs, bounds);
    for (size_t i = 0; i < glyphs.size(); ++i) {
        const PlacedGlyph& g = glyphs[i];
        const double middle = startOffset + g.x + g.advance / 2;
        if (middle < 0 || middle > walker.length())
            continue;
        const auto [point, angle] = walker.At(middle);
        // The glyph's middle sits on the path; its baseline follows the tangent; "y" and "dy"
        // move it across.
        const Matrix turn = Matrix::Rotation(angle);
        Matrix placement = Matrix::Translation(point.x, point.y).After(turn).After(Matrix::Translation(-g.advance / 2, g.y));
        placement = placement.After(Matrix::Rotation(g.rotate));
        Piece piece;
        piece.first = i;
        piece.last = i + 1;
        piece.width = g.advance;
        piece.placement = placement;
        writer.Write(piece);
    }
    EndTextItem(document, style);
}

} // namespace tavolex::pdf
