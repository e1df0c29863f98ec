// The text layer's state for one document: the font faces it loaded, the fonts it embeds and the
// standard fonts it names, and what each font request resolved to. It is made at the first text
// of a document, which also schedules the embedded fonts to be written when the document is
// finished (font_embedding.h).
//
//     const RunFont& font = Layer(document).Resolve(request);
//     if (font.embedded) { /* font.embedded->face, font.embedded->used */ }
#pragma once

#include "font_face.h"
#include "pdf_fonts.h"
#include "pdf_writer.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavolex::pdf {

// The slant of faux italic: tan(0.3295...) is a shear of about 19 degrees.
inline constexpr double kFauxItalicAngle = 0.32951816258879996;

// One embedded font of the document: a face under the name the runs asked for.
struct EmbeddedFont {
    std::string name;     // "DejaVuSans,Bold"
    std::string resource; // "/FNT_EMD_DejaVuSans_Bold"
    Face* face = nullptr;
    bool fauxBold = false;
    bool fauxItalic = false;
    int object = 0;                   // reserved at first use
    std::map<unsigned, char32_t> used; // glyph -> the character it was drawn for
};

// What a run's request resolved to.
struct RunFont {
    EmbeddedFont* embedded = nullptr;
    std::string standardName; // when not embedded
    int standardKind = -1;
};

class TextLayer : public PdfDocument::LayerState {
public:
    FreeTypeLibrary freetype; // first member: destroyed after every face
    std::map<std::string, std::unique_ptr<Face>> faces; // by "path#index"
    std::map<std::string, std::unique_ptr<EmbeddedFont>> fonts; // by embedded name
    std::map<std::string, RunFont> requests;                     // by family, weight and slant
    std::map<std::string, int> standardObjects;                  // standard font name -> object
    std::vector<EmbeddedFont*> order;                            // embedded fonts in order of first use
    int subsetCounter = 0;
    bool standardOnly = false;
    bool fallbackLoaded = false;
    Face* fallback = nullptr; // fontconfig's sans-serif face for glyphs a font lacks

    // The face of a file, loaded once; a file that does not load is remembered as such (null).
    Face* LoadFace(const FontFile& file);
    // fontconfig's sans-serif face, loaded at first need; null when there is none.
    Face* Fallback();
    // What a request resolves to, the same for every run that asks alike.
    const RunFont& Resolve(const FontRequest& request);

private:
    EmbeddedFont* Embed(const FontRequest& request);
};

// The document's text layer, made at first use.
TextLayer& Layer(PdfDocument& document);

} // namespace tavolex::pdf
