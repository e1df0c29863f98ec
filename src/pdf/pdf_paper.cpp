// The page-size table, the paper an export chooses, and where a page lands on it.
#include "pdf_writer.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace tavolex::pdf {

namespace {

constexpr double kPointsPerMm = 0.03937007874015748 * 72;
// Points per millimetre as the placement has always computed it: a single-precision constant.
constexpr float kPlacementPointsPerMm = 2.8346457f;
// A view-box side or row length this close to 0 counts as absent (the float epsilon of 2^-23).
constexpr double kNearZero = 1.0 / 8388608.0;
constexpr PaperSize kPaperSizes[] = {
    {1, u"a0", u"A0", 841, 1189},
    {2, u"a1", u"A1", 594, 841},
    {3, u"a2", u"A2", 420, 594},
    {4, u"a3", u"A3", 297, 420},
    {5, u"a4", u"A4", 210, 297},
    {6, u"a5", u"A5", 148, 210},
    {7, u"a6", u"A6", 105, 148},
    {8, u"a7", u"A7", 75, 105},
    {9, u"b0", u"B0", 1000, 1414},
    {10, u"b1", u"B1", 707, 1000},
    {11, u"b2", u"B2", 500, 707},
    {12, u"b3", u"B3", 353, 500},
    {13, u"b4", u"B4", 250, 353},
    {14, u"b5", u"B5", 176, 250},
    {15, u"b6", u"B6", 125, 176},
    {16, u"b7", u"B7", 88, 125},
    {17, u"usstatement", u"Statement", 140, 216},
    {18, u"usletter", u"Letter", 216, 279},
    {19, u"uslegal", u"Legal", 216, 356},
    {20, u"usledger", u"Ledger", 279, 432},
    {21, u"ustabloid", u"Tabloid", 279, 432},
    {22, u"ostrevanmanual", u"Manual", 127.54, 178.54},
};
constexpr int kA4Id = 5;

int32_t MmToPoints(double mm)
{
    return static_cast<int32_t>(mm * kPointsPerMm);
}


} // namespace

const PaperSize* FindPaperSize(int id)
{
    if (id < 1 || id > static_cast<int>(std::size(kPaperSizes)))
        return nullptr;
    return &kPaperSizes[id - 1];
}

std::optional<int> PaperIdForCode(PaperCode code)
{
    switch (code) {
    case PaperCode::A4: return 5;
    case PaperCode::Letter: return 18;
    case PaperCode::Legal: return 19;
    case PaperCode::A0: return 1;
    case PaperCode::A1: return 2;
    case PaperCode::A2: return 3;
    case PaperCode::A3: return 4;
    }
    return std::nullopt; // a number outside the enumeration
}

PaperChoice ChoosePaper(PaperCode code, int32_t orientation)
{
    const std::optional<int> id = PaperIdForCode(code);
    const PaperSize* row = id ? FindPaperSize(*id) : nullptr;
    if (!row || MmToPoints(row->widthMm) == 0 || MmToPoints(row->heightMm) == 0)
        row = FindPaperSize(kA4Id);
    PaperChoice paper{row->widthMm, row->heightMm, MmToPoints(row->widthMm), MmToPoints(row->heightMm)};
    if (orientation == 1) {
        std::swap(paper.widthMm, paper.heightMm);
        std::swap(paper.widthPt, paper.heightPt);
    }
    return paper;
}

Placement PlacePage(const PageGeometry& page, double paperWidthMm, double paperHeightMm,
                    double marginMm, int32_t placement, int32_t fit)
{
    double viewWidth = page.viewBoxWidth;
    double viewHeight = page.viewBoxHeight;
    if (std::fabs(viewWidth) <= kNearZero)
        viewWidth = page.width;
    if (std::fabs(viewHeight) <= kNearZero)
        viewHeight = page.height;
    if (!(viewWidth > 0) || !(viewHeight > 0))
        return {};

    Placement result;
    result.scale = std::min(page.unitFactorX, page.unitFactorY) * static_cast<double>(kPlacementPointsPerMm) *
                   std::min(page.width / viewWidth, page.height / viewHeight);

    const Matrix& root = page.rootTransform;
    double rowX = std::hypot(root.a, root.b);
    double rowY = std::hypot(root.c, root.d);
    if (std::fabs(rowX) <= kNearZero)
        rowX = 1;
    if (std::fabs(rowY) <= kNearZero)
        rowY = 1;
    double w = page.width * page.unitFactorX * rowX;
    double h = page.height * page.unitFactorY * rowY;

    result.offsetX = result.offsetY = marginMm * kPointsPerMm;
    const double roomX = paperWidthMm - 2 * marginMm;
    const double roomY = paperHeightMm - 2 * marginMm;
    const bool scales = fit == 1 || (fit == 2 && roomX > w && roomY > h);
    // A page without extent cannot be fitted; it keeps its (zero) size.
    if (scales && w > 0 && h > 0) {
        const double f = std::min(roomX / w, roomY / h);
        result.scale *= f;
        w *= f;
        h *= f;
    }
    if (placement == 1) {
        result.offsetX = (paperWidthMm - w - 2 * marginMm) * kPointsPerMm / 2 + marginMm * kPointsPerMm;
        result.offsetY = (paperHeightMm - h - 2 * marginMm) * kPointsPerMm / 2 + marginMm * kPointsPerMm;
    } else if (placement == 2) {
        result.offsetY = (paperHeightMm - h - marginMm) * kPointsPerMm;
    }
    return result;
}

} // namespace tavolex::pdf
