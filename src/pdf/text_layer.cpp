#include "text_layer.h"

#include "font_embedding.h"
#include "font_lookup.h"
#include "font_names.h"

namespace tavolex::pdf {

Face* TextLayer::LoadFace(const FontFile& file)
{
    const std::string key = file.path + "#" + std::to_string(file.index);
    const auto found = faces.find(key);
    if (found != faces.end())
        return found->second.get();
    auto face = Face::Load(freetype.library, file);
    Face* raw = face.get();
    faces.emplace(key, std::move(face)); // a file that does not load is remembered as such
    return raw;
}

Face* TextLayer::Fallback()
{
    if (!fallbackLoaded) {
        fallbackLoaded = true;
        for (const FontFile& file : FindFontFiles("sans-serif", 400, false))
            if ((fallback = LoadFace(file)) != nullptr)
                break;
    }
    return fallback;
}

const RunFont& TextLayer::Resolve(const FontRequest& request)
{
    std::string key = request.family;
    key += '|';
    key += std::to_string(request.weight);
    key += request.italic ? "|i" : "|r";
    const auto found = requests.find(key);
    if (found != requests.end())
        return found->second;

    RunFont resolved;
    if (freetype.library && !standardOnly)
        resolved.embedded = Embed(request);
    if (!resolved.embedded) {
        const std::vector<std::string> families = SplitFamilies(request.family);
        resolved.standardName =
            StandardFontName(families.empty() ? std::string_view() : std::string_view(families.front()),
                             request.weight >= 600, request.italic);
        resolved.standardKind = StandardKind(resolved.standardName);
    }
    return requests.emplace(key, std::move(resolved)).first->second;
}

// The first of fontconfig's files for the request that loads, embedded under the name the request
// makes ("DejaVuSans,Bold"); nothing when none loads.
EmbeddedFont* TextLayer::Embed(const FontRequest& request)
{
    const bool bold = request.weight >= 600;
    std::string name = WithoutSpaces(request.family);
    if (bold || request.italic)
        name += bold && request.italic ? ",BoldItalic" : bold ? ",Bold" : ",Italic";
    // Weights between the two named ones load their own file under their own name.
    if (request.weight != 400 && request.weight != 700)
        name += "-W" + std::to_string(request.weight);
    // Nearly always the best match is a font that loads; the ranked list is only asked for when
    // it is not.
    std::vector<FontFile> files = FindFontFiles(request.family, request.weight, request.italic, FontChoice::Best);
    if (files.empty() || !LoadFace(files.front()))
        files = FindFontFiles(request.family, request.weight, request.italic, FontChoice::Ranked);
    for (const FontFile& file : files) {
        Face* face = LoadFace(file);
        if (!face)
            continue;
        auto& font = fonts[name];
        if (!font) {
            font = std::make_unique<EmbeddedFont>();
            font->name = name;
            font->resource = ResourceName("/FNT_EMD_", name);
            font->face = face;
            font->fauxBold = bold && !face->isBold();
            font->fauxItalic = request.italic && !face->isItalic();
        }
        return font.get();
    }
    return nullptr;
}

TextLayer& Layer(PdfDocument& document)
{
    auto& state = document.textLayer();
    if (!state) {
        state = std::make_unique<TextLayer>();
        document.AddFinishStep(WriteEmbeddedFonts);
    }
    return static_cast<TextLayer&>(*state);
}

void UseStandardFontsOnly(PdfDocument& document)
{
    TextLayer& layer = Layer(document);
    layer.standardOnly = true;
    layer.requests.clear();
}

ResolvedFont ResolveFont(PdfDocument& document, const FontRequest& font)
{
    const RunFont& run = Layer(document).Resolve(font);
    ResolvedFont resolved;
    if (run.embedded) {
        resolved.embedded = true;
        resolved.name = run.embedded->name;
        for (const auto& [key, face] : Layer(document).faces)
            if (face.get() == run.embedded->face)
                resolved.file = key.substr(0, key.rfind('#'));
        resolved.fauxBold = run.embedded->fauxBold;
        resolved.fauxItalic = run.embedded->fauxItalic;
    } else {
        resolved.name = run.standardName;
    }
    return resolved;
}

} // namespace tavolex::pdf
