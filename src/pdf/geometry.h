// Geometry shared by the SVG model and the PDF drawer: a 2-D affine matrix and a path made of
// figures (move, line, cubic Bézier, close). Arcs, circles and rounded corners are turned into
// cubics when they are added, so the PDF side only ever sees these four kinds of segment.
#pragma once

#include <cmath>
#include <numbers>
#include <optional>
#include <vector>

namespace tavolex::pdf {

inline constexpr double kPi = std::numbers::pi;

struct Point {
    double x = 0;
    double y = 0;
};

// [a b 0; c d 0; e f 1] acting on row vectors, as in SVG 1.1 and PDF 1.4:
// x' = a*x + c*y + e, y' = b*x + d*y + f.
struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    static Matrix Translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static Matrix Scaling(double x, double y) { return {x, 0, 0, y, 0, 0}; }
    // Clockwise on a y-down page, as SVG's "rotate".
    static Matrix Rotation(double degrees)
    {
        const double radians = degrees * kPi / 180;
        const double cosine = std::cos(radians);
        const double sine = std::sin(radians);
        return {cosine, sine, -sine, cosine, 0, 0};
    }

    Point Apply(Point p) const { return {a * p.x + c * p.y + e, b * p.x + d * p.y + f}; }
    // `first` then `this`: the result maps p to this->Apply(first.Apply(p)).
    Matrix After(const Matrix& first) const
    {
        return {first.a * a + first.b * c,  first.a * b + first.b * d,
                first.c * a + first.d * c,  first.c * b + first.d * d,
                first.e * a + first.f * c + e, first.e * b + first.f * d + f};
    }
    bool IsIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && e == 0 && f == 0; }
    double Determinant() const { return a * d - b * c; }
};

// The matrix that undoes `m`, or nothing when it is singular or its determinant overflows.
std::optional<Matrix> Inverse(const Matrix& m);

enum class SegmentKind { Move, Line, Cubic, Close };

struct Segment {
    SegmentKind kind;
    Point points[3]; // Move and Line use points[0]; Cubic uses all three; Close none
};

class Path {
public:
    void MoveTo(Point p) { segments_.push_back({SegmentKind::Move, {p, {}, {}}}); }
    void LineTo(Point p) { segments_.push_back({SegmentKind::Line, {p, {}, {}}}); }
    void CubicTo(Point c1, Point c2, Point end) { segments_.push_back({SegmentKind::Cubic, {c1, c2, end}}); }
    void Close() { segments_.push_back({SegmentKind::Close, {}}); }
    void Append(const Path& other)
    {
        segments_.insert(segments_.end(), other.segments_.begin(), other.segments_.end());
    }
    void Transform(const Matrix& m)
    {
        for (Segment& s : segments_)
            for (Point& p : s.points)
                p = m.Apply(p);
    }
    void Clear() { segments_.clear(); }

    bool IsEmpty() const { return segments_.empty(); }
    const std::vector<Segment>& segments() const { return segments_; }

private:
    std::vector<Segment> segments_;
};

} // namespace tavolex::pdf
