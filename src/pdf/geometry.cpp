#include "geometry.h"

namespace tavolex::pdf {

std::optional<Matrix> Inverse(const Matrix& m)
{
    const double det = m.Determinant();
    if (det == 0 || !std::isfinite(det))
        return std::nullopt;
    Matrix r;
    r.a = m.d / det;
    r.b = -m.b / det;
    r.c = -m.c / det;
    r.d = m.a / det;
    r.e = (m.c * m.f - m.d * m.e) / det;
    r.f = (m.b * m.e - m.a * m.f) / det;
    return r;
}

} // namespace tavolex::pdf
