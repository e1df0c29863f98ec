#include "pdf_fonts.h"

#include "core.h"
#include "pdf.h"
#include "pdf_font_widths.h"
#include "stored_font_lookups.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H
#include FT_ADVANCES_H
#include FT_FONT_FORMATS_H
#include <hb-subset.h>
#include <hb.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace tavolex::pdf {

namespace {

// The slant of faux italic: tan(0.3295...) is a shear of about 19 degrees.
constexpr double kFauxItalicAngle = 0.32951816258879996;
// A resource name that would reach this many characters is left empty.
constexpr size_t kResourceNameLimit = 260;
// A CMap block holds at most this many entries (Adobe Technical Note 5014, CMap and CIDFont files).
constexpr size_t kCMapBlockLimit = 100;

// fontconfig's configuration is process-wide; its queries and the registration of folders are
// kept from running at the same time on different export threads.
std::mutex& FontconfigLock()
{
    static std::mutex lock;
    return lock;
}

// ---------------------------------------------------------------------------------------------
// Small text helpers

// UTF-8 to code points; a malformed sequence becomes U+FFFD and reading goes on after its first
// byte.
std::u32string DecodeUtf8(std::string_view text)
{
    std::u32string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length = 0;
        char32_t value = 0;
        if (lead < 0x80) {
            length = 1;
            value = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        }
        bool valid = length > 0 && i + static_cast<size_t>(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80)
                valid = false;
            else
                value = (value << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(value);
        i += static_cast<size_t>(length);
    }
    return out;
}

// "%6.2f": two decimals, right-aligned in six characters.
void AppendFixed2(std::string& out, double value)
{
    if (!std::isfinite(value))
        value = 0;
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    const size_t length = static_cast<size_t>(result.ptr - buffer);
    if (length < 6)
        out.append(6 - length, ' ');
    out.append(buffer, length);
}

void AppendHex4(std::string& out, unsigned value)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int shift = 12; shift >= 0; shift -= 4)
        out.push_back(kDigits[(value >> shift) & 0xF]);
}

// A Unicode value as CMap destination bytes: one UTF-16 unit, or a surrogate pair.
void AppendUnicodeHex(std::string& out, char32_t value)
{
    if (value > 0xFFFF) {
        value -= 0x10000;
        AppendHex4(out, 0xD800 + static_cast<unsigned>(value >> 10));
        AppendHex4(out, 0xDC00 + static_cast<unsigned>(value & 0x3FF));
        return;
    }
    AppendHex4(out, static_cast<unsigned>(value));
}

// A PDF name's characters (PDF 1.4, 3.2.4): regular characters as they are, anything else as #xx.
std::string PdfNameText(std::string_view text)
{
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool regular = byte > 32 && byte < 127 && std::string_view("()<>[]{}/%#").find(c) == std::string_view::npos;
        if (regular) {
            out.push_back(c);
        } else {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            out.push_back('#');
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0xF]);
        }
    }
    return out;
}

// The resource name's tail: letters and digits kept, everything else "_".
std::string ResourceName(std::string_view prefix, std::string_view name)
{
    std::string out(prefix);
    for (char c : name) {
        const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        out.push_back(letterOrDigit ? c : '_');
    }
    if (out.size() >= kResourceNameLimit)
        return std::string(prefix);
    return out;
}

std::string WithoutSpaces(std::string_view text)
{
    std::string out;
    for (char c : text)
        if (c != ' ')
            out.push_back(c);
    return out;
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The families of a CSS font-family list, unquoted and trimmed.
std::vector<std::string> SplitFamilies(std::string_view list)
{
    std::vector<std::string> families;
    std::string current;
    char quote = 0;
    auto finish = [&] {
        const size_t first = current.find_first_not_of(" \t\r\n");
        const size_t last = current.find_last_not_of(" \t\r\n");
        if (first != std::string::npos)
            families.push_back(current.substr(first, last - first + 1));
        current.clear();
    };
    for (char c : list) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                current.push_back(c);
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ',') {
            finish();
        } else {
            current.push_back(c);
        }
    }
    finish();
    return families;
}

// Code page 1252 for the standard fonts' WinAnsiEncoding; '?' for what it cannot hold.
unsigned char ToWinAnsi(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<unsigned char>(c);
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] != 0 && kHigh[i] == c)
            return static_cast<unsigned char>(0x80 + i);
    return '?';
}

constexpr std::string_view kStandardNames[kStandardFontCount] = {
    "Helvetica",   "Helvetica-Bold",   "Helvetica-Oblique",  "Helvetica-BoldOblique", "Times-Roman",
    "Times-Bold",  "Times-Italic",     "Times-BoldItalic",   "Courier",               "Courier-Bold",
    "Courier-Oblique", "Courier-BoldOblique", "Symbol",      "ZapfDingbats"};

