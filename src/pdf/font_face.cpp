#include "font_face.h"

#include <fontconfig/fontconfig.h>
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H
#include FT_FONT_FORMATS_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavolex::pdf {

bool MappedFile::Open(const std::string& path)
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

std::unique_ptr<Face> Face::Load(FT_Library library, const FontFile& file)
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

Face::~Face()
{
    if (shaper_)
        hb_font_destroy(shaper_);
    if (face_)
        FT_Done_Face(face_);
}

std::optional<std::vector<std::pair<unsigned, double>>> Face::Shape(const std::u32string& characters)
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

double Face::CapHeight() const
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

double Face::ItalicAngle() const
{
    const auto* post = static_cast<const TT_Postscript*>(FT_Get_Sfnt_Table(face_, FT_SFNT_POST));
    return post ? post->italicAngle / 65536.0 : 0;
}

std::pair<double, double> Face::Underline() const
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

std::pair<double, double> Face::LineThrough() const
{
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face_, FT_SFNT_OS2));
    // OS/2 gives the top of the stroke (as browsers and Pango read it), not its middle.
    if (os2 && os2->yStrikeoutSize > 0)
        return {os2->yStrikeoutPosition - os2->yStrikeoutSize / 2.0, static_cast<double>(os2->yStrikeoutSize)};
    return {unitsPerEm() * 0.3, Underline().second};
}

void Face::AppendOutline(Path& path, unsigned glyph, double scale, const Matrix& placement)
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

} // namespace tavolex::pdf
