// The SVG parser's inside: the walk over an XML element tree that builds an SvgDocument (svg.h).
//
// One SvgParser serves one page. It keeps a stack of presentation states (a child starts from a
// copy of its parent's), the id table, and the gradients and clip paths built so far; its work
// is spread over files by subject:
//
//     svg_parse.cpp       the walk, the page size, the ids, the entry points
//     svg_styles.cpp      class rules, declarations, presentation properties and inheritance
//     svg_geometry.cpp    geometry attributes, shapes, pictures, "use", the items made
//     svg_text.cpp        text blocks, runs and their position lists
//     svg_references.cpp  gradients and clip paths, built when first referred to
#pragma once

#include "svg.h"

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavolex::pdf {

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

std::string_view TrimSpaces(std::string_view text);
// The name inside "url(#name)", or after "#" in a reference.
std::string ReferenceName(std::string_view value);
// Every number finite: a product of huge values (scale(1e300) twice) may not be.
bool IsFinite(const Matrix& m);
bool IsFinite(const Path& path);

struct GradientAttributes;

// The first meaning of `value` in a table of keywords.
template<class Value, size_t Count>
std::optional<Value> FindKeyword(const std::pair<std::string_view, Value> (&table)[Count], std::string_view value)
{
    for (const auto& [keyword, meaning] : table)
        if (keyword == value)
            return meaning;
    return std::nullopt;
}

class SvgParser {
public:
    SvgParser(const XmlNode& root, SvgDocument& document, ProgressSink* sink)
        : root_(root), document_(document), sink_(sink)
    {
    }

    SvgStatus Run();

private:
    // A declaration's name and value, trimmed.
    using DeclarationVisitor = std::function<void(std::string_view name, std::string_view value)>;

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
    std::vector<double> ResolveLengthList(std::string_view value, LengthAxis axis);

    void ForEachDeclaration(const XmlNode& node, bool skipTransform, const DeclarationVisitor& visit);
    void CollectIds();
    void ReadDocumentSize(const XmlNode& svg);
    void SizeFromContent();
    void ReadClassRules(std::string_view text);
    void ReadClassRule(std::string_view selector, std::string_view declarations);

    // --- walk
    void Walk(const XmlNode& node, int depth);
    void WalkChildren(const XmlNode& node, int depth);
    void ApplyDeclaration(std::string_view name, std::string_view value, ElementValues& values,
                          const XmlNode& node);
    bool ApplyPresentation(std::string_view property, std::string_view declared);
    using PresentationProperty = std::pair<std::string_view, void (*)(SvgParser& parser, std::string_view value)>;
    static const PresentationProperty kPresentationProperties[];
    void ApplyGeometry(std::string_view name, std::string_view value, ElementValues& values, const XmlNode& node);
    void ApplyPaint(std::string_view value, SvgPaint& paint);
    void ApplyOpacity(std::string_view value, SvgPaint& paint);
    void HandleElement(const XmlNode& node, ElementValues& values, int depth);
    std::optional<Path> ShapeGeometry(const XmlNode& node, const ElementValues& values, SvgItemKind& kind);
    void AddShape(const XmlNode& node, const ElementValues& values);
    void AddImage(const ElementValues& values);
    using ItemContent = decltype(SvgItem::content);
    SvgItem MakeItem(ItemContent content);
    void AddItem(SvgItem item);
    void Use(const ElementValues& values, int depth);

    // --- text
    void WalkText(const XmlNode& node, ElementValues& values, int depth);
    void WalkTextBlock(const XmlNode& node, ElementValues& values, int depth);
    void WalkReferencedText(const XmlNode& node, const ElementValues& values, int depth);
    void WalkTextContent(const XmlNode& node, int depth);
    void AddRun(std::string_view characters, bool preserveSpace);
    bool PushPositions(const ElementValues& values);

    // --- references
    int BuildGradient(const std::string& id, int chain);
    GradientAttributes ReadGradientAttributes(const XmlNode& node);
    std::vector<SvgGradientStop> ReadGradientStops(const XmlNode& node);
    bool InheritGradient(const std::string& id, int chain, GradientAttributes& attributes);
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

} // namespace tavolex::pdf
