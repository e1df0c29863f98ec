#include "pdf.h"

#include "core.h"
#include "pdf_fonts.h"
#include "pdf_writer.h"
#include "svg.h"
#include "svg_draw.h"
#include "task_queue.h"

#include <atomic>
#include <memory>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

namespace tavolex::pdf {

namespace {

// Maps the parser's fraction of each page onto the first half of the work, one page after
// another; the writer reports the second half page by page.
class StagedSink final : public ProgressSink {
public:
    explicit StagedSink(ProgressSink* outer) : outer_(outer) {}
    void SetStage(double start, double span)
    {
        start_ = start;
        span_ = span;
    }
    bool IsCancelled() override { return outer_ && outer_->IsCancelled(); }
    void ReportProgress(double fraction) override
    {
        if (outer_)
            outer_->ReportProgress(start_ + span_ * fraction);
    }

private:
    ProgressSink* outer_;
    double start_ = 0;
    double span_ = 1;
};

// What the pages parsed on the helper see of the caller: cancellation only, set by the caller's
// thread, since the caller's own sink is not made to be asked from two threads.
class CancelFlagSink final : public ProgressSink {
public:
    void Cancel() { cancelled_.store(true); }
    bool IsCancelled() override { return cancelled_.load(); }
    void ReportProgress(double) override {}

private:
    std::atomic<bool> cancelled_{false};
};

} // namespace

PaperCode PaperCodeFromName(std::string_view name)
{
    if (EqualsIgnoringAsciiCase(name, "A3"))
        return PaperCode::A3;
    if (EqualsIgnoringAsciiCase(name, "Letter"))
        return PaperCode::Letter;
    if (EqualsIgnoringAsciiCase(name, "Legal"))
        return PaperCode::Legal;
    return PaperCode::A4;
}

PdfWriteOptions MenuExportOptions(PaperCode paper, bool printOnOpen)
{
    PdfWriteOptions options;
    options.paperCode = paper;
    options.orientation = 0;
    options.margin = 0.0;
    options.placement = 1;
    options.fit = 1;
    options.jpegQuality = 100;
    options.printOnOpen = printOnOpen;
    return options;
}

PdfStatus ConvertSvgPagesToPdf(std::span<const std::string_view> pages, const PdfWriteOptions& options,
                               const std::string& path, ProgressSink* sink, std::string* error)
{
    auto fail = [&](PdfStatus status, std::string reason) {
        if (error)
            *error = std::move(reason);
        return status;
    };
    if (pages.empty())
        return fail(PdfStatus::Failed, "no pages to convert");

    // Pages are parsed side by side, by the helper and by this thread, which also reports the
    // progress; whoever parses a page also decodes its pictures. The helper afterwards deflates
    // the streams the writer hands it. A parse on the
    // helper only stops when the caller cancels. When the pages hold text, this thread first
    // loads fontconfig's configuration and font lists (the first text would wait for them
    // otherwise) while the helper parses, unless answers stored by an earlier run stand in.
    TaskQueue helper;
    DecodedPictures pictures; // filled by the parse jobs; read while the pages are drawn
    StagedSink staged(sink);
    CancelFlagSink helperSink;
    std::vector<std::unique_ptr<SvgDocument>> documents(pages.size());
    std::vector<SvgStatus> statuses(pages.size(), SvgStatus::Cancelled);
    for (std::unique_ptr<SvgDocument>& document : documents)
        document = std::make_unique<SvgDocument>();
    bool hasText = false;
    for (std::string_view page : pages)
        hasText = hasText || page.find("<text") != std::string_view::npos;
    if (!helper.HasBackgroundThread()) {
        const double parseSpan = 0.5 / static_cast<double>(pages.size());
        for (size_t i = 0; i < pages.size(); ++i) {
            staged.SetStage(parseSpan * static_cast<double>(i), parseSpan);
            statuses[i] = ParseSvg(pages[i], *documents[i], &staged);
            if (statuses[i] == SvgStatus::Cancelled)
                break;
        }
    } else {
        std::atomic<size_t> pagesLeft{pages.size()};
        for (size_t i = 0; i < pages.size(); ++i) {
            helper.Submit([&, i](size_t) {
                statuses[i] = ParseSvg(pages[i], *documents[i], &helperSink);
                if (statuses[i] == SvgStatus::Ok) {
                    for (const SvgItem& item : documents[i]->items)
                        if (item.kind == SvgItemKind::Image && !item.image.bytes.empty())
                            pictures.DecodeAhead(BytesOf(item.image.bytes));
                }
                pagesLeft.fetch_sub(1, std::memory_order_release);
            });
        }
        if (hasText)
            PrepareFontLookup();
        staged.SetStage(0, 0.5);
        for (size_t left = pages.size(); left > 0;) {
            helper.HelpUntil([&] { return pagesLeft.load(std::memory_order_acquire) < left; });
            left = pagesLeft.load(std::memory_order_acquire);
            staged.ReportProgress(static_cast<double>(pages.size() - left) / static_cast<double>(pages.size()));
            if (staged.IsCancelled())
                helperSink.Cancel();
        }
    }
    for (size_t i = 0; i < pages.size(); ++i) {
        switch (statuses[i]) {
        case SvgStatus::Ok:
            break;
        case SvgStatus::Cancelled:
            return fail(PdfStatus::Cancelled, "cancelled");
        case SvgStatus::Failed:
            return fail(PdfStatus::Failed, "page " + std::to_string(i + 1) + " is not an SVG document" +
                                               (documents[i]->firstWarning.empty() ? std::string()
                                                                                   : ": " + documents[i]->firstWarning));
        }
    }

    // The helper looks up the fonts the pages ask for while the first items are drawn.
    if (hasText && helper.HasBackgroundThread()) {
        std::vector<FontRequest> requests;
        std::set<std::tuple<std::string_view, int, bool>> seen;
        for (const std::unique_ptr<SvgDocument>& document : documents) {
            for (const SvgItem& item : document->items) {
                if (item.kind != SvgItemKind::Text && item.kind != SvgItemKind::TextOnPath)
                    continue;
                const Font& font = item.text.font;
                if (seen.emplace(font.family, font.weight, font.italic).second)
                    requests.push_back({font.family, font.weight, font.italic, font.size});
            }
        }
        helper.Submit([requests = std::move(requests)](size_t) { LookUpFonts(requests); });
    }

    std::vector<SvgPageSource> sources;
    sources.reserve(documents.size());
    std::vector<PdfPageSource*> sourcePointers;
    for (const std::unique_ptr<SvgDocument>& document : documents) {
        sources.emplace_back(*document);
        sourcePointers.push_back(&sources.back());
    }
    staged.SetStage(0.5, 0.5);
    PdfDocumentSettings settings;
    settings.helper = &helper;
    settings.pictures = &pictures;
    const PdfStatus written = WritePdfDocument(options, sourcePointers, path, &staged, settings);
    if (hasText)
        StoreFontLookups(); // answers the drawing had to ask for itself
    switch (written) {
    case PdfStatus::Ok:
        return PdfStatus::Ok;
    case PdfStatus::Cancelled:
        return fail(PdfStatus::Cancelled, "cancelled");
    case PdfStatus::Failed:
        break;
    }
    if (staged.IsCancelled())
        return fail(PdfStatus::Cancelled, "cancelled");
    return fail(PdfStatus::Failed, "cannot write " + path);
}

} // namespace tavolex::pdf