int StandardKind(std::string_view name)
{
    for (int i = 0; i < kStandardFontCount; ++i)
        if (kStandardNames[i] == name)
            return i;
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Font files

bool IsGeneric(std::string_view family)
{
    const std::string lower = Lower(family);
    return lower == "serif" || lower == "sans-serif" || lower == "sans" || lower == "monospace" ||
           lower == "cursive" || lower == "fantasy" || lower == "system-ui" || lower == "ms shell dlg 2" ||
           lower == "ms shell dlg";
}

// Lookups already answered, for the life of the process: fontconfig's answers do not change
// until a font folder is registered, which empties the list. A converter fills it on its helper
// thread while the first items are drawn, so the first texts do not wait for fontconfig.
// Where a file was named, answers are also kept there for later processes. When both locks are
// taken, fontconfig's is taken first.
struct FontLookups {
    std::mutex lock;
    std::vector<std::string> addedFolders;
    std::string storeFile;
    bool storeUnread = false;

    // The answers, with the file's read at first use: a converter reads them while its pages are
    // parsed.
    StoredFontLookups& Stored()
    {
        if (storeUnread) {
            storeUnread = false;
            stored.Load(storeFile, addedFolders);
        }
        return stored;
    }

private:
    StoredFontLookups stored;
};

FontLookups& KnownFontLookups()
{
    static FontLookups lookups;
    return lookups;
}

// Loads fontconfig's configuration once, and adds the font folders registered since the last
// call. The caller holds FontconfigLock().
bool LoadFontconfig()
{
    if (!FcInit())
        return false;
    static size_t foldersAdded = 0; // under the fontconfig lock, as fontconfig itself
    std::vector<std::string> pending;
    {
        FontLookups& known = KnownFontLookups();
        std::lock_guard guard(known.lock);
        pending.assign(known.addedFolders.begin() + static_cast<std::ptrdiff_t>(foldersAdded), known.addedFolders.end());
        foldersAdded = known.addedFolders.size();
    }
    for (const std::string& folder : pending)
        if (FcConfigAppFontAddDir(nullptr, reinterpret_cast<const FcChar8*>(folder.c_str())) != FcTrue)
            LogError("fontconfig cannot add the fonts in %s", folder);
    return true;
}

// Which of fontconfig's answers a lookup wants: the best alone is one match, the ranked list a
// sort of every installed font, several times dearer.
enum class FontChoice { Best, Ranked };

// The fonts fontconfig offers for one family, best first, limited to the formats that PDF can
// embed (TrueType outlines and CFF inside OpenType). With `exact`, only faces of that family.
// Best gives fontconfig's best match alone when it qualifies (the first of the ranked list),
// else the ranked list.
std::vector<FontFile> MatchFamily(std::string_view family, int weight, bool italic, bool exact,
                                  FontChoice choice = FontChoice::Ranked)
{
    std::vector<FontFile> found;
    std::lock_guard guard(FontconfigLock());
    if (!LoadFontconfig())
        return found;
    std::string name(family);
    const std::string lower = Lower(family);
    if (lower == "ms shell dlg 2" || lower == "ms shell dlg" || lower == "system-ui" || lower == "sans")
        name = "sans-serif";
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.c_str()));
    FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(weight));
    FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    const std::string wanted = Lower(WithoutSpaces(family));
    const auto consider = [&](FcPattern* font) {
        FcChar8* format = nullptr;
        FcChar8* file = nullptr;
        if (FcPatternGetString(font, FC_FONTFORMAT, 0, &format) != FcResultMatch ||
            FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch)
            return;
        const std::string_view formatText(reinterpret_cast<const char*>(format));
        if (formatText != "TrueType" && formatText != "CFF")
            return;
        if (exact) {
            bool same = false;
            FcChar8* familyName = nullptr;
            for (int k = 0; FcPatternGetString(font, FC_FAMILY, k, &familyName) == FcResultMatch; ++k)
                if (Lower(WithoutSpaces(reinterpret_cast<const char*>(familyName))) == wanted)
                    same = true;
            if (!same)
                return;
        }
        FontFile entry;
        entry.path = reinterpret_cast<const char*>(file);
        FcPatternGetInteger(font, FC_INDEX, 0, &entry.index);
        FcPatternGetInteger(font, FC_WEIGHT, 0, &entry.weight);
        FcPatternGetInteger(font, FC_SLANT, 0, &entry.slant);
        found.push_back(std::move(entry));
    };
    FcResult result = FcResultNoMatch;
    if (choice == FontChoice::Best) {
        if (FcPattern* best = FcFontMatch(nullptr, pattern, &result)) {
            consider(best);
            FcPatternDestroy(best);
        }
    }
    if (found.empty()) {
        FcFontSet* set = FcFontSort(nullptr, pattern, FcFalse, nullptr, &result);
        for (int i = 0; set && i < set->nfont && found.size() < 4; ++i)
            consider(set->fonts[i]);
        if (set)
            FcFontSetDestroy(set);
    }
    FcPatternDestroy(pattern);
    return found;
}

