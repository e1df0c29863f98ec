// Geometry: the attributes that do not inherit (positions, sizes, path data, references), the
// basic shapes and pictures built from them, "use", and the items handed to the writer.
#include "svg_parser.h"

#include "core.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace tavolex::pdf {

namespace {

// Attributes of one length, with the axis that a percentage of them refers to.
struct LengthAttribute {
    std::string_view name;
    std::optional<double> ElementValues::*field;
    LengthAxis axis;
};
constexpr LengthAttribute kLengthAttributes[] = {
    {"x", &ElementValues::x, LengthAxis::Horizontal},       {"y", &ElementValues::y, LengthAxis::Vertical},
    {"width", &ElementValues::width, LengthAxis::Horizontal}, {"height", &ElementValues::height, LengthAxis::Vertical},
    {"cx", &ElementValues::cx, LengthAxis::Horizontal},     {"cy", &ElementValues::cy, LengthAxis::Vertical},
    {"r", &ElementValues::r, LengthAxis::Diagonal},         {"rx", &ElementValues::rx, LengthAxis::Horizontal},
    {"ry", &ElementValues::ry, LengthAxis::Vertical},       {"x1", &ElementValues::x1, LengthAxis::Horizontal},
    {"y1", &ElementValues::y1, LengthAxis::Vertical},       {"x2", &ElementValues::x2, LengthAxis::Horizontal},
    {"y2", &ElementValues::y2, LengthAxis::Vertical},
};

// Attributes kept as written, read when the element is built.
struct TextAttribute {
    std::string_view name;
    std::string ElementValues::*field;
};
constexpr TextAttribute kTextAttributes[] = {{"points", &ElementValues::points},
                                             {"d", &ElementValues::d},
                                             {"xlink:href", &ElementValues::href},
                                             {"href", &ElementValues::href},
                                             {"viewBox", &ElementValues::viewBox}};

std::optional<AspectRatio> ParseAspectRatio(std::string_view value)
{
    static constexpr std::pair<std::string_view, AspectAlign> kAligns[] = {
        {"none", AspectAlign::None},         {"xMinYMin", AspectAlign::XMinYMin},
        {"xMidYMin", AspectAlign::XMidYMin}, {"xMaxYMin", AspectAlign::XMaxYMin},
        {"xMinYMid", AspectAlign::XMinYMid}, {"xMidYMid", AspectAlign::XMidYMid},
        {"xMaxYMid", AspectAlign::XMaxYMid}, {"xMinYMax", AspectAlign::XMinYMax},
        {"xMidYMax", AspectAlign::XMidYMax}, {"xMaxYMax", AspectAlign::XMaxYMax}};
    AspectRatio aspect;
    TextCursor cursor(TrimSpaces(value));
    if (cursor.ConsumeSpecific("defer")) {
        aspect.defer = true;
        cursor.ConsumeWhile([](char c) { return c == ' '; });
    }
    bool found = false;
    for (const auto& [name, align] : kAligns) {
        if (cursor.ConsumeSpecific(name)) {
            aspect.align = align;
            found = true;
            break;
        }
    }
    if (!found)
        return std::nullopt;
    cursor.ConsumeWhile([](char c) { return c == ' '; });
    if (cursor.ConsumeSpecific("slice"))
        aspect.slice = true;
    else
        cursor.ConsumeSpecific("meet");
    if (!TrimSpaces(cursor.Remaining()).empty())
        return std::nullopt;
    return aspect;
}

} // namespace

void SvgParser::ApplyGeometry(std::string_view name, std::string_view value, ElementValues& values,
                              const XmlNode& node)
{
    // Inside text, "x" and "y" are lists: a position for each character.
    const bool inText = (text_ != nullptr || node.name == "text") && node.name != "image";
    if (inText && name == "x") {
        values.listX = ResolveLengthList(value, LengthAxis::Horizontal);
        return;
    }
    if (inText && name == "y") {
        values.listY = ResolveLengthList(value, LengthAxis::Vertical);
        return;
    }
    for (const LengthAttribute& attribute : kLengthAttributes) {
        if (attribute.name == name) {
            if (const std::optional<double> resolved = ResolveLength(value, attribute.axis))
                values.*attribute.field = resolved;
            return;
        }
    }
    for (const TextAttribute& attribute : kTextAttributes) {
        if (attribute.name == name) {
            values.*attribute.field = std::string(value);
            return;
        }
    }
    if (name == "dx") {
        values.listDx = ResolveLengthList(value, LengthAxis::Horizontal);
    } else if (name == "dy") {
        values.listDy = ResolveLengthList(value, LengthAxis::Vertical);
    } else if (name == "rotate") {
        values.listRotate = ParseSvgNumberList(value);
    } else if (name == "preserveAspectRatio") {
        if (const std::optional<AspectRatio> aspect = ParseAspectRatio(value))
            values.aspect = *aspect;
        else
            Warn(Format("Not a preserveAspectRatio: %s", value));
    }
    // Other names ("id", "class" and "style" were handled already, gradient and stop attributes
    // are read when a gradient is built) are not presentation of this element.
}

