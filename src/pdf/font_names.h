// Names in the text layer: CSS font-family lists, PDF names and resource names, and the rows of
// the 14 standard fonts (StandardFontName and StandardFontWidth in pdf_fonts.h build on them).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavolex::pdf {

std::string WithoutSpaces(std::string_view text);
// ASCII letters in lower case; every other byte as it is.
std::string Lower(std::string_view text);
// The families of a CSS font-family list, unquoted and trimmed.
std::vector<std::string> SplitFamilies(std::string_view list);

// A PDF name's characters (PDF 1.4, 3.2.4): regular characters as they are, anything else as #xx.
std::string PdfNameText(std::string_view text);
// `prefix` and the name with letters and digits kept and everything else "_"; the prefix alone
// when that would reach 260 characters.
std::string ResourceName(std::string_view prefix, std::string_view name);

// The row of a standard font name in the widths table (pdf_font_widths.h), or -1.
int StandardKind(std::string_view name);
// Symbol and ZapfDingbats, which carry their own built-in encodings.
inline bool IsSymbolicKind(int standardKind)
{
    return standardKind == 12 || standardKind == 13;
}

} // namespace tavolex::pdf
