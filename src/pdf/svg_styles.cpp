// Styles and inheritance: class rules of "style" elements, an element's declarations in the order
// they take effect, and the presentation properties, each of which changes the state that the
// element's children inherit.
#include "svg_parser.h"

#include "core.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tavolex::pdf {

namespace {

// Declarations kept for one class. Every element of that class applies all of them, so a page
// that repeats a rule many times must not make each element cost as much as the whole page.
constexpr size_t kMaxClassText = 16384;

// The keywords of the presentation properties; any other value leaves the property as it was.
constexpr std::pair<std::string_view, SvgFillRule> kFillRules[] = {{"nonzero", SvgFillRule::NonZero},
                                                                  {"evenodd", SvgFillRule::EvenOdd}};
constexpr std::pair<std::string_view, SvgLineCap> kLineCaps[] = {
    {"butt", SvgLineCap::Butt}, {"round", SvgLineCap::Round}, {"square", SvgLineCap::Square}};
constexpr std::pair<std::string_view, SvgLineJoin> kLineJoins[] = {
    {"miter", SvgLineJoin::Miter}, {"round", SvgLineJoin::Round}, {"bevel", SvgLineJoin::Bevel}};
constexpr std::pair<std::string_view, SvgTextAnchor> kTextAnchors[] = {
    {"start", SvgTextAnchor::Start}, {"middle", SvgTextAnchor::Middle}, {"end", SvgTextAnchor::End}};
constexpr std::pair<std::string_view, bool> kFontStyles[] = {{"normal", false}, {"italic", true}, {"oblique", true}};

// 0 to 255 from an opacity written as a number or a percentage.
std::optional<uint8_t> OpacityByte(std::string_view value)
{
    const std::optional<Length> length = ParseSvgLength(value, 16);
    if (!length)
        return std::nullopt;
    const double opacity = std::min(length->value, 1.0);
    return opacity <= 0 ? uint8_t(0) : static_cast<uint8_t>(opacity * 255);
}

// The table's meaning of `value` into `target`; any other value leaves it as it was.
template<class Value, size_t Count>
void SetKeyword(const std::pair<std::string_view, Value> (&table)[Count], std::string_view value, Value& target)
{
    if (const std::optional<Value> meaning = FindKeyword(table, value))
        target = *meaning;
}

// "font-weight": a keyword, a step from the inherited weight, or a multiple of 100 from 100 to
// 900; nothing for anything else.
std::optional<int> ParseFontWeight(std::string_view value, int inherited)
{
    if (value == "normal")
        return 400;
    if (value == "bold")
        return 700;
    if (value == "bolder")
        return std::min(900, inherited + 100);
    if (value == "lighter")
        return std::max(100, inherited - 100);
    const std::vector<double> weight = ParseSvgNumberList(value, 2);
    if (weight.size() == 1 && weight[0] >= 100 && weight[0] <= 900 && std::fmod(weight[0], 100) == 0)
        return static_cast<int>(weight[0]);
    return std::nullopt;
}

// "stroke-dasharray" on the pen: "none", or a list that an odd count repeats once; a list of
// zeros is solid. False, the pen unchanged, for a list with a negative value.
bool ApplyDashArray(std::string_view value, SvgPen& pen)
{
    if (TrimSpaces(value) == "none") {
        pen.dash = DashStyle::Solid;
        pen.dashes.clear();
        return true;
    }
    std::vector<double> dashes = ParseSvgNumberList(value, 100);
    double sum = 0;
    bool negative = false;
    for (double dash : dashes) {
        sum += dash;
        negative = negative || dash < 0;
    }
    if (negative)
        return false;
    if (dashes.empty() || sum == 0) {
        pen.dash = DashStyle::Solid;
        pen.dashes.clear();
        return true;
    }
    if (dashes.size() % 2 == 1)
        dashes.insert(dashes.end(), dashes.begin(), dashes.end());
    pen.dash = DashStyle::Custom;
    pen.dashes = std::move(dashes);
    return true;
}

// "text-decoration": words separated by spaces, "none" clearing what came before it.
void ApplyTextDecoration(std::string_view value, PresentationState& state)
{
    TextCursor cursor(value);
    while (!cursor.AtEnd()) {
        cursor.ConsumeWhile([](char c) { return c == ' '; });
        const std::string_view word = cursor.ConsumeWhile([](char c) { return c != ' '; });
        if (word == "none")
            state.underline = state.lineThrough = false;
        else if (word == "underline")
            state.underline = true;
        else if (word == "line-through")
            state.lineThrough = true;
    }
}

} // namespace

// Class rules of a "style" element: "selector { declarations }" in sequence.
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
        ReadClassRule(TrimSpaces(selector), declarations);
    }
}

// Only selectors that begin with "." are used; each comma-separated piece that begins with "."
// names a class.
void SvgParser::ReadClassRule(std::string_view selector, std::string_view declarations)
{
    if (!selector.starts_with('.')) {
        Warn(Format("Style rule for %s is not a class rule and is ignored", selector));
        return;
    }
    size_t start = 0;
    while (start <= selector.size()) {
        size_t comma = selector.find(',', start);
        if (comma == std::string_view::npos)
            comma = selector.size();
        const std::string_view piece = selector.substr(start, comma - start);
        if (piece.starts_with('.')) {
            const std::string name(TrimSpaces(piece.substr(1)));
            std::string& stored = document_.classes[name];
            if (stored.size() + declarations.size() > kMaxClassText) {
                Warn(Format("Class %s has too many declarations; the rest are ignored", name));
            } else {
                if (!stored.empty())
                    stored += ';';
                stored += declarations;
            }
        }
        start = comma + 1;
    }
}

