// Times the text layer on a text-heavy menu: 4 A4 pages, 100 dishes in two families (DejaVu
// Serif for names, DejaVu Sans for descriptions and prices) with bold and italic, accents, the
// euro sign, end-anchored prices, underlined headings and a gradient title. Each document is
// written whole (fonts found, laid out, subset and embedded); prints the best and the median of
// the runs in milliseconds and the file size.
//
// Fonts: fonts-dejavu-core and fonts-dejavu-extra.
#include "pdf_fonts.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace tavolex::pdf;

namespace {

const char* const kNames[] = {"Crème brûlée", "Wiener Schnitzel", "Bouillabaisse", "Tarte flambée",
                              "Käsespätzle", "Smørrebrød", "Paella valenciana", "Œufs cocotte",
                              "Gulasch mit Knödeln", "Salade niçoise"};
const char* const kDescriptions[] = {
    "mit Preiselbeeren, Petersilkartoffeln und grünem Salat",
    "façon grand-mère – crème fraîche, lardons, oignons",
    "geröstete Zwiebeln, Bergkäse aus dem Allgäu",
    "„hausgemacht“ nach dem Rezept unserer Großmutter",
    "served with aïoli, rouille and toasted croûtons"};

void WriteMenu(const std::string& path)
{
    auto document = PdfDocument::Create(path, PdfWriteOptions{}, nullptr);
    static const Gradient title{GradientKind::Linear, GradientUnits::ObjectBoundingBox, {}, 0, 0, 1, 0,
                                0.5, 0.5, 0.5, 0.5, 0.5, {{0, {120, 20, 20, 255}}, {1, {200, 120, 20, 255}}}};
    int dish = 0;
    for (int page = 0; page < 4; ++page) {
        document->BeginPage();
        TextRun heading;
        heading.text = page == 0 ? "Speisekarte · Carte · Menu" : "Fortsetzung";
        heading.font = {"DejaVu Serif", 700, false, 28};
        heading.x = {297.5};
        heading.y = {60};
        heading.anchor = TextAnchor::Middle;
        heading.fill = Paint::Of(title);
        heading.underline = true;
        DrawTextBlock(*document, std::span(&heading, 1), TextStyle{});
        for (int row = 0; row < 25; ++row, ++dish) {
            const double y = 110 + row * 28.5;
            TextRun runs[2];
            runs[0].text = kNames[dish % 10];
            runs[0].font = {"DejaVu Serif", 700, false, 12};
            runs[0].x = {50};
            runs[0].y = {y};
            runs[1].text = kDescriptions[dish % 5];
            runs[1].font = {"DejaVu Sans", 400, true, 9};
            runs[1].x = {50};
            runs[1].y = {y + 12};
            runs[1].fill = Paint::Solid({90, 90, 90, 255});
            DrawTextBlock(*document, runs, TextStyle{});
            char price[32];
            std::snprintf(price, sizeof price, "%d,%02d €", 6 + dish % 23, (dish * 37) % 100);
            TextRun priceRun;
            priceRun.text = price;
            priceRun.font = {"DejaVu Sans", 700, false, 12};
            priceRun.x = {545};
            priceRun.y = {y};
            priceRun.anchor = TextAnchor::End;
            DrawTextBlock(*document, std::span(&priceRun, 1), TextStyle{});
        }
        document->EndPage();
    }
    document->Finish();
}

} // namespace

int main()
{
    const std::string path = (std::filesystem::temp_directory_path() / "tavolex-text-bench.pdf").string();
    std::vector<double> times;
    for (int run = 0; run < 15; ++run) {
        const auto start = std::chrono::steady_clock::now();
        WriteMenu(path);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("text menu, 4 pages, 100 dishes: best %.2f ms, median %.2f ms, %ju bytes\n", times.front(),
                times[times.size() / 2], static_cast<uintmax_t>(std::filesystem::file_size(path)));
    if (!std::getenv("TAVOLEX_BENCH_KEEP"))
        std::filesystem::remove(path);
    return 0;
}
