// Helpers for the PDF tests: run the real PDF tools (qpdf, pdftoppm) on the files the writer
// makes and read the rendered pixels back.
#pragma once

#include "pdf_writer.h"
#include "test_home.h"

#include <functional>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace tavolex::testing {

struct ToolResult {
    int status = -1; // the process's exit status
    std::string output;
};

// Runs `command` through the shell with stderr joined to stdout.
inline ToolResult RunTool(const std::string& command)
{
    ToolResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        result.output.append(chunk.data(), n);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

// qpdf exits 0 only for a file without errors or warnings.
inline ToolResult QpdfCheck(const std::string& path)
{
    return RunTool("qpdf --check '" + path + "'");
}

struct Rgb {
    int r = 0, g = 0, b = 0;
};

inline std::ostream& operator<<(std::ostream& out, const Rgb& c)
{
    return out << "rgb(" << c.r << ", " << c.g << ", " << c.b << ")";
}

struct Pixmap {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> data;

    Rgb At(int x, int y) const
    {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return {-1, -1, -1};
        const size_t at = (static_cast<size_t>(y) * width + x) * 3;
        return {data[at], data[at + 1], data[at + 2]};
    }
};

// The first page rendered by pdftoppm at 72 dpi, so one pixel is one point with y growing
// downward from the top edge. An empty pixmap when the tool fails.
inline Pixmap RenderFirstPage(const std::string& pdf)
{
    Pixmap pixmap;
    const std::string prefix = pdf + ".render";
    if (RunTool("pdftoppm -r 72 -f 1 -l 1 -singlefile '" + pdf + "' '" + prefix + "'").status != 0)
        return pixmap;
    const std::string ppm = ReadFile(prefix + ".ppm");
    // "P6\n<w> <h>\n255\n" then the samples.
    int maxValue = 0, consumed = 0;
    if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &pixmap.width, &pixmap.height, &maxValue, &consumed) != 3)
        return {};
    const size_t start = static_cast<size_t>(consumed) + 1;
    const size_t size = static_cast<size_t>(pixmap.width) * pixmap.height * 3;
    if (ppm.size() < start + size)
        return {};
    pixmap.data.assign(ppm.begin() + static_cast<long>(start), ppm.begin() + static_cast<long>(start + size));
    return pixmap;
}

inline bool Near(const Rgb& actual, const Rgb& expected, int tolerance)
{
    return std::abs(actual.r - expected.r) <= tolerance && std::abs(actual.g - expected.g) <= tolerance &&
           std::abs(actual.b - expected.b) <= tolerance;
}

// One A4 page drawn by `draw` into `path`; the document must finish and pass qpdf --check.
inline void WriteOnePagePdf(const std::string& path, const std::function<void(pdf::PdfDocument&)>& draw,
                            pdf::Compression compression)
{
    pdf::PdfDocumentSettings settings;
    settings.compression = compression;
    {
        auto document = pdf::PdfDocument::Create(path, pdf::PdfWriteOptions{}, nullptr, settings);
        ASSERT_TRUE(document);
        document->BeginPage();
        draw(*document);
        document->EndPage();
        EXPECT_EQ(document->Finish(), pdf::PdfStatus::Ok);
    }
    const ToolResult check = QpdfCheck(path);
    EXPECT_EQ(check.status, 0) << check.output;
}

} // namespace tavolex::testing