// The first family of the list that is installed, else fontconfig's stand-in for the first
// one, as the browser would have drawn it.
std::vector<FontFile> FindFontFiles(std::string_view familyList, int weight, bool italic,
                                    FontChoice choice = FontChoice::Ranked)
{
    std::string key(familyList);
    key += '|';
    key += std::to_string(weight);
    key += italic ? "|i" : "|r";
    key += choice == FontChoice::Best ? "|best" : "|ranked";
    FontLookups& known = KnownFontLookups();
    std::vector<FontFile> files;
    {
        std::lock_guard guard(known.lock);
        if (known.Stored().Find(key, files))
            return files;
    }
    const std::vector<std::string> families = SplitFamilies(familyList);
    for (const std::string& family : families) {
        files = MatchFamily(family, weight, italic, !IsGeneric(family), choice);
        if (!files.empty())
            break;
    }
    if (files.empty())
        files = MatchFamily(families.empty() ? std::string_view("sans-serif") : std::string_view(families.front()),
                            weight, italic, false, choice);
    std::lock_guard guard(known.lock);
    known.Stored().Add(key, files);
    return files;
}

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

    bool Open(const std::string& path)
    {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct stat info {};
        if (fstat(fd, &info) == 0 && info.st_size > 0) {
            size_ = static_cast<size_t>(info.st_size);
            address_ = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        }
        close(fd);
        return address_ != MAP_FAILED;
    }
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
    static std::unique_ptr<Face> Load(FT_Library library, const FontFile& file)
    {
        auto face = std::unique_ptr<Face>(new Face());
        if (!face->mapping_.Open(file.path))
            return nullptr;
        face->data_ = face->mapping_.bytes();
        face->index_ = file.index;
        if (FT_New_Memory_Face(library, reinterpret_cast<const FT_Byte*>(face->data_.data()),
                               static_cast<FT_Long>(face->data_.size()), file.index, &face->face_) != 0) {
            face->face_ = nullptr;
            return nullptr;
        }
        if (!FT_IS_SFNT(face->face_) || !FT_IS_SCALABLE(face->face_) || face->face_->units_per_EM == 0)
            return nullptr;
        const std::string_view format = FT_Get_Font_Format(face->face_) ? FT_Get_Font_Format(face->face_) : "";
        FT_ULong length = 0;
        face->cff_ = format == "CFF";
        if (face->cff_ && FT_Load_Sfnt_Table(face->face_, FT_MAKE_TAG('C', 'F', 'F', ' '), 0, nullptr, &length) != 0)
            return nullptr; // CFF2 (variable) outlines cannot go into a PDF 1.4 file
        if (!face->cff_ && format != "TrueType")
            return nullptr;
        face->bold_ = file.weight >= FC_WEIGHT_DEMIBOLD;
        face->italic_ = file.slant != FC_SLANT_ROMAN;
        return face;
    }

    ~Face()
    {
        if (shaper_)
            hb_font_destroy(shaper_);
        if (face_)
            FT_Done_Face(face_);
    }
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
    std::optional<std::vector<std::pair<unsigned, double>>> Shape(const std::u32string& characters)
    {
        if (characters.empty())
            return std::nullopt;
        if (!shaper_) {
            hb_blob_t* blob = hb_blob_create(data_.data(), static_cast<unsigned>(data_.size()), HB_MEMORY_MODE_READONLY,
                                             nullptr, nullptr);
            hb_face_t* face = hb_face_create(blob, static_cast<unsigned>(index_));
            shaper_ = hb_font_create(face);
            hb_face_destroy(face);
            hb_blob_destroy(blob);
            hb_font_set_scale(shaper_, face_->units_per_EM, face_->units_per_EM);
        }
        hb_buffer_t* buffer = hb_buffer_create();
        hb_buffer_add_utf32(buffer, reinterpret_cast<const uint32_t*>(characters.data()),
                            static_cast<int>(characters.size()), 0, static_cast<int>(characters.size()));
        hb_buffer_guess_segment_properties(buffer);
        static const hb_feature_t kFeatures[] = {
            {HB_TAG('l', 'i', 'g', 'a'), 0, HB_FEATURE_GLOBAL_START, HB_FEATURE_GLOBAL_END},
            {HB_TAG('c', 'l', 'i', 'g'), 0, HB_FEATURE_GLOBAL_START, HB_FEATURE_GLOBAL_END},
            {HB_TAG('d', 'l', 'i', 'g'), 0, HB_FEATURE_GLOBAL_START, HB_FEATURE_GLOBAL_END},
        };
        hb_shape(shaper_, buffer, kFeatures, std::size(kFeatures));
        unsigned count = 0;
        const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &count);
        const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, &count);
        std::optional<std::vector<std::pair<unsigned, double>>> shaped;
        if (count == characters.size()) {
            shaped.emplace();
            for (unsigned i = 0; i < count && shaped; ++i) {
                if (info[i].cluster != i)
                    shaped.reset();
                else
                    shaped->emplace_back(info[i].codepoint, static_cast<double>(positions[i].x_advance));
            }
        }
        hb_buffer_destroy(buffer);
        return shaped;
    }

    double CapHeight() const
    {
        const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face_, FT_SFNT_OS2));
        if (os2 && os2->version >= 2 && os2->sCapHeight > 0)
            return os2->sCapHeight;
        // Older tables carry no cap height: the top of the "H" is what it means.
        const unsigned h = FT_Get_Char_Index(face_, 'H');
        if (h != 0 && FT_Load_Glyph(face_, h, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) == 0)
            return static_cast<double>(face_->glyph->metrics.horiBearingY);
        return ascent() * 0.7;
    }
    double ItalicAngle() const
    {
        const auto* post = static_cast<const TT_Postscript*>(FT_Get_Sfnt_Table(face_, FT_SFNT_POST));
        return post ? post->italicAngle / 65536.0 : 0;
    }
    bool IsFixedPitch() const { return FT_IS_FIXED_WIDTH(face_); }

    // Offset of the middle of the decoration lines above the baseline, and their thickness, in
    // font units.
    std::pair<double, double> Underline() const
    {
        // FreeType already turns the "post" table's top of the line into its middle.
        double position = face_->underline_position;
        double thickness = face_->underline_thickness;
        if (thickness <= 0) {
            thickness = unitsPerEm() / 14;
            position = -unitsPerEm() / 10;
        }
        return {position, thickness};
    }
    std::pair<double, double> LineThrough() const
    {
        const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face_, FT_SFNT_OS2));
        // OS/2 gives the top of the stroke (as browsers and Pango read it), not its middle.
        if (os2 && os2->yStrikeoutSize > 0)
            return {os2->yStrikeoutPosition - os2->yStrikeoutSize / 2.0, static_cast<double>(os2->yStrikeoutSize)};
        return {unitsPerEm() * 0.3, Underline().second};
    }

    // The glyph's outline scaled by `scale` (user units per font unit), flipped to y downward
    // and moved to `origin` through `placement`.
    void AppendOutline(Path& path, unsigned glyph, double scale, const Matrix& placement)
    {
        if (FT_Load_Glyph(face_, glyph, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0 ||
            face_->glyph->format != FT_GLYPH_FORMAT_OUTLINE)
            return;
        struct Builder {
            Path* path;
            Matrix m;
            Point current;
            bool open = false;
            Point Map(const FT_Vector* v) const { return m.Apply({v->x * 1.0, -v->y * 1.0}); }
        } builder{&path, placement.After(Matrix::Scaling(scale, scale)), {}, false};
        FT_Outline_Funcs funcs{};
        funcs.move_to = [](const FT_Vector* to, void* user) {
            auto* b = static_cast<Builder*>(user);
            if (b->open)
                b->path->Close();
            b->current = b->Map(to);
            b->path->MoveTo(b->current);
            b->open = true;
            return 0;
        };
        funcs.line_to = [](const FT_Vector* to, void* user) {
            auto* b = static_cast<Builder*>(user);
            b->current = b->Map(to);
            b->path->LineTo(b->current);
            return 0;
        };
        funcs.conic_to = [](const FT_Vector* control, const FT_Vector* to, void* user) {
            auto* b = static_cast<Builder*>(user);
            const Point c = b->Map(control);
            const Point end = b->Map(to);
            const Point c1{b->current.x + 2.0 / 3.0 * (c.x - b->current.x), b->current.y + 2.0 / 3.0 * (c.y - b->current.y)};
            const Point c2{end.x + 2.0 / 3.0 * (c.x - end.x), end.y + 2.0 / 3.0 * (c.y - end.y)};
            b->path->CubicTo(c1, c2, end);
            b->current = end;
            return 0;
        };
        funcs.cubic_to = [](const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* user) {
            auto* b = static_cast<Builder*>(user);
            b->current = b->Map(to);
            b->path->CubicTo(b->Map(c1), b->Map(c2), b->current);
            return 0;
        };
        FT_Outline_Decompose(&face_->glyph->outline, &funcs, &builder);
        if (builder.open)
            path.Close();
    }

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

    Face* LoadFace(const FontFile& file)
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

    Face* Fallback()
    {
        if (!fallbackLoaded) {
            fallbackLoaded = true;
            for (const FontFile& file : FindFontFiles("sans-serif", 400, false))
                if ((fallback = LoadFace(file)) != nullptr)
                    break;
        }
        return fallback;
    }

    const RunFont& Resolve(const FontRequest& request)
    {
        const bool bold = request.weight >= 600;
        std::string key = request.family;
        key += '|';
        key += std::to_string(request.weight);
        key += request.italic ? "|i" : "|r";
        const auto found = requests.find(key);
        if (found != requests.end())
            return found->second;

        RunFont resolved;
        std::string name = WithoutSpaces(request.family);
        if (bold || request.italic)
            name += bold && request.italic ? ",BoldItalic" : bold ? ",Bold" : ",Italic";
        // Weights between the two named ones load their own file under their own name.
        if (request.weight != 400 && request.weight != 700)
            name += "-W" + std::to_string(request.weight);
        if (freetype.library && !standardOnly) {
            // Nearly always the best match is a font that loads; the ranked list is only asked
            // for when it is not.
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
                resolved.embedded = font.get();
                break;
            }
        }
        if (!resolved.embedded) {
            const std::vector<std::string> families = SplitFamilies(request.family);
            resolved.standardName =
                StandardFontName(families.empty() ? std::string_view() : std::string_view(families.front()), bold,
                                 request.italic);
            resolved.standardKind = StandardKind(resolved.standardName);
        }
        return requests.emplace(key, std::move(resolved)).first->second;
    }
};

void WriteEmbeddedFonts(PdfDocument& document);

TextLayer& Layer(PdfDocument& document)
{
    auto& state = document.textLayer();
    if (!state) {
        state = std::make_unique<TextLayer>();
        document.AddFinishStep(WriteEmbeddedFonts);
    }
    return static_cast<TextLayer&>(*state);
}

// ---------------------------------------------------------------------------------------------
// Embedded font objects

// The document's font counter as six letters, most significant first.
std::string SubsetTag(int counter)
{
    std::string tag(6, 'A');
    for (int i = 5; i >= 0 && counter > 0; --i) {
        tag[static_cast<size_t>(i)] = static_cast<char>('A' + counter % 26);
        counter /= 26;
    }
    return tag;
}

struct SubsetProgram {
    std::string bytes;
    bool subset = false;
};