// Lengths separated by spaces or commas; the list ends at the first that is not a length.
std::vector<double> SvgParser::ResolveLengthList(std::string_view value, LengthAxis axis)
{
    std::vector<double> list;
    TextCursor cursor(value);
    for (;;) {
        cursor.ConsumeWhile([](char c) { return c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r'; });
        const std::string_view item =
            cursor.ConsumeWhile([](char c) { return c != ' ' && c != ',' && c != '\t' && c != '\n' && c != '\r'; });
        if (item.empty())
            break;
        const std::optional<double> resolved = ResolveLength(item, axis);
        if (!resolved)
            break;
        list.push_back(*resolved);
    }
    return list;
}

SvgItem SvgParser::MakeItem(ItemContent content)
{
    const PresentationState& presentation = state();
    SvgItem item;
    item.content = std::move(content);
    item.transform = presentation.transform;
    item.fill = presentation.fill;
    item.fillRule = presentation.fillRule;
    item.stroke = presentation.stroke;
    item.pen = presentation.pen;
    if (presentation.clip >= 0) {
        item.hasClip = true;
        item.clipRule = clips_[size_t(presentation.clip)].rule;
        // The clip was named in the user space `clipAt`; the item draws in `transform`. An item
        // squeezed this near to nothing keeps an empty clip path.
        constexpr double kNearlySingular = 1e-12;
        const std::optional<Matrix> inverse =
            std::fabs(presentation.transform.Determinant()) < kNearlySingular ? std::nullopt : Inverse(presentation.transform);
        if (inverse) {
            item.clipPath = clips_[size_t(presentation.clip)].path;
            item.clipPath.Transform(inverse->After(presentation.clipAt));
        }
    }
    return item;
}

bool IsFinite(const Matrix& m)
{
    return std::isfinite(m.a) && std::isfinite(m.b) && std::isfinite(m.c) && std::isfinite(m.d) &&
           std::isfinite(m.e) && std::isfinite(m.f);
}

bool IsFinite(const Path& path)
{
    for (const Segment& segment : path.segments())
        for (const Point& p : segment.points)
            if (!std::isfinite(p.x) || !std::isfinite(p.y))
                return false;
    return true;
}

// Every number handed to the writer is finite: each value was read as a finite number, but
// products of huge ones (scale(1e300) twice) are not, and "inf" has no place in a PDF.
void SvgParser::AddItem(SvgItem item)
{
    if (!IsFinite(item.transform) || !IsFinite(item.path) || !IsFinite(item.clipPath) ||
        !std::isfinite(item.pen.width) || (item.text() && !std::isfinite(item.text()->font.size))) {
        Warn("An element whose geometry overflows is not drawn");
        return;
    }
    document_.items.push_back(std::move(item));
}

std::optional<Path> SvgParser::ShapeGeometry(const XmlNode& node, const ElementValues& values, SvgItemKind& kind)
{
    const std::string& name = node.name;
    if (name == "path") {
        kind = SvgItemKind::Path;
        size_t stoppedAt = SIZE_MAX;
        Path path = ParseSvgPathData(values.d, &stoppedAt);
        if (stoppedAt != SIZE_MAX)
            Warn(Format("Path data stops at offset %d: %s", int(stoppedAt), std::string_view(values.d).substr(0, 40)));
        return path;
    }
    if (name == "line") {
        kind = SvgItemKind::Line;
        Path path;
        path.MoveTo({values.x1.value_or(0), values.y1.value_or(0)});
        path.LineTo({values.x2.value_or(0), values.y2.value_or(0)});
        return path;
    }
    if (name == "polyline" || name == "polygon") {
        kind = name == "polygon" ? SvgItemKind::Polygon : SvgItemKind::Polyline;
        const std::vector<double> numbers = ParseSvgNumberList(values.points);
        if (numbers.size() % 2 == 1)
            Warn(Format("Points with an odd count of numbers: the last is dropped"));
        Path path;
        for (size_t i = 0; i + 1 < numbers.size(); i += 2) {
            const Point p{numbers[i], numbers[i + 1]};
            if (i == 0)
                path.MoveTo(p);
            else
                path.LineTo(p);
        }
        if (path.IsEmpty())
            return std::nullopt;
        if (kind == SvgItemKind::Polygon)
            path.Close();
        return path;
    }
    if (name == "rect") {
        kind = SvgItemKind::Rectangle;
        const double width = values.width.value_or(0), height = values.height.value_or(0);
        if (!(width > 0) || !(height > 0))
            return std::nullopt;
        // SVG 1.1 section 9.2: a corner radius given alone serves for both axes.
        double rx = values.rx.value_or(-1), ry = values.ry.value_or(-1);
        if (rx < 0)
            rx = ry;
        if (ry < 0)
            ry = rx;
        return SvgRectanglePath(values.x.value_or(0), values.y.value_or(0), width, height, std::max(rx, 0.0), std::max(ry, 0.0));
    }
    if (name == "circle") {
        kind = SvgItemKind::Circle;
        const double r = values.r.value_or(0);
        if (!(r > 0))
            return std::nullopt;
        return SvgEllipsePath(values.cx.value_or(0), values.cy.value_or(0), r, r);
    }
    kind = SvgItemKind::Ellipse;
    const double rx = values.rx.value_or(0), ry = values.ry.value_or(0);
    if (!(rx > 0) || !(ry > 0))
        return std::nullopt;
    return SvgEllipsePath(values.cx.value_or(0), values.cy.value_or(0), rx, ry);
}

void SvgParser::AddShape(const XmlNode& node, const ElementValues& values)
{
    SvgItemKind kind = SvgItemKind::Path;
    std::optional<Path> path = ShapeGeometry(node, values, kind);
    if (!path || path->IsEmpty())
        return;
    if (state().mode == DefinitionMode::Reference) {
        path->Transform(state().transform);
        referencePath_.Append(*path);
        referenceRule_ = state().clipRule;
        return;
    }
    SvgItem item = MakeItem(SvgShape{kind});
    item.path = std::move(*path);
    AddItem(std::move(item));
}

void SvgParser::AddImage(const ElementValues& values)
{
    SvgImage image;
    image.x = values.x.value_or(0);
    image.y = values.y.value_or(0);
    image.width = values.width.value_or(0);
    image.height = values.height.value_or(0);
    image.aspect = values.aspect;
    // data:image/TYPE;base64,DATA (RFC 2397); other references are not followed.
    TextCursor cursor(TrimSpaces(values.href));
    if (!cursor.ConsumeSpecific("data:image/")) {
        if (!values.href.empty())
            Warn("Only embedded pictures are drawn");
        return;
    }
    image.type = std::string(cursor.ConsumeWhile([](char c) { return c != ';' && c != ','; }));
    if (!cursor.ConsumeSpecific(";base64,")) {
        Warn(Format("Embedded picture of type %s is not in Base64", image.type));
        return;
    }
    std::optional<std::string> bytes = DecodeBase64(cursor.Remaining());
    if (!bytes || bytes->empty()) {
        Warn(Format("Embedded picture of type %s has broken Base64", image.type));
        return;
    }
    if (image.width < 0 || image.height < 0)
        return;
    image.bytes = std::move(*bytes);
    const Path box = SvgRectanglePath(image.x, image.y, image.width, image.height, 0, 0);
    SvgItem item = MakeItem(std::move(image));
    item.path = box;
    AddItem(std::move(item));
}

void SvgParser::Use(const ElementValues& values, int depth)
{
    const XmlNode* target = FindId(ReferenceName(values.href));
    if (!target) {
        Warn(Format("use refers to a missing element: %s", values.href));
        return;
    }
    static constexpr std::string_view kUsable[] = {"path", "line", "rect", "polyline", "polygon",
                                                    "circle", "ellipse", "textPath"};
    if (std::find(std::begin(kUsable), std::end(kUsable), target->name) == std::end(kUsable)) {
        Warn(Format("use of a <%s> is not drawn", target->name));
        return;
    }
    if (referencesActive_.count(target) || referenceDepth_ >= kSvgMaxReferenceDepth) {
        Warn("References nested too deep or in a cycle are not followed");
        return;
    }
    // SVG 1.1 section 5.6: "x" and "y" of a use move the referenced element.
    state().transform = state().transform.After(
        Matrix::Translation(values.x.value_or(0), values.y.value_or(0)));
    referencesActive_.insert(target);
    ++referenceDepth_;
    Walk(*target, depth + 1);
    --referenceDepth_;
    referencesActive_.erase(target);
}

} // namespace tavolex::pdf
