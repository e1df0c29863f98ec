#include "font_embedding.h"

#include "font_names.h"
#include "text_encoding.h"
#include "text_layer.h"

#include <hb-subset.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex::pdf {

namespace {

// A CMap block holds at most this many entries (Adobe Technical Note 5014, CMap and CIDFont files).
constexpr size_t kCMapBlockLimit = 100;

using GlyphCharacters = std::map<unsigned, char32_t>; // glyph -> the character drawn with it

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
SubsetProgram MakeProgram(const Face& face, const GlyphCharacters& used)
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

// The CMap entry of the glyphs [first, end), consecutive ids within one block of 256, the last
// being `last`: a range to rising values where the characters rise one by one within a block of
// their own, else a range to an array of values.
std::string CMapRangeEntry(GlyphCharacters::const_iterator first, GlyphCharacters::const_iterator end, unsigned last)
{
    std::string entry = "<";
    AppendHex4(entry, first->first);
    entry += "> <";
    AppendHex4(entry, last);
    entry += ">";
    bool rising = first->second <= 0xFFFF;
    char32_t expected = first->second;
    for (auto k = first; k != end; ++k, ++expected)
        if (k->second != expected || expected > 0xFFFF || (expected >> 8) != (first->second >> 8))
            rising = false;
    if (rising) {
        entry += " <";
        AppendUnicodeHex(entry, first->second);
        entry += ">\n";
    } else {
        entry += " [";
        for (auto k = first; k != end; ++k) {
            entry += " <";
            AppendUnicodeHex(entry, k->second);
            entry += ">";
        }
        entry += " ]\n";
    }
    return entry;
}

// The entries of a ToUnicode CMap listed in blocks of at most 100, each between `begin` and
// `end`, preceded by its count.
void AppendCMapBlocks(std::string& cmap, const std::vector<std::string>& entries, std::string_view begin,
                      std::string_view end)
{
    for (size_t start = 0; start < entries.size(); start += kCMapBlockLimit) {
        const size_t count = std::min(kCMapBlockLimit, entries.size() - start);
        AppendInt(cmap, static_cast<int64_t>(count));
        cmap += begin;
        for (size_t k = start; k < start + count; ++k)
            cmap += entries[k];
        cmap += end;
    }
}

// Splits the used glyphs into ranges and single entries, as the ToUnicode CMap lists them.
std::string ToUnicodeCMap(const GlyphCharacters& used)
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
        if (last == it->first) {
            std::string entry = "<";
            AppendHex4(entry, it->first);
            entry += "> <";
            AppendUnicodeHex(entry, it->second);
            entry += ">\n";
            singles.push_back(std::move(entry));
        } else {
            ranges.push_back(CMapRangeEntry(it, end, last));
        }
        it = end;
    }
    std::string cmap = "/CIDInit /ProcSet findresource begin\n"
                       "12 dict begin\nbegincmap\n/CIDSystemInfo\n"
                       "<< /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                       "/CMapName /Adobe-Identity-UCS def /CMapType 2 def\n"
                       "1 begincodespacerange <0000> <FFFF> endcodespacerange\n";
    AppendCMapBlocks(cmap, ranges, " beginbfrange\n", "endbfrange\n");
    AppendCMapBlocks(cmap, singles, " beginbfchar\n", "endbfchar\n");
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

MadeProgram MakeFontProgram(const Face& face, const GlyphCharacters& used, Deflater* deflater)
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

// "%6.2f": two decimals, right-aligned in six characters, as the font metrics are written.
struct Fixed2 {
    double value;
};
DictionaryBuilder& operator<<(DictionaryBuilder& builder, Fixed2 number)
{
    AppendFixed2(builder.raw(), number.value);
    return builder;
}

