#include "pdf_graphics.h"

#include "image_decode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tavolex::pdf {

namespace {

// A dash list longer than this many characters of text is cut after the last value that fits.
constexpr size_t kDashTextLimit = 259;

void AppendPoint(std::string& out, Point p)
{
    AppendReal(out, p.x);
    out.push_back(' ');
    AppendReal(out, p.y);
    out.push_back(' ');
}

// "/<prefix><n> <n> 0 R": the resource name carries the object's number, so names never clash.
std::string ResourceEntry(char prefix, int number)
{
    std::string entry(1, '/');
    entry.push_back(prefix);
    AppendInt(entry, number);
    entry.push_back(' ');
    AppendReference(entry, number);
    return entry;
}

void Include(Rect& box, bool& empty, Point p)
{
    if (empty) {
        box = {p.x, p.y, 0, 0};
        empty = false;
        return;
    }
    const double right = std::max(box.x + box.width, p.x);
    const double bottom = std::max(box.y + box.height, p.y);
    box.x = std::min(box.x, p.x);
    box.y = std::min(box.y, p.y);
    box.width = right - box.x;
    box.height = bottom - box.y;
}

// The extremes of one coordinate of a cubic lie at its ends or where its derivative is zero.
void IncludeCubicExtremes(Rect& box, bool& empty, Point p0, Point p1, Point p2, Point p3)
{
    auto at = [&](double t) {
        const double u = 1 - t;
        return Point{u * u * u * p0.x + 3 * u * u * t * p1.x + 3 * u * t * t * p2.x + t * t * t * p3.x,
                     u * u * u * p0.y + 3 * u * u * t * p1.y + 3 * u * t * t * p2.y + t * t * t * p3.y};
    };
    auto roots = [&](double a0, double a1, double a2, double a3) {
        // Derivative / 3: a t^2 + b t + c.
        const double a = -a0 + 3 * a1 - 3 * a2 + a3;
        const double b = 2 * (a0 - 2 * a1 + a2);
        const double c = a1 - a0;
        double found[2];
        int count = 0;
        if (std::fabs(a) < 1e-12) {
            if (std::fabs(b) > 1e-12)
                found[count++] = -c / b;
        } else {
            const double disc = b * b - 4 * a * c;
            if (disc >= 0) {
                const double root = std::sqrt(disc);
                found[count++] = (-b + root) / (2 * a);
                found[count++] = (-b - root) / (2 * a);
            }
        }
        for (int i = 0; i < count; ++i)
            if (found[i] > 0 && found[i] < 1)
                Include(box, empty, at(found[i]));
    };
    roots(p0.x, p1.x, p2.x, p3.x);
    roots(p0.y, p1.y, p2.y, p3.y);
    Include(box, empty, p3);
}

// The dash values as PDF shall see them, or nothing for a solid line. SVG renders a list with a
// negative value, or one that adds up to 0, as solid; PDF would refuse the second.
std::vector<double> UsableDashes(const Pen& pen)
{
    double sum = 0;
    for (double d : pen.dashes) {
        if (!std::isfinite(d) || d < 0)
            return {};
        sum += d;
    }
    if (!(sum > 0))
        return {};
    return pen.dashes;
}

int CapNumber(const Pen& pen, bool dashed)
{
    switch (pen.cap) {
    case LineCap::Butt: return 0;
    case LineCap::Round: return dashed ? 0 : 1; // dashes end flat
    case LineCap::Square: return 2;
    }
    return 0;
}

int JoinNumber(LineJoin join)
{
    switch (join) {
    case LineJoin::Miter:
    case LineJoin::MiterClipped: return 0;
    case LineJoin::Round: return 1;
    case LineJoin::Bevel: return 2;
    }
    return 0;
}

std::string FunctionColor(const Rgba& c, bool gray)
{
    std::string out;
    if (gray) {
        AppendReal(out, c.a / 255.0);
        return out;
    }
    AppendReal(out, c.r / 255.0);
    out.push_back(' ');
    AppendReal(out, c.g / 255.0);
    out.push_back(' ');
    AppendReal(out, c.b / 255.0);
    return out;
}

// One exponential function per neighbouring pair of stops, stitched over [0 1]. With `gray` the
// functions run over the stops' alphas instead of their colours.
int WriteStitchingFunction(PdfDocument& document, const std::vector<GradientStop>& stops, bool gray)
{
    std::string functions, bounds, encode;
    for (size_t i = 0; i + 1 < stops.size(); ++i) {
        std::string text = "<</FunctionType 2 /Domain [0 1] /C0 [";
        text += FunctionColor(stops[i].color, gray);
        text += "] /C1 [";
        text += FunctionColor(stops[i + 1].color, gray);
        text += "] /N 1>>";
        AppendReference(functions, document.WriteObject(text));
        functions.push_back(' ');
        if (i + 2 < stops.size()) {
            AppendReal(bounds, stops[i + 1].offset);
            bounds.push_back(' ');
        }
        encode += "0 1 ";
    }
    return document.WriteObject("<</FunctionType 3 /Domain [0 1] /Functions [" + functions + "] /Bounds[" + bounds +
                                "] /Encode [" + encode + "]>>");
}

struct GradientGeometry {
    double coords[6]; // linear: x1 y1 x2 y2; radial: fx fy 0 cx cy r
    int count;
};

int WriteShading(PdfDocument& document, const Gradient& gradient, const GradientGeometry& geometry, int function,
                 bool gray)
{
    std::string text = gradient.kind == GradientKind::Linear ? "<</ShadingType 2" : "<</ShadingType 3";
    text += gray ? " /ColorSpace /DeviceGray /Coords [" : " /ColorSpace /DeviceRGB /Coords [";
    for (int i = 0; i < geometry.count; ++i) {
        if (i > 0)
            text.push_back(' ');
        AppendReal(text, geometry.coords[i]);
    }
    text += "] /Function ";
    AppendReference(text, function);
    text += " /Extend [true true]>>";
    return document.WriteObject(text);
}

// Stops as the functions need them: offsets within [0, 1] and never falling, the paint's alpha
// applied, and the end colours carried to 0 and 1 so the first and last stops hold their colour
// out to the ends as SVG draws them.
std::vector<GradientStop> NormalizedStops(const Gradient& gradient, uint8_t alpha)
{
    std::vector<GradientStop> stops;
    double last = 0;
    for (GradientStop stop : gradient.stops) {
        double offset = std::isfinite(stop.offset) ? std::clamp(stop.offset, 0.0, 1.0) : 0.0;
        offset = std::max(offset, last);
        last = offset;
        stop.offset = offset;
        stop.color.a = static_cast<uint8_t>(stop.color.a * alpha / 255);
        stops.push_back(stop);
    }
    if (stops.size() >= 2) {
        if (stops.front().offset > 0)
            stops.insert(stops.begin(), GradientStop{0, stops.front().color});
        if (stops.back().offset < 1)
            stops.push_back(GradientStop{1, stops.back().color});
    }
    return stops;
}

// The shading's coordinates; nothing where the gradient has no extent (coinciding ends, no
// radius), which SVG paints in the last stop's colour.
std::optional<GradientGeometry> GeometryOf(const Gradient& gradient)
{
    if (gradient.kind == GradientKind::Linear) {
        if (gradient.x1 == gradient.x2 && gradient.y1 == gradient.y2)
            return std::nullopt;
        return GradientGeometry{{gradient.x1, gradient.y1, gradient.x2, gradient.y2, 0, 0}, 4};
    }
    if (!(gradient.r > 0))
        return std::nullopt;
    // Offset 0 lies at the focal point and offset 1 on the circle. A focal point outside the
    // circle is moved onto it, as SVG 1.1 asks, just inside so PDF still draws a disc.
    double fx = gradient.fx, fy = gradient.fy;
    const double distance = std::hypot(fx - gradient.cx, fy - gradient.cy);
    if (distance > gradient.r * 0.999) {
        const double pull = gradient.r * 0.999 / distance;
        fx = gradient.cx + (fx - gradient.cx) * pull;
        fy = gradient.cy + (fy - gradient.cy) * pull;
    }
    return GradientGeometry{{fx, fy, 0, gradient.cx, gradient.cy, gradient.r}, 6};
}

// The soft mask that carries the stops' alphas: a gray shading of them in a form, and the
// graphics state that names the form as its luminosity mask. The operator that selects it.
std::string WriteAlphaMask(PdfDocument& document, const Gradient& gradient, const GradientGeometry& geometry,
                           const std::vector<GradientStop>& stops, const Matrix& space, const Matrix& toGradient)
{
    const int grayFunction = WriteStitchingFunction(document, stops, true);
    const int grayShading = WriteShading(document, gradient, geometry, grayFunction, true);
    // The mask's form is painted in user space; its matrix brings the gradient's space there
    // and its box is the whole page seen from the gradient's space.
    const double w = document.pageWidth(), h = document.pageHeight();
    Rect box;
    bool empty = true;
    for (Point corner : {Point{0, 0}, Point{w, 0}, Point{0, h}, Point{w, h}})
        Include(box, empty, toGradient.Apply(corner));
    DictionaryBuilder content("/S");
    content << grayShading << " sh\r\n";
    DictionaryBuilder form("<</Type /XObject /Subtype /Form /FormType 1 /Length ");
    form << content.size() << " /BBox [" << Real{box.x} << ' ' << Real{box.y} << ' ' << Real{box.x + box.width} << ' '
         << Real{box.y + box.height} << "] /Matrix [";
    AppendMatrix(form.raw(), space);
    form << "] /Resources <</Shading <</S" << grayShading << ' ' << ObjectReference{grayShading}
         << ">> >> /Group <</S /Transparency /CS /DeviceGray>> >>";
    const int formNumber = document.WriteStreamObject(form.text(), content.text());
    DictionaryBuilder state("<</Type /ExtGState /ca 1 /CA 1 /BM /Normal /AIS false /SMask <</S /Luminosity /G ");
    state << ObjectReference{formNumber} << " /BC [1]>> >>";
    const int stateNumber = document.WriteObject(state.text());
    document.AddResource(ResourceKind::ExtGState, ResourceEntry('M', stateNumber));
    DictionaryBuilder mask("/M");
    mask << stateNumber << " gs";
    return mask.text();
}

std::optional<std::string> GradientOperators(PdfDocument& document, const Gradient& gradient, uint8_t alpha,
                                             PaintTarget target, const Rect& bounds)
{
    const std::vector<GradientStop> stops = NormalizedStops(gradient, alpha);
    if (stops.empty())
        return std::nullopt;
    if (stops.size() == 1)
        return ColorOperators(document, stops.front().color, target);

    Matrix space = gradient.transform;
    if (gradient.units == GradientUnits::ObjectBoundingBox) {
        // A box without area has no bounding-box units: SVG paints nothing.
        if (!(bounds.width > 0) || !(bounds.height > 0))
            return std::nullopt;
        space = Matrix{bounds.width, 0, 0, bounds.height, bounds.x, bounds.y}.After(space);
    }
    const std::optional<GradientGeometry> geometry = GeometryOf(gradient);
    if (!geometry)
        return ColorOperators(document, stops.back().color, target);

    // The pattern lives in the page's default space: the flip, then the current
    // transformation, then the gradient's own space.
    const Matrix patternMatrix = document.PageFlip().After(document.transformation().After(space));
    const std::optional<Matrix> toGradient = Inverse(patternMatrix);
    if (!toGradient)
        return std::nullopt; // a space scaled to nothing shows nothing

    const int function = WriteStitchingFunction(document, stops, false);
    const int shading = WriteShading(document, gradient, *geometry, function, false);
    DictionaryBuilder pattern("<</Type /Pattern /Matrix [");
    AppendMatrix(pattern.raw(), patternMatrix);
    pattern << "] /PatternType 2 /Shading " << ObjectReference{shading} << ">>";
    const int patternNumber = document.WriteObject(pattern.text());
    document.AddResource(ResourceKind::Pattern, ResourceEntry('P', patternNumber));

    std::string mask;
    if (std::any_of(stops.begin(), stops.end(), [](const GradientStop& s) { return s.color.a != 255; }))
        mask = WriteAlphaMask(document, gradient, *geometry, stops, space, *toGradient);

    DictionaryBuilder selection(target == PaintTarget::Stroke ? "/Pattern CS /P" : "/Pattern cs /P");
    selection << patternNumber << (target == PaintTarget::Stroke ? " SCN " : " scn ") << mask << ' ';
    return selection.text();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Paths

void AppendPathSegments(std::string& out, const Path& path)
{
    for (const Segment& segment : path.segments()) {
        switch (segment.kind) {
        case SegmentKind::Move:
            AppendPoint(out, segment.points[0]);
            out.append("m ");
            break;
        case SegmentKind::Line:
            AppendPoint(out, segment.points[0]);
            out.append("l ");
            break;
        case SegmentKind::Cubic:
            AppendPoint(out, segment.points[0]);
            AppendPoint(out, segment.points[1]);
            AppendPoint(out, segment.points[2]);
            out.append("c ");
            break;
        case SegmentKind::Close:
            out.append("h\r\n");
            break;
        }
    }
}

Rect PathBounds(const Path& path)
{
    Rect box;
    bool empty = true;
    Point current{};
    for (const Segment& segment : path.segments()) {
        switch (segment.kind) {
        case SegmentKind::Move:
        case SegmentKind::Line:
            Include(box, empty, segment.points[0]);
            current = segment.points[0];
            break;
        case SegmentKind::Cubic:
            if (empty)
                Include(box, empty, current);
            IncludeCubicExtremes(box, empty, current, segment.points[0], segment.points[1], segment.points[2]);
            current = segment.points[2];
            break;
        case SegmentKind::Close:
            break;
        }
    }
    return box;
}

// ---------------------------------------------------------------------------------------------
// Colour, pen and paint

std::string ColorOperators(PdfDocument& document, Rgba color, PaintTarget target)
{
    const bool stroke = target == PaintTarget::Stroke;
    std::string text;
    AppendReal(text, color.r / 255.0);
    text.push_back(' ');
    AppendReal(text, color.g / 255.0);
    text.push_back(' ');
    AppendReal(text, color.b / 255.0);
    text += stroke ? " RG" : " rg";
    if (color.a != 255) {
        std::string state = stroke ? "<</Type /ExtGState /CA " : "<</Type /ExtGState /ca ";
        AppendReal(state, color.a / 255.0);
        state += ">> ";
        const int number = document.WriteObject(state);
        document.AddResource(ResourceKind::ExtGState, ResourceEntry('A', number));
        text += " /A";
        AppendInt(text, number);
        text += " gs";
    }
    return text;
}

std::string DashText(const Pen& pen)
{
    std::vector<double> dashes = UsableDashes(pen);
    if (dashes.empty())
        return "[] 0 d";
    const bool capped = CapNumber(pen, true) != 0;
    if (capped && dashes.size() % 2 == 1) {
        // PDF, like SVG, repeats an odd list to make it even; the adjustment needs the pairs.
        const size_t count = dashes.size();
        for (size_t i = 0; i < count; ++i)
            dashes.push_back(dashes[i]);
    }
    std::string body;
    for (size_t i = 0; i < dashes.size(); ++i) {
        double value = dashes[i];
        if (capped)
            value = i % 2 == 0 ? std::max(0.0, value - pen.width) : value + pen.width;
        std::string piece;
        AppendReal(piece, value);
        piece.push_back(' ');
        if (body.size() + piece.size() > kDashTextLimit)
            break;
        body += piece;
    }
    return "[" + body + "] 0 d";
}

std::string PenText(const Pen& pen)
{
    const bool dashed = !UsableDashes(pen).empty();
    const int join = JoinNumber(pen.join);
    std::string text;
    AppendReal(text, pen.width);
    text += " w ";
    AppendInt(text, CapNumber(pen, dashed));
    text += " J ";
    AppendInt(text, join);
    text += " j ";
    if (join == 0) {
        AppendReal(text, pen.miterLimit < 1 || !std::isfinite(pen.miterLimit) ? 10.0 : pen.miterLimit);
        text += " M ";
    }
    text += DashText(pen);
    text += "\r\n";
    return text;
}

std::optional<std::string> PaintOperators(PdfDocument& document, const Paint& paint, PaintTarget target,
                                          const Rect& bounds)
{
    switch (paint.kind) {
    case PaintKind::None: return std::nullopt;
    case PaintKind::Solid: return ColorOperators(document, paint.color, target);
    case PaintKind::Gradient:
        if (!paint.gradient)
            return std::nullopt;
        return GradientOperators(document, *paint.gradient, paint.color.a, target, bounds);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Fill, stroke and clip. The paint is selected inside "q ... Q" before the path is built: PDF
// allows no other operator between a path's construction and its painting.

void FillPath(PdfDocument& document, const Path& path, const Paint& paint, FillRule rule)
{
    if (path.IsEmpty())
        return;
    const std::optional<std::string> operators = PaintOperators(document, paint, PaintTarget::Fill, PathBounds(path));
    if (!operators)
        return;
    std::string& out = document.content();
    out += "q ";
    out += *operators;
    out += "\r\n";
    AppendPathSegments(out, path);
    out += rule == FillRule::EvenOdd ? "f* Q\r\n" : "f Q\r\n";
}

void StrokePath(PdfDocument& document, const Path& path, const Pen& pen, const Paint& paint)
{
    if (path.IsEmpty() || !(pen.width > 0))
        return;
    const std::optional<std::string> operators =
        PaintOperators(document, paint, PaintTarget::Stroke, PathBounds(path));
    if (!operators)
        return;
    std::string& out = document.content();
    out += PenText(pen);
    out += "q ";
    out += *operators;
    out += "\r\n";
    AppendPathSegments(out, path);
    out += "S Q\r\n";
}

void BeginClip(PdfDocument& document, const Path& path, FillRule rule)
{
    document.SaveState();
    std::string& out = document.content();
    if (path.IsEmpty())
        out += "0 0 m 0 0 l h\r\n"; // an empty clip path shows nothing
    else
        AppendPathSegments(out, path);
    out += rule == FillRule::EvenOdd ? "W* n\r\n" : "W n\r\n";
    document.FlushContent();
}

void EndClip(PdfDocument& document)
{
    document.RestoreState();
}

// ---------------------------------------------------------------------------------------------
// Pictures

namespace {

// PNG row filters (RFC 2083 section 6) before deflate, as PDF's /Predictor 15 undoes them: each
// row takes the filter whose output has the smallest sum of magnitudes, the usual choice. Smooth
// pictures (logos, gradients, photographs) then deflate to a fraction of their raw size, and in
// less time.
std::string PredictRows(std::span<const uint8_t> pixels, size_t bytesPerPixel, size_t width, size_t height)
{
    const size_t stride = bytesPerPixel * width;
    std::string out;
    out.reserve((stride + 1) * height);
    std::vector<uint8_t> candidate[5];
    for (std::vector<uint8_t>& row : candidate)
        row.resize(stride);
    const std::vector<uint8_t> zeros(stride, 0);
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* row = pixels.data() + y * stride;
        const uint8_t* above = y > 0 ? pixels.data() + (y - 1) * stride : zeros.data();
        uint64_t cost[5] = {0, 0, 0, 0, 0};
        for (size_t i = 0; i < stride; ++i) {
            const int left = i >= bytesPerPixel ? row[i - bytesPerPixel] : 0;
            const int up = above[i];
            const int corner = i >= bytesPerPixel ? above[i - bytesPerPixel] : 0;
            const int estimate = left + up - corner;
            const int toLeft = std::abs(estimate - left), toUp = std::abs(estimate - up),
                      toCorner = std::abs(estimate - corner);
            const int paeth = toLeft <= toUp && toLeft <= toCorner ? left : (toUp <= toCorner ? up : corner);
            const uint8_t values[5] = {row[i], static_cast<uint8_t>(row[i] - left), static_cast<uint8_t>(row[i] - up),
                                       static_cast<uint8_t>(row[i] - (left + up) / 2),
                                       static_cast<uint8_t>(row[i] - paeth)};
            for (size_t f = 0; f < 5; ++f) {
                candidate[f][i] = values[f];
                cost[f] += static_cast<uint64_t>(std::abs(static_cast<int8_t>(values[f])));
            }
        }
        const size_t best = static_cast<size_t>(std::min_element(cost, cost + 5) - cost);
        out.push_back(static_cast<char>(best));
        out.append(reinterpret_cast<const char*>(candidate[best].data()), stride);
    }
    return out;
}

// A picture's plane and the dictionary around it. The mask is a grey image; the picture
// names its mask, if any. `parameters` is empty for raw bytes.
struct PlaneHead {
    uint32_t width = 0;
    uint32_t height = 0;
    bool isMask = false;
    const char* colorSpace = "/DeviceRGB";
    int maskObject = 0;

    std::string Dictionary(size_t length, std::string_view parameters) const
    {
        const bool packed = !parameters.empty();
        std::string dictionary;
        if (isMask) {
            dictionary = "<</Type /XObject /Subtype /Image /BitsPerComponent 8 /ColorSpace /DeviceGray ";
            if (packed)
                dictionary += "/Filter /FlateDecode ";
            dictionary += "/Width ";
            AppendInt(dictionary, width);
            dictionary += " /Height ";
            AppendInt(dictionary, height);
            dictionary += " /Length ";
            AppendInt(dictionary, static_cast<int64_t>(length));
            dictionary += parameters;
            dictionary += packed ? " >>" : ">>";
            return dictionary;
        }
        dictionary = "<</Type /XObject /Subtype /Image /Width ";
        AppendInt(dictionary, width);
        dictionary += " /Height ";
        AppendInt(dictionary, height);
        dictionary += " /ColorSpace ";
        dictionary += colorSpace;
        dictionary += " /BitsPerComponent 8 /Length ";
        AppendInt(dictionary, static_cast<int64_t>(length));
        dictionary += ' ';
        if (maskObject) {
            dictionary += "/SMask ";
            AppendReference(dictionary, maskObject);
            dictionary += ' ';
        }
        if (packed) {
            dictionary += " /Filter /FlateDecode";
            dictionary += parameters;
        }
        dictionary += ">>";
        return dictionary;
    }
};

// The plane deflated after the row filters, with the parameters that undo them, or raw when
// the document does not compress or zlib fails.
PdfDocument::MadeStream MakePlaneStream(const PlaneHead& head, std::span<const uint8_t> plane, size_t colors,
                                        Deflater* deflater)
{
    std::optional<std::string> packed;
    if (deflater)
        packed = deflater->Deflate(PredictRows(plane, colors, head.width, head.height));
    if (!packed)
        return {head.Dictionary(plane.size(), {}), std::string(reinterpret_cast<const char*>(plane.data()), plane.size())};
    std::string parameters = " /DecodeParms <</Predictor 15 /Colors ";
    AppendInt(parameters, static_cast<int64_t>(colors));
    parameters += " /BitsPerComponent 8 /Columns ";
    AppendInt(parameters, head.width);
    parameters += ">>";
    return {head.Dictionary(packed->size(), parameters), std::move(*packed)};
}

// Writes a plane's stream object: made on the document's helper while drawing goes on when the
// document compresses, else at once.
int WritePlane(PdfDocument& document, const PlaneHead& head, std::vector<uint8_t> plane, size_t colors)
{
    const size_t weight = plane.size();
    const bool compress = document.IsCompressing();
    return document.WriteStreamLater(
        [head, plane = std::move(plane), colors, compress](Deflater& deflater) {
            return MakePlaneStream(head, plane, colors, compress ? &deflater : nullptr);
        },
        weight);
}

// Writes the picture's objects; nothing when it does not decode.
std::optional<PdfDocument::ImageRecord> WriteImageObjects(PdfDocument& document, std::span<const uint8_t> bytes)
{
    std::optional<DecodedImage> picture = document.DecodePicture(bytes);
    if (!picture)
        return std::nullopt;

    const bool gray = picture->color == ImageColor::Gray;
    const char* colorSpace = gray ? "/DeviceGray" : "/DeviceRGB";
    int imageObject = 0;
    if (picture->jpegPassThrough && picture->alpha.empty()) {
        // PDF shows this JPEG as it is: its bytes go in unchanged, sharp and small.
        std::string dictionary = "<</Type /XObject /Subtype /Image /Width ";
        AppendInt(dictionary, picture->width);
        dictionary += " /Height ";
        AppendInt(dictionary, picture->height);
        dictionary += " /ColorSpace ";
        dictionary += colorSpace;
        dictionary += " /BitsPerComponent 8 /Length ";
        AppendInt(dictionary, static_cast<int64_t>(bytes.size()));
        dictionary += " /Filter /DCTDecode>>";
        imageObject = document.WriteStreamObject(
            dictionary, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } else {
        PlaneHead head{picture->width, picture->height, false, colorSpace, 0};
        if (!picture->alpha.empty()) {
            PlaneHead mask = head;
            mask.isMask = true;
            head.maskObject = WritePlane(document, mask, std::move(picture->alpha), 1);
        }
        imageObject = WritePlane(document, head, std::move(picture->pixels), gray ? 1 : 3);
    }

    char name[24];
    std::snprintf(name, sizeof name, "/IMG_%.6d", document.NextImageNumber());
    return PdfDocument::ImageRecord{name, imageObject, gray, picture->width, picture->height};
}

} // namespace

std::optional<PdfDocument::ImageRecord> PrepareImage(PdfDocument& document, std::span<const uint8_t> bytes)
{
    const std::string_view key(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (const PdfDocument::ImageRecord* known = document.FindImage(key))
        return *known;
    std::optional<PdfDocument::ImageRecord> written = WriteImageObjects(document, bytes);
    if (written)
        document.RememberImage(key, *written);
    return written;
}

PdfStatus DrawImage(PdfDocument& document, std::span<const uint8_t> bytes, Rect box)
{
    if (!document.IsPageOpen())
        return PdfStatus::Failed;
    // A picture met before keeps its objects and its size.
    const std::optional<PdfDocument::ImageRecord> prepared = PrepareImage(document, bytes);
    if (!prepared)
        return PdfStatus::Ok; // a picture that does not decode is skipped
    const PdfDocument::ImageRecord& record = *prepared;
    const uint32_t pictureWidth = record.width, pictureHeight = record.height;
    document.SetPageFlag(record.gray ? PageFlag::ImageB : PageFlag::ImageC);
    std::string entry = record.name;
    entry.push_back(' ');
    AppendReference(entry, record.object);
    document.AddResource(ResourceKind::XObject, std::move(entry));

    const double width = box.width > 0 ? box.width : pictureWidth;
    const double height = box.height > 0 ? box.height : pictureHeight;
    // The picture's first row is its top: flip it about the box's bottom edge so it stands
    // upright in the page's downward y.
    document.FlushContent();
    std::string& out = document.content();
    out += "q\r\n1 0 0 -1 ";
    AppendReal(out, box.x);
    out.push_back(' ');
    AppendReal(out, box.y + height);
    out += " cm\r\n";
    AppendReal(out, width);
    out += " 0 0 ";
    AppendReal(out, height);
    out += " 0 0 cm\r\n";
    out += record.name;
    out += " Do\r\nQ\r\n";
    document.FlushContent();
    return PdfStatus::Ok;
}

// ---------------------------------------------------------------------------------------------
// Items

void BeginItem(PdfDocument& document, const Matrix& transform, const Path* clip, FillRule clipRule,
               PdfDocument::Flush flush)
{
    document.SaveState(flush);
    if (!transform.IsIdentity())
        document.ConcatTransformation(transform);
    if (clip)
        BeginClip(document, *clip, clipRule);
}

void EndItem(PdfDocument& document, const Path* clip)
{
    if (clip)
        EndClip(document);
    document.RestoreState();
}

void DrawShape(PdfDocument& document, const Path& path, const ShapeStyle& style)
{
    BeginItem(document, style.transform, style.clip, style.clipRule, PdfDocument::Flush::Now);
    FillPath(document, path, style.fill, style.fillRule);
    StrokePath(document, path, style.pen, style.stroke);
    EndItem(document, style.clip);
}

PdfStatus DrawPicture(PdfDocument& document, std::span<const uint8_t> bytes, Rect box, const ShapeStyle& style)
{
    if (!document.IsPageOpen())
        return PdfStatus::Failed;
    BeginItem(document, style.transform, style.clip, style.clipRule, PdfDocument::Flush::Now);
    const PdfStatus status = DrawImage(document, bytes, box);
    EndItem(document, style.clip);
    return status;
}

} // namespace tavolex::pdf
