// Arbitrary bytes as a whole SVG page: XML reading, the walk, references, gradients, clip
// paths, text and pictures. Nothing may crash, hang or produce a non-finite point.
#include <svg.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace tavolex::pdf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SvgDocument document;
    ParseSvg(text, document);
    for (const SvgItem& item : document.items) {
        if (item.fill.kind == SvgPaintKind::Gradient &&
            (item.fill.gradient < 0 || size_t(item.fill.gradient) >= document.gradients.size()))
            __builtin_trap();
        if (item.stroke.kind == SvgPaintKind::Gradient &&
            (item.stroke.gradient < 0 || size_t(item.stroke.gradient) >= document.gradients.size()))
            __builtin_trap();
        if (item.pen.dash == DashStyle::Custom && item.pen.dashes.size() % 2 != 0)
            __builtin_trap();
        for (const Segment& segment : item.path.segments())
            for (const Point& p : segment.points)
                if (!std::isfinite(p.x) || !std::isfinite(p.y))
                    __builtin_trap();
        const Matrix& m = item.transform;
        if (!std::isfinite(m.a + m.b + m.c + m.d + m.e + m.f))
            __builtin_trap();
    }
    return 0;
}
