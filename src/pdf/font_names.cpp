#include "font_names.h"

#include "pdf_fonts.h"
#include "pdf_font_widths.h"

namespace tavolex::pdf {

namespace {

// A resource name that would reach this many characters is left empty.
constexpr size_t kResourceNameLimit = 260;

constexpr std::string_view kStandardNames[kStandardFontCount] = {
    "Helvetica",   "Helvetica-Bold",   "Helvetica-Oblique",  "Helvetica-BoldOblique", "Times-Roman",
    "Times-Bold",  "Times-Italic",     "Times-BoldItalic",   "Courier",               "Courier-Bold",
    "Courier-Oblique", "Courier-BoldOblique", "Symbol",      "ZapfDingbats"};

} // namespace

std::string WithoutSpaces(std::string_view text)
{
    std::string out;
    for (char c : text)
        if (c != ' ')
            out.push_back(c);
    return out;
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<std::string> SplitFamilies(std::string_view list)
{
    std::vector<std::string> families;
    std::string current;
    char quote = 0;
    auto finish = [&] {
        const size_t first = current.find_first_not_of(" \t\r\n");
        const size_t last = current.find_last_not_of(" \t\r\n");
        if (first != std::string::npos)
            families.push_back(current.substr(first, last - first + 1));
        current.clear();
    };
    for (char c : list) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                current.push_back(c);
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ',') {
            finish();
        } else {
            current.push_back(c);
        }
    }
    finish();
    return families;
}

std::string PdfNameText(std::string_view text)
{
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool regular = byte > 32 && byte < 127 && std::string_view("()<>[]{}/%#").find(c) == std::string_view::npos;
        if (regular) {
            out.push_back(c);
        } else {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            out.push_back('#');
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0xF]);
        }
    }
    return out;
}

// The resource name's tail: letters and digits kept, everything else "_".
std::string ResourceName(std::string_view prefix, std::string_view name)
{
    std::string out(prefix);
    for (char c : name) {
        const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        out.push_back(letterOrDigit ? c : '_');
    }
    if (out.size() >= kResourceNameLimit)
        return std::string(prefix);
    return out;
}

int StandardKind(std::string_view name)
{
    for (int i = 0; i < kStandardFontCount; ++i)
        if (kStandardNames[i] == name)
            return i;
    return -1;
}

std::string StandardFontName(std::string_view family, bool bold, bool italic)
{
    if (!bold && !italic && StandardKind(family) >= 0)
        return std::string(family);
    const int style = (bold ? 1 : 0) + (italic ? 2 : 0);
    if (family == "Helvetica" || family == "Arial")
        return std::string(kStandardNames[0 + style]);
    if (family == "Times New Roman")
        return std::string(kStandardNames[4 + style]);
    if (family == "Courier")
        return std::string(kStandardNames[8 + style]);
    return std::string(family);
}

int StandardFontWidth(std::string_view standardName, int code)
{
    const int kind = StandardKind(standardName);
    if (kind < 0 || code < 0 || code > 255)
        return 600;
    return kStandardFontWidths[kind][code];
}

} // namespace tavolex::pdf
