// The document pipeline's face: menu pages written by the browser as SVG text become one PDF 1.4
// file on disk.
//
// Each page is read by the XML reader into an SVG page model, placed on the paper the options
// name, and drawn item by item (shapes, gradients, clips, pictures, text) by the PDF writer,
// which writes the file front to back. Progress and cancellation travel through a ProgressSink;
// nothing is thrown, every outcome is a PdfStatus.
//
//     PdfWriteOptions options{.paperCode = PaperCodeFromName("Letter")};
//     PdfStatus status = ConvertSvgPagesToPdf(pages, options, "/tmp/menu.pdf", nullptr, &error);
//
// The rest of the program (the export route, the tools) includes this header only.
#pragma once

#include "core.h"
#include "pdf_progress.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavolex::pdf {

using PdfStatus = TaskStatus;

// Paper names of the export request. Any other value reaches no row of the page-size table and
// gives A4, so the type is read from a plain 32-bit number with a cast.
enum class PaperCode : int32_t { A4 = 0, Letter = 1, Legal = 2, A0 = 16, A1 = 18, A2 = 20, A3 = 22 };

struct PdfWriteOptions {
    PaperCode paperCode = PaperCode::A4;
    int32_t orientation = 0; // 1 landscape, anything else portrait
    double margin = 0.0;     // millimetres
    int32_t placement = 1;   // 1 centre, 2 bottom, anything else top left after the margin
    int32_t fit = 1;         // 1 scale to the paper, 2 only enlarge, anything else keep the size
    int32_t jpegQuality = 100;
    bool printOnOpen = false;
};

// "A4", "A3", "Letter" or "Legal" in any case; anything else is A4.
PaperCode PaperCodeFromName(std::string_view name);

// The options of a menu export: the paper, portrait, no margin, centred, scaled to fill the
// paper, JPEG quality 100, and whether the viewer is asked to print on opening.
PdfWriteOptions MenuExportOptions(PaperCode paper, bool printOnOpen);

// Parses every page (SVG text, UTF-8) and writes them in order as one PDF at `path`, replacing an
// earlier file. Failed when there is no page, a page does not parse, or the file cannot be
// written; Cancelled when the sink asks. `error` (when given) receives a one-line reason, and
// `failedPage` (when given) the number, from 1, of the page that did not parse, or 0.
PdfStatus ConvertSvgPagesToPdf(std::span<const std::string_view> pages, const PdfWriteOptions& options,
                               const std::string& path, ProgressSink* sink, std::string* error = nullptr,
                               size_t* failedPage = nullptr);

// Makes the fonts in `folder` (the interface's Web/fonts) known to fontconfig for this process,
// so that the PDF uses the fonts the browser used. They are added when fontconfig is next
// loaded or asked, so registering costs nothing at start. False when there is no such folder.
bool RegisterFontFolder(const std::string& folder);

// Keeps the font files fontconfig names for each family in `file` as well, for later processes:
// a conversion whose fonts were all looked up before, with the same fontconfig configuration,
// font folders and environment, then never loads fontconfig's configuration (a few
// milliseconds, often a third of a short conversion). The answers held so far are dropped; the
// file's take their place, read at the first lookup. An empty name keeps answers for this
// process only.
void KeepFontLookupsIn(const std::string& file);

// What a program that writes menus does at start: the fonts in `webFolder`'s "fonts" folder are
// registered, and font answers are kept in "font-lookups.cache" in `dataFolder`. Nothing is
// loaded; fontconfig is asked only when a PDF needs it.
void PrepareMenuFonts(const std::string& webFolder, const std::string& dataFolder);

} // namespace tavolex::pdf
