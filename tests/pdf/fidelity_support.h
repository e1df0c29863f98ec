// Helpers of the fidelity tests: a page goes through our whole pipeline (SVG text to PDF file),
// pdftoppm renders that PDF and rsvg-convert renders the SVG itself, both at the same pixel size
// and over white, and the two pictures are read back as RGB for comparison.
#pragma once

#include "image_decode.h"
#include "pdf.h"
#include "pdf_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex::testing {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb; // composited over white
};

// A PNG file as RGB over white; an empty picture when it does not decode.
inline Picture LoadPng(const std::string& path)
{
    const std::string bytes = ReadFile(path);
    const std::optional<pdf::DecodedImage> decoded =
        pdf::DecodeImage({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    Picture picture;
    if (!decoded)
        return picture;
    picture.width = static_cast<int>(decoded->width);
    picture.height = static_cast<int>(decoded->height);
    const size_t count = size_t(picture.width) * size_t(picture.height);
    picture.rgb.resize(count * 3);
    for (size_t i = 0; i < count; ++i) {
        const int alpha = decoded->alpha.empty() ? 255 : decoded->alpha[i];
        for (size_t c = 0; c < 3; ++c) {
            const int value = decoded->color == pdf::ImageColor::Rgb ? decoded->pixels[i * 3 + c] : decoded->pixels[i];
            picture.rgb[i * 3 + c] = static_cast<uint8_t>((value * alpha + 255 * (255 - alpha) + 127) / 255);
        }
    }
    return picture;
}

// One page through ConvertSvgPagesToPdf with the options of a menu export (A4, filled, centred);
// the file must pass qpdf --check.
inline void ConvertPage(std::string_view svg, const std::string& pdfPath)
{
    const std::string_view pages[] = {svg};
    std::string error;
    ASSERT_EQ(pdf::ConvertSvgPagesToPdf(pages, pdf::MenuExportOptions(pdf::PaperCode::A4, false), pdfPath, nullptr,
                                        &error),
              pdf::PdfStatus::Ok)
        << error;
    const ToolResult check = QpdfCheck(pdfPath);
    EXPECT_EQ(check.status, 0) << check.output;
}

// The PDF's first page rendered by pdftoppm at exactly `width` x `height` pixels.
inline Picture RenderPdf(const std::string& pdfPath, int width, int height)
{
    const std::string prefix = pdfPath + ".poppler";
    const ToolResult result = RunTool("pdftoppm -png -singlefile -f 1 -l 1 -scale-to-x " + std::to_string(width) +
                                      " -scale-to-y " + std::to_string(height) + " '" + pdfPath + "' '" + prefix + "'");
    EXPECT_EQ(result.status, 0) << result.output;
    return LoadPng(prefix + ".png");
}

// The PDF's first page rendered by pdftoppm at `dpi` dots per inch; its size follows from the
// page's.
inline Picture RenderPdfAt(const std::string& pdfPath, double dpi)
{
    const std::string prefix = pdfPath + ".poppler";
    const ToolResult result = RunTool("pdftoppm -png -singlefile -f 1 -l 1 -r " + std::to_string(dpi) + " '" +
                                      pdfPath + "' '" + prefix + "'");
    EXPECT_EQ(result.status, 0) << result.output;
    return LoadPng(prefix + ".png");
}

// The SVG file rendered by rsvg-convert at exactly `width` x `height` pixels, over white.
inline Picture RenderSvg(const std::string& svgPath, const std::string& pngPath, int width, int height)
{
    const ToolResult result = RunTool("rsvg-convert -b white -w " + std::to_string(width) + " -h " +
                                      std::to_string(height) + " -o '" + pngPath + "' '" + svgPath + "'");
    EXPECT_EQ(result.status, 0) << result.output;
    return LoadPng(pngPath);
}

// With TAVOLEX_KEEP_RENDERS set to a folder, the renders are copied there for a look.
inline void KeepRenders(const std::string& ours, const std::string& theirs)
{
    if (const char* folder = std::getenv("TAVOLEX_KEEP_RENDERS"))
        RunTool("cp '" + ours + "' '" + theirs + "' '" + folder + "'");
}

} // namespace tavolex::testing
