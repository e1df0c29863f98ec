// Times the PDF writer on a menu-like document: 4 pages, each with 400 filled and stroked
// shapes, 40 gradients (a quarter with stop alpha), 20 clipped groups and a logo picture, written
// compressed and uncompressed. Prints milliseconds per document and the file sizes.
#include "image_decode.h"
#include "pdf_graphics.h"
#include "svg.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <zlib.h>

using namespace tavolex::pdf;

namespace {

// A 256 x 256 RGBA PNG logo built with zlib by hand (stored as raw scanlines, filter 0).
std::vector<uint8_t> MakeLogo()
{
    const uint32_t size = 256;
    std::string raw;
    for (uint32_t y = 0; y < size; ++y) {
        raw.push_back(0);
        for (uint32_t x = 0; x < size; ++x) {
            raw.push_back(static_cast<char>(x));
            raw.push_back(static_cast<char>(y));
            raw.push_back(static_cast<char>(128));
            raw.push_back(static_cast<char>((x - 128) * (x - 128) + (y - 128) * (y - 128) < 120 * 120 ? 255 : 0));
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    compress2(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()), 9);
    packed.resize(packedSize);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    auto chunk = [&](const char* type, const std::vector<uint8_t>& body) {
        const uint32_t length = static_cast<uint32_t>(body.size());
        for (int shift = 24; shift >= 0; shift -= 8)
            png.push_back(static_cast<uint8_t>(length >> shift));
        std::vector<uint8_t> typed(type, type + 4);
        typed.insert(typed.end(), body.begin(), body.end());
        png.insert(png.end(), typed.begin(), typed.end());
        const uint32_t crc = static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size())));
        for (int shift = 24; shift >= 0; shift -= 8)
            png.push_back(static_cast<uint8_t>(crc >> shift));
    };
    chunk("IHDR", {0, 0, 1, 0, 0, 0, 1, 0, 8, 6, 0, 0, 0});
    chunk("IDAT", packed);
    chunk("IEND", {});
    return png;
}

// The plain rectangle figure the SVG model makes for a <rect> without rounded corners.
Path Box(double x, double y, double w, double h)
{
    return SvgRectanglePath(x, y, w, h, 0, 0);
}

class MenuPage : public PdfPageSource {
public:
    explicit MenuPage(const std::vector<uint8_t>& logo) : logo_(logo)
    {
        plain_.stops = {{0, {200, 30, 30, 255}}, {0.5, {240, 200, 40, 255}}, {1, {30, 30, 200, 255}}};
        faded_ = plain_;
        faded_.kind = GradientKind::Radial;
        faded_.stops.back().color.a = 0;
        pen_.width = 1.5;
        pen_.dashes = {6, 3};
        pen_.cap = LineCap::Square;
    }
    PageGeometry Geometry() const override
    {
        PageGeometry page;
        page.width = 794;
        page.height = 1123;
        page.unitFactorX = page.unitFactorY = 0.26458332;
        return page;
    }
    size_t ItemCount() const override { return 461; }
    PdfStatus DrawItem(size_t index, PdfDocument& document) override
    {
        const double x = 20 + static_cast<double>(index % 20) * 38;
        const double y = 20 + static_cast<double>(index / 20) * 46;
        document.SaveState();
        document.ConcatTransformation(Matrix::Translation(x, y));
        PdfStatus status = PdfStatus::Ok;
        if (index == 0) {
            status = DrawImage(document, logo_, {0, 0, 120, 120});
        } else if (index <= 400) {
            const Path box = Box(0, 0, 30, 36);
            FillPath(document, box, Paint::Solid({static_cast<uint8_t>(index), 80, 160, index % 7 ? uint8_t(255) : uint8_t(128)}),
                     FillRule::NonZero);
            StrokePath(document, box, pen_, Paint::Solid({0, 0, 0, 255}));
        } else if (index <= 440) {
            FillPath(document, Box(0, 0, 30, 36), Paint::Of(index % 4 ? plain_ : faded_), FillRule::NonZero);
        } else {
            BeginClip(document, Box(2, 2, 26, 32), FillRule::EvenOdd);
            FillPath(document, Box(-10, -10, 50, 50), Paint::Solid({20, 120, 20, 255}), FillRule::NonZero);
            EndClip(document);
        }
        document.RestoreState();
        return status;
    }

private:
    const std::vector<uint8_t>& logo_;
    Gradient plain_, faded_;
    Pen pen_;
};

} // namespace

int main()
{
    const std::vector<uint8_t> logo = MakeLogo();
    if (!DecodeImage(logo)) {
        std::fprintf(stderr, "the benchmark's logo does not decode\n");
        return 1;
    }
    MenuPage page(logo);
    PdfPageSource* pages[] = {&page, &page, &page, &page};
    const std::string path = (std::filesystem::temp_directory_path() / "tavolex-pdf-writer-bench.pdf").string();
    for (Compression compression : {Compression::Flate, Compression::Off}) {
        PdfDocumentSettings settings;
        settings.compression = compression;
        constexpr int kRounds = 10;
        const auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < kRounds; ++round) {
            if (WritePdfDocument(PdfWriteOptions{}, pages, path, nullptr, settings) != PdfStatus::Ok) {
                std::fprintf(stderr, "writing failed\n");
                return 1;
            }
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / kRounds;
        struct stat info {};
        stat(path.c_str(), &info);
        std::printf("pdf writer, 4 menu pages (%s): %.2f ms per document, %lld bytes\n",
                    compression == Compression::Flate ? "Flate" : "uncompressed", ms,
                    static_cast<long long>(info.st_size));
    }
    if (!std::getenv("TAVOLEX_BENCH_KEEP"))
        std::filesystem::remove(path);
    return 0;
}