// The font program cut to the glyphs used, glyph ids kept, without layout tables or hinting; for
// a CFF font only its CFF table, as a CIDFontType0C program. The whole file when the subsetter
// refuses it.
SubsetProgram MakeProgram(const Face& face, const std::map<unsigned, char32_t>& used)
{
    SubsetProgram program;
    hb_blob_t* blob = hb_blob_create(face.data().data(), static_cast<unsigned>(face.data().size()),
                                     HB_MEMORY_MODE_READONLY, nullptr, nullptr);
    hb_face_t* source = hb_face_create(blob, static_cast<unsigned>(face.index()));
    hb_blob_destroy(blob);
    hb_face_t* result = nullptr;
    if (hb_subset_input_t* input = hb_subset_input_create_or_fail()) {
        hb_set_t* glyphs = hb_subset_input_glyph_set(input);
        hb_set_add(glyphs, 0);
        for (const auto& [glyph, character] : used)
            hb_set_add(glyphs, glyph);
        hb_set_clear(hb_subset_input_unicode_set(input));
        hb_set_t* drop = hb_subset_input_set(input, HB_SUBSET_SETS_DROP_TABLE_TAG);
        for (hb_tag_t tag : {HB_TAG('G', 'S', 'U', 'B'), HB_TAG('G', 'P', 'O', 'S'), HB_TAG('G', 'D', 'E', 'F'),
                             HB_TAG('k', 'e', 'r', 'n'), HB_TAG('B', 'A', 'S', 'E'), HB_TAG('J', 'S', 'T', 'F'),
                             HB_TAG('M', 'A', 'T', 'H'), HB_TAG('h', 'd', 'm', 'x'), HB_TAG('V', 'D', 'M', 'X'),
                             HB_TAG('L', 'T', 'S', 'H'), HB_TAG('D', 'S', 'I', 'G'), HB_TAG('F', 'F', 'T', 'M')})
            hb_set_add(drop, tag);
        hb_subset_input_set_flags(input, HB_SUBSET_FLAGS_RETAIN_GIDS | HB_SUBSET_FLAGS_NOTDEF_OUTLINE |
                                             HB_SUBSET_FLAGS_NO_HINTING);
        result = hb_subset_or_fail(source, input);
        hb_subset_input_destroy(input);
    }
    if (result) {
        hb_blob_t* out = face.isCff() ? hb_face_reference_table(result, HB_TAG('C', 'F', 'F', ' '))
                                      : hb_face_reference_blob(result);
        unsigned length = 0;
        const char* data = hb_blob_get_data(out, &length);
        if (data && length > 0) {
            program.bytes.assign(data, length);
            program.subset = true;
        }
        hb_blob_destroy(out);
        hb_face_destroy(result);
    }
    if (!program.subset) {
        if (face.isCff()) {
            hb_blob_t* table = hb_face_reference_table(source, HB_TAG('C', 'F', 'F', ' '));
            unsigned length = 0;
            const char* data = hb_blob_get_data(table, &length);
            if (data)
                program.bytes.assign(data, length);
            hb_blob_destroy(table);
        } else {
            program.bytes = std::string(face.data());
        }
    }
    hb_face_destroy(source);
    return program;
}

// Splits the used glyphs into ranges and single entries, as the ToUnicode CMap lists them.
std::string ToUnicodeCMap(const std::map<unsigned, char32_t>& used)
{
    std::vector<std::string> ranges, singles;
    auto it = used.begin();
    while (it != used.end()) {
        // A run of consecutive glyph ids within one block of 256 (a bfrange may change only the
        // last byte of its codes).
        auto end = std::next(it);
        unsigned last = it->first;
        while (end != used.end() && end->first == last + 1 && (end->first >> 8) == (it->first >> 8)) {
            last = end->first;
            ++end;
        }
        std::string entry = "<";
        AppendHex4(entry, it->first);
        entry += ">";
        if (last == it->first) {
            entry += " <";
            AppendUnicodeHex(entry, it->second);
            entry += ">\n";
            singles.push_back(std::move(entry));
        } else {
            entry += " <";
            AppendHex4(entry, last);
            entry += ">";
            bool rising = it->second <= 0xFFFF;
            char32_t expected = it->second;
            for (auto k = it; k != end; ++k, ++expected)
                if (k->second != expected || expected > 0xFFFF || (expected >> 8) != (it->second >> 8))
                    rising = false;
            if (rising) {
                entry += " <";
                AppendUnicodeHex(entry, it->second);
                entry += ">\n";
            } else {
                entry += " [";
                for (auto k = it; k != end; ++k) {
                    entry += " <";
                    AppendUnicodeHex(entry, k->second);
                    entry += ">";
                }
                entry += " ]\n";
            }
            ranges.push_back(std::move(entry));
        }
        it = end;
    }
    std::string cmap = "/CIDInit /ProcSet findresource begin\n"
                       "12 dict begin\nbegincmap\n/CIDSystemInfo\n"
                       "<< /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                       "/CMapName /Adobe-Identity-UCS def /CMapType 2 def\n"
                       "1 begincodespacerange <0000> <FFFF> endcodespacerange\n";
    auto blocks = [&](const std::vector<std::string>& entries, std::string_view begin, std::string_view endText) {
        for (size_t start = 0; start < entries.size(); start += kCMapBlockLimit) {
            const size_t count = std::min(kCMapBlockLimit, entries.size() - start);
            AppendInt(cmap, static_cast<int64_t>(count));
            cmap += begin;
            for (size_t k = start; k < start + count; ++k)
                cmap += entries[k];
            cmap += endText;
        }
    };
    blocks(ranges, " beginbfrange\n", "endbfrange\n");
    blocks(singles, " beginbfchar\n", "endbfchar\n");
    cmap += "endcmap\nCMapName currentdict /CMap defineresource pop\nend\nend\n";
    return cmap;
}

// A font's program: the subset (or the whole font where the subsetter fails), deflated when
// that makes it smaller.
struct MadeProgram {
    SubsetProgram program;
    std::string data;
    bool compressed = false;
};

MadeProgram MakeFontProgram(const Face& face, const std::map<unsigned, char32_t>& used, Deflater* deflater)
{
    MadeProgram made{MakeProgram(face, used), {}, false};
    if (deflater) {
        if (auto deflated = deflater->Deflate(made.program.bytes);
            deflated && deflated->size() < made.program.bytes.size()) {
            made.data = std::move(*deflated);
            made.compressed = true;
        }
    }
    if (!made.compressed)
        made.data = made.program.bytes;
    return made;
}

