// The objects of the embedded fonts, written when a document is finished: for each font the runs
// used, its program cut to the glyphs used (HarfBuzz's subsetter, glyph ids kept), a descriptor, a
// CIDFont with the widths of those glyphs, a ToUnicode map and the Type 0 font that pages name.
#pragma once

#include "pdf_writer.h"

namespace tavolex::pdf {

// Writes the fonts of the document's text layer (text_layer.h), in the order of their first use.
// A finish step of the document.
void WriteEmbeddedFonts(PdfDocument& document);

} // namespace tavolex::pdf
