// The walk that turns an XML element tree into an SvgDocument: presentation states, the id
// and class tables, gradients and clip paths built on reference, shapes, images and text runs.
#include "svg.h"

#include "core.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace tavolex::pdf {

namespace {

// 0 inside "defs": elements are only known by id. 1 while an element is built for a reference
// (a clip path): shapes add their geometry to the current path. 2 drawing: shapes make items.
enum class DefinitionMode { Defs = 0, Reference = 1, Draw = 2 };

struct PresentationState {
    SvgPaint fill{SvgPaintKind::Color, Color{0, 0, 0, 255}, -1};
    SvgFillRule fillRule = SvgFillRule::NonZero;
    SvgPaint stroke{SvgPaintKind::None, Color{0, 0, 0, 255}, -1};
    SvgPen pen;
    int clip = -1;     // index into the built clip paths
    Matrix clipAt;     // the transformation in force where the clip path was named
    SvgFillRule clipRule = SvgFillRule::NonZero;
    std::string mask;  // recorded only: masks are not drawn
    Font font;
    SvgTextAnchor anchor = SvgTextAnchor::Start;
    bool underline = false;
    bool lineThrough = false;
    Matrix transform;
    DefinitionMode mode = DefinitionMode::Draw;
};

// The values of one element that do not inherit: its geometry, references and text positions.
struct ElementValues {
    std::optional<double> x, y, width, height, cx, cy, r, rx, ry, x1, y1, x2, y2;
    std::string points, d, href, viewBox;
    std::optional<std::vector<double>> listX, listY, listDx, listDy, listRotate;
    AspectRatio aspect;
};

struct ClipDefinition {
    Path path;
    SvgFillRule rule = SvgFillRule::NonZero;
};

// Declarations kept for one class. Every element of that class applies all of them, so a page
// that repeats a rule many times must not make each element cost as much as the whole page.
constexpr size_t kMaxClassText = 16384;

// The position lists of one "text", "tspan", "tref" or "textPath" element. Their values belong
// to the characters of the element and of its descendants, counted from `first`, the number of
// characters the block held when the element began (SVG 1.1 section 10.5).
struct PositionFrame {
    const std::vector<double>* x = nullptr; // null where the element gives no such list
    const std::vector<double>* y = nullptr;
    const std::vector<double>* dx = nullptr;
    const std::vector<double>* dy = nullptr;
    const std::vector<double>* rotate = nullptr;
    size_t first = 0;
};

// Text gathered for one "text" element.
struct TextBlock {
    size_t firstItem = 0;
    bool lastWasSpace = true; // leading white space of a block is dropped
    bool hasRun = false;
    size_t characters = 0;             // code points of the runs made so far
    std::vector<PositionFrame> frames; // the elements with lists around the current character data, outermost first
};

// The values that the frames give the `count` characters from block position `first`, for one
// kind of list: each character takes the value of the innermost element whose list reaches it.
// Every frame encloses the run, so the characters reached form a prefix of it.
std::vector<double> ResolveList(const std::vector<PositionFrame>& frames,
                                const std::vector<double>* PositionFrame::*list, size_t first, size_t count)
{
    size_t reached = 0;
    for (const PositionFrame& frame : frames) {
        const std::vector<double>* values = frame.*list;
        if (values && frame.first + values->size() > first)
            reached = std::max(reached, std::min(count, frame.first + values->size() - first));
    }
    std::vector<double> out;
    out.reserve(reached);
    for (size_t i = 0; i < reached; ++i) {
        for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
            const std::vector<double>* values = (*frame).*list;
            const size_t at = first + i - frame->first;
            if (values && at < values->size()) {
                out.push_back((*values)[at]);
                break;
            }
        }
    }
    return out;
}

// "rotate" is taken whole from the innermost element that gives one: its last value holds for
// every character after the list (SVG 1.1 section 10.5), as it does for a run's own list, so the
// run takes the values from its first character on, or that last value alone.
std::vector<double> ResolveRotation(const std::vector<PositionFrame>& frames, size_t first, size_t count)
{
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
        if (!frame->rotate)
            continue;
        const std::vector<double>& values = *frame->rotate;
        const size_t at = first - frame->first;
        if (at >= values.size())
            return {values.back()};
        const size_t end = std::min(values.size(), at + std::max<size_t>(count, 1));
        return {values.begin() + std::ptrdiff_t(at), values.begin() + std::ptrdiff_t(end)};
    }
    return {};
}