void WriteEmbeddedFont(PdfDocument& document, TextLayer& layer, EmbeddedFont& font, const MadeProgram& made)
{
    Face& face = *font.face;
    const double scale = 1000.0 / face.unitsPerEm();
    const SubsetProgram& program = made.program;

    // The font program.
    std::string dictionary;
    if (face.isCff()) {
        dictionary = "<</Subtype /CIDFontType0C";
    } else {
        dictionary = "<</Length1 ";
        AppendInt(dictionary, static_cast<int64_t>(program.bytes.size()));
    }
    dictionary += made.compressed ? " /Filter /FlateDecode /Length " : " /Length ";
    AppendInt(dictionary, static_cast<int64_t>(made.data.size()));
    dictionary += " >>";
    const int programObject = document.WriteStreamObject(dictionary, made.data);

    std::string baseName = PdfNameText(font.name);
    if (program.subset)
        baseName = SubsetTag(layer.subsetCounter++) + "+" + baseName;

    // The descriptor.
    const FT_BBox& box = face.ft()->bbox;
    int flags = face.IsFixedPitch() ? 5 : 4;
    if (face.isItalic() || font.fauxItalic)
        flags |= 64;
    double italicAngle = face.ItalicAngle();
    if (font.fauxItalic)
        italicAngle = -kFauxItalicAngle * 180 / kPi;
    std::string descriptor = "<</Type /FontDescriptor /FontName /" + baseName + " /Flags ";
    AppendInt(descriptor, flags);
    descriptor += " /FontBBox [";
    AppendFixed2(descriptor, box.xMin * scale);
    descriptor += ' ';
    AppendFixed2(descriptor, box.yMin * scale);
    descriptor += ' ';
    AppendFixed2(descriptor, box.xMax * scale);
    descriptor += ' ';
    AppendFixed2(descriptor, box.yMax * scale);
    descriptor += "] /ItalicAngle ";
    AppendFixed2(descriptor, italicAngle);
    descriptor += " /Ascent ";
    AppendFixed2(descriptor, face.ascent() * scale);
    descriptor += " /Descent ";
    AppendFixed2(descriptor, face.descent() * scale);
    descriptor += " /CapHeight ";
    AppendFixed2(descriptor, face.CapHeight() * scale);
    descriptor += " /StemV 80";
    descriptor += face.isCff() ? " /FontFile3 " : " /FontFile2 ";
    AppendInt(descriptor, programObject);
    descriptor += " 0 R >>";
    const int descriptorObject = document.WriteObject(descriptor);

    // The descendant CIDFont: glyph ids are the CIDs (Identity), widths per glyph used.
    std::string cidFont = "<</Type /Font /BaseFont /" + baseName;
    cidFont += face.isCff() ? " /Subtype /CIDFontType0" : " /Subtype /CIDFontType2";
    cidFont += " /FontDescriptor ";
    AppendInt(cidFont, descriptorObject);
    cidFont += " 0 R /W [";
    for (const auto& [glyph, character] : font.used) {
        cidFont += ' ';
        AppendInt(cidFont, glyph);
        cidFont += " [";
        AppendFixed2(cidFont, face.Advance(glyph) * scale);
        cidFont += ']';
    }
    cidFont += " ] /CIDSystemInfo <</Ordering (Identity) /Registry (Adobe) /Supplement 0>> >>";
    const int cidObject = document.WriteObject(cidFont);

    int toUnicodeObject = 0;
    if (!font.used.empty())
        toUnicodeObject = document.WriteStream(ToUnicodeCMap(font.used));

    std::string type0 = "<</Type /Font /BaseFont /" + baseName + " /Subtype /Type0 /Name " + font.resource +
                        " /Encoding /Identity-H /DescendantFonts[ ";
    AppendInt(type0, cidObject);
    type0 += " 0 R]";
    if (toUnicodeObject) {
        type0 += " /ToUnicode ";
        AppendInt(type0, toUnicodeObject);
        type0 += " 0 R";
    }
    type0 += " >>";
    document.WriteReservedObject(font.object, type0);
}

void WriteEmbeddedFonts(PdfDocument& document)
{
    auto& layer = static_cast<TextLayer&>(*document.textLayer());
    // Subsetting and deflating are the slow part and touch only each font's own bytes, so the
    // fonts are made side by side; their objects are then written in order.
    std::vector<MadeProgram> made(layer.order.size());
    std::vector<std::function<void(Deflater&)>> jobs;
    const bool compress = document.IsCompressing();
    for (size_t i = 0; i < layer.order.size(); ++i) {
        jobs.push_back([&made, &layer, i, compress](Deflater& deflater) {
            const EmbeddedFont& font = *layer.order[i];
            made[i] = MakeFontProgram(*font.face, font.used, compress ? &deflater : nullptr);
        });
    }
    document.RunSideBySide(std::move(jobs));
    for (size_t i = 0; i < layer.order.size(); ++i)
        WriteEmbeddedFont(document, layer, *layer.order[i], made[i]);
}

// ---------------------------------------------------------------------------------------------
// Layout

enum class GlyphKind { Embedded, Standard, Outline };

struct PlacedGlyph {
    char32_t character = 0;
    size_t run = 0;
    GlyphKind kind = GlyphKind::Standard;
    unsigned glyph = 0;   // embedded or fallback glyph id; the WinAnsi code for a standard font
    double advance = 0;   // user units, kerning included
    double nominal = 0;   // the glyph's own advance, as the font's widths give it to the viewer
    double x = 0, y = 0;  // pen position (along the path for text on a path)
    double rotate = 0;    // degrees
    bool absolute = false; // starts a text chunk
};

struct RunMetrics {
    const RunFont* font = nullptr;
    double ascent = 0, descent = 0; // user units, descent negative
    double underlineOffset = 0, underlineThickness = 0;
    double strikeOffset = 0, strikeThickness = 0;
};

double ListValue(const std::vector<double>& list, size_t i, bool& present)
{
    present = i < list.size();
    return present ? list[i] : 0;
}

RunMetrics MeasureRun(TextLayer& layer, const TextRun& run)
{
    RunMetrics metrics;
    metrics.font = &layer.Resolve(run.font);
    const double size = run.font.size;
    if (metrics.font->embedded) {
        Face& face = *metrics.font->embedded->face;
        const double k = size / face.unitsPerEm();
        metrics.ascent = face.ascent() * k;
        metrics.descent = face.descent() * k;
        const auto [underline, underlineSize] = face.Underline();
        const auto [strike, strikeSize] = face.LineThrough();
        metrics.underlineOffset = underline * k;
        metrics.underlineThickness = underlineSize * k;
        metrics.strikeOffset = strike * k;
        metrics.strikeThickness = strikeSize * k;
    } else {
        metrics.ascent = 0.75 * size;
        metrics.descent = -0.25 * size;
        metrics.underlineOffset = -0.1 * size;
        metrics.underlineThickness = 0.05 * size;
        metrics.strikeOffset = 0.3 * size;
        metrics.strikeThickness = 0.05 * size;
    }
    return metrics;
}