// The declarations of an element in the order they take effect: "transform" first, then the
// attributes as written, a "style" attribute and each class of "class" expanded in place.
void SvgParser::ForEachDeclaration(const XmlNode& node, bool skipTransform, const DeclarationVisitor& visit)
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

void SvgParser::ApplyDeclaration(std::string_view name, std::string_view value, ElementValues& values,
                                 const XmlNode& node)
{
    if (!ApplyPresentation(name, value))
        ApplyGeometry(name, value, values, node);
}

// The properties that the element's children inherit. Each handler looks the state up itself:
// building a clip path pushes states of its own, so a reference taken before may move.
const SvgParser::PresentationProperty SvgParser::kPresentationProperties[] = {
    {"transform",
     [](SvgParser& parser, std::string_view value) {
         Matrix local;
         if (ApplySvgTransformList(value, local) > 0)
             parser.Warn(Format("Parts of a transformation are passed over: %s", value));
         parser.state().transform = parser.state().transform.After(local);
     }},
    {"fill", [](SvgParser& parser, std::string_view value) { parser.ApplyPaint(value, parser.state().fill); }},
    {"stroke", [](SvgParser& parser, std::string_view value) { parser.ApplyPaint(value, parser.state().stroke); }},
    {"fill-opacity", [](SvgParser& parser, std::string_view value) { parser.ApplyOpacity(value, parser.state().fill); }},
    {"opacity", [](SvgParser& parser, std::string_view value) { parser.ApplyOpacity(value, parser.state().fill); }},
    {"stroke-opacity",
     [](SvgParser& parser, std::string_view value) { parser.ApplyOpacity(value, parser.state().stroke); }},
    {"fill-rule",
     [](SvgParser& parser, std::string_view value) { SetKeyword(kFillRules, value, parser.state().fillRule); }},
    {"clip-rule",
     [](SvgParser& parser, std::string_view value) { SetKeyword(kFillRules, value, parser.state().clipRule); }},
    {"stroke-width",
     [](SvgParser& parser, std::string_view value) {
         const std::optional<double> width = parser.ResolveLength(value, LengthAxis::Diagonal);
         if (width && *width >= 0)
             parser.state().pen.width = *width;
     }},
    {"stroke-linecap",
     [](SvgParser& parser, std::string_view value) { SetKeyword(kLineCaps, value, parser.state().pen.cap); }},
    {"stroke-linejoin",
     [](SvgParser& parser, std::string_view value) { SetKeyword(kLineJoins, value, parser.state().pen.join); }},
    {"stroke-miterlimit",
     [](SvgParser& parser, std::string_view value) {
         const std::vector<double> limit = ParseSvgNumberList(value, 1);
         if (!limit.empty())
             parser.state().pen.miterLimit = std::max(1.0, limit[0]);
     }},
    {"stroke-dasharray",
     [](SvgParser& parser, std::string_view value) {
         if (!ApplyDashArray(value, parser.state().pen))
             parser.Warn(Format("A dash array with a negative value is ignored: %s", value));
     }},
    {"font-family",
     [](SvgParser& parser, std::string_view value) {
         parser.state().font.family = std::string(CutUtf8ToUnits(value, 259));
     }},
    {"font-weight",
     [](SvgParser& parser, std::string_view value) {
         if (const std::optional<int> weight = ParseFontWeight(value, parser.state().font.weight))
             parser.state().font.weight = *weight;
     }},
    {"font-style",
     [](SvgParser& parser, std::string_view value) { SetKeyword(kFontStyles, value, parser.state().font.italic); }},
    {"font-size",
     [](SvgParser& parser, std::string_view value) {
         Font& font = parser.state().font;
         const std::optional<Length> size = ParseSvgLength(value, font.size);
         if (size && size->value > 0)
             font.size = size->percent ? font.size * size->value : size->value;
     }},
    {"text-anchor",
     [](SvgParser& parser, std::string_view value) { SetKeyword(kTextAnchors, value, parser.state().anchor); }},
    {"text-decoration",
     [](SvgParser& parser, std::string_view value) { ApplyTextDecoration(value, parser.state()); }},
    {"clip-path",
     [](SvgParser& parser, std::string_view value) {
         if (TrimSpaces(value) == "none") {
             parser.state().clip = -1;
             return;
         }
         const int clip = parser.BuildClip(ReferenceName(value));
         if (clip >= 0) {
             parser.state().clip = clip;
             parser.state().clipAt = parser.state().transform;
         }
     }},
    {"mask", [](SvgParser& parser, std::string_view value) { parser.state().mask = std::string(value); }},
};

bool SvgParser::ApplyPresentation(std::string_view property, std::string_view declared)
{
    for (const auto& [name, apply] : kPresentationProperties) {
        if (name == property) {
            apply(*this, declared);
            return true;
        }
    }
    return false;
}

void SvgParser::ApplyOpacity(std::string_view value, SvgPaint& paint)
{
    if (const std::optional<uint8_t> alpha = OpacityByte(value))
        paint.color.alpha = *alpha;
    else
        Warn(Format("Not an opacity: %s", value));
}

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

} // namespace tavolex::pdf
