#include "svg_draw.h"

#include "pdf_fonts.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <variant>

namespace tavolex::pdf {

namespace {

Rgba ToRgba(const Color& color)
{
    return {color.red, color.green, color.blue, color.alpha};
}

FillRule ToDrawingRule(SvgFillRule rule)
{
    switch (rule) {
    case SvgFillRule::NonZero:
        return FillRule::NonZero;
    case SvgFillRule::EvenOdd:
        return FillRule::EvenOdd;
    }
    return FillRule::NonZero;
}

} // namespace

Gradient ToDrawingGradient(const SvgGradient& gradient, double viewportWidth, double viewportHeight)
{
    Gradient out;
    out.kind = gradient.kind == SvgGradientKind::Radial ? GradientKind::Radial : GradientKind::Linear;
    out.units = gradient.units == SvgGradientUnits::UserSpace ? GradientUnits::UserSpace
                                                               : GradientUnits::ObjectBoundingBox;
    out.transform = gradient.transform;
    // In bounding-box units a percentage is already the fraction of the box that it names.
    const bool userSpace = out.units == GradientUnits::UserSpace;
    const double diagonal = std::sqrt((viewportWidth * viewportWidth + viewportHeight * viewportHeight) / 2);
    auto resolve = [&](const Length& length, double extent) {
        return length.percent && userSpace ? length.value * extent : length.value;
    };
    out.x1 = resolve(gradient.x1, viewportWidth);
    out.y1 = resolve(gradient.y1, viewportHeight);
    out.x2 = resolve(gradient.x2, viewportWidth);
    out.y2 = resolve(gradient.y2, viewportHeight);
    out.cx = resolve(gradient.cx, viewportWidth);
    out.cy = resolve(gradient.cy, viewportHeight);
    out.r = resolve(gradient.r, diagonal);
    out.fx = resolve(gradient.fx, viewportWidth);
    out.fy = resolve(gradient.fy, viewportHeight);
    out.stops.reserve(gradient.stops.size());
    for (const SvgGradientStop& stop : gradient.stops)
        out.stops.push_back({stop.offset, ToRgba(stop.color)});
    return out;
}

Pen ToDrawingPen(const SvgPen& pen)
{
    Pen out;
    out.width = pen.width;
    switch (pen.cap) {
    case SvgLineCap::Butt:
        out.cap = LineCap::Butt;
        break;
    case SvgLineCap::Square:
        out.cap = LineCap::Square;
        break;
    case SvgLineCap::Round:
        out.cap = LineCap::Round;
        break;
    }
    switch (pen.join) {
    case SvgLineJoin::Miter:
        out.join = LineJoin::Miter;
        break;
    case SvgLineJoin::Bevel:
        out.join = LineJoin::Bevel;
        break;
    case SvgLineJoin::Round:
        out.join = LineJoin::Round;
        break;
    }
    out.miterLimit = pen.miterLimit;
    switch (pen.dash) {
    case DashStyle::Solid:
        break;
    case DashStyle::Custom:
        out.dashes = pen.dashes;
        break;
    }
    return out;
}

Rect FitPicture(const Rect& box, double pictureWidth, double pictureHeight, const AspectRatio& aspect)
{
    if (aspect.align == AspectAlign::None || !(pictureWidth > 0) || !(pictureHeight > 0) || !(box.width > 0) ||
        !(box.height > 0))
        return box;
    const double sx = box.width / pictureWidth;
    const double sy = box.height / pictureHeight;
    const double scale = aspect.slice ? std::max(sx, sy) : std::min(sx, sy);
    const double width = pictureWidth * scale;
    const double height = pictureHeight * scale;
    // Where the spare room goes: 0 before, 1/2 on both sides, 1 after.
    double along = 0.5, across = 0.5;
    switch (aspect.align) {
    case AspectAlign::None:
    case AspectAlign::XMidYMid:
        break;
    case AspectAlign::XMinYMin:
        along = 0, across = 0;
        break;
    case AspectAlign::XMidYMin:
        across = 0;
        break;
    case AspectAlign::XMaxYMin:
        along = 1, across = 0;
        break;
    case AspectAlign::XMinYMid:
        along = 0;
        break;
    case AspectAlign::XMaxYMid:
        along = 1;
        break;
    case AspectAlign::XMinYMax:
        along = 0, across = 1;
        break;
    case AspectAlign::XMidYMax:
        across = 1;
        break;
    case AspectAlign::XMaxYMax:
        along = 1, across = 1;
        break;
    }
    return {box.x + (box.width - width) * along, box.y + (box.height - height) * across, width, height};
}

SvgPageSource::SvgPageSource(const SvgDocument& document) : document_(document)
{
    const double viewportWidth = document.viewBoxWidth > 0 ? document.viewBoxWidth : document.width;
    const double viewportHeight = document.viewBoxHeight > 0 ? document.viewBoxHeight : document.height;
    gradients_.reserve(document.gradients.size());
    for (const SvgGradient& gradient : document.gradients)
        gradients_.push_back(ToDrawingGradient(gradient, viewportWidth, viewportHeight));
}

PageGeometry SvgPageSource::Geometry() const
{
    PageGeometry page;
    page.width = document_.width;
    page.height = document_.height;
    page.viewBoxX = document_.viewBoxX;
    page.viewBoxY = document_.viewBoxY;
    page.viewBoxWidth = document_.viewBoxWidth;
    page.viewBoxHeight = document_.viewBoxHeight;
    page.unitFactorX = document_.unitFactorX;
    page.unitFactorY = document_.unitFactorY;
    page.rootTransform = document_.rootTransform;
    return page;
}

Paint SvgPageSource::ToDrawingPaint(const SvgPaint& paint) const
{
    switch (paint.kind) {
    case SvgPaintKind::None:
        return Paint::None();
    case SvgPaintKind::Color:
        return Paint::Solid(ToRgba(paint.color));
    case SvgPaintKind::Gradient:
        // The parser only hands out indexes it made; one out of range paints nothing.
        if (paint.gradient < 0 || static_cast<size_t>(paint.gradient) >= gradients_.size())
            return Paint::None();
        return Paint::Of(gradients_[static_cast<size_t>(paint.gradient)], paint.color.alpha);
    }
    return Paint::None();
}

ShapeStyle SvgPageSource::StyleOf(const SvgItem& item) const
{
    ShapeStyle style;
    style.transform = item.transform;
    if (item.hasClip) {
        style.clip = &item.clipPath;
        style.clipRule = ToDrawingRule(item.clipRule);
    }
    style.fill = ToDrawingPaint(item.fill);
    style.fillRule = ToDrawingRule(item.fillRule);
    style.stroke = ToDrawingPaint(item.stroke);
    style.pen = ToDrawingPen(item.pen);
    return style;
}

PdfStatus SvgPageSource::DrawItem(size_t index, PdfDocument& document)
{
    if (index >= document_.items.size())
        return PdfStatus::Failed;
    const SvgItem& item = document_.items[index];
    struct Draw {
        SvgPageSource& source;
        PdfDocument& document;
        const SvgItem& item;
        size_t index;
        PdfStatus operator()(const SvgShape&) const
        {
            if (!document.IsPageOpen())
                return PdfStatus::Failed;
            // An item without geometry (a rectangle with a side that is not positive) draws nothing.
            if (!item.path.IsEmpty())
                DrawShape(document, item.path, source.StyleOf(item));
            return PdfStatus::Ok;
        }
        PdfStatus operator()(const SvgImage& image) const { return source.DrawPictureItem(document, item, image); }
        PdfStatus operator()(const SvgText&) const { return source.DrawTextItem(document, index); }
    };
    return std::visit(Draw{*this, document, item, index}, item.content);
}

PdfStatus SvgPageSource::DrawPictureItem(PdfDocument& document, const SvgItem& item, const SvgImage& image)
{
    if (image.bytes.empty())
        return PdfStatus::Ok;
    if (!document.IsPageOpen())
        return PdfStatus::Failed;
    const Rect box{image.x, image.y, image.width, image.height};
    Rect placed = box;
    bool clipToBox = false;
    if (image.aspect.align != AspectAlign::None && box.width > 0 && box.height > 0) {
        // The picture's objects are written at its first use; their record knows its size.
        const std::optional<PdfDocument::ImageRecord> picture = PrepareImage(document, BytesOf(image.bytes));
        if (!picture)
            return PdfStatus::Ok; // a picture that does not decode is skipped
        placed = FitPicture(box, picture->width, picture->height, image.aspect);
        clipToBox = image.aspect.slice;
    }

    ShapeStyle style = StyleOf(item);
    if (!clipToBox)
        return DrawPicture(document, BytesOf(image.bytes), placed, style);
    // A sliced picture overflows its box: the box clips it, inside the item's own clip.
    BeginItem(document, style.transform, style.clip, style.clipRule, PdfDocument::Flush::Now);
    Path boxPath;
    boxPath.MoveTo({box.x, box.y});
    boxPath.LineTo({box.x + box.width, box.y});
    boxPath.LineTo({box.x + box.width, box.y + box.height});
    boxPath.LineTo({box.x, box.y + box.height});
    boxPath.Close();
    BeginClip(document, boxPath, FillRule::NonZero);
    const PdfStatus status = DrawImage(document, BytesOf(image.bytes), placed);
    EndClip(document);
    EndItem(document, style.clip);
    return status;
}

// Text items (kinds 8 and 9) come one per run. The runs of one "text" element are laid out
// together, since a chunk and its anchor may span runs: the block's first item draws it and the
// items after it, up to the next block or a change between plain text and text on a path;
// those items themselves then draw nothing.
PdfStatus SvgPageSource::DrawTextItem(PdfDocument& document, size_t index)
{
    if (!document.IsPageOpen())
        return PdfStatus::Failed;
    const std::vector<SvgItem>& items = document_.items;
    const SvgItemKind kind = items[index].kind();
    auto continues = [&](size_t i) { return i > 0 && !items[i].text()->startsBlock && items[i - 1].kind() == kind; };
    if (continues(index))
        return PdfStatus::Ok;
    size_t end = index + 1;
    while (end < items.size() && items[end].kind() == kind && !items[end].text()->startsBlock)
        ++end;

    std::vector<TextRun> runs;
    runs.reserve(end - index);
    for (size_t i = index; i < end; ++i) {
        const SvgItem& item = items[i];
        const SvgTextRun& text = *item.text();
        TextRun run;
        run.text = text.text;
        run.font = {text.font.family, text.font.weight, text.font.italic, text.font.size};
        run.x = text.x;
        run.y = text.y;
        run.dx = text.dx;
        run.dy = text.dy;
        run.rotate = text.rotate;
        run.anchor = static_cast<TextAnchor>(static_cast<int>(text.anchor));
        run.underline = text.underline;
        run.lineThrough = text.lineThrough;
        run.fill = ToDrawingPaint(item.fill);
        run.stroke = ToDrawingPaint(item.stroke);
        run.strokeWidth = item.pen.width;
        runs.push_back(std::move(run));
    }
    const SvgItem& first = items[index];
    TextStyle style;
    style.transform = first.transform;
    if (first.hasClip) {
        style.clip = &first.clipPath;
        style.clipRule = ToDrawingRule(first.clipRule);
    }
    if (kind == SvgItemKind::TextOnPath)
        DrawTextOnPath(document, runs, first.path, 0, style);
    else
        DrawTextBlock(document, runs, style);
    return PdfStatus::Ok;
}

} // namespace tavolex::pdf
