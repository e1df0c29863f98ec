// Font files for a family list: fontconfig's answers, kept for the life of the process and, where
// a file was named (KeepFontLookupsIn), for later processes too. Registering font folders and
// preparing and storing lookups are declared in pdf.h and pdf_fonts.h.
//
//     std::vector<FontFile> files = FindFontFiles("Lato, sans-serif", 700, false, FontChoice::Best);
#pragma once

#include "stored_font_lookups.h"

#include <string_view>
#include <vector>

namespace tavolex::pdf {

// Which of fontconfig's answers a lookup wants: the best alone is one match, the ranked list a
// sort of every installed font, several times dearer.
enum class FontChoice { Best, Ranked };

// The first family of the list that is installed, else fontconfig's stand-in for the first
// one, as the browser would have drawn it; at most four files, best first, in formats that PDF
// can embed.
std::vector<FontFile> FindFontFiles(std::string_view familyList, int weight, bool italic,
                                    FontChoice choice = FontChoice::Ranked);

} // namespace tavolex::pdf