// Lays out every character of the runs: glyphs, advances and pen positions, chunks marked where
// an absolute position starts one. `pen` starts at (0, 0).
std::vector<PlacedGlyph> LayOut(TextLayer& layer, std::span<const TextRun> runs, std::vector<RunMetrics>& metrics)
{
    std::vector<PlacedGlyph> glyphs;
    double penX = 0, penY = 0;
    bool first = true;
    for (size_t r = 0; r < runs.size(); ++r) {
        const TextRun& run = runs[r];
        metrics.push_back(MeasureRun(layer, run));
        const RunFont& font = *metrics.back().font;
        const double size = run.font.size;
        if (!(size > 0) || !std::isfinite(size))
            continue; // a font size of 0 (or none that is a number) draws nothing, as in SVG
        std::u32string characters = DecodeUtf8(run.text);
        for (char32_t& c : characters)
            if (c == '\t' || c == '\n' || c == '\r')
                c = ' ';
        const auto shaped = font.embedded ? font.embedded->face->Shape(characters) : std::nullopt;
        for (size_t i = 0; i < characters.size(); ++i) {
            const char32_t c = characters[i];
            PlacedGlyph placed;
            placed.character = c;
            placed.run = r;
            bool hasX = false, hasY = false, present = false;
            const double x = ListValue(run.x, i, hasX);
            const double y = ListValue(run.y, i, hasY);
            if (hasX)
                penX = x;
            if (hasY)
                penY = y;
            penX += ListValue(run.dx, i, present);
            penY += ListValue(run.dy, i, present);
            if (!run.rotate.empty())
                placed.rotate = run.rotate[std::min(i, run.rotate.size() - 1)];
            placed.absolute = first || hasX || hasY;
            first = false;
            if (c < 0x20)
                continue; // other control characters draw nothing and take no room
            if (font.embedded) {
                Face& face = *font.embedded->face;
                const unsigned glyph = shaped ? (*shaped)[i].first : face.Glyph(c);
                if (glyph != 0) {
                    placed.kind = GlyphKind::Embedded;
                    placed.glyph = glyph;
                    placed.nominal = face.Advance(glyph) * size / face.unitsPerEm();
                    placed.advance = shaped ? (*shaped)[i].second * size / face.unitsPerEm() : placed.nominal;
                } else if (Face* fallback = layer.Fallback()) {
                    placed.kind = GlyphKind::Outline;
                    placed.glyph = fallback->Glyph(c);
                    placed.advance = fallback->Advance(placed.glyph) * size / fallback->unitsPerEm();
                } else {
                    placed.kind = GlyphKind::Embedded;
                    placed.advance = face.Advance(0) * size / face.unitsPerEm();
                }
            } else {
                placed.kind = GlyphKind::Standard;
                placed.glyph = ToWinAnsi(c);
                placed.advance = StandardFontWidth(font.standardName, static_cast<int>(placed.glyph)) * size / 1000.0;
            }
            placed.x = penX;
            placed.y = penY;
            penX += placed.advance;
            glyphs.push_back(placed);
        }
    }
    return glyphs;
}

// Moves each chunk left by its width (end) or half of it (middle), by its first run's anchor.
void ApplyAnchors(std::vector<PlacedGlyph>& glyphs, std::span<const TextRun> runs)
{
    size_t start = 0;
    while (start < glyphs.size()) {
        size_t end = start + 1;
        while (end < glyphs.size() && !glyphs[end].absolute)
            ++end;
        const TextAnchor anchor = runs[glyphs[start].run].anchor;
        if (anchor != TextAnchor::Start) {
            double right = glyphs[start].x;
            for (size_t i = start; i < end; ++i)
                right = std::max(right, glyphs[i].x + glyphs[i].advance);
            double width = right - glyphs[start].x;
            if (anchor == TextAnchor::Middle)
                width /= 2;
            for (size_t i = start; i < end; ++i)
                glyphs[i].x -= width;
        }
        start = end;
    }
}

// A piece: glyphs of one run and kind drawn from one origin with their own advances.
struct Piece {
    size_t first = 0, last = 0; // [first, last)
    Matrix placement;           // piece space (x along the baseline, y down) to user space
    double width = 0;
};

class BlockWriter {
public:
    BlockWriter(PdfDocument& document, TextLayer& layer, std::span<const TextRun> runs,
                const std::vector<RunMetrics>& metrics, const std::vector<PlacedGlyph>& glyphs, const Rect& bounds)
        : document_(document), layer_(layer), runs_(runs), metrics_(metrics), glyphs_(glyphs), bounds_(bounds),
          paints_(runs.size())
    {
    }

    void Write(const Piece& piece)
    {
        const TextRun& run = runs_[glyphs_[piece.first].run];
        const RunMetrics& metrics = metrics_[glyphs_[piece.first].run];
        if (glyphs_[piece.first].kind == GlyphKind::Outline)
            WriteOutlines(piece, run);
        else
            WriteText(piece, run, metrics);
        if (run.underline)
            WriteDecoration(piece, run, metrics.underlineOffset, metrics.underlineThickness);
        if (run.lineThrough)
            WriteDecoration(piece, run, metrics.strikeOffset, metrics.strikeThickness);
    }

private:
    struct RunPaint {
        bool made = false;
        std::optional<std::string> fill, stroke, fillAsStroke;
    };

    RunPaint& PaintOf(size_t runIndex)
    {
        RunPaint& paint = paints_[runIndex];
        if (!paint.made) {
            const TextRun& run = runs_[runIndex];
            paint.made = true;
            paint.fill = PaintOperators(document_, run.fill, PaintTarget::Fill, bounds_);
            paint.stroke = PaintOperators(document_, run.stroke, PaintTarget::Stroke, bounds_);
            const RunFont& font = *metrics_[runIndex].font;
            if (font.embedded && font.embedded->fauxBold)
                paint.fillAsStroke = PaintOperators(document_, run.fill, PaintTarget::Stroke, bounds_);
        }
        return paint;
    }

    void WriteText(const Piece& piece, const TextRun& run, const RunMetrics& metrics)
    {
        const size_t runIndex = glyphs_[piece.first].run;
        RunPaint& paint = PaintOf(runIndex);
        const RunFont& font = *metrics.font;
        const bool fauxBold = font.embedded && font.embedded->fauxBold;
        if (!paint.fill && !paint.stroke)
            return; // nothing paints the glyphs
        document_.SetPageFlag(PageFlag::Text);
        std::string& out = document_.content();
        std::string resource;
        if (font.embedded) {
            EmbeddedFont& embedded = *font.embedded;
            if (embedded.object == 0) {
                embedded.object = document_.ReserveObject();
                layer_.order.push_back(&embedded);
            }
            resource = embedded.resource;
            std::string entry = resource + " ";
            AppendInt(entry, embedded.object);
            entry += " 0 R";
            document_.AddResource(ResourceKind::Font, std::move(entry));
        } else {
            resource = ResourceName("/FNT_", font.standardName);
            auto found = layer_.standardObjects.find(font.standardName);
            if (found == layer_.standardObjects.end()) {
                const std::string base = PdfNameText(font.standardName);
                std::string object;
                if (font.standardKind == 12 || font.standardKind == 13)
                    object = "<</Type /Font /BaseFont /" + base + " /Subtype /Type1>>";
                else if (font.standardKind >= 0)
                    object = "<</Type /Font /BaseFont /" + base + " /Subtype /Type1 /Encoding /WinAnsiEncoding>>";
                else
                    object = "<</Type /Font /BaseFont /" + base + " /Subtype /TrueType /Encoding /WinAnsiEncoding>>";
                found = layer_.standardObjects.emplace(font.standardName, document_.WriteObject(object)).first;
            }
            std::string entry = resource + " ";
            AppendInt(entry, found->second);
            entry += " 0 R";
            document_.AddResource(ResourceKind::Font, std::move(entry));
        }

        if (fauxBold)
            out += "q\r\n";
        if (paint.fill)
            out += *paint.fill + "\r\n";
        if (paint.stroke)
            out += *paint.stroke + "\r\n";
        out += "BT\r\n" + resource + " ";
        AppendReal(out, run.font.size);
        out += " Tf 100.000000 Tz 0.000000 Tw\r\n";
        // Text space is y-up: flip it into the piece's y-down space, with the faux italic shear.
        Matrix textMatrix = piece.placement.After(Matrix::Scaling(1, -1));
        if (font.embedded && font.embedded->fauxItalic)
            textMatrix = textMatrix.After(Matrix{1, 0, std::tan(kFauxItalicAngle), 1, 0, 0});
        AppendMatrix(out, textMatrix);
        out += " Tm\r\n";
        if (fauxBold && paint.fillAsStroke) {
            out += *paint.fillAsStroke + " 2 Tr ";
            AppendReal(out, run.font.size * 0.02);
            out += " w\r\n";
        } else if (paint.fill && paint.stroke) {
            out += "2 Tr ";
            AppendReal(out, run.strokeWidth);
            out += " w\r\n";
        } else if (paint.stroke) {
            out += "1 Tr ";
            AppendReal(out, run.strokeWidth);
            out += " w\r\n";
        } else {
            out += "0 Tr\r\n";
        }
        if (font.embedded) {
            // Kerning moves a glyph off its own advance: TJ carries the difference in thousandths
            // of the size, so the viewer places each glyph where the layout put it.
            bool kerned = false;
            for (size_t i = piece.first; i + 1 < piece.last; ++i)
                kerned = kerned || std::fabs(glyphs_[i].advance - glyphs_[i].nominal) > 1e-9;
            out += kerned ? "[<" : "<";
            for (size_t i = piece.first; i < piece.last; ++i) {
                AppendHex4(out, glyphs_[i].glyph);
                font.embedded->used.emplace(glyphs_[i].glyph, glyphs_[i].character);
                const double adjustment = (glyphs_[i].nominal - glyphs_[i].advance) * 1000 / run.font.size;
                if (kerned && i + 1 < piece.last && std::fabs(adjustment) > 1e-6) {
                    out += "> ";
                    AppendReal(out, adjustment);
                    out += " <";
                }
            }
            out += kerned ? ">] TJ\r\nET\r\n" : "> Tj\r\nET\r\n";
        } else {
            out += '(';
            for (size_t i = piece.first; i < piece.last; ++i) {
                const char code = static_cast<char>(glyphs_[i].glyph);
                if (code == '(' || code == ')' || code == '\\')
                    out += '\\';
                out += code;
            }
            out += ") Tj\r\nET\r\n";
        }
        if (fauxBold)
            out += "Q\r\n";
    }

