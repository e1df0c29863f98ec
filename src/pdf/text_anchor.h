// Where a text chunk stands relative to its position (SVG 1.1 "text-anchor"): shared by the SVG
// model, which reads it, and the text layer, which measures the chunk and moves it.
#pragma once

namespace tavolex::pdf {

enum class TextAnchor { Start = 0, Middle = 1, End = 2 };

} // namespace tavolex::pdf