std::string_view TrimSpaces(std::string_view text)
{
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// The name inside "url(#name)", or after "#" in a reference.
std::string ReferenceName(std::string_view value)
{
    const size_t hash = value.find('#');
    if (hash == std::string_view::npos)
        return {};
    std::string_view name = value.substr(hash + 1);
    const size_t end = name.find_first_of(") \t\n\r'\"");
    return std::string(name.substr(0, end));
}

class SvgParser {
public:
    SvgParser(const XmlNode& root, SvgDocument& document, ProgressSink* sink)
        : root_(root), document_(document), sink_(sink)
    {
    }

    SvgStatus Run();

private:
    // --- helpers
    PresentationState& state() { return states_.back(); }
    void Warn(std::string message)
    {
        if (document_.warningCount++ == 0)
            document_.firstWarning = std::move(message);
    }
    double ViewportWidth() const { return document_.viewBoxWidth > 0 ? document_.viewBoxWidth : document_.width; }
    double ViewportHeight() const { return document_.viewBoxHeight > 0 ? document_.viewBoxHeight : document_.height; }
    double ViewportDiagonal() const
    {
        const double w = ViewportWidth(), h = ViewportHeight();
        return std::sqrt((w * w + h * h) / 2);
    }
    std::optional<double> ResolveLength(std::string_view value, LengthAxis axis);

    template<class Visit>
    void ForEachDeclaration(const XmlNode& node, bool skipTransform, Visit visit);
    void CollectIds();
    void ReadDocumentSize(const XmlNode& svg);
    void ReadClassRules(std::string_view text);

    // --- walk
    void Walk(const XmlNode& node, int depth);
    void WalkChildren(const XmlNode& node, int depth);
    void ApplyDeclaration(std::string_view name, std::string_view value, ElementValues& values,
                          const XmlNode& node);
    void ApplyPaint(std::string_view value, SvgPaint& paint);
    void HandleElement(const XmlNode& node, ElementValues& values, int depth);
    std::optional<Path> ShapeGeometry(const XmlNode& node, const ElementValues& values, SvgItemKind& kind);
    void AddShape(const XmlNode& node, const ElementValues& values);
    void AddImage(const ElementValues& values);
    SvgItem MakeItem(SvgItemKind kind);
    void AddItem(SvgItem item);
    void Use(const ElementValues& values, int depth);

    // --- text
    void WalkText(const XmlNode& node, ElementValues& values, int depth);
    void WalkTextContent(const XmlNode& node, int depth);
    void AddRun(std::string_view characters, bool preserveSpace);
    bool PushPositions(const ElementValues& values);

    // --- references
    int BuildGradient(const std::string& id, int chain);
    int BuildClip(const std::string& id);
    const XmlNode* FindId(const std::string& id) const
    {
        const auto found = ids_.find(id);
        return found == ids_.end() ? nullptr : found->second;
    }

    const XmlNode& root_;
    SvgDocument& document_;
    ProgressSink* sink_;
    const XmlNode* svgElement_ = nullptr;
    std::vector<PresentationState> states_;
    std::map<std::string, const XmlNode*> ids_;
    std::map<std::string, int> gradientIndex_; // -1 once a build failed
    std::set<std::string> gradientsBuilding_;
    std::vector<ClipDefinition> clips_;
    std::map<std::string, int> clipIndex_;
    std::set<std::string> clipsBuilding_;
    std::set<const XmlNode*> referencesActive_;
    int referenceDepth_ = 0;
    Path referencePath_;          // geometry collected in mode 1
    SvgFillRule referenceRule_ = SvgFillRule::NonZero;
    std::unique_ptr<TextBlock> text_; // the block being gathered, if any
    std::optional<Path> textPath_;
    bool missingGradient_ = false;
    bool cancelled_ = false;
    size_t elementCount_ = 1;
    size_t elementsWalked_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Tables and size

void SvgParser::CollectIds()
{
    // Every id is known before the walk, so a paint may name a gradient defined further down.
    std::vector<const XmlNode*> pending{&root_};
    while (!pending.empty()) {
        const XmlNode* node = pending.back();
        pending.pop_back();
        if (node->IsElement()) {
            ++elementCount_;
            if (const std::string* id = node->FindAttribute("id"); id && !id->empty()) {
                if (ids_.emplace(*id, node).second)
                    document_.ids.push_back(*id);
            }
        }
        std::vector<const XmlNode*> children;
        for (const XmlNode* child = node->firstChild.get(); child; child = child->next.get())
            children.push_back(child);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
}

void SvgParser::ReadDocumentSize(const XmlNode& svg)
{
    if (const std::string* viewBox = svg.FindAttribute("viewBox")) {
        const std::vector<double> box = ParseSvgNumberList(*viewBox, 4);
        if (box.size() == 4 && box[2] >= 0 && box[3] >= 0) {
            document_.viewBoxX = box[0];
            document_.viewBoxY = box[1];
            document_.viewBoxWidth = box[2];
            document_.viewBoxHeight = box[3];
        } else {
            Warn("viewBox without four usable numbers is ignored");
        }
    }
    auto side = [&](const char* name, double viewBoxSide) {
        double value = 0;
        if (const std::string* text = svg.FindAttribute(name)) {
            if (const std::optional<Length> length = ParseSvgLength(*text, 16))
                value = length->percent ? length->value * viewBoxSide : length->value;
            else
                Warn(Format("The %s of the page is not a length: %s", name, *text));
        }
        constexpr double kEpsilon = 1.0 / (1 << 23);
        if (std::fabs(value) <= kEpsilon)
            value = viewBoxSide;
        return std::trunc(value);
    };
    document_.width = side("width", document_.viewBoxWidth);
    document_.height = side("height", document_.viewBoxHeight);
    if (document_.width < 0 || document_.height < 0)
        document_.width = document_.height = 0;
    if (const std::string* transform = svg.FindAttribute("transform"))
        ApplySvgTransformList(*transform, document_.rootTransform);
}

// Class rules of a "style" element: "selector { declarations }" in sequence. Only selectors
// that begin with "." are used; each comma-separated piece that begins with "." names a class.
void SvgParser::ReadClassRules(std::string_view text)
{
    TextCursor cursor(text);
    while (!cursor.AtEnd()) {
        std::string selector;
        while (!cursor.AtEnd() && !cursor.NextIs('{')) {
            if (cursor.ConsumeSpecific("/*")) { // CSS comments are passed over
                while (!cursor.AtEnd() && !cursor.ConsumeSpecific("*/"))
                    cursor.Consume();
                continue;
            }
            selector.push_back(cursor.Consume());
        }
        if (!cursor.ConsumeSpecific('{'))
            break;
        const std::string_view declarations = cursor.ConsumeWhile([](char c) { return c != '}'; });
        cursor.ConsumeSpecific('}');
        const std::string_view trimmed = TrimSpaces(selector);
        if (!trimmed.starts_with('.')) {
            Warn(Format("Style rule for %s is not a class rule and is ignored", trimmed));
            continue;
        }
        size_t start = 0;
        while (start <= trimmed.size()) {
            size_t comma = trimmed.find(',', start);
            if (comma == std::string_view::npos)
                comma = trimmed.size();
            const std::string_view piece = trimmed.substr(start, comma - start);
            if (piece.starts_with('.')) {
                const std::string name(TrimSpaces(piece.substr(1)));
                std::string& stored = document_.classes[name];
                if (stored.size() + declarations.size() > kMaxClassText) {
                    Warn(Format("Class %s has too many declarations; the rest are ignored", name));
                    continue;
                }
                if (!stored.empty())
                    stored += ';';
                stored += declarations;
            }
            start = comma + 1;
        }
    }
}

// The declarations of an element in the order they take effect: "transform" first, then the
// attributes as written, a "style" attribute and each class of "class" expanded in place.
template<class Visit>
void SvgParser::ForEachDeclaration(const XmlNode& node, bool skipTransform, Visit visit)
{
    auto visitDeclarations = [&](std::string_view text) {
        TextCursor cursor(text);
        while (!cursor.AtEnd()) {
            const std::string_view declaration = cursor.ConsumeWhile([](char c) { return c != ';'; });
            cursor.ConsumeSpecific(';');
            const size_t colon = declaration.find(':');
            if (colon == std::string_view::npos)
                continue;
            const std::string_view name = TrimSpaces(declaration.substr(0, colon));
            if (name == "transform" && skipTransform)
                continue;
            visit(name, TrimSpaces(declaration.substr(colon + 1)));
        }
    };
    if (const std::string* transform = node.FindAttribute("transform"); transform && !skipTransform)
        visit("transform", *transform);
    for (const XmlAttribute& attribute : node.attributes) {
        if (attribute.name == "transform")
            continue;
        if (attribute.name == "style") {
            visitDeclarations(attribute.value);
        } else if (attribute.name == "class") {
            TextCursor cursor(attribute.value);
            while (!cursor.AtEnd()) {
                cursor.ConsumeWhile([](char c) { return c == ' ' || c == '\t' || c == '\n'; });
                const std::string name(cursor.ConsumeWhile([](char c) { return c != ' ' && c != '\t' && c != '\n'; }));
                if (name.empty())
                    continue;
                const auto found = document_.classes.find(name);
                if (found != document_.classes.end())
                    visitDeclarations(found->second);
            }
        } else {
            visit(attribute.name, attribute.value);
        }
    }
}

std::optional<double> SvgParser::ResolveLength(std::string_view value, LengthAxis axis)
{
    const std::optional<Length> length = ParseSvgLength(value, state().font.size);
    if (!length) {
        Warn(Format("Not a length: %s", value));
        return std::nullopt;
    }
    if (!length->percent)
        return length->value;
    switch (axis) {
    case LengthAxis::Horizontal: return length->value * ViewportWidth();
    case LengthAxis::Vertical: return length->value * ViewportHeight();
    case LengthAxis::Diagonal: return length->value * ViewportDiagonal();
    case LengthAxis::None: return length->value;
    }
    return length->value;
}

// ---------------------------------------------------------------------------------------------
// Attributes

void SvgParser::ApplyPaint(std::string_view value, SvgPaint& paint)
{
    value = TrimSpaces(value);
    if (value == "none") {
        paint.kind = SvgPaintKind::None;
        return;
    }
    if (value.starts_with("url")) {
        const std::string name = ReferenceName(value);
        const XmlNode* target = FindId(name);
        if (!target) {
            Warn(Format("Paint refers to a missing element: %s", value));
            return;
        }
        if (target->name != "linearGradient" && target->name != "radialGradient") {
            Warn(Format("Paint refers to an element that is not a gradient: %s", value));
            return;
        }
        const int index = BuildGradient(name, 0);
        if (index >= 0) {
            paint.kind = SvgPaintKind::Gradient;
            paint.gradient = index;
        }
        return;
    }
    switch (ParseSvgColor(value, paint.color)) {
    case ColorParse::Parsed:
        paint.kind = SvgPaintKind::Color;
        break;
    case ColorParse::Inherit:
        break;
    case ColorParse::Invalid:
        Warn(Format("Not a colour: %s", value));
        break;
    }
}

namespace {

// 0 to 255 from an opacity written as a number or a percentage.
std::optional<uint8_t> OpacityByte(std::string_view value)
{
    const std::optional<Length> length = ParseSvgLength(value, 16);
    if (!length)
        return std::nullopt;
    const double opacity = std::min(length->value, 1.0);
    return opacity <= 0 ? uint8_t(0) : static_cast<uint8_t>(opacity * 255);
}

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

void SvgParser::ApplyDeclaration(std::string_view name, std::string_view value,
                                 ElementValues& values, const XmlNode& node)
{
    PresentationState& s = state();
    auto length = [&](std::optional<double>& target, LengthAxis axis) {
        if (const std::optional<double> resolved = ResolveLength(value, axis))
            target = resolved;
    };
    auto lengthList = [&](std::optional<std::vector<double>>& target, LengthAxis axis) {
        std::vector<double> list;
        TextCursor cursor(value);
        for (;;) {
            cursor.ConsumeWhile([](char c) { return c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r'; });
            const std::string_view item = cursor.ConsumeWhile(
                [](char c) { return c != ' ' && c != ',' && c != '\t' && c != '\n' && c != '\r'; });
            if (item.empty())
                break;
            const std::optional<double> resolved = ResolveLength(item, axis);
            if (!resolved)
                break;
            list.push_back(*resolved);
        }
        target = std::move(list);
    };
    const bool inText = text_ != nullptr || node.name == "text";

    if (name == "transform") {
        Matrix local;
        if (ApplySvgTransformList(value, local) > 0)
            Warn(Format("Parts of a transformation are passed over: %s", value));
        s.transform = s.transform.After(local);
    } else if (name == "fill") {
        ApplyPaint(value, s.fill);
    } else if (name == "stroke") {
        ApplyPaint(value, s.stroke);
    } else if (name == "fill-opacity" || name == "opacity") {
        if (const std::optional<uint8_t> alpha = OpacityByte(value))
            s.fill.color.alpha = *alpha;
        else
            Warn(Format("Not an opacity: %s", value));
    } else if (name == "stroke-opacity") {
        if (const std::optional<uint8_t> alpha = OpacityByte(value))
            s.stroke.color.alpha = *alpha;
        else
            Warn(Format("Not an opacity: %s", value));
    } else if (name == "fill-rule" || name == "clip-rule") {
        SvgFillRule& rule = name == "fill-rule" ? s.fillRule : s.clipRule;
        if (value == "nonzero")
            rule = SvgFillRule::NonZero;
        else if (value == "evenodd")
            rule = SvgFillRule::EvenOdd;
    } else if (name == "stroke-width") {
        std::optional<double> width;
        length(width, LengthAxis::Diagonal);
        if (width && *width >= 0)
            s.pen.width = *width;
    } else if (name == "stroke-linecap") {
        if (value == "butt")
            s.pen.cap = SvgLineCap::Butt;
        else if (value == "round")
            s.pen.cap = SvgLineCap::Round;
        else if (value == "square")
            s.pen.cap = SvgLineCap::Square;
    } else if (name == "stroke-linejoin") {
        if (value == "miter")
            s.pen.join = SvgLineJoin::Miter;
        else if (value == "round")
            s.pen.join = SvgLineJoin::Round;
        else if (value == "bevel")
            s.pen.join = SvgLineJoin::Bevel;
    } else if (name == "stroke-miterlimit") {
        const std::vector<double> limit = ParseSvgNumberList(value, 1);
        if (!limit.empty())
            s.pen.miterLimit = std::max(1.0, limit[0]);
    } else if (name == "stroke-dasharray") {
        if (TrimSpaces(value) == "none") {
            s.pen.dash = DashStyle::Solid;
            s.pen.dashes.clear();
            return;
        }
        std::vector<double> dashes = ParseSvgNumberList(value, 100);
        double sum = 0;
        bool negative = false;
        for (double dash : dashes) {
            sum += dash;
            negative = negative || dash < 0;
        }
        if (negative) {
            Warn(Format("A dash array with a negative value is ignored: %s", value));
        } else if (dashes.empty() || sum == 0) {
            s.pen.dash = DashStyle::Solid;
            s.pen.dashes.clear();
        } else {
            if (dashes.size() % 2 == 1)
                dashes.insert(dashes.end(), dashes.begin(), dashes.end());
            s.pen.dash = DashStyle::Custom;
            s.pen.dashes = std::move(dashes);
        }
    } else if (name == "font-family") {
        s.font.family = std::string(CutUtf8ToUnits(value, 259));
    } else if (name == "font-weight") {
        if (value == "normal")
            s.font.weight = 400;
        else if (value == "bold")
            s.font.weight = 700;
        else if (value == "bolder")
            s.font.weight = std::min(900, s.font.weight + 100);
        else if (value == "lighter")
            s.font.weight = std::max(100, s.font.weight - 100);
        else {
            const std::vector<double> weight = ParseSvgNumberList(value, 2);
            if (weight.size() == 1 && weight[0] >= 100 && weight[0] <= 900 &&
                std::fmod(weight[0], 100) == 0)
                s.font.weight = static_cast<int>(weight[0]);
        }
    } else if (name == "font-style") {
        if (value == "normal")
            s.font.italic = false;
        else if (value == "italic" || value == "oblique")
            s.font.italic = true;
    } else if (name == "font-size") {
        const std::optional<Length> size = ParseSvgLength(value, s.font.size);
        if (size && size->value > 0)
            s.font.size = size->percent ? s.font.size * size->value : size->value;
    } else if (name == "text-anchor") {
        if (value == "start")
            s.anchor = SvgTextAnchor::Start;
        else if (value == "middle")
            s.anchor = SvgTextAnchor::Middle;
        else if (value == "end")
            s.anchor = SvgTextAnchor::End;
    } else if (name == "text-decoration") {
        TextCursor cursor(value);
        while (!cursor.AtEnd()) {
            cursor.ConsumeWhile([](char c) { return c == ' '; });
            const std::string_view word = cursor.ConsumeWhile([](char c) { return c != ' '; });
            if (word == "none")
                s.underline = s.lineThrough = false;
            else if (word == "underline")
                s.underline = true;
            else if (word == "line-through")
                s.lineThrough = true;
        }
    } else if (name == "clip-path") {
        if (TrimSpaces(value) == "none") {
            s.clip = -1;
            return;
        }
        // Building the clip path pushes states of its own: `s` may move, so look it up again.
        const int clip = BuildClip(ReferenceName(value));
        if (clip >= 0) {
            state().clip = clip;
            state().clipAt = state().transform;
        }
    } else if (name == "mask") {
        s.mask = std::string(value);
    } else if (name == "x") {
        if (inText && node.name != "image")
            lengthList(values.listX, LengthAxis::Horizontal);
        else
            length(values.x, LengthAxis::Horizontal);
    } else if (name == "y") {
        if (inText && node.name != "image")
            lengthList(values.listY, LengthAxis::Vertical);
        else
            length(values.y, LengthAxis::Vertical);
    } else if (name == "dx") {
        lengthList(values.listDx, LengthAxis::Horizontal);
    } else if (name == "dy") {
        lengthList(values.listDy, LengthAxis::Vertical);
    } else if (name == "rotate") {
        values.listRotate = ParseSvgNumberList(value);
    } else if (name == "width") {
        length(values.width, LengthAxis::Horizontal);
    } else if (name == "height") {
        length(values.height, LengthAxis::Vertical);
    } else if (name == "cx") {
        length(values.cx, LengthAxis::Horizontal);
    } else if (name == "cy") {
        length(values.cy, LengthAxis::Vertical);
    } else if (name == "r") {
        length(values.r, LengthAxis::Diagonal);
    } else if (name == "rx") {
        length(values.rx, LengthAxis::Horizontal);
    } else if (name == "ry") {
        length(values.ry, LengthAxis::Vertical);
    } else if (name == "x1") {
        length(values.x1, LengthAxis::Horizontal);
    } else if (name == "y1") {
        length(values.y1, LengthAxis::Vertical);
    } else if (name == "x2") {
        length(values.x2, LengthAxis::Horizontal);
    } else if (name == "y2") {
        length(values.y2, LengthAxis::Vertical);
    } else if (name == "points") {
        values.points = std::string(value);
    } else if (name == "d") {
        values.d = std::string(value);
    } else if (name == "xlink:href" || name == "href") {
        values.href = std::string(value);
    } else if (name == "viewBox") {
        values.viewBox = std::string(value);
    } else if (name == "preserveAspectRatio") {
        if (const std::optional<AspectRatio> aspect = ParseAspectRatio(value))
            values.aspect = *aspect;
        else
            Warn(Format("Not a preserveAspectRatio: %s", value));
    }
    // Other names ("id", "class" and "style" were handled already, gradient and stop attributes
    // are read when a gradient is built) are not presentation of this element.
}

// ---------------------------------------------------------------------------------------------
// Walk

void SvgParser::Walk(const XmlNode& node, int depth)
{
    if (!node.IsElement() || cancelled_)
        return;
    if (depth > kSvgMaxElementDepth) {
        Warn(Format("Elements nested deeper than %d levels are not drawn", kSvgMaxElementDepth));
        return;
    }
    if (sink_ && (++elementsWalked_ % 64) == 0) {
        if (sink_->IsCancelled()) {
            cancelled_ = true;
            return;
        }
        sink_->ReportProgress(0.2 + 0.8 * std::min(1.0, double(elementsWalked_) / double(elementCount_)));
    }
    states_.push_back(states_.back());
    ElementValues values;
    if (state().mode != DefinitionMode::Defs) {
        const bool isRoot = &node == svgElement_;
        ForEachDeclaration(node, isRoot, [&](std::string_view name, std::string_view value) {
            ApplyDeclaration(name, value, values, node);
        });
    }
    HandleElement(node, values, depth);
    states_.pop_back();
}

void SvgParser::WalkChildren(const XmlNode& node, int depth)
{
    for (const XmlNode* child = node.firstChild.get(); child; child = child->next.get())
        Walk(*child, depth + 1);
}

void SvgParser::HandleElement(const XmlNode& node, ElementValues& values, int depth)
{
    const std::string& name = node.name;
    const DefinitionMode mode = state().mode;
    if (name == "svg" || name == "g" || name == "symbol" || name == "a" || name == "switch") {
        WalkChildren(node, depth);
    } else if (name == "title" || name == "desc" || name == "metadata") {
    } else if (name == "defs") {
        state().mode = DefinitionMode::Defs;
        WalkChildren(node, depth);
    } else if (name == "style") {
        const std::string* type = node.FindAttribute("type");
        if (!type || *type == "text/css" || type->empty()) {
            for (const XmlNode* child = node.firstChild.get(); child; child = child->next.get())
                if (child->IsText() || child->name == "![CDATA[")
                    ReadClassRules(child->text);
        }
    } else if (name == "use") {
        if (mode != DefinitionMode::Defs)
            Use(values, depth);
    } else if (name == "path" || name == "line" || name == "rect" || name == "circle" ||
               name == "ellipse" || name == "polyline" || name == "polygon") {
        if (mode != DefinitionMode::Defs)
            AddShape(node, values);
    } else if (name == "text") {
        if (mode == DefinitionMode::Draw && !text_)
            WalkText(node, values, depth);
        else if (mode == DefinitionMode::Reference)
            Warn("Text inside a clip path is not used");
    } else if (name == "tspan" || name == "tref" || name == "textPath") {
        if (mode == DefinitionMode::Draw && text_)
            WalkText(node, values, depth);
    } else if (name == "clipPath" || name == "linearGradient" || name == "radialGradient" ||
               name == "stop" || name == "mask" || name == "pattern" || name == "marker") {
        // Definitions: built when something refers to them; masks are not drawn.
    } else if (name == "image") {
        if (mode == DefinitionMode::Draw)
            AddImage(values);
    } else if (text_) {
        WalkTextContent(node, depth);
    } else {
        WalkChildren(node, depth);
    }
}

SvgItem SvgParser::MakeItem(SvgItemKind kind)
{
    const PresentationState& s = state();
    SvgItem item;
    item.kind = kind;
    item.transform = s.transform;
    item.fill = s.fill;
    item.fillRule = s.fillRule;
    item.stroke = s.stroke;
    item.pen = s.pen;
    if (s.clip >= 0) {
        item.hasClip = true;
        item.clipRule = clips_[size_t(s.clip)].rule;
        // The clip was named in the user space `clipAt`; the item draws in `transform`. An item
        // squeezed this near to nothing keeps an empty clip path.
        constexpr double kNearlySingular = 1e-12;
        const std::optional<Matrix> inverse =
            std::fabs(s.transform.Determinant()) < kNearlySingular ? std::nullopt : Inverse(s.transform);
        if (inverse) {
            item.clipPath = clips_[size_t(s.clip)].path;
            item.clipPath.Transform(inverse->After(s.clipAt));
        }
    }
    return item;
}

namespace {

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

} // namespace

// Every number handed to the writer is finite: each value was read as a finite number, but
// products of huge ones (scale(1e300) twice) are not, and "inf" has no place in a PDF.
void SvgParser::AddItem(SvgItem item)
{
    if (!IsFinite(item.transform) || !IsFinite(item.path) || !IsFinite(item.clipPath) ||
        !std::isfinite(item.pen.width) || !std::isfinite(item.text.font.size)) {
        Warn("An element whose geometry overflows is not drawn");
        return;
    }
    document_.items.push_back(std::move(item));
}

std::optional<Path> SvgParser::ShapeGeometry(const XmlNode& node, const ElementValues& v, SvgItemKind& kind)
{
    const std::string& name = node.name;
    if (name == "path") {
        kind = SvgItemKind::Path;
        size_t stoppedAt = SIZE_MAX;
        Path path = ParseSvgPathData(v.d, &stoppedAt);
        if (stoppedAt != SIZE_MAX)
            Warn(Format("Path data stops at offset %d: %s", int(stoppedAt), std::string_view(v.d).substr(0, 40)));
        return path;
    }
    if (name == "line") {
        kind = SvgItemKind::Line;
        Path path;
        path.MoveTo({v.x1.value_or(0), v.y1.value_or(0)});
        path.LineTo({v.x2.value_or(0), v.y2.value_or(0)});
        return path;
    }
    if (name == "polyline" || name == "polygon") {
        kind = name == "polygon" ? SvgItemKind::Polygon : SvgItemKind::Polyline;
        const std::vector<double> numbers = ParseSvgNumberList(v.points);
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
        const double width = v.width.value_or(0), height = v.height.value_or(0);
        if (!(width > 0) || !(height > 0))
            return std::nullopt;
        // SVG 1.1 section 9.2: a corner radius given alone serves for both axes.
        double rx = v.rx.value_or(-1), ry = v.ry.value_or(-1);
        if (rx < 0)
            rx = ry;
        if (ry < 0)
            ry = rx;
        return SvgRectanglePath(v.x.value_or(0), v.y.value_or(0), width, height, std::max(rx, 0.0), std::max(ry, 0.0));
    }
    if (name == "circle") {
        kind = SvgItemKind::Circle;
        const double r = v.r.value_or(0);
        if (!(r > 0))
            return std::nullopt;
        return SvgEllipsePath(v.cx.value_or(0), v.cy.value_or(0), r, r);
    }
    kind = SvgItemKind::Ellipse;
    const double rx = v.rx.value_or(0), ry = v.ry.value_or(0);
    if (!(rx > 0) || !(ry > 0))
        return std::nullopt;
    return SvgEllipsePath(v.cx.value_or(0), v.cy.value_or(0), rx, ry);
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
    SvgItem item = MakeItem(kind);
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
    SvgItem item = MakeItem(SvgItemKind::Image);
    item.image = std::move(image);
    item.path = SvgRectanglePath(item.image.x, item.image.y, item.image.width, item.image.height, 0, 0);
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

// ---------------------------------------------------------------------------------------------
// Text

// Makes the element's lists reach its characters; false when it has none.
bool SvgParser::PushPositions(const ElementValues& values)
{
    auto present = [](const std::optional<std::vector<double>>& list) {
        return list && !list->empty() ? &*list : nullptr;
    };
    PositionFrame frame{present(values.listX), present(values.listY), present(values.listDx),
                        present(values.listDy),  present(values.listRotate), text_->characters};
    if (!frame.x && !frame.y && !frame.dx && !frame.dy && !frame.rotate)
        return false;
    text_->frames.push_back(frame);
    return true;
}

void SvgParser::AddRun(std::string_view characters, bool preserveSpace)
{
    // SVG 1.1 section 10.15: line breaks are removed (or, preserving, become spaces), tabs become
    // spaces and, unless preserving, runs of spaces are one space and a block's leading space
    // is dropped.
    std::string collected;
    for (char c : characters) {
        if (c == '\n' || c == '\r') {
            if (!preserveSpace)
                continue;
            c = ' ';
        }
        if (c == '\t')
            c = ' ';
        if (c == ' ' && !preserveSpace) {
            if (text_->lastWasSpace)
                continue;
            text_->lastWasSpace = true;
        } else {
            text_->lastWasSpace = c == ' ';
        }
        collected.push_back(c);
    }
    if (collected.empty())
        return;
    const PresentationState& s = state();
    SvgItem item = MakeItem(textPath_ ? SvgItemKind::TextOnPath : SvgItemKind::Text);
    if (textPath_)
        item.path = *textPath_;
    SvgTextRun& run = item.text;
    // Malformed UTF-8 becomes U+FFFD here, so that the lists below count the characters that the
    // layout draws.
    run.text = Utf16ToUtf8(Utf8ToUtf16(collected));
    run.font = s.font;
    run.anchor = s.anchor;
    run.underline = s.underline;
    run.lineThrough = s.lineThrough;
    run.startsBlock = !text_->hasRun;
    // The lists count characters (code points), as the layout does: every byte that does not
    // continue a sequence starts one.
    const size_t count = static_cast<size_t>(std::count_if(run.text.begin(), run.text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
    const size_t first = text_->characters;
    const std::vector<PositionFrame>& frames = text_->frames;
    run.x = ResolveList(frames, &PositionFrame::x, first, count);
    run.y = ResolveList(frames, &PositionFrame::y, first, count);
    run.dx = ResolveList(frames, &PositionFrame::dx, first, count);
    run.dy = ResolveList(frames, &PositionFrame::dy, first, count);
    run.rotate = ResolveRotation(frames, first, count);
    text_->characters += count;
    text_->hasRun = true;
    AddItem(std::move(item));
}

void SvgParser::WalkTextContent(const XmlNode& node, int depth)
{
    for (const XmlNode* child = node.firstChild.get(); child; child = child->next.get()) {
        if (child->IsText() || child->name == "![CDATA[")
            AddRun(child->text, child->preserveSpace || node.preserveSpace);
        else
            Walk(*child, depth + 1);
    }
}

void SvgParser::WalkText(const XmlNode& node, ElementValues& values, int depth)
{
    if (node.name == "text") {
        text_ = std::make_unique<TextBlock>();
        text_->firstItem = document_.items.size();
        PushPositions(values);
        WalkTextContent(node, depth);
        // The block's trailing space is dropped as its leading one was.
        if (!node.preserveSpace) {
            for (size_t i = document_.items.size(); i > text_->firstItem; --i) {
                std::string& runText = document_.items[i - 1].text.text;
                while (!runText.empty() && runText.back() == ' ')
                    runText.pop_back();
                if (!runText.empty())
                    break;
                if (document_.items[i - 1].text.x.empty() && document_.items[i - 1].text.y.empty())
                    document_.items.erase(document_.items.begin() + std::ptrdiff_t(i - 1));
            }
        }
        text_.reset();
        return;
    }
    // The element's lists reach the characters inside it, and only those.
    const bool framed = PushPositions(values);
    auto walkRun = [&] {
        if (node.name == "tspan") {
            WalkTextContent(node, depth);
            return;
        }
        const XmlNode* target = FindId(ReferenceName(values.href));
        if (!target) {
            Warn(Format("<%s> refers to a missing element: %s", node.name, values.href));
            return;
        }
        if (node.name == "tref") {
            AddRun(target->InnerText(), node.preserveSpace);
            return;
        }
        // textPath: the text follows the referenced path, in that path's own transformation.
        if (target->name != "path") {
            Warn(Format("textPath refers to a <%s>, not a path", target->name));
            return;
        }
        const std::string* d = target->FindAttribute("d");
        Path path = ParseSvgPathData(d ? *d : std::string());
        if (const std::string* transform = target->FindAttribute("transform")) {
            Matrix local;
            ApplySvgTransformList(*transform, local);
            path.Transform(local);
        }
        std::optional<Path> outer = std::move(textPath_);
        textPath_ = std::move(path);
        WalkTextContent(node, depth);
        textPath_ = std::move(outer);
    };
    walkRun();
    if (framed)
        text_->frames.pop_back();
}

// ---------------------------------------------------------------------------------------------
// Gradients and clip paths

int SvgParser::BuildGradient(const std::string& id, int chain)
{
    if (const auto built = gradientIndex_.find(id); built != gradientIndex_.end())
        return built->second;
    if (gradientsBuilding_.count(id)) {
        Warn(Format("Gradient %s inherits from itself", id));
        return -1;
    }
    const XmlNode* node = FindId(id);
    if (!node || (node->name != "linearGradient" && node->name != "radialGradient"))
        return -1;
    gradientsBuilding_.insert(id);

    SvgGradient gradient;
    struct Specified {
        bool units = false, spread = false, transform = false;
        bool x1 = false, y1 = false, x2 = false, y2 = false, cx = false, cy = false, r = false, fx = false, fy = false;
    } own;
    std::string href;
    std::vector<SvgGradientStop> stops;
    ElementValues unused;
    ForEachDeclaration(*node, true, [&](std::string_view name, std::string_view value) {
        auto coordinate = [&](Length& target, bool& flag) {
            if (const std::optional<Length> length = ParseSvgLength(value, 16)) {
                target = *length;
                flag = true;
            }
        };
        if (name == "gradientUnits") {
            gradient.units = value == "userSpaceOnUse" ? SvgGradientUnits::UserSpace : SvgGradientUnits::ObjectBoundingBox;
            own.units = true;
        } else if (name == "spreadMethod") {
            own.spread = true;
            if (value == "reflect")
                gradient.spread = SpreadMethod::Reflect;
            else if (value == "repeat")
                gradient.spread = SpreadMethod::Repeat;
            else if (value == "pad")
                gradient.spread = SpreadMethod::Pad;
            else
                own.spread = false;
        } else if (name == "gradientTransform") {
            ApplySvgTransformList(value, gradient.transform);
            own.transform = true;
        } else if (name == "x1") coordinate(gradient.x1, own.x1);
        else if (name == "y1") coordinate(gradient.y1, own.y1);
        else if (name == "x2") coordinate(gradient.x2, own.x2);
        else if (name == "y2") coordinate(gradient.y2, own.y2);
        else if (name == "cx") coordinate(gradient.cx, own.cx);
        else if (name == "cy") coordinate(gradient.cy, own.cy);
        else if (name == "r") coordinate(gradient.r, own.r);
        else if (name == "fx") coordinate(gradient.fx, own.fx);
        else if (name == "fy") coordinate(gradient.fy, own.fy);
        else if (name == "xlink:href" || name == "href")
            href = std::string(value);
    });
    // The stops, each offset at least the one before (SVG 1.1 section 13.2.4).
    for (const XmlNode* child = node->firstChild.get(); child; child = child->next.get()) {
        if (child->name != "stop")
            continue;
        SvgGradientStop stop;
        ForEachDeclaration(*child, true, [&](std::string_view name, std::string_view value) {
            if (name == "offset") {
                if (const std::optional<Length> offset = ParseSvgLength(value, 16))
                    stop.offset = std::clamp(offset->value, 0.0, 1.0);
            } else if (name == "stop-color") {
                if (ParseSvgColor(value, stop.color) == ColorParse::Invalid)
                    Warn(Format("Not a colour: %s", value));
            } else if (name == "stop-opacity") {
                if (const std::optional<Length> opacity = ParseSvgLength(value, 16))
                    stop.opacity = std::clamp(opacity->value, 0.0, 1.0);
            }
        });
        if (!stops.empty())
            stop.offset = std::max(stop.offset, stops.back().offset);
        stop.color.alpha = static_cast<uint8_t>(stop.opacity * 255);
        stops.push_back(stop);
    }

    if (!href.empty()) {
        const std::string baseId = ReferenceName(href);
        const XmlNode* base = FindId(baseId);
        if (!base || (base->name != "linearGradient" && base->name != "radialGradient")) {
            Warn(Format("Gradient %s inherits from a missing gradient: %s", id, href));
            missingGradient_ = true;
            gradientsBuilding_.erase(id);
            gradientIndex_[id] = -1;
            return -1;
        }
        const int baseIndex = chain + 1 >= kSvgMaxGradientChain ? -1 : BuildGradient(baseId, chain + 1);
        if (chain + 1 >= kSvgMaxGradientChain)
            Warn(Format("Gradient chain longer than %d is cut at %s", kSvgMaxGradientChain, id));
        if (baseIndex >= 0) {
            // The referenced gradient's values first; what this one sets itself overrides them.
            const SvgGradient& inherited = document_.gradients[size_t(baseIndex)];
            if (!own.units) gradient.units = inherited.units;
            if (!own.spread) gradient.spread = inherited.spread;
            if (!own.transform) gradient.transform = inherited.transform;
            if (!own.x1) gradient.x1 = inherited.x1;
            if (!own.y1) gradient.y1 = inherited.y1;
            if (!own.x2) gradient.x2 = inherited.x2;
            if (!own.y2) gradient.y2 = inherited.y2;
            if (!own.cx) gradient.cx = inherited.cx;
            if (!own.cy) gradient.cy = inherited.cy;
            if (!own.r) gradient.r = inherited.r;
            if (!own.fx) { gradient.fx = inherited.fx; own.fx = inherited.fx.value != 0 || inherited.fx.percent; }
            if (!own.fy) { gradient.fy = inherited.fy; own.fy = inherited.fy.value != 0 || inherited.fy.percent; }
            if (stops.empty())
                stops = inherited.stops;
        }
    }
    if (!IsFinite(gradient.transform)) {
        Warn(Format("Gradient %s has a transformation that overflows; it is not used", id));
        gradient.transform = Matrix();
    }
    gradient.id = id;
    gradient.stops = std::move(stops);
    if (node->name == "linearGradient") {
        gradient.kind = SvgGradientKind::Linear;
        if (gradient.x1.value == 0 && gradient.y1.value == 0 && gradient.x2.value == 0 && gradient.y2.value == 0)
            gradient.x2 = Length{1, true};
    } else {
        gradient.kind = SvgGradientKind::Radial;
        for (Length* coordinate : {&gradient.cx, &gradient.cy, &gradient.r})
            if (coordinate->value == 0)
                *coordinate = Length{0.5, true};
        if (!own.fx)
            gradient.fx = gradient.cx;
        if (!own.fy)
            gradient.fy = gradient.cy;
    }
    gradientsBuilding_.erase(id);
    const int index = static_cast<int>(document_.gradients.size());
    document_.gradients.push_back(std::move(gradient));
    gradientIndex_[id] = index;
    return index;
}

int SvgParser::BuildClip(const std::string& id)
{
    if (const auto built = clipIndex_.find(id); built != clipIndex_.end())
        return built->second;
    const XmlNode* node = FindId(id);
    if (!node || node->name != "clipPath") {
        Warn(Format("clip-path refers to a missing clip path: %s", id));
        return -1;
    }
    if (clipsBuilding_.count(id) || referenceDepth_ >= kSvgMaxReferenceDepth) {
        Warn(Format("Clip path %s refers to itself or nests too deep", id));
        return -1;
    }
    clipsBuilding_.insert(id);
    ++referenceDepth_;
    // The clip path is built in its own state: the initial presentation, in mode 1, in the
    // user space of whoever refers to it (the referrer's transformation is added when used).
    Path outerPath = std::move(referencePath_);
    referencePath_ = Path();
    const SvgFillRule outerRule = referenceRule_;
    std::unique_ptr<TextBlock> outerText = std::move(text_);
    PresentationState clipState;
    clipState.mode = DefinitionMode::Reference;
    if (const std::string* transform = node->FindAttribute("transform"))
        ApplySvgTransformList(*transform, clipState.transform);
    states_.push_back(clipState);
    WalkChildren(*node, 0);
    states_.pop_back();
    ClipDefinition clip{std::move(referencePath_), referenceRule_};
    referencePath_ = std::move(outerPath);
    referenceRule_ = outerRule;
    text_ = std::move(outerText);
    --referenceDepth_;
    clipsBuilding_.erase(id);
    const int index = static_cast<int>(clips_.size());
    clips_.push_back(std::move(clip));
    clipIndex_[id] = index;
    return index;
}

// ---------------------------------------------------------------------------------------------
// Whole document

namespace {

void ExtendBounds(double& maxX, double& maxY, const Matrix& m, Point p)
{
    const Point q = m.Apply(p);
    if (std::isfinite(q.x))
        maxX = std::max(maxX, q.x);
    if (std::isfinite(q.y))
        maxY = std::max(maxY, q.y);
}

} // namespace

SvgStatus SvgParser::Run()
{
    for (const XmlNode* child = root_.firstChild.get(); child; child = child->next.get()) {
        if (child->IsElement()) {
            svgElement_ = child;
            break;
        }
    }
    if (!svgElement_) {
        Warn("The page has no root element");
        return SvgStatus::Failed;
    }
    CollectIds();
    ReadDocumentSize(*svgElement_);
    states_.emplace_back();
    Walk(*svgElement_, 0);
    if (cancelled_)
        return SvgStatus::Cancelled;
    if (missingGradient_)
        return SvgStatus::Failed;

    if (document_.width == 0 || document_.height == 0) {
        // No usable size: the page is as large as what is drawn on it.
        double maxX = 0, maxY = 0;
        for (const SvgItem& item : document_.items) {
            const Matrix m = document_.rootTransform.After(item.transform);
            for (const Segment& segment : item.path.segments()) {
                const int count = segment.kind == SegmentKind::Cubic ? 3 : segment.kind == SegmentKind::Close ? 0 : 1;
                for (int i = 0; i < count; ++i)
                    ExtendBounds(maxX, maxY, m, segment.points[i]);
            }
            if (item.kind == SvgItemKind::Text && !item.text.x.empty() && !item.text.y.empty())
                ExtendBounds(maxX, maxY, m, {item.text.x[0], item.text.y[0]});
        }
        document_.width = std::round(maxX);
        document_.height = std::round(maxY);
    }
    document_.unitFactorX = document_.unitFactorY = 0.26458332;
    if (sink_)
        sink_->ReportProgress(1.0);
    return SvgStatus::Ok;
}

} // namespace

SvgStatus ParseSvgTree(const XmlNode& root, SvgDocument& document, ProgressSink* sink)
{
    return SvgParser(root, document, sink).Run();
}

SvgStatus ParseSvg(std::string_view text, SvgDocument& document, ProgressSink* sink)
{
    XmlNode root;
    std::function<bool()> isCancelled;
    if (sink)
        isCancelled = [sink] { return sink->IsCancelled(); };
    // The reader's error is kept for the log; the page is drawn from whatever tree it built.
    document.xmlError = ReadXml(text, root, std::move(isCancelled));
    if (sink) {
        if (sink->IsCancelled())
            return SvgStatus::Cancelled;
        sink->ReportProgress(0.2);
    }
    return ParseSvgTree(root, document, sink);
}

} // namespace tavolex::pdf
