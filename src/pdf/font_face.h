// A font file loaded for the text layer: mapped read-only, opened by FreeType, shaped by
// HarfBuzz, with the metrics the PDF needs in font units.
//
//     FreeTypeLibrary freetype;
//     std::unique_ptr<Face> face = Face::Load(freetype.library, file);
//     double width = face->Advance(face->Glyph(U'A')) / face->unitsPerEm();
#pragma once

#include "geometry.h"
#include "stored_font_lookups.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include <hb.h>
#include <sys/mman.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavolex::pdf {

// A font file mapped read-only: FreeType and the subsetter read it in place, and documents
// written one after another share the pages the system already holds.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile()
    {
        if (address_ != MAP_FAILED)
            munmap(address_, size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool Open(const std::string& path);
    std::string_view bytes() const { return {static_cast<const char*>(address_), size_}; }

private:
    void* address_ = MAP_FAILED;
    size_t size_ = 0;
};

struct FreeTypeLibrary {
    FT_Library library = nullptr;
    FreeTypeLibrary() { FT_Init_FreeType(&library); }
    ~FreeTypeLibrary()
    {
        if (library)
            FT_Done_FreeType(library);
    }
    FreeTypeLibrary(const FreeTypeLibrary&) = delete;
    FreeTypeLibrary& operator=(const FreeTypeLibrary&) = delete;
};

// A loaded font file: its bytes (kept for the subsetter), FreeType's face and the metrics the
// PDF needs, in font units.
class Face {
public:
    // Nothing when the file does not load or holds neither TrueType nor CFF outlines.
    static std::unique_ptr<Face> Load(FT_Library library, const FontFile& file);

    ~Face();
    Face(const Face&) = delete;
    Face& operator=(const Face&) = delete;

    FT_Face ft() const { return face_; }
    std::string_view data() const { return data_; }
    int index() const { return index_; }
    bool isCff() const { return cff_; }
    bool isBold() const { return bold_; }
    bool isItalic() const { return italic_; }
    double unitsPerEm() const { return face_->units_per_EM; }
    double ascent() const { return face_->ascender; }
    double descent() const { return face_->descender; }

    unsigned Glyph(char32_t c)
    {
        const auto found = glyphs_.find(c);
        if (found != glyphs_.end())
            return found->second;
        const unsigned glyph = FT_Get_Char_Index(face_, c);
        glyphs_.emplace(c, glyph);
        return glyph;
    }

    // The advance in font units.
    double Advance(unsigned glyph)
    {
        const auto found = advances_.find(glyph);
        if (found != advances_.end())
            return found->second;
        FT_Fixed advance = 0;
        if (FT_Get_Advance(face_, glyph, FT_LOAD_NO_SCALE, &advance) != 0)
            advance = 0;
        advances_.emplace(glyph, static_cast<double>(advance));
        return static_cast<double>(advance);
    }

    // The glyphs and advances (font units, kerning applied) that HarfBuzz gives the characters,
    // as a browser shapes them but without ligatures, so that each character keeps a glyph of its
    // own and the text stays extractable. Nothing when shaping does not map the characters one to
    // one in order (a script that reorders or joins them): the caller then takes the cmap.
    std::optional<std::vector<std::pair<unsigned, double>>> Shape(const std::u32string& characters);

    double CapHeight() const;
    double ItalicAngle() const;
    bool IsFixedPitch() const { return FT_IS_FIXED_WIDTH(face_); }

    // Offset of the middle of the decoration lines above the baseline, and their thickness, in
    // font units.
    std::pair<double, double> Underline() const;
    std::pair<double, double> LineThrough() const;

    // The glyph's outline scaled by `scale` (user units per font unit), flipped to y downward
    // and moved to `origin` through `placement`.
    void AppendOutline(Path& path, unsigned glyph, double scale, const Matrix& placement);

private:
    Face() = default;
    MappedFile mapping_;
    std::string_view data_; // the mapped file
    int index_ = 0;
    FT_Face face_ = nullptr;
    bool cff_ = false;
    bool bold_ = false;
    bool italic_ = false;
    std::unordered_map<char32_t, unsigned> glyphs_;
    std::unordered_map<unsigned, double> advances_;
    hb_font_t* shaper_ = nullptr; // made on first use, in font units
};

} // namespace tavolex::pdf
