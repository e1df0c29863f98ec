// Lays out and writes text runs made from arbitrary bytes, as the characters and position
// lists of a page's text can be: the first bytes choose the font, anchor, decoration and a few
// list values, the rest is the text (UTF-8 or not). Each input is one document with one page,
// finished so that the subsets and ToUnicode maps are written too. The fonts come from
// fonts-dejavu-core.
#include "pdf_fonts.h"

#include <cstdint>
#include <string>
#include <unistd.h>

using namespace tavolex::pdf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    static const std::string outputPath = "/tmp/tavolex-text-fuzz-" + std::to_string(getpid()) + ".pdf";
    static const char* const kFamilies[] = {"DejaVu Sans", "DejaVu Serif", "'No Such', serif", "Arial"};
    const uint8_t flags = data[0];
    PdfDocumentSettings settings;
    settings.compression = Compression::Off;
    auto document = PdfDocument::Create(outputPath, PdfWriteOptions{}, nullptr, settings);
    if (!document)
        return 0;
    if (flags & 0x80)
        UseStandardFontsOnly(*document);
    document->BeginPage();
    TextRun runs[2];
    const std::string text(reinterpret_cast<const char*>(data + 6), size - 6);
    for (int r = 0; r < 2; ++r) {
        TextRun& run = runs[r];
        run.text = std::string_view(text).substr(r == 0 ? 0 : text.size() / 2, r == 0 ? text.size() / 2 : std::string::npos);
        run.font = {kFamilies[(flags >> (2 * r)) & 3], 100 * (1 + data[1] % 9), (data[1] & 0x10) != 0, 1.0 + data[2] % 64};
        run.anchor = static_cast<TextAnchor>(data[3] % 3);
        run.underline = data[3] & 0x10;
        run.lineThrough = data[3] & 0x20;
        const double value = static_cast<int8_t>(data[4 + r]);
        if (data[5] & 1)
            run.x = {value, value * 2};
        if (data[5] & 2)
            run.dy = {value / 4};
        if (data[5] & 4)
            run.rotate = {value * 3};
    }
    if (flags & 0x40) {
        Path path;
        path.MoveTo({10, 10});
        path.CubicTo({100, 0}, {200, 300}, {400, static_cast<double>(data[4])});
        DrawTextOnPath(*document, runs, path, data[5] % 50, TextStyle{});
    } else {
        DrawTextBlock(*document, runs, TextStyle{});
    }
    document->EndPage();
    document->Finish();
    return 0;
}
