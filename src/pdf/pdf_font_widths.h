// The advance widths of the 14 standard PDF fonts, in 1/1000 em, for the character codes 0 to
// 255: WinAnsiEncoding for the text fonts, the built-in encodings for Symbol and ZapfDingbats.
// The table is generated (tools/make_standard_font_widths.py) from public AFM metrics.
#pragma once

#include <cstdint>

namespace tavolex::pdf {

inline constexpr int kStandardFontCount = 14;
// Rows in FontKind order: Helvetica, -Bold, -Oblique, -BoldOblique, Times-Roman, -Bold, -Italic,
// -BoldItalic, Courier, -Bold, -Oblique, -BoldOblique, Symbol, ZapfDingbats.
extern const uint16_t kStandardFontWidths[kStandardFontCount][256];

} // namespace tavolex::pdf
