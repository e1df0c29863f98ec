// The walk that turns an XML element tree into an SvgDocument: the page's size and ids, then
// every element in document order with the state it inherits (svg_parser.h lists the rest).
#include "svg.h"

#include "core.h"
#include "svg_parser.h"

#include <algorithm>
#include <cmath>

namespace tavolex::pdf {

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

// ---------------------------------------------------------------------------------------------
// Whole document

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
    if (document_.width == 0 || document_.height == 0)
        SizeFromContent();
    document_.unitFactorX = document_.unitFactorY = 0.26458332;
    if (sink_)
        sink_->ReportProgress(1.0);
    return SvgStatus::Ok;
}

// No usable size: the page is as large as what is drawn on it.
void SvgParser::SizeFromContent()
{
    double maxX = 0, maxY = 0;
    for (const SvgItem& item : document_.items) {
        const Matrix m = document_.rootTransform.After(item.transform);
        for (const Segment& segment : item.path.segments()) {
            const int count = segment.kind == SegmentKind::Cubic ? 3 : segment.kind == SegmentKind::Close ? 0 : 1;
            for (int i = 0; i < count; ++i)
                ExtendBounds(maxX, maxY, m, segment.points[i]);
        }
        const SvgTextRun* text = item.text();
        if (item.kind() == SvgItemKind::Text && !text->x.empty() && !text->y.empty())
            ExtendBounds(maxX, maxY, m, {text->x[0], text->y[0]});
    }
    document_.width = std::round(maxX);
    document_.height = std::round(maxY);
}

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