// The font program's stream: a TrueType file (with its length before deflating) or a CFF table.
int WriteFontProgram(PdfDocument& document, const Face& face, const MadeProgram& made)
{
    DictionaryBuilder dictionary;
    if (face.isCff())
        dictionary << "<</Subtype /CIDFontType0C";
    else
        dictionary << "<</Length1 " << made.program.bytes.size();
    dictionary << (made.compressed ? " /Filter /FlateDecode /Length " : " /Length ") << made.data.size() << " >>";
    return document.WriteStreamObject(dictionary.text(), made.data);
}

int WriteFontDescriptor(PdfDocument& document, const EmbeddedFont& font, const std::string& baseName,
                        int programObject)
{
    const Face& face = *font.face;
    const double scale = 1000.0 / face.unitsPerEm();
    const FT_BBox& box = face.ft()->bbox;
    int flags = face.IsFixedPitch() ? 5 : 4;
    if (face.isItalic() || font.fauxItalic)
        flags |= 64;
    double italicAngle = face.ItalicAngle();
    if (font.fauxItalic)
        italicAngle = -kFauxItalicAngle * 180 / kPi;
    DictionaryBuilder descriptor("<</Type /FontDescriptor /FontName /");
    descriptor << baseName << " /Flags " << flags << " /FontBBox [" << Fixed2{box.xMin * scale} << ' '
               << Fixed2{box.yMin * scale} << ' ' << Fixed2{box.xMax * scale} << ' ' << Fixed2{box.yMax * scale}
               << "] /ItalicAngle " << Fixed2{italicAngle} << " /Ascent " << Fixed2{face.ascent() * scale}
               << " /Descent " << Fixed2{face.descent() * scale} << " /CapHeight " << Fixed2{face.CapHeight() * scale}
               << " /StemV 80" << (face.isCff() ? " /FontFile3 " : " /FontFile2 ") << ObjectReference{programObject}
               << " >>";
    return document.WriteObject(descriptor.text());
}

// The descendant CIDFont: glyph ids are the CIDs (Identity), widths per glyph used.
int WriteCidFont(PdfDocument& document, const EmbeddedFont& font, const std::string& baseName, int descriptorObject)
{
    Face& face = *font.face;
    const double scale = 1000.0 / face.unitsPerEm();
    DictionaryBuilder cidFont("<</Type /Font /BaseFont /");
    cidFont << baseName << (face.isCff() ? " /Subtype /CIDFontType0" : " /Subtype /CIDFontType2")
            << " /FontDescriptor " << ObjectReference{descriptorObject} << " /W [";
    for (const auto& [glyph, character] : font.used)
        cidFont << ' ' << glyph << " [" << Fixed2{face.Advance(glyph) * scale} << ']';
    cidFont << " ] /CIDSystemInfo <</Ordering (Identity) /Registry (Adobe) /Supplement 0>> >>";
    return document.WriteObject(cidFont.text());
}

void WriteEmbeddedFont(PdfDocument& document, TextLayer& layer, EmbeddedFont& font, const MadeProgram& made)
{
    const int programObject = WriteFontProgram(document, *font.face, made);
    std::string baseName = PdfNameText(font.name);
    if (made.program.subset)
        baseName = SubsetTag(layer.subsetCounter++) + "+" + baseName;
    const int descriptorObject = WriteFontDescriptor(document, font, baseName, programObject);
    const int cidObject = WriteCidFont(document, font, baseName, descriptorObject);
    int toUnicodeObject = 0;
    if (!font.used.empty())
        toUnicodeObject = document.WriteStream(ToUnicodeCMap(font.used));

    DictionaryBuilder type0("<</Type /Font /BaseFont /");
    type0 << baseName << " /Subtype /Type0 /Name " << font.resource << " /Encoding /Identity-H /DescendantFonts[ "
          << ObjectReference{cidObject} << ']';
    if (toUnicodeObject)
        type0 << " /ToUnicode " << ObjectReference{toUnicodeObject};
    type0 << " >>";
    document.WriteReservedObject(font.object, type0.text());
}

} // namespace

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

} // namespace tavolex::pdf