    void WriteOutlines(const Piece& piece, const TextRun& run)
    {
        Face* fallback = layer_.Fallback();
        if (!fallback)
            return;
        const double scale = run.font.size / fallback->unitsPerEm();
        Path path;
        double x = 0;
        for (size_t i = piece.first; i < piece.last; ++i) {
            Matrix at = piece.placement.After(Matrix::Translation(x, 0));
            const RunFont& font = *metrics_[glyphs_[i].run].font;
            if (font.embedded && font.embedded->fauxItalic)
                at = at.After(Matrix{1, 0, -std::tan(kFauxItalicAngle), 1, 0, 0});
            fallback->AppendOutline(path, glyphs_[i].glyph, scale, at);
            x += glyphs_[i].advance;
        }
        if (!path.IsEmpty())
            FillPath(document_, path, run.fill, FillRule::NonZero);
    }

    void WriteDecoration(const Piece& piece, const TextRun& run, double offset, double thickness)
    {
        if (piece.width <= 0 || thickness <= 0)
            return;
        // A filled band rather than a stroked line, so that a gradient paints it as the glyphs.
        Path band;
        const Matrix& m = piece.placement;
        const double top = -offset - thickness / 2;
        band.MoveTo(m.Apply({0, top}));
        band.LineTo(m.Apply({piece.width, top}));
        band.LineTo(m.Apply({piece.width, top + thickness}));
        band.LineTo(m.Apply({0, top + thickness}));
        band.Close();
        FillPath(document_, band, run.fill, FillRule::NonZero);
    }

    PdfDocument& document_;
    TextLayer& layer_;
    std::span<const TextRun> runs_;
    const std::vector<RunMetrics>& metrics_;
    const std::vector<PlacedGlyph>& glyphs_;
    Rect bounds_;
    std::vector<RunPaint> paints_;
};

bool SameRunAndKind(const PlacedGlyph& a, const PlacedGlyph& b)
{
    return a.run == b.run && a.kind == b.kind;
}

// A block is written as one stream: its save, transformation, clip, pieces and restore.
void BeginItem(PdfDocument& document, const TextStyle& style)
{
    document.SaveState(PdfDocument::Flush::Later);
    if (!style.transform.IsIdentity())
        document.ConcatTransformation(style.transform);
    if (style.clip)
        BeginClip(document, *style.clip, style.clipRule);
}

void EndItem(PdfDocument& document, const TextStyle& style)
{
    if (style.clip)
        EndClip(document);
    document.RestoreState();
}

Rect GlyphBounds(const std::vector<PlacedGlyph>& glyphs, const std::vector<RunMetrics>& metrics)
{
    Rect box;
    bool empty = true;
    for (const PlacedGlyph& g : glyphs) {
        const RunMetrics& m = metrics[g.run];
        const double left = g.x, right = g.x + g.advance, top = g.y - m.ascent, bottom = g.y - m.descent;
        if (empty) {
            box = {left, top, right - left, bottom - top};
            empty = false;
            continue;
        }
        const double r = std::max(box.x + box.width, right), b = std::max(box.y + box.height, bottom);
        box.x = std::min(box.x, left);
        box.y = std::min(box.y, top);
        box.width = r - box.x;
        box.height = b - box.y;
    }
    return box;
}

// A path flattened to line pieces with their lengths, for laying text along it.
class PathWalker {
public:
    explicit PathWalker(const Path& path)
    {
        Point start{}, current{};
        for (const Segment& s : path.segments()) {
            switch (s.kind) {
            case SegmentKind::Move:
                start = current = s.points[0];
                break;
            case SegmentKind::Line:
                Add(current, s.points[0]);
                current = s.points[0];
                break;
            case SegmentKind::Cubic: {
                // Chords of about two units: a glyph takes the direction of the chord under its
                // middle, and a longer chord would turn it off the curve by half the bend across
                // it. The count is bounded so that a huge curve costs no more than 256 chords.
                const double hull = std::hypot(s.points[0].x - current.x, s.points[0].y - current.y) +
                                    std::hypot(s.points[1].x - s.points[0].x, s.points[1].y - s.points[0].y) +
                                    std::hypot(s.points[2].x - s.points[1].x, s.points[2].y - s.points[1].y);
                const int steps = std::isfinite(hull) ? std::clamp(static_cast<int>(std::ceil(hull / 2)), 16, 256) : 16;
                Point previous = current;
                for (int i = 1; i <= steps; ++i) {
                    const double t = static_cast<double>(i) / steps, u = 1 - t;
                    const Point p{u * u * u * current.x + 3 * u * u * t * s.points[0].x + 3 * u * t * t * s.points[1].x +
                                      t * t * t * s.points[2].x,
                                  u * u * u * current.y + 3 * u * u * t * s.points[0].y + 3 * u * t * t * s.points[1].y +
                                      t * t * t * s.points[2].y};
                    Add(previous, p);
                    previous = p;
                }
                current = s.points[2];
                break;
            }
            case SegmentKind::Close:
                Add(current, start);
                current = start;
                break;
            }
        }
    }

    double length() const { return length_; }

