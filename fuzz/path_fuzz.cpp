// Arbitrary bytes as path data ("d"): the reader must stop cleanly, never produce a cubic or
// line before a move, and never read outside the text. The same bytes then go through the
// other attribute-value parsers (transformation lists, number lists, colours, lengths).
#include <svg.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace tavolex::pdf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t stoppedAt = 0;
    const Path path = ParseSvgPathData(text, &stoppedAt);
    if (stoppedAt != SIZE_MAX && stoppedAt > size)
        __builtin_trap();
    if (!path.IsEmpty() && path.segments().front().kind != SegmentKind::Move)
        __builtin_trap();
    Matrix m;
    ApplySvgTransformList(text, m);
    ParseSvgNumberList(text);
    Color color;
    ParseSvgColor(text, color);
    ParseSvgLength(text, 16);
    return 0;
}
