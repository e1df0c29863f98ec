#include "pdf.h"

#include "core.h"
#include "pdf_writer.h"
#include "svg.h"
#include "svg_draw.h"

#include <memory>
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

    StagedSink staged(sink);
    const double parseSpan = 0.5 / static_cast<double>(pages.size());
    std::vector<std::unique_ptr<SvgDocument>> documents;
    documents.reserve(pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
        staged.SetStage(parseSpan * static_cast<double>(i), parseSpan);
        auto document = std::make_unique<SvgDocument>();
        switch (ParseSvg(pages[i], *document, &staged)) {
        case SvgStatus::Ok:
            break;
        case SvgStatus::Cancelled:
            return fail(PdfStatus::Cancelled, "cancelled");
        case SvgStatus::Failed:
            return fail(PdfStatus::Failed, "page " + std::to_string(i + 1) + " is not an SVG document" +
                                               (document->firstWarning.empty() ? std::string()
                                                                               : ": " + document->firstWarning));
        }
        documents.push_back(std::move(document));
    }

    std::vector<SvgPageSource> sources;
    sources.reserve(documents.size());
    std::vector<PdfPageSource*> sourcePointers;
    for (const std::unique_ptr<SvgDocument>& document : documents) {
        sources.emplace_back(*document);
        sourcePointers.push_back(&sources.back());
    }
    staged.SetStage(0.5, 0.5);
    switch (WritePdfDocument(options, sourcePointers, path, &staged)) {
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
