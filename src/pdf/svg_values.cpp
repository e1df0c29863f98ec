// The value parsers of the SVG model: colours, lengths, number lists, transformation lists,
// path data with arcs, the geometry of the basic shapes and Base64 for embedded pictures.
#include "svg.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tavolex::pdf {

namespace {

bool IsListSeparator(char c) { return c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
void SkipSeparators(TextCursor& cursor) { cursor.ConsumeWhile(IsListSeparator); }

// Converts text already checked to hold a number; "+" is dropped since from_chars refuses it.
std::optional<double> ToNumber(std::string_view text)
{
    if (!text.empty() && text[0] == '+')
        text.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
                             text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                             text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

uint8_t ClampToByte(double value)
{
    if (!(value > 0))
        return 0;
    if (value >= 255)
        return 255;
    return static_cast<uint8_t>(value); // cut toward zero
}

// The control-point distance of a cubic that approximates a quarter circle of radius 1.
constexpr double kKappa = 0.5522847498307936;

} // namespace

// ---------------------------------------------------------------------------------------------
// Colours

const ColorKeyword kSvgColorKeywords[147] = {
    {"aliceblue", 240, 248, 255},
    {"antiquewhite", 250, 235, 215},
    {"aqua", 0, 255, 255},
    {"aquamarine", 127, 255, 212},
    {"azure", 240, 255, 255},
    {"beige", 245, 245, 220},
    {"bisque", 255, 228, 196},
    {"black", 0, 0, 0},
    {"blanchedalmond", 255, 235, 205},
    {"blue", 0, 0, 255},
    {"blueviolet", 138, 43, 226},
    {"brown", 165, 42, 42},
    {"burlywood", 222, 184, 135},
    {"cadetblue", 95, 158, 160},
    {"chartreuse", 127, 255, 0},
    {"chocolate", 210, 105, 30},
    {"coral", 255, 127, 80},
    {"cornflowerblue", 100, 149, 237},
    {"cornsilk", 255, 248, 220},
    {"crimson", 220, 20, 60},
    {"cyan", 0, 255, 255},
    {"darkblue", 0, 0, 139},
    {"darkcyan", 0, 139, 139},
    {"darkgoldenrod", 184, 134, 11},
    {"darkgray", 169, 169, 169},
    {"darkgreen", 0, 100, 0},
    {"darkgrey", 169, 169, 169},
    {"darkkhaki", 189, 183, 107},
    {"darkmagenta", 139, 0, 139},
    {"darkolivegreen", 85, 107, 47},
    {"darkorange", 255, 140, 0},
    {"darkorchid", 153, 50, 204},
    {"darkred", 139, 0, 0},
    {"darksalmon", 233, 150, 122},
    {"darkseagreen", 143, 188, 143},
    {"darkslateblue", 72, 61, 139},
    {"darkslategray", 47, 79, 79},
    {"darkslategrey", 47, 79, 79},
    {"darkturquoise", 0, 206, 209},
    {"darkviolet", 148, 0, 211},
    {"deeppink", 255, 20, 147},
    {"deepskyblue", 0, 191, 255},
    {"dimgray", 105, 105, 105},
    {"dimgrey", 105, 105, 105},
    {"dodgerblue", 30, 144, 255},
    {"firebrick", 178, 34, 34},
    {"floralwhite", 255, 250, 240},
    {"forestgreen", 34, 139, 34},
    {"fuchsia", 255, 0, 255},
    {"gainsboro", 220, 220, 220},
    {"ghostwhite", 248, 248, 255},
    {"gold", 255, 215, 0},
    {"goldenrod", 218, 165, 32},
    {"gray", 128, 128, 128},
    {"green", 0, 128, 0},
    {"greenyellow", 173, 255, 47},
    {"grey", 128, 128, 128},
    {"honeydew", 240, 255, 240},
    {"hotpink", 255, 105, 180},
    {"indianred", 205, 92, 92},
    {"indigo", 75, 0, 130},
    {"ivory", 255, 255, 240},
    {"khaki", 240, 230, 140},
    {"lavender", 230, 230, 250},
    {"lavenderblush", 255, 240, 245},
    {"lawngreen", 124, 252, 0},
    {"lemonchiffon", 255, 250, 205},
    {"lightblue", 173, 216, 230},
    {"lightcoral", 240, 128, 128},
    {"lightcyan", 224, 255, 255},
    {"lightgoldenrodyellow", 250, 250, 210},
    {"lightgray", 211, 211, 211},
    {"lightgreen", 144, 238, 144},
    {"lightgrey", 211, 211, 211},
    {"lightpink", 255, 182, 193},
    {"lightsalmon", 255, 160, 122},
    {"lightseagreen", 32, 178, 170},
    {"lightskyblue", 135, 206, 250},
    {"lightslategray", 119, 136, 153},
    {"lightslategrey", 119, 136, 153},
    {"lightsteelblue", 176, 196, 222},
    {"lightyellow", 255, 255, 224},
    {"lime", 0, 255, 0},
    {"limegreen", 50, 205, 50},
    {"linen", 250, 240, 230},
    {"magenta", 255, 0, 255},
    {"maroon", 128, 0, 0},
    {"mediumaquamarine", 102, 205, 170},
    {"mediumblue", 0, 0, 205},
    {"mediumorchid", 186, 85, 211},
    {"mediumpurple", 147, 112, 219},
    {"mediumseagreen", 60, 179, 113},
    {"mediumslateblue", 123, 104, 238},
    {"mediumspringgreen", 0, 250, 154},
    {"mediumturquoise", 72, 209, 204},
    {"mediumvioletred", 199, 21, 133},
    {"midnightblue", 25, 25, 112},
    {"mintcream", 245, 255, 250},
    {"mistyrose", 255, 228, 225},
    {"moccasin", 255, 228, 181},
    {"navajowhite", 255, 222, 173},
    {"navy", 0, 0, 128},
    {"oldlace", 253, 245, 230},
    {"olive", 128, 128, 0},
    {"olivedrab", 107, 142, 35},
    {"orange", 255, 165, 0},
    {"orangered", 255, 69, 0},
    {"orchid", 218, 112, 214},
    {"palegoldenrod", 238, 232, 170},
    {"palegreen", 152, 251, 152},
    {"paleturquoise", 175, 238, 238},
    {"palevioletred", 219, 112, 147},
    {"papayawhip", 255, 239, 213},
    {"peachpuff", 255, 218, 185},
    {"peru", 205, 133, 63},
    {"pink", 255, 192, 203},
    {"plum", 221, 160, 221},
    {"powderblue", 176, 224, 230},
    {"purple", 128, 0, 128},
    {"red", 255, 0, 0},
    {"rosybrown", 188, 143, 143},
    {"royalblue", 65, 105, 225},
    {"saddlebrown", 139, 69, 19},
    {"salmon", 250, 128, 114},
    {"sandybrown", 244, 164, 96},
    {"seagreen", 46, 139, 87},
    {"seashell", 255, 245, 238},
    {"sienna", 160, 82, 45},
    {"silver", 192, 192, 192},
    {"skyblue", 135, 206, 235},
    {"slateblue", 106, 90, 205},
    {"slategray", 112, 128, 144},
    {"slategrey", 112, 128, 144},
    {"snow", 255, 250, 250},
    {"springgreen", 0, 255, 127},
    {"steelblue", 70, 130, 180},
    {"tan", 210, 180, 140},
    {"teal", 0, 128, 128},
    {"thistle", 216, 191, 216},
    {"tomato", 255, 99, 71},
    {"turquoise", 64, 224, 208},
    {"violet", 238, 130, 238},
    {"wheat", 245, 222, 179},
    {"white", 255, 255, 255},
    {"whitesmoke", 245, 245, 245},
    {"yellow", 255, 255, 0},
    {"yellowgreen", 154, 205, 50},
};

ColorParse ParseSvgColor(std::string_view text, Color& color)
{
    TextCursor cursor(text);
    cursor.ConsumeWhile([](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
    if (cursor.ConsumeSpecific('#')) {
        const std::string_view digits = cursor.ConsumeWhile(IsHexDigit);
        if (digits.size() == 3) {
            color.red = static_cast<uint8_t>(HexValue(digits[0]) * 17);
            color.green = static_cast<uint8_t>(HexValue(digits[1]) * 17);
            color.blue = static_cast<uint8_t>(HexValue(digits[2]) * 17);
            return ColorParse::Parsed;
        }
        if (digits.size() == 6) {
            color.red = static_cast<uint8_t>(HexValue(digits[0]) * 16 + HexValue(digits[1]));
            color.green = static_cast<uint8_t>(HexValue(digits[2]) * 16 + HexValue(digits[3]));
            color.blue = static_cast<uint8_t>(HexValue(digits[4]) * 16 + HexValue(digits[5]));
            return ColorParse::Parsed;
        }
        return ColorParse::Invalid;
    }
    if (cursor.ConsumeSpecific("rgb")) {
        // rgb(r, g, b): numbers are bytes; percentages (SVG 1.1 section 4.2) are of 255. The
        // CSS form rgba(r, g, b, a) gives its colour; its alpha is not a colour byte here.
        cursor.ConsumeSpecific('a');
        cursor.ConsumeWhile([](char c) { return c == ' ' || c == '\t'; });
        if (!cursor.ConsumeSpecific('('))
            return ColorParse::Invalid;
        double channels[3];
        for (double& channel : channels) {
            cursor.ConsumeWhile([](char c) { return c == ' ' || c == '\t'; });
            const std::optional<double> number = ReadSvgListNumber(cursor);
            if (!number)
                return ColorParse::Invalid;
            channel = cursor.ConsumeSpecific('%') ? *number * 255 / 100 : *number;
            cursor.ConsumeWhile([](char c) { return c == ' ' || c == '\t'; });
            cursor.ConsumeSpecific(',');
        }
        color.red = ClampToByte(channels[0]);
        color.green = ClampToByte(channels[1]);
        color.blue = ClampToByte(channels[2]);
        return ColorParse::Parsed;
    }
    const std::string_view name = Trim(cursor.Remaining());
    if (name == "inherit")
        return ColorParse::Inherit;
    if (name.empty() || name.size() > 43)
        return ColorParse::Invalid;
    const auto* end = std::end(kSvgColorKeywords);
    const auto* found = std::lower_bound(std::begin(kSvgColorKeywords), end, name,
                                         [](const ColorKeyword& k, std::string_view n) { return k.name < n; });
    if (found == end || found->name != name)
        return ColorParse::Invalid;
    color.red = found->red;
    color.green = found->green;
    color.blue = found->blue;
    return ColorParse::Parsed;
}

// ---------------------------------------------------------------------------------------------
// Numbers and lengths

std::optional<double> ReadSvgListNumber(TextCursor& cursor)
{
    const size_t saved = cursor.Save();
    SkipSeparators(cursor);
    const size_t start = cursor.position();
    if (!cursor.ConsumeSpecific('+'))
        cursor.ConsumeSpecific('-');
    size_t digits = cursor.ConsumeWhile(IsDigit).size();
    if (cursor.ConsumeSpecific('.'))
        digits += cursor.ConsumeWhile(IsDigit).size();
    if (digits == 0) {
        cursor.Restore(saved);
        return std::nullopt;
    }
    // An exponent only when digits follow; "1em" or "2e" end before the "e".
    const char e = cursor.Peek();
    if (e == 'e' || e == 'E') {
        const char after = cursor.Peek(1);
        if (IsDigit(after) || ((after == '+' || after == '-') && IsDigit(cursor.Peek(2)))) {
            cursor.Consume();
            if (!cursor.ConsumeSpecific('+'))
                cursor.ConsumeSpecific('-');
            cursor.ConsumeWhile(IsDigit);
        }
    }
    const std::optional<double> value =
        ToNumber(cursor.text().substr(start, cursor.position() - start));
    if (!value)
        cursor.Restore(saved);
    return value;
}

std::vector<double> ParseSvgNumberList(std::string_view text, size_t limit)
{
    std::vector<double> numbers;
    TextCursor cursor(text);
    while (numbers.size() < limit) {
        const std::optional<double> number = ReadSvgListNumber(cursor);
        if (!number)
            break;
        numbers.push_back(*number);
    }
    return numbers;
}

std::optional<Length> ParseSvgLength(std::string_view text, double fontSize)
{
    TextCursor cursor(text);
    SkipSeparators(cursor);
    const size_t start = cursor.position();
    while (!cursor.AtEnd()) {
        const char c = cursor.Peek();
        if ((c == 'e' || c == 'E') && (cursor.Peek(1) == 'm' || cursor.Peek(1) == 'x'))
            break;
        if (!IsDigit(c) && c != '+' && c != '-' && c != '.' && c != 'e' && c != 'E')
            break;
        cursor.Consume();
    }
    const std::optional<double> number = ToNumber(text.substr(start, cursor.position() - start));
    if (!number)
        return std::nullopt;
    // Trailing white space is allowed, none between the number and its unit.
    std::string_view unit = cursor.Remaining();
    while (!unit.empty() && IsListSeparator(unit.back()) && unit.back() != ',')
        unit.remove_suffix(1);
    Length length{*number, false};
    if (unit.empty() || unit == "px")
        ;
    else if (unit == "em")
        length.value *= fontSize;
    else if (unit == "ex")
        length.value *= fontSize * 0.5;
    else if (unit == "pt")
        length.value *= 96.0 / 72.0;
    else if (unit == "pc")
        length.value *= 16;
    else if (unit == "cm")
        length.value *= 96 / 2.54;
    else if (unit == "mm")
        length.value *= 96 * 0.03937008;
    else if (unit == "in")
        length.value *= 96;
    else if (unit == "%") {
        length.value *= 0.01;
        length.percent = true;
    } else {
        return std::nullopt;
    }
    if (!std::isfinite(length.value))
        return std::nullopt;
    return length;
}

// ---------------------------------------------------------------------------------------------
// Transformation lists (SVG 1.1 section 7.6)

namespace {

// The numbers in parentheses after a keyword; nullopt when there are no parentheses. The
// cursor ends after the ")" (or at the end of the text).
std::optional<std::vector<double>> ReadTransformArguments(TextCursor& cursor)
{
    cursor.ConsumeWhile(IsListSeparator);
    if (!cursor.ConsumeSpecific('('))
        return std::nullopt;
    std::vector<double> numbers;
    while (numbers.size() < 6) {
        const std::optional<double> number = ReadSvgListNumber(cursor);
        if (!number)
            break;
        numbers.push_back(*number);
    }
    cursor.ConsumeWhile(IsListSeparator);
    if (!cursor.ConsumeSpecific(')')) {
        // Extra or broken arguments: the transformation is not applied.
        cursor.ConsumeWhile([](char c) { return c != ')'; });
        cursor.ConsumeSpecific(')');
        return std::nullopt;
    }
    return numbers;
}


} // namespace

int ApplySvgTransformList(std::string_view text, Matrix& matrix)
{
    int passedOver = 0;
    TextCursor cursor(text);
    while (!cursor.AtEnd()) {
        const char c = cursor.Peek();
        if (c < 'a' || c > 'z') {
            cursor.Consume();
            continue;
        }
        enum class Kind { Matrix, Translate, Rotate, Scale } kind;
        if (cursor.ConsumeSpecific("matrix"))
            kind = Kind::Matrix;
        else if (cursor.ConsumeSpecific("translate"))
            kind = Kind::Translate;
        else if (cursor.ConsumeSpecific("rotate"))
            kind = Kind::Rotate;
        else if (cursor.ConsumeSpecific("scale"))
            kind = Kind::Scale;
        else {
            // skewX, skewY and unknown words: passed over letter by letter; their numbers are
            // skipped like any other character.
            if (cursor.NextIs("skewX") || cursor.NextIs("skewY"))
                ++passedOver;
            cursor.Consume();
            continue;
        }
        const std::optional<std::vector<double>> arguments = ReadTransformArguments(cursor);
        if (!arguments) {
            ++passedOver;
            continue;
        }
        const std::vector<double>& n = *arguments;
        std::optional<Matrix> step;
        switch (kind) {
        case Kind::Matrix:
            if (n.size() == 6)
                step = Matrix{n[0], n[1], n[2], n[3], n[4], n[5]};
            break;
        case Kind::Translate:
            if (n.size() == 1 || n.size() == 2)
                step = Matrix::Translation(n[0], n.size() == 2 ? n[1] : 0);
            break;
        case Kind::Rotate:
            if (n.size() == 1)
                step = Matrix::Rotation(n[0]);
            else if (n.size() == 3)
                step = Matrix::Translation(n[1], n[2])
                           .After(Matrix::Rotation(n[0]))
                           .After(Matrix::Translation(-n[1], -n[2]));
            break;
        case Kind::Scale:
            if (n.size() == 1 || n.size() == 2)
                step = Matrix::Scaling(n[0], n.size() == 2 ? n[1] : n[0]);
            break;
        }
        if (step)
            matrix = matrix.After(*step);
        else
            ++passedOver;
    }
    return passedOver;
}

// ---------------------------------------------------------------------------------------------
// Shapes and arcs

void AppendSvgArc(Path& path, Point from, double rx, double ry, double xAxisRotation,
                  bool largeArc, bool sweep, Point to)
{
    // F.6.2: an arc to its own start point is omitted; a zero radius makes it a line.
    if (from.x == to.x && from.y == to.y)
        return;
    rx = std::fabs(rx);
    ry = std::fabs(ry);
    if (rx == 0 || ry == 0) {
        path.LineTo(to);
        return;
    }
    const double phi = std::fmod(xAxisRotation, 360) * kPi / 180;
    const double cosPhi = std::cos(phi);
    const double sinPhi = std::sin(phi);
    // F.6.5 step 1: the start point in the ellipse's own axes, relative to the chord's middle.
    const double dx2 = (from.x - to.x) / 2;
    const double dy2 = (from.y - to.y) / 2;
    const double x1p = cosPhi * dx2 + sinPhi * dy2;
    const double y1p = -sinPhi * dx2 + cosPhi * dy2;
    // F.6.6: radii too small for the chord are scaled up by the square root of the excess.
    const double lambda = (x1p * x1p) / (rx * rx) + (y1p * y1p) / (ry * ry);
    if (lambda > 1) {
        rx *= std::sqrt(lambda);
        ry *= std::sqrt(lambda);
    }
    // Step 2: the centre, on the side that the two flags choose.
    const double rx2 = rx * rx, ry2 = ry * ry;
    const double numerator = rx2 * ry2 - rx2 * y1p * y1p - ry2 * x1p * x1p;
    const double denominator = rx2 * y1p * y1p + ry2 * x1p * x1p;
    double coefficient = denominator > 0 ? std::sqrt(std::max(0.0, numerator / denominator)) : 0;
    if (largeArc == sweep)
        coefficient = -coefficient;
    const double cxp = coefficient * rx * y1p / ry;
    const double cyp = -coefficient * ry * x1p / rx;
    // Step 3 and 4: the centre in user space, the start angle and the extent in degrees.
    const double cx = cosPhi * cxp - sinPhi * cyp + (from.x + to.x) / 2;
    const double cy = sinPhi * cxp + cosPhi * cyp + (from.y + to.y) / 2;
    const double ux = (x1p - cxp) / rx, uy = (y1p - cyp) / ry;
    const double vx = (-x1p - cxp) / rx, vy = (-y1p - cyp) / ry;
    const double startAngle = std::fmod(std::atan2(uy, ux) * 180 / kPi, 360);
    double extent = std::fmod((std::atan2(vy, vx) - std::atan2(uy, ux)) * 180 / kPi, 360);
    if (sweep && extent < 0)
        extent += 360;
    else if (!sweep && extent > 0)
        extent -= 360;
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(extent) || extent == 0) {
        path.LineTo(to);
        return;
    }
    const int pieces = std::max(1, static_cast<int>(std::ceil(std::fabs(extent) / 90 - 1e-9)));
    const double step = extent / pieces * kPi / 180;
    const double k = 4.0 / 3.0 * std::tan(step / 4);
    auto map = [&](double x, double y) {
        return Point{cx + rx * cosPhi * x - ry * sinPhi * y, cy + rx * sinPhi * x + ry * cosPhi * y};
    };
    double angle = startAngle * kPi / 180;
    for (int i = 0; i < pieces; ++i) {
        const double next = angle + step;
        const double c0 = std::cos(angle), s0 = std::sin(angle);
        const double c1 = std::cos(next), s1 = std::sin(next);
        const Point end = i + 1 == pieces ? to : map(c1, s1);
        path.CubicTo(map(c0 - k * s0, s0 + k * c0), map(c1 + k * s1, s1 - k * c1), end);
        angle = next;
    }
}

Path SvgEllipsePath(double cx, double cy, double rx, double ry)
{
    Path path;
    const double kx = rx * kKappa, ky = ry * kKappa;
    path.MoveTo({cx + rx, cy});
    path.CubicTo({cx + rx, cy + ky}, {cx + kx, cy + ry}, {cx, cy + ry});
    path.CubicTo({cx - kx, cy + ry}, {cx - rx, cy + ky}, {cx - rx, cy});
    path.CubicTo({cx - rx, cy - ky}, {cx - kx, cy - ry}, {cx, cy - ry});
    path.CubicTo({cx + kx, cy - ry}, {cx + rx, cy - ky}, {cx + rx, cy});
    path.Close();
    return path;
}

Path SvgRectanglePath(double x, double y, double width, double height, double rx, double ry)
{
    Path path;
    rx = std::clamp(rx, 0.0, width / 2);
    ry = std::clamp(ry, 0.0, height / 2);
    if (rx == 0 || ry == 0) {
        path.MoveTo({x, y});
        path.LineTo({x + width, y});
        path.LineTo({x + width, y + height});
        path.LineTo({x, y + height});
        path.Close();
        return path;
    }
    const double kx = rx * kKappa, ky = ry * kKappa;
    const double right = x + width, bottom = y + height;
    path.MoveTo({x + rx, y});
    path.LineTo({right - rx, y});
    path.CubicTo({right - rx + kx, y}, {right, y + ry - ky}, {right, y + ry});
    path.LineTo({right, bottom - ry});
    path.CubicTo({right, bottom - ry + ky}, {right - rx + kx, bottom}, {right - rx, bottom});
    path.LineTo({x + rx, bottom});
    path.CubicTo({x + rx - kx, bottom}, {x, bottom - ry + ky}, {x, bottom - ry});
    path.LineTo({x, y + ry});
    path.CubicTo({x, y + ry - ky}, {x + rx - kx, y}, {x + rx, y});
    path.Close();
    return path;
}

// ---------------------------------------------------------------------------------------------
// Path data (SVG 1.1 section 8.3)

namespace {

// An arc flag is one "0" or "1", which may be written without a separator ("a5 5 0 1150 50").
std::optional<bool> ReadArcFlag(TextCursor& cursor)
{
    const size_t saved = cursor.Save();
    SkipSeparators(cursor);
    if (cursor.ConsumeSpecific('0'))
        return false;
    if (cursor.ConsumeSpecific('1'))
        return true;
    cursor.Restore(saved);
    return std::nullopt;
}

int ArgumentCount(char command)
{
    switch (command | 0x20) {
    case 'm': case 'l': case 't': return 2;
    case 'h': case 'v': return 1;
    case 'c': return 6;
    case 's': case 'q': return 4;
    case 'a': return 7;
    default: return 0;
    }
}

class PathDataReader {
public:
    explicit PathDataReader(std::string_view text) : cursor_(text) {}

    Path Read(size_t* stoppedAt)
    {
        char command = 0;
        for (;;) {
            SkipSeparators(cursor_);
            if (cursor_.AtEnd()) {
                if (stoppedAt)
                    *stoppedAt = SIZE_MAX;
                return std::move(path_);
            }
            const size_t commandStart = cursor_.position();
            const char c = cursor_.Peek();
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
                if (std::string_view("MmZzLlHhVvCcSsQqTtAa").find(c) == std::string_view::npos)
                    break; // F, f, P, p and any other letter stop the reading
                command = c;
                cursor_.Consume();
            } else if (command == 0 || command == 'Z' || command == 'z') {
                break; // numbers where a command letter is needed
            } else if (command == 'M') {
                command = 'L';
            } else if (command == 'm') {
                command = 'l';
            }
            // Path data must begin with a move.
            if (!started_ && command != 'M' && command != 'm') {
                cursor_.Restore(commandStart);
                break;
            }
            if (!Execute(command)) {
                cursor_.Restore(commandStart);
                break;
            }
        }
        if (stoppedAt)
            *stoppedAt = cursor_.position();
        return std::move(path_);
    }

private:
    bool ReadNumbers(char command, double* out)
    {
        const int count = ArgumentCount(command);
        for (int i = 0; i < count; ++i) {
            std::optional<double> value;
            if ((command | 0x20) == 'a' && (i == 3 || i == 4)) {
                const std::optional<bool> flag = ReadArcFlag(cursor_);
                if (flag)
                    value = *flag ? 1 : 0;
            } else {
                value = ReadSvgListNumber(cursor_);
            }
            if (!value)
                return false;
            out[i] = *value;
        }
        return true;
    }

    // After "Z" a drawing command without "M" starts its figure at the closed figure's start.
    void StartFigureIfClosed()
    {
        if (closed_) {
            path_.MoveTo(current_);
            closed_ = false;
        }
    }

    bool Execute(char command)
    {
        double n[7];
        if (!ReadNumbers(command, n))
            return false;
        const bool relative = command >= 'a';
        const Point base = relative ? current_ : Point{0, 0};
        auto at = [&](int i) { return Point{base.x + n[i], base.y + n[i + 1]}; };
        const char family = static_cast<char>(command & ~0x20);
        switch (family) {
        case 'M':
            current_ = start_ = at(0);
            path_.MoveTo(current_);
            started_ = true;
            closed_ = false;
            break;
        case 'Z':
            path_.Close();
            current_ = start_;
            closed_ = true;
            break;
        case 'L':
            StartFigureIfClosed();
            current_ = at(0);
            path_.LineTo(current_);
            break;
        case 'H':
            StartFigureIfClosed();
            current_.x = base.x + n[0];
            path_.LineTo(current_);
            break;
        case 'V':
            StartFigureIfClosed();
            current_.y = (relative ? current_.y : 0) + n[0];
            path_.LineTo(current_);
            break;
        case 'C':
            CubicTo(at(0), at(2), at(4));
            break;
        case 'S':
            // The first control point mirrors the last one of a cubic just before.
            CubicTo(previous_ == 'C' || previous_ == 'S' ? Reflect(control_) : current_, at(0), at(2));
            break;
        case 'Q':
            QuadraticTo(at(0), at(2));
            break;
        case 'T':
            QuadraticTo(previous_ == 'Q' || previous_ == 'T' ? Reflect(control_) : current_, at(0));
            break;
        case 'A': {
            StartFigureIfClosed();
            const Point end = at(5);
            AppendSvgArc(path_, current_, n[0], n[1], n[2], n[3] != 0, n[4] != 0, end);
            current_ = end;
            break;
        }
        default:
            return false;
        }
        previous_ = family;
        return true;
    }

    Point Reflect(Point p) const { return {2 * current_.x - p.x, 2 * current_.y - p.y}; }

    void CubicTo(Point c1, Point c2, Point end)
    {
        StartFigureIfClosed();
        path_.CubicTo(c1, c2, end);
        control_ = c2;
        current_ = end;
    }

    // The quadratic as the cubic that draws the same curve.
    void QuadraticTo(Point q, Point end)
    {
        StartFigureIfClosed();
        path_.CubicTo({current_.x + 2.0 / 3 * (q.x - current_.x), current_.y + 2.0 / 3 * (q.y - current_.y)},
                      {end.x + 2.0 / 3 * (q.x - end.x), end.y + 2.0 / 3 * (q.y - end.y)}, end);
        control_ = q;
        current_ = end;
    }

    TextCursor cursor_;
    Path path_;
    Point current_, start_, control_;
    char previous_ = 0;
    bool started_ = false;
    bool closed_ = false;
};

} // namespace

Path ParseSvgPathData(std::string_view text, size_t* stoppedAt)
{
    return PathDataReader(text).Read(stoppedAt);
}

// ---------------------------------------------------------------------------------------------
// Base64

std::optional<std::string> DecodeBase64(std::string_view text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t bits = 0;
    int count = 0;
    bool padding = false;
    for (char c : text) {
        int value = Base64Value(c);
        if (c == '=') {
            padding = true;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        if (value < 0)
            return std::nullopt;
        if (padding)
            return std::nullopt; // data after the padding
        bits = (bits << 6) | uint32_t(value);
        if (++count == 4) {
            out.push_back(static_cast<char>((bits >> 16) & 0xFF));
            out.push_back(static_cast<char>((bits >> 8) & 0xFF));
            out.push_back(static_cast<char>(bits & 0xFF));
            bits = 0;
            count = 0;
        }
    }
    if (count == 1)
        return std::nullopt;
    if (count == 2)
        out.push_back(static_cast<char>((bits >> 4) & 0xFF));
    else if (count == 3) {
        out.push_back(static_cast<char>((bits >> 10) & 0xFF));
        out.push_back(static_cast<char>((bits >> 2) & 0xFF));
    }
    return out;
}

} // namespace tavolex::pdf