    // The point at `distance` along the path and the direction there, in degrees.
    std::pair<Point, double> At(double distance) const
    {
        if (lines_.empty())
            return {{}, 0};
        // The first line that ends at or beyond the distance; the last one past the end.
        auto found = std::lower_bound(lines_.begin(), lines_.end(), distance,
                                      [](const Line& line, double d) { return line.start + line.length < d; });
        const Line& line = found == lines_.end() ? lines_.back() : *found;
        const double t = (distance - line.start) / line.length;
        const Point p{line.from.x + (line.to.x - line.from.x) * t, line.from.y + (line.to.y - line.from.y) * t};
        return {p, std::atan2(line.to.y - line.from.y, line.to.x - line.from.x) * 180 / kPi};
    }

private:
    struct Line {
        Point from, to;
        double start, length;
    };
    void Add(Point from, Point to)
    {
        const double length = std::hypot(to.x - from.x, to.y - from.y);
        if (length <= 0)
            return;
        lines_.push_back({from, to, length_, length});
        length_ += length;
    }
    std::vector<Line> lines_;
    double length_ = 0;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Public operations

std::string StandardFontName(std::string_view family, bool bold, bool italic)
{
    if (!bold && !italic && StandardKind(family) >= 0)
        return std::string(family);
    const int style = (bold ? 1 : 0) + (italic ? 2 : 0);
    if (family == "Helvetica" || family == "Arial")
        return std::string(kStandardNames[0 + style]);
    if (family == "Times New Roman")
        return std::string(kStandardNames[4 + style]);
    if (family == "Courier")
        return std::string(kStandardNames[8 + style]);
    return std::string(family);
}

int StandardFontWidth(std::string_view standardName, int code)
{
    const int kind = StandardKind(standardName);
    if (kind < 0 || code < 0 || code > 255)
        return 600;
    return kStandardFontWidths[kind][code];
}

void UseStandardFontsOnly(PdfDocument& document)
{
    TextLayer& layer = Layer(document);
    layer.standardOnly = true;
    layer.requests.clear();
}

void PrepareFontLookup()
{
    {
        // Stored answers stand in for fontconfig; it is loaded later only if a lookup misses.
        FontLookups& known = KnownFontLookups();
        std::lock_guard guard(known.lock);
        if (known.Stored().IsCurrent())
            return;
    }
    std::lock_guard guard(FontconfigLock());
    LoadFontconfig();
}

void KeepFontLookupsIn(const std::string& file)
{
    FontLookups& known = KnownFontLookups();
    std::lock_guard guard(known.lock);
    known.storeFile = file;
    known.storeUnread = true;
}

void PrepareMenuFonts(const std::string& webFolder, const std::string& dataFolder)
{
    KeepFontLookupsIn(dataFolder + "/font-lookups.cache");
    const std::string fonts = webFolder + "/fonts";
    std::error_code error;
    if (std::filesystem::is_directory(fonts, error))
        RegisterFontFolder(fonts);
}

void LookUpFonts(std::span<const FontRequest> requests)
{
    for (const FontRequest& request : requests)
        FindFontFiles(request.family, request.weight, request.italic, FontChoice::Best);
    StoreFontLookups();
}

void StoreFontLookups()
{
    std::optional<StoredFontLookups::Changes> changes;
    {
        std::lock_guard fontconfig(FontconfigLock());
        FontLookups& known = KnownFontLookups();
        std::lock_guard guard(known.lock);
        changes = known.Stored().TakeChanges(known.addedFolders);
    }
    // The stamps and the file are made without the locks: texts being drawn meanwhile may need
    // them.
    if (changes)
        StoredFontLookups::Save(*changes);
}

bool RegisterFontFolder(const std::string& folder)
{
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        return false; // fontconfig would take a missing folder without complaint
    FontLookups& known = KnownFontLookups();
    std::lock_guard guard(known.lock);
    known.addedFolders.push_back(folder);
    // Every answer is dropped; stored ones hold again only where they were stored with this
    // folder too: the file is read again against the new list.
    known.storeUnread = true;
    return true;
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

double MeasureText(PdfDocument& document, const FontRequest& font, std::string_view text)
{
    TextRun run;
    run.text = text;
    run.font = font;
    std::vector<RunMetrics> metrics;
    const auto glyphs = LayOut(Layer(document), std::span(&run, 1), metrics);
    double width = 0;
    for (const PlacedGlyph& g : glyphs)
        width += g.advance;
    return width;
}

void DrawTextBlock(PdfDocument& document, std::span<const TextRun> runs, const TextStyle& style)
{
    TextLayer& layer = Layer(document);
    std::vector<RunMetrics> metrics;
    std::vector<PlacedGlyph> glyphs = LayOut(layer, runs, metrics);
    if (glyphs.empty())
        return;
    ApplyAnchors(glyphs, runs);
    BeginItem(document, style);
    BlockWriter writer(document, layer, runs, metrics, glyphs, GlyphBounds(glyphs, metrics));
    size_t start = 0;
    while (start < glyphs.size()) {
        // A piece runs on while the glyphs follow each other at their own advances, unturned.
        size_t end = start + 1;
        double width = glyphs[start].advance;
        if (glyphs[start].rotate == 0) {
            while (end < glyphs.size() && SameRunAndKind(glyphs[end], glyphs[start]) && glyphs[end].rotate == 0 &&
                   glyphs[end].y == glyphs[start].y &&
                   std::fabs(glyphs[end].x - (glyphs[end - 1].x + glyphs[end - 1].advance)) < 1e-9) {
                width += glyphs[end].advance;
                ++end;
            }
        }
        Piece piece;
        piece.first = start;
        piece.last = end;
        piece.width = width;
        piece.placement = Matrix::Translation(glyphs[start].x, glyphs[start].y).After(Matrix::Rotation(glyphs[start].rotate));
        writer.Write(piece);
        start = end;
    }
    EndItem(document, style);
}

void DrawTextOnPath(PdfDocument& document, std::span<const TextRun> runs, const Path& path, double startOffset,
                    const TextStyle& style)
{
    TextLayer& layer = Layer(document);
    std::vector<RunMetrics> metrics;
    std::vector<PlacedGlyph> glyphs = LayOut(layer, runs, metrics);
    const PathWalker walker(path);
    if (glyphs.empty() || walker.length() <= 0)
        return;
    ApplyAnchors(glyphs, runs);
    BeginItem(document, style);
    // Gradients on text along a path take the path's box.
    Rect bounds = PathBounds(path);
    BlockWriter writer(document, layer, runs, metrics, glyphs, bounds);
    for (size_t i = 0; i < glyphs.size(); ++i) {
        const PlacedGlyph& g = glyphs[i];
        const double middle = startOffset + g.x + g.advance / 2;
        if (middle < 0 || middle > walker.length())
            continue;
        const auto [point, angle] = walker.At(middle);
        // The glyph's middle sits on the path; its baseline follows the tangent; "y" and "dy"
        // move it across.
        const Matrix turn = Matrix::Rotation(angle);
        Matrix placement = Matrix::Translation(point.x, point.y).After(turn).After(Matrix::Translation(-g.advance / 2, g.y));
        placement = placement.After(Matrix::Rotation(g.rotate));
        Piece piece;
        piece.first = i;
        piece.last = i + 1;
        piece.width = g.advance;
        piece.placement = placement;
        writer.Write(piece);
    }
    EndItem(document, style);
}

} // namespace tavolex::pdf
