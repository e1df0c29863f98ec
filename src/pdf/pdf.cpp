#include "pdf.h"

#include "core.h"
#include "pdf_fonts.h"
#include "pdf_writer.h"
#include "svg.h"
#include "svg_draw.h"
#include "task_queue.h"

#include <algorithm>
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

namespace {

bool HoldsText(const SvgDocument& document)
{
    return std::any_of(document.items.begin(), document.items.end(), [](const SvgItem& item) {
        return item.text() != nullptr;
    });
}

// The pages as the parser left them, each with its outcome (Cancelled where it never ran).
struct ParsedPages {
    explicit ParsedPages(size_t count) : documents(count), statuses(count, SvgStatus::Cancelled)
    {
        for (std::unique_ptr<SvgDocument>& document : documents)
            document = std::make_unique<SvgDocument>();
    }
    std::vector<std::unique_ptr<SvgDocument>> documents;
    std::vector<SvgStatus> statuses;
};

// Without a helper thread: one page after another, each reporting its share of the first half.
void ParseOneAfterAnother(std::span<const std::string_view> pages, ParsedPages& parsed, StagedSink& staged)
{
    const double parseSpan = 0.5 / static_cast<double>(pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
        staged.SetStage(parseSpan * static_cast<double>(i), parseSpan);
        parsed.statuses[i] = ParseSvg(pages[i], *parsed.documents[i], &staged);
        if (parsed.statuses[i] == SvgStatus::Cancelled)
            break;
    }
}

// Pages are parsed side by side, by the helper and by this thread, which also reports the
// progress; whoever parses a page also decodes its pictures. A parse on the helper only stops
// when the caller cancels. Whoever first parses a page that holds text loads fontconfig's
// configuration and font lists (the first text would wait for them otherwise) while the other
// thread goes on parsing, unless answers stored by an earlier run stand in.
void ParseSideBySide(std::span<const std::string_view> pages, ParsedPages& parsed, TaskQueue& helper,
                     DecodedPictures& pictures, StagedSink& staged)
{
    CancelFlagSink helperSink;
    std::atomic<size_t> pagesLeft{pages.size()};
    std::atomic<bool> fontLookupPrepared{false};
    for (size_t i = 0; i < pages.size(); ++i) {
        helper.Submit([&, i](size_t) {
            SvgDocument& document = *parsed.documents[i];
            parsed.statuses[i] = ParseSvg(pages[i], document, &helperSink);
            if (parsed.statuses[i] == SvgStatus::Ok) {
                for (const SvgItem& item : document.items)
                    if (const SvgImage* image = item.image(); image && !image->bytes.empty())
                        pictures.DecodeAhead(BytesOf(image->bytes));
                if (HoldsText(document) && !fontLookupPrepared.exchange(true))
                    PrepareFontLookup();
            }
            pagesLeft.fetch_sub(1, std::memory_order_release);
        });
    }
    staged.SetStage(0, 0.5);
    for (size_t left = pages.size(); left > 0;) {
        helper.HelpUntil([&] { return pagesLeft.load(std::memory_order_acquire) < left; });
        left = pagesLeft.load(std::memory_order_acquire);
        staged.ReportProgress(static_cast<double>(pages.size() - left) / static_cast<double>(pages.size()));
        if (staged.IsCancelled())
            helperSink.Cancel();
    }
}

// The helper looks up the fonts the pages ask for while the first items are drawn.
void LookUpFontsAhead(TaskQueue& helper, const std::vector<std::unique_ptr<SvgDocument>>& documents)
{
    std::vector<FontRequest> requests;
    std::set<std::tuple<std::string_view, int, bool>> seen;
    for (const std::unique_ptr<SvgDocument>& document : documents) {
        for (const SvgItem& item : document->items) {
            const SvgTextRun* text = item.text();
            if (!text)
                continue;
            const Font& font = text->font;
            if (seen.emplace(font.family, font.weight, font.italic).second)
                requests.push_back({font.family, font.weight, font.italic, font.size});
        }
    }
    helper.Submit([requests = std::move(requests)](size_t) { LookUpFonts(requests); });
}

PdfStatus WritePages(const std::vector<std::unique_ptr<SvgDocument>>& documents, const PdfWriteOptions& options,
                     const std::string& path, StagedSink& staged, TaskQueue& helper, DecodedPictures& pictures)
{
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
    return WritePdfDocument(options, sourcePointers, path, &staged, settings);
}

} // namespace

PdfStatus ConvertSvgPagesToPdf(std::span<const std::string_view> pages, const PdfWriteOptions& options,
                               const std::string& path, ProgressSink* sink, std::string* error, size_t* failedPage)
{
    auto fail = [&](PdfStatus status, std::string reason, size_t page = 0) {
        if (error)
            *error = std::move(reason);
        if (failedPage)
            *failedPage = page;
        return status;
    };
    if (pages.empty())
        return fail(PdfStatus::Failed, "no pages to convert");

    // The helper afterwards deflates the streams the writer hands it.
    TaskQueue helper;
    DecodedPictures pictures; // filled by the parse jobs; read while the pages are drawn
    StagedSink staged(sink);
    ParsedPages parsed(pages.size());
    if (helper.HasBackgroundThread())
        ParseSideBySide(pages, parsed, helper, pictures, staged);
    else
        ParseOneAfterAnother(pages, parsed, staged);
    for (size_t i = 0; i < pages.size(); ++i) {
        switch (parsed.statuses[i]) {
        case SvgStatus::Ok:
            break;
        case SvgStatus::Cancelled:
            return fail(PdfStatus::Cancelled, "cancelled");
        case SvgStatus::Failed: {
            const std::string& warning = parsed.documents[i]->firstWarning;
            return fail(PdfStatus::Failed,
                        "page " + std::to_string(i + 1) + " is not an SVG document" +
                            (warning.empty() ? std::string() : ": " + warning),
                        i + 1);
        }
        }
    }

    const bool hasText = std::any_of(parsed.documents.begin(), parsed.documents.end(),
                                     [](const std::unique_ptr<SvgDocument>& document) { return HoldsText(*document); });
    if (hasText && helper.HasBackgroundThread())
        LookUpFontsAhead(helper, parsed.documents);
    const PdfStatus written = WritePages(parsed.documents, options, path, staged, helper, pictures);
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
