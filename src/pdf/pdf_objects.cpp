// The file and its objects: opening the output, object numbers and offsets, writing objects and
// streams, and at the end the page tree, Info, Catalog, cross-reference table and trailer.
#include "pdf_writer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace tavolex::pdf {

namespace {

// Pending file bytes are handed to the kernel once they reach this size.
constexpr size_t kFileBufferSize = 1 << 20;

// Opens the output for writing with no other writer: an exclusive lock stands in for a share
// mode. A file another writer holds is retried, the first pause (window + 127) / 128 ms and each
// further pause doubling, while the time left exceeds the pause.
int OpenExclusive(const std::string& path, int windowMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    int pauseMs = (std::max(windowMs, 0) + 127) / 128;
    for (;;) {
        bool busy = false;
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                if (::ftruncate(fd, 0) == 0)
                    return fd;
                ::close(fd);
                return -1;
            }
            busy = errno == EWOULDBLOCK;
            ::close(fd);
        } else {
            busy = errno == ETXTBSY || errno == EBUSY;
        }
        if (!busy)
            return -1;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        const long long left = windowMs - elapsed;
        if (pauseMs <= 0 || left <= pauseMs)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        pauseMs *= 2;
    }
}

void AppendPadded(std::string& out, int64_t value, int width)
{
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    const int length = static_cast<int>(end - digits);
    for (int i = length; i < width; ++i)
        out.push_back('0');
    out.append(digits, end);
}

// "D:YYYYMMDDHHmmSS+HH'mm'" in local time with its offset from UTC.
std::string PdfDate(time_t when)
{
    struct tm local {};
    localtime_r(&when, &local);
    std::string out = "D:";
    AppendPadded(out, local.tm_year + 1900, 4);
    AppendPadded(out, local.tm_mon + 1, 2);
    AppendPadded(out, local.tm_mday, 2);
    AppendPadded(out, local.tm_hour, 2);
    AppendPadded(out, local.tm_min, 2);
    AppendPadded(out, local.tm_sec, 2);
    // The sign belongs to the whole offset, so -00:30 keeps its minus and the minutes stay positive.
    const long offset = local.tm_gmtoff;
    out.push_back(offset < 0 ? '-' : '+');
    const long magnitude = offset < 0 ? -offset : offset;
    AppendPadded(out, magnitude / 3600, 2);
    out.push_back('\'');
    AppendPadded(out, (magnitude % 3600) / 60, 2);
    out.push_back('\'');
    return out;
}

} // namespace

std::unique_ptr<PdfDocument> PdfDocument::Create(const std::string& path, const PdfWriteOptions& options,
                                                 ProgressSink* sink, const PdfDocumentSettings& settings)
{
    const int fd = OpenExclusive(path, settings.retryWindowMs);
    if (fd < 0)
        return nullptr;
    return std::make_unique<PdfDocument>(OpenedFile(fd), options, sink, settings);
}

PdfDocument::PdfDocument(OpenedFile file, const PdfWriteOptions& options, ProgressSink* sink,
                         const PdfDocumentSettings& settings)
    : fd_(file.fd), compression_(settings.compression), fixedTime_(settings.fixedTime), options_(options),
      sink_(sink), helper_(settings.helper), pictures_(settings.pictures)
{
    const PaperChoice paper = ChoosePaper(options.paperCode, options.orientation);
    pageWidth_ = paper.widthPt;
    pageHeight_ = paper.heightPt;
    Write("%PDF-1.4\r\n%??\r\n");
}

PdfDocument::~PdfDocument()
{
    if (!finished_)
        Finish();
}

void PdfDocument::Write(std::string_view bytes)
{
    pending_.append(bytes);
    if (pending_.size() >= kFileBufferSize)
        FlushFile();
}

void PdfDocument::FlushFile()
{
    size_t done = 0;
    while (done < pending_.size() && !ioFailed_) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ioFailed_ = true;
        else
            done += static_cast<size_t>(n);
    }
    flushed_ += pending_.size();
    pending_.clear();
}

void PdfDocument::BeginObject(int number)
{
    objectOffsets_[static_cast<size_t>(number - 1)] = Offset();
    std::string head;
    AppendInt(head, number);
    head.append(" 0 obj");
    Write(head);
}

int PdfDocument::WriteObject(std::string_view text)
{
    const int number = ReserveObject();
    WriteReservedObject(number, text);
    return number;
}

int PdfDocument::ReserveObject()
{
    objectOffsets_.emplace_back();
    return nextObject_++;
}

void PdfDocument::WriteReservedObject(int number, std::string_view text)
{
    if (number < 1 || number >= nextObject_ || objectOffsets_[static_cast<size_t>(number - 1)]) {
        // Writing a number twice, or one never handed out, would break the cross-reference table.
        writeFailed_ = true;
        return;
    }
    BeginObject(number);
    Write(text);
    Write("\r\nendobj\r\n");
}

