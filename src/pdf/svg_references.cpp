// References: gradients (with what they inherit through "xlink:href") and clip paths, each built
// the first time a paint or a "clip-path" names it, and looked up by id after.
#include "svg_parser.h"

#include "core.h"

#include <algorithm>

namespace tavolex::pdf {

// What a gradient element says itself; what it leaves unsaid comes from the gradient that its
// "xlink:href" names, if any.
struct GradientAttributes {
    SvgGradient gradient;
    std::string href;
    bool ownUnits = false, ownSpread = false, ownTransform = false;
    bool ownX1 = false, ownY1 = false, ownX2 = false, ownY2 = false, ownCx = false, ownCy = false, ownR = false,
         ownFx = false, ownFy = false;
};

namespace {

struct GradientCoordinate {
    std::string_view name;
    Length SvgGradient::*value;
    bool GradientAttributes::*own;
};
// The focus (fx, fy) last: it is inherited apart, see InheritGradient.
constexpr GradientCoordinate kGradientCoordinates[] = {
    {"x1", &SvgGradient::x1, &GradientAttributes::ownX1}, {"y1", &SvgGradient::y1, &GradientAttributes::ownY1},
    {"x2", &SvgGradient::x2, &GradientAttributes::ownX2}, {"y2", &SvgGradient::y2, &GradientAttributes::ownY2},
    {"cx", &SvgGradient::cx, &GradientAttributes::ownCx}, {"cy", &SvgGradient::cy, &GradientAttributes::ownCy},
    {"r", &SvgGradient::r, &GradientAttributes::ownR},    {"fx", &SvgGradient::fx, &GradientAttributes::ownFx},
    {"fy", &SvgGradient::fy, &GradientAttributes::ownFy},
};
constexpr size_t kInheritedPlainly = 7; // the coordinates before the focus

constexpr std::pair<std::string_view, SpreadMethod> kSpreadMethods[] = {
    {"reflect", SpreadMethod::Reflect}, {"repeat", SpreadMethod::Repeat}, {"pad", SpreadMethod::Pad}};

bool IsGradient(const XmlNode* node)
{
    return node && (node->name == "linearGradient" || node->name == "radialGradient");
}

// The defaults of SVG 1.1 section 13.2 for what neither the gradient nor what it inherits sets.
void ApplyGradientDefaults(const XmlNode& node, GradientAttributes& attributes)
{
    SvgGradient& gradient = attributes.gradient;
    if (node.name == "linearGradient") {
        gradient.kind = SvgGradientKind::Linear;
        if (gradient.x1.value == 0 && gradient.y1.value == 0 && gradient.x2.value == 0 && gradient.y2.value == 0)
            gradient.x2 = Length{1, true};
    } else {
        gradient.kind = SvgGradientKind::Radial;
        for (Length* coordinate : {&gradient.cx, &gradient.cy, &gradient.r})
            if (coordinate->value == 0)
                *coordinate = Length{0.5, true};
        if (!attributes.ownFx)
            gradient.fx = gradient.cx;
        if (!attributes.ownFy)
            gradient.fy = gradient.cy;
    }
}

} // namespace

int SvgParser::BuildGradient(const std::string& id, int chain)
{
    if (const auto built = gradientIndex_.find(id); built != gradientIndex_.end())
        return built->second;
    if (gradientsBuilding_.count(id)) {
        Warn(Format("Gradient %s inherits from itself", id));
        return -1;
    }
    const XmlNode* node = FindId(id);
    if (!IsGradient(node))
        return -1;
    gradientsBuilding_.insert(id);

    GradientAttributes attributes = ReadGradientAttributes(*node);
    attributes.gradient.stops = ReadGradientStops(*node);
    if (!attributes.href.empty() && !InheritGradient(id, chain, attributes))
        return -1;
    SvgGradient& gradient = attributes.gradient;
    if (!IsFinite(gradient.transform)) {
        Warn(Format("Gradient %s has a transformation that overflows; it is not used", id));
        gradient.transform = Matrix();
    }
    gradient.id = id;
    ApplyGradientDefaults(*node, attributes);
    gradientsBuilding_.erase(id);
    const int index = static_cast<int>(document_.gradients.size());
    document_.gradients.push_back(std::move(gradient));
    gradientIndex_[id] = index;
    return index;
}

GradientAttributes SvgParser::ReadGradientAttributes(const XmlNode& node)
{
    GradientAttributes attributes;
    SvgGradient& gradient = attributes.gradient;
    ForEachDeclaration(node, true, [&](std::string_view name, std::string_view value) {
        if (name == "gradientUnits") {
            gradient.units = value == "userSpaceOnUse" ? SvgGradientUnits::UserSpace : SvgGradientUnits::ObjectBoundingBox;
            attributes.ownUnits = true;
        } else if (name == "spreadMethod") {
            const std::optional<SpreadMethod> spread = FindKeyword(kSpreadMethods, value);
            if (spread)
                gradient.spread = *spread;
            attributes.ownSpread = spread.has_value();
        } else if (name == "gradientTransform") {
            ApplySvgTransformList(value, gradient.transform);
            attributes.ownTransform = true;
        } else if (name == "xlink:href" || name == "href") {
            attributes.href = std::string(value);
        } else {
            for (const GradientCoordinate& coordinate : kGradientCoordinates) {
                if (coordinate.name != name)
                    continue;
                if (const std::optional<Length> length = ParseSvgLength(value, 16)) {
                    gradient.*coordinate.value = *length;
                    attributes.*coordinate.own = true;
                }
                break;
            }
        }
    });
    return attributes;
}

// The stops, each offset at least the one before (SVG 1.1 section 13.2.4).
std::vector<SvgGradientStop> SvgParser::ReadGradientStops(const XmlNode& node)
{
    std::vector<SvgGradientStop> stops;
    for (const XmlNode* child = node.firstChild.get(); child; child = child->next.get()) {
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
    return stops;
}

// The values of the gradient that `attributes.href` names, where this one does not set them.
// False, with the gradient marked as failed, when that names no gradient.
bool SvgParser::InheritGradient(const std::string& id, int chain, GradientAttributes& attributes)
{
    SvgGradient& gradient = attributes.gradient;
    const std::string& href = attributes.href;
    const std::string baseId = ReferenceName(href);
    if (!IsGradient(FindId(baseId))) {
        Warn(Format("Gradient %s inherits from a missing gradient: %s", id, href));
        missingGradient_ = true;
        gradientsBuilding_.erase(id);
        gradientIndex_[id] = -1;
        return false;
    }
    const int baseIndex = chain + 1 >= kSvgMaxGradientChain ? -1 : BuildGradient(baseId, chain + 1);
    if (chain + 1 >= kSvgMaxGradientChain)
        Warn(Format("Gradient chain longer than %d is cut at %s", kSvgMaxGradientChain, id));
    if (baseIndex < 0)
        return true;
    // The referenced gradient's values first; what this one sets itself overrides them.
    const SvgGradient& inherited = document_.gradients[size_t(baseIndex)];
    if (!attributes.ownUnits)
        gradient.units = inherited.units;
    if (!attributes.ownSpread)
        gradient.spread = inherited.spread;
    if (!attributes.ownTransform)
        gradient.transform = inherited.transform;
    for (size_t i = 0; i < kInheritedPlainly; ++i) {
        const GradientCoordinate& coordinate = kGradientCoordinates[i];
        if (!(attributes.*coordinate.own))
            gradient.*coordinate.value = inherited.*coordinate.value;
    }
    // An inherited focus counts as set where it is not the default 0, so that it does not
    // follow this gradient's own centre.
    if (!attributes.ownFx) {
        gradient.fx = inherited.fx;
        attributes.ownFx = inherited.fx.value != 0 || inherited.fx.percent;
    }
    if (!attributes.ownFy) {
        gradient.fy = inherited.fy;
        attributes.ownFy = inherited.fy.value != 0 || inherited.fy.percent;
    }
    if (gradient.stops.empty())
        gradient.stops = inherited.stops;
    return true;
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

} // namespace tavolex::pdf
