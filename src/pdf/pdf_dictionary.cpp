#include "pdf_dictionary.h"

#include "geometry.h"
#include "pdf_writer.h"

#include <charconv>
#include <cmath>

namespace tavolex::pdf {

void AppendReal(std::string& out, double value)
{
    if (!std::isfinite(value))
        value = 0;
    char text[400]; // "%f" of the largest double needs 309 digits before the point
    auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    if (ec != std::errc()) {
        out.append("0.000000");
        return;
    }
    out.append(text, end);
}

void AppendInt(std::string& out, int64_t value)
{
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    (void)ec;
    out.append(text, end);
}

void AppendMatrix(std::string& out, const Matrix& m)
{
    const double values[6] = {m.a, m.b, m.c, m.d, m.e, m.f};
    for (int i = 0; i < 6; ++i) {
        if (i > 0)
            out.push_back(' ');
        AppendReal(out, values[i]);
    }
}

void AppendReference(std::string& out, int object)
{
    AppendInt(out, object);
    out.append(" 0 R");
}

} // namespace tavolex::pdf
