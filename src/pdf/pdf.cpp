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

    // Pages are parsed side by side: every other page on the helper, which afterwards deflates
    // the streams the writer hands it. The helper's pages report no progress of their own; they
    // only stop when the caller cancels.
    TaskQueue helper;
    StagedSink staged(sink);
    CancelFlagSink helperSink;
    const double parseSpan = 0.5 / static_cast<double>(pages.size());
    std::vector<std::unique_ptr<SvgDocument>> documents(pages.size());
    std::vector<SvgStatus> statuses(pages.size(), SvgStatus::Cancelled);
    std::atomic<size_t> helperPagesLeft{0};
    // fontconfig's first query reads its configuration and font lists; the helper does that
    // while the first pages are parsed, and then looks up the fonts the pages ask for.
    bool lookUpFonts = false;
    if (helper.HasBackgroundThread()) {
        for (std::string_view page : pages) {
            if (page.find("<text") != std::string_view::npos) {
                helper.Submit([](size_t) { PrepareFontLookup(); });
                lookUpFonts = true;
                break;
            }
        }
    }
    for (size_t i = 0; i < pages.size(); ++i) {
        documents[i] = std::make_unique<SvgDocument>();
        if (i % 2 == 1 && helper.HasBackgroundThread()) {
            ++helperPagesLeft;
            helper.Submit([&, i](size_t) {
                statuses[i] = ParseSvg(pages[i], *documents[i], &helperSink);
                --helperPagesLeft;
            });
        }
    }
    for (size_t i = 0; i < pages.size(); ++i) {
        if (i % 2 == 1 && helper.HasBackgroundThread())
            continue;
        staged.SetStage(parseSpan * static_cast<double>(i), parseSpan);
        statuses[i] = ParseSvg(pages[i], *documents[i], &staged);
        if (statuses[i] == SvgStatus::Cancelled)
            break;
    }
    if (staged.IsCancelled())
        helperSink.Cancel();
    helper.HelpUntil([&] { return helperPagesLeft.load() == 0; });
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

    if (lookUpFonts) {
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
    switch (WritePdfDocument(options, sourcePointers, path, &staged, settings)) {
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