int PdfDocument::WriteStreamObject(std::string_view dictionary, std::string_view data)
{
    const int number = ReserveObject();
    BeginObject(number);
    Write(dictionary);
    Write("\r\nstream\r\n");
    Write(data);
    Write("\r\nendstream\r\nendobj\r\n");
    return number;
}

PdfStatus PdfDocument::Finish()
{
    if (finished_)
        return PdfStatus::Failed;
    finished_ = true;
    EndPage();

    std::vector<std::function<void(PdfDocument&)>> steps;
    steps.swap(finishSteps_);
    for (auto& step : steps)
        step(*this);
    SubmitOpenBatch();
    WriteMadeBatches(SIZE_MAX);

    pagesObject_ = WritePageTree();
    infoObject_ = WriteInfo();
    catalogObject_ = WriteCatalog();
    // A number reserved but never written (a drawing step that gave up) still needs an object
    // for the cross-reference table to point at.
    for (size_t i = 0; i < objectOffsets_.size(); ++i)
        if (!objectOffsets_[i])
            WriteReservedObject(static_cast<int>(i + 1), " null");
    WriteCrossReferences();
    FlushFile();
    PatchParents();
    if (::close(fd_) != 0)
        ioFailed_ = true;
    fd_ = -1;
    return HasWriteFailed() ? PdfStatus::Failed : PdfStatus::Ok;
}

int PdfDocument::WritePageTree()
{
    DictionaryBuilder tree("<</Type/Pages /Count ");
    tree << pages_.size();
    if (!pages_.empty()) {
        tree << " /Kids [";
        for (int page : pages_)
            tree << ObjectReference{page} << ' ';
        tree << ']';
    }
    tree << ">>";
    return WriteObject(tree.text());
}

int PdfDocument::WriteInfo()
{
    const std::string date = PdfDate(fixedTime_ ? *fixedTime_ : time(nullptr));
    DictionaryBuilder info("<</Producer(Tavolex)/CreationDate(");
    info << date << ")/ModDate(" << date << ")>>";
    return WriteObject(info.text());
}

int PdfDocument::WriteCatalog()
{
    DictionaryBuilder catalog("<</Type/Catalog");
    if (options_.printOnOpen) {
        const int action = ReserveObject();
        WriteReservedObject(action, "<<\n/Type /Action\n/S /JavaScript\n/JS "
                                    "(this.print\\({bUI:true,bSilent:false,bShrinkToFit:true}\\);)\n>>");
        catalog << " /OpenAction " << ObjectReference{action};
    }
    catalog << " /Pages " << ObjectReference{pagesObject_} << ">>";
    return WriteObject(catalog.text());
}

void PdfDocument::WriteCrossReferences()
{
    xrefOffset_ = Offset();
    DictionaryBuilder table("xref\r\n0 ");
    table << objectOffsets_.size() + 1 << "\r\n0000000000 65535 f\r\n";
    for (const std::optional<uint64_t>& offset : objectOffsets_) {
        AppendPadded(table.raw(), static_cast<int64_t>(offset.value_or(0)), 10);
        table << " 00000 n\r\n";
    }
    table << "trailer\r\n<</Size " << objectOffsets_.size() + 1 << " /Root " << ObjectReference{catalogObject_}
          << " /Info " << ObjectReference{infoObject_} << ">>\r\nstartxref\r\n" << xrefOffset_ << "\r\n%%EOF\r\n";
    Write(table.text());
}

// Puts the Pages object's number into every page's /Parent placeholder, written by then.
void PdfDocument::PatchParents()
{
    std::string parent;
    AppendInt(parent, pagesObject_);
    if (parent.size() > kParentPlaceholder)
        writeFailed_ = true;
    while (parent.size() < 5)
        parent.push_back(' ');
    for (uint64_t offset : parentPatches_) {
        if (ioFailed_ || writeFailed_)
            break;
        if (::pwrite(fd_, parent.data(), parent.size(), static_cast<off_t>(offset)) !=
            static_cast<ssize_t>(parent.size()))
            ioFailed_ = true;
    }
}

PdfStatus WritePdfDocument(const PdfWriteOptions& options, std::span<PdfPageSource* const> pages,
                           const std::string& path, ProgressSink* sink, const PdfDocumentSettings& settings)
{
    std::unique_ptr<PdfDocument> document = PdfDocument::Create(path, options, sink, settings);
    if (!document)
        return PdfStatus::Failed;
    PdfStatus result = PdfStatus::Ok;
    for (PdfPageSource* page : pages) {
        if (!page)
            continue;
        result = document->RenderPage(page->Geometry(), page->ItemCount(),
                                      [&](size_t index) { return page->DrawItem(index, *document); });
        if (result != PdfStatus::Ok)
            break;
    }
    const PdfStatus finished = document->Finish();
    return result != PdfStatus::Ok ? result : finished;
}

} // namespace tavolex::pdf
