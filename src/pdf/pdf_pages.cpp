// Pages: the open page's content and its streams, the transformation the content has set, the
// resources and flags the page collects, and the page object written when it ends.
#include "pdf_writer.h"

#include <algorithm>

namespace tavolex::pdf {

void PdfDocument::FlushContent()
{
    if (content_.empty())
        return;
    const int number = WriteStream(std::move(content_));
    std::string reference;
    AppendReference(reference, number);
    contents_.push_back(std::move(reference));
    content_.clear();
}

void PdfDocument::SaveState(Flush flush)
{
    content_.append("q\r\n");
    savedTransformations_.push_back(transformation_);
    if (flush == Flush::Now)
        FlushContent();
}

void PdfDocument::RestoreState(Flush flush)
{
    content_.append("Q\r\n");
    if (!savedTransformations_.empty()) {
        transformation_ = savedTransformations_.back();
        savedTransformations_.pop_back();
    }
    if (flush == Flush::Now)
        FlushContent();
}

void PdfDocument::ConcatTransformation(const Matrix& m)
{
    AppendMatrix(content_, m);
    content_.append(" cm\r\n");
    transformation_ = transformation_.After(m);
}

void PdfDocument::SetTransformation(const Matrix& target)
{
    // The step m satisfies target = current after m, so m = inverse(current) after target.
    const std::optional<Matrix> inverse = Inverse(transformation_);
    if (!inverse) {
        // A singular current transformation (a page scaled to nothing) shows nothing whatever
        // follows; the target is written as it is.
        ConcatTransformation(target);
        transformation_ = target;
        return;
    }
    ConcatTransformation(inverse->After(target));
    transformation_ = target;
}

void PdfDocument::AddResource(ResourceKind kind, std::string entry)
{
    std::vector<std::string>& list = resources_[static_cast<size_t>(kind)];
    // Graphics states and patterns are new objects at each use; only pictures and fonts repeat,
    // and a page holds few of them, so a linear look suffices.
    if ((kind == ResourceKind::XObject || kind == ResourceKind::Font) && std::find(list.begin(), list.end(), entry) != list.end())
        return;
    list.push_back(std::move(entry));
}

const PdfDocument::ImageRecord* PdfDocument::FindImage(std::string_view bytes) const
{
    const auto found = images_.find(std::string(bytes));
    return found == images_.end() ? nullptr : &found->second;
}

std::optional<DecodedImage> PdfDocument::DecodePicture(std::span<const uint8_t> bytes)
{
    return pictures_ ? pictures_->Take(bytes) : DecodeImage(bytes);
}

void PdfDocument::RememberImage(std::string_view bytes, ImageRecord record)
{
    images_.emplace(std::string(bytes), std::move(record));
}

void PdfDocument::SetPageFlag(PageFlag flag)
{
    flags_[static_cast<size_t>(flag)] = true;
}

void PdfDocument::BeginPage()
{
    if (pageOpen_)
        return;
    pageOpen_ = true;
    for (bool& flag : flags_)
        flag = false;
    for (auto& list : resources_)
        list.clear();
    font_ = FontState{};
    contents_.clear();
    savedTransformations_.clear();
    content_.clear();
    transformation_ = Matrix{};
    ConcatTransformation(PageFlip());
    FlushContent();
    transformation_ = Matrix{};
}

void PdfDocument::EndPage()
{
    if (!pageOpen_)
        return;
    // A drawer that left a save open would otherwise leak its state into the next stream.
    while (!savedTransformations_.empty())
        RestoreState();
    FlushContent();

    size_t placeholderAt = 0;
    const std::string page = PageDictionary(placeholderAt);
    const int number = ReserveObject();
    BeginObject(number);
    // The object text starts right after "N 0 obj", which BeginObject has just written.
    parentPatches_.push_back(Offset() + placeholderAt);
    Write(page);
    Write("\r\nendobj\r\n");
    pages_.push_back(number);
    pageOpen_ = false;
    // The streams of a page are made while the next two are drawn, by which time they are done
    // and nothing waits for them.
    SubmitOpenBatch();
    if (pages_.size() >= 2)
        WriteMadeBatches(pages_.size() - 2);
}

std::string PdfDocument::PageDictionary(size_t& placeholderAt) const
{
    DictionaryBuilder page("<</Type/Page /Parent ");
    placeholderAt = page.size();
    page << std::string(kParentPlaceholder, ' ') << " 0 R /MediaBox [0 0 " << static_cast<int64_t>(pageWidth_ + 0.5)
         << ' ' << static_cast<int64_t>(pageHeight_ + 0.5)
         << "] /Group <</Type /Group /S /Transparency /CS /DeviceRGB>> /Resources <</ProcSet [/PDF ";
    if (flags_[static_cast<size_t>(PageFlag::ImageB)])
        page << "/ImageB ";
    if (flags_[static_cast<size_t>(PageFlag::ImageC)])
        page << "/ImageC ";
    if (flags_[static_cast<size_t>(PageFlag::Text)])
        page << "/Text ";
    page << "] ";
    static constexpr std::string_view kResourceNames[4] = {"/XObject <<", "/Font <<", "/ExtGState <<",
                                                           "/Pattern <<"};
    for (size_t kind = 0; kind < 4; ++kind) {
        if (resources_[kind].empty())
            continue;
        page << kResourceNames[kind];
        for (const std::string& entry : resources_[kind])
            page << ' ' << entry << ' ';
        page << ">> ";
    }
    page << ">> ";
    if (!contents_.empty()) {
        page << "/Contents [";
        for (const std::string& entry : contents_)
            page << ' ' << entry << ' ';
        page << "] ";
    }
    page << " >> ";
    return page.text();
}

PdfStatus PdfDocument::RenderPage(const PageGeometry& geometry, size_t itemCount,
                                  const std::function<PdfStatus(size_t index)>& drawItem)
{
    const PaperChoice paper = ChoosePaper(options_.paperCode, options_.orientation);
    const Placement placement =
        PlacePage(geometry, paper.widthMm, paper.heightMm, options_.margin, options_.placement, options_.fit);
    BeginPage();
    ConcatTransformation({placement.scale, 0, 0, placement.scale, placement.offsetX, placement.offsetY});
    ConcatTransformation(Matrix::Translation(-geometry.viewBoxX, -geometry.viewBoxY));
    ConcatTransformation(geometry.rootTransform);

    PdfStatus status = PdfStatus::Ok;
    for (size_t i = 0; i < itemCount; ++i) {
        if (drawItem(i) != PdfStatus::Ok) {
            status = PdfStatus::Failed;
            break;
        }
        if (IsCancelled()) {
            status = PdfStatus::Cancelled;
            break;
        }
        if (sink_)
            sink_->ReportProgress(static_cast<double>(i + 1) / static_cast<double>(itemCount));
    }
    EndPage();
    return status;
}

} // namespace tavolex::pdf
