#include "pdf_writer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace tavolex::pdf {

namespace {

constexpr double kPointsPerMm = 0.03937007874015748 * 72;
// Points per millimetre as the placement has always computed it: a single-precision constant.
constexpr float kPlacementPointsPerMm = 2.8346457f;
// A view-box side or row length this close to 0 counts as absent (the float epsilon of 2^-23).
constexpr double kNearZero = 1.0 / 8388608.0;
// zlib's output grows in steps of this size when a round fills it.
constexpr size_t kDeflateStep = 1048576;
// Pending file bytes are handed to the kernel once they reach this size.
constexpr size_t kFileBufferSize = 1 << 20;
// What naming the filter adds to a stream dictionary.
constexpr std::string_view kFilterEntry = "/Filter/FlateDecode ";
// The /Parent placeholder is this many spaces; the Pages number must fit in it.
constexpr size_t kParentPlaceholder = 7;

constexpr PaperSize kPaperSizes[] = {
    {1, u"a0", u"A0", 841, 1189},
    {2, u"a1", u"A1", 594, 841},
    {3, u"a2", u"A2", 420, 594},
    {4, u"a3", u"A3", 297, 420},
    {5, u"a4", u"A4", 210, 297},
    {6, u"a5", u"A5", 148, 210},
    {7, u"a6", u"A6", 105, 148},
    {8, u"a7", u"A7", 75, 105},
    {9, u"b0", u"B0", 1000, 1414},
    {10, u"b1", u"B1", 707, 1000},
    {11, u"b2", u"B2", 500, 707},
    {12, u"b3", u"B3", 353, 500},
    {13, u"b4", u"B4", 250, 353},
    {14, u"b5", u"B5", 176, 250},
    {15, u"b6", u"B6", 125, 176},
    {16, u"b7", u"B7", 88, 125},
    {17, u"usstatement", u"Statement", 140, 216},
    {18, u"usletter", u"Letter", 216, 279},
    {19, u"uslegal", u"Legal", 216, 356},
    {20, u"usledger", u"Ledger", 279, 432},
    {21, u"ustabloid", u"Tabloid", 279, 432},
    {22, u"ostrevanmanual", u"Manual", 127.54, 178.54},
};
constexpr int kA4Id = 5;

int32_t MmToPoints(double mm)
{
    return static_cast<int32_t>(mm * kPointsPerMm);
}

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

// ---------------------------------------------------------------------------------------------
// Numbers and matrices

void AppendReal(std::string& out, double value)
{
    if (!std::isfinite(value))
        value = 0;
    char text[400]; // "%f" of the largest double needs 309 digits before the point
    auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    if (ec != std::errc()) {
        out.append("0.000000");
        return;
    }
    out.append(text, end);
}

void AppendInt(std::string& out, int64_t value)
{
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    (void)ec;
    out.append(text, end);
}

void AppendMatrix(std::string& out, const Matrix& m)
{
    const double values[6] = {m.a, m.b, m.c, m.d, m.e, m.f};
    for (int i = 0; i < 6; ++i) {
        if (i > 0)
            out.push_back(' ');
        AppendReal(out, values[i]);
    }
}

// ---------------------------------------------------------------------------------------------
// Paper and placement

const PaperSize* FindPaperSize(int id)
{
    if (id < 1 || id > static_cast<int>(std::size(kPaperSizes)))
        return nullptr;
    return &kPaperSizes[id - 1];
}

std::optional<int> PaperIdForCode(PaperCode code)
{
    switch (code) {
    case PaperCode::A4: return 5;
    case PaperCode::Letter: return 18;
    case PaperCode::Legal: return 19;
    case PaperCode::A0: return 1;
    case PaperCode::A1: return 2;
    case PaperCode::A2: return 3;
    case PaperCode::A3: return 4;
    }
    return std::nullopt; // a number outside the enumeration
}

PaperChoice ChoosePaper(PaperCode code, int32_t orientation)
{
    const std::optional<int> id = PaperIdForCode(code);
    const PaperSize* row = id ? FindPaperSize(*id) : nullptr;
    if (!row || MmToPoints(row->widthMm) == 0 || MmToPoints(row->heightMm) == 0)
        row = FindPaperSize(kA4Id);
    PaperChoice paper{row->widthMm, row->heightMm, MmToPoints(row->widthMm), MmToPoints(row->heightMm)};
    if (orientation == 1) {
        std::swap(paper.widthMm, paper.heightMm);
        std::swap(paper.widthPt, paper.heightPt);
    }
    return paper;
}

Placement PlacePage(const PageGeometry& page, double paperWidthMm, double paperHeightMm,
                    double marginMm, int32_t placement, int32_t fit)
{
    double viewWidth = page.viewBoxWidth;
    double viewHeight = page.viewBoxHeight;
    if (std::fabs(viewWidth) <= kNearZero)
        viewWidth = page.width;
    if (std::fabs(viewHeight) <= kNearZero)
        viewHeight = page.height;
    if (!(viewWidth > 0) || !(viewHeight > 0))
        return {};

    Placement result;
    result.scale = std::min(page.unitFactorX, page.unitFactorY) * static_cast<double>(kPlacementPointsPerMm) *
                   std::min(page.width / viewWidth, page.height / viewHeight);

    const Matrix& root = page.rootTransform;
    double rowX = std::hypot(root.a, root.b);
    double rowY = std::hypot(root.c, root.d);
    if (std::fabs(rowX) <= kNearZero)
        rowX = 1;
    if (std::fabs(rowY) <= kNearZero)
        rowY = 1;
    double w = page.width * page.unitFactorX * rowX;
    double h = page.height * page.unitFactorY * rowY;

    result.offsetX = result.offsetY = marginMm * kPointsPerMm;
    const double roomX = paperWidthMm - 2 * marginMm;
    const double roomY = paperHeightMm - 2 * marginMm;
    const bool scales = fit == 1 || (fit == 2 && roomX > w && roomY > h);
    // A page without extent cannot be fitted; it keeps its (zero) size.
    if (scales && w > 0 && h > 0) {
        const double f = std::min(roomX / w, roomY / h);
        result.scale *= f;
        w *= f;
        h *= f;
    }
    if (placement == 1) {
        result.offsetX = (paperWidthMm - w - 2 * marginMm) * kPointsPerMm / 2 + marginMm * kPointsPerMm;
        result.offsetY = (paperHeightMm - h - 2 * marginMm) * kPointsPerMm / 2 + marginMm * kPointsPerMm;
    } else if (placement == 2) {
        result.offsetY = (paperHeightMm - h - marginMm) * kPointsPerMm;
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Compression

// Two zlib states at level 9: one with the full 32 KB window for large streams, and one with a
// 4 KB window and a small hash table for the many small content streams of a page (a stream is
// cut at every save and restore). Resetting a state clears its hash table, which for the full
// state is 64 KB of memory per stream; the small state clears 1 KB and, its window covering the
// whole input, finds the same matches.
constexpr size_t kSmallStreamLimit = 4096;

struct Deflater::State {
    struct Stream {
        z_stream stream{};
        bool ready = false;
        ~Stream()
        {
            if (ready)
                deflateEnd(&stream);
        }
    };
    Stream large;
    Stream small;
};

Deflater::Deflater() : state_(std::make_unique<State>()) {}
Deflater::~Deflater() = default;

std::optional<std::string> Deflater::Deflate(std::string_view data, const std::function<bool()>& cancelled)
{
    const bool small = data.size() <= kSmallStreamLimit;
    State::Stream& chosen = small ? state_->small : state_->large;
    z_stream& stream = chosen.stream;
    if (!chosen.ready) {
        const int status = small ? deflateInit2(&stream, 9, Z_DEFLATED, 12, 2, Z_DEFAULT_STRATEGY)
                                 : deflateInit(&stream, 9);
        if (status != Z_OK)
            return std::nullopt;
        chosen.ready = true;
    } else if (deflateReset(&stream) != Z_OK) {
        return std::nullopt;
    }
    std::string out;
    // One round suffices when the bound holds; the step growth covers zlib ever needing more.
    out.resize(deflateBound(&stream, static_cast<uLong>(data.size())));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    size_t produced = 0;
    int status = Z_OK;
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        stream.avail_out = static_cast<uInt>(out.size() - produced);
        status = deflate(&stream, Z_FINISH);
        produced = out.size() - stream.avail_out;
        if (status == Z_STREAM_END || (status != Z_OK && status != Z_BUF_ERROR))
            break;
        if (cancelled && cancelled())
            break;
        out.resize(out.size() + kDeflateStep);
    }
    if (status != Z_STREAM_END)
        return std::nullopt;
    out.resize(produced);
    return out;
}

// ---------------------------------------------------------------------------------------------
// The document

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

std::optional<std::string> PdfDocument::Compress(std::string_view data)
{
    if (compression_ == Compression::Off)
        return std::nullopt;
    if (!compressor_)
        compressor_ = std::make_unique<Deflater>();
    return compressor_->Deflate(data, [this] { return IsCancelled(); });
}

namespace {

// A stream that deflate cannot shrink (the many "q" and "Q" streams) stays as it is: the filter
// entry and zlib's own header and check would only add bytes. A zlib stream takes at least 8
// bytes (header, one block, check), so the shortest are not even tried.
bool WorthDeflating(size_t size)
{
    constexpr size_t kShortestZlibStream = 8;
    return size > kFilterEntry.size() + kShortestZlibStream;
}

bool KeepsDeflated(const std::optional<std::string>& packed, size_t size)
{
    return packed && packed->size() + kFilterEntry.size() < size;
}

std::string StreamDictionary(size_t length, bool deflated)
{
    std::string dictionary = deflated ? "<</Filter/FlateDecode /Length " : "<</Length ";
    AppendInt(dictionary, static_cast<int64_t>(length));
    dictionary += ">>";
    return dictionary;
}

// Streams are handed to the helper in batches of about this many bytes.
constexpr size_t kBatchWeight = 32768;

} // namespace

int PdfDocument::WriteStream(std::string_view data)
{
    std::optional<std::string> packed;
    if (WorthDeflating(data.size()))
        packed = Compress(data);
    if (KeepsDeflated(packed, data.size()))
        return WriteStreamObject(StreamDictionary(packed->size(), true), *packed);
    return WriteStreamObject(StreamDictionary(data.size(), false), data);
}

int PdfDocument::WriteStream(std::string&& data)
{
    if (!IsCompressing() || !WorthDeflating(data.size()))
        return WriteStream(std::string_view(data));
    const size_t weight = data.size();
    return WriteStreamLater(
        [data = std::move(data)](Deflater& deflater) mutable {
            std::optional<std::string> packed = deflater.Deflate(data);
            if (KeepsDeflated(packed, data.size()))
                return MadeStream{StreamDictionary(packed->size(), true), std::move(*packed)};
            return MadeStream{StreamDictionary(data.size(), false), std::move(data)};
        },
        weight);
}

int PdfDocument::WriteStreamLater(StreamMaker make, size_t weight)
{
    if (!IsCompressing()) {
        if (!compressor_)
            compressor_ = std::make_unique<Deflater>();
        const MadeStream made = make(*compressor_);
        return WriteStreamObject(made.dictionary, made.data);
    }
    Helper();
    const int number = ReserveObject();
    if (!openBatch_) {
        openBatch_ = std::make_unique<StreamBatch>();
        openBatch_->page = pages_.size();
    }
    openBatch_->makers.emplace_back(number, std::move(make));
    openBatch_->weight += weight;
    if (openBatch_->weight >= kBatchWeight)
        SubmitOpenBatch();
    return number;
}

TaskQueue& PdfDocument::Helper()
{
    if (!helper_) {
        ownedHelper_ = std::make_unique<TaskQueue>();
        helper_ = ownedHelper_.get();
    }
    return *helper_;
}

void PdfDocument::RunSideBySide(std::vector<std::function<void(Deflater& deflater)>> jobs)
{
    TaskQueue& helper = Helper();
    std::atomic<size_t> left{jobs.size()};
    for (auto& job : jobs) {
        helper.Submit([this, &job, &left](size_t runner) {
            job(runnerDeflaters_[runner]);
            left.fetch_sub(1, std::memory_order_release);
        });
    }
    helper.HelpUntil([&left] { return left.load(std::memory_order_acquire) == 0; });
}

void PdfDocument::SubmitOpenBatch()
{
    if (!openBatch_)
        return;
    StreamBatch* batch = openBatch_.get();
    batches_.push_back(std::move(openBatch_));
    helper_->Submit([this, batch](size_t runner) {
        Deflater& deflater = runnerDeflaters_[runner];
        for (auto& [number, make] : batch->makers) {
            const MadeStream made = make(deflater);
            make = nullptr; // lets go of the raw bytes at once
            batch->starts.emplace_back(number, batch->bytes.size());
            AppendInt(batch->bytes, number);
            batch->bytes += " 0 obj";
            batch->bytes += made.dictionary;
            batch->bytes += "\r\nstream\r\n";
            batch->bytes += made.data;
            batch->bytes += "\r\nendstream\r\nendobj\r\n";
        }
        batch->makers.clear();
        batch->done.store(true, std::memory_order_release);
    });
}

void PdfDocument::WriteMadeBatches(size_t pageLimit)
{
    while (!batches_.empty() && batches_.front()->page < pageLimit) {
        StreamBatch& batch = *batches_.front();
        helper_->HelpUntil([&batch] { return batch.done.load(std::memory_order_acquire); });
        const uint64_t base = Offset();
        for (const auto& [number, start] : batch.starts) {
            std::optional<uint64_t>& offset = objectOffsets_[static_cast<size_t>(number - 1)];
            if (offset)
                writeFailed_ = true;
            else
                offset = base + start;
        }
        Write(batch.bytes);
        batches_.pop_front();
    }
}

void PdfDocument::FlushContent()
{
    if (content_.empty())
        return;
    const int number = WriteStream(std::move(content_));
    std::string reference;
    AppendInt(reference, number);
    reference += " 0 R";
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

    std::string page = "<</Type/Page /Parent ";
    const size_t placeholderAt = page.size();
    page.append(kParentPlaceholder, ' ');
    page += " 0 R /MediaBox [0 0 ";
    AppendInt(page, static_cast<int64_t>(pageWidth_ + 0.5));
    page += ' ';
    AppendInt(page, static_cast<int64_t>(pageHeight_ + 0.5));
    page += "] /Group <</Type /Group /S /Transparency /CS /DeviceRGB>> /Resources <</ProcSet [/PDF ";
    if (flags_[static_cast<size_t>(PageFlag::ImageB)])
        page += "/ImageB ";
    if (flags_[static_cast<size_t>(PageFlag::ImageC)])
        page += "/ImageC ";
    if (flags_[static_cast<size_t>(PageFlag::Text)])
        page += "/Text ";
    page += "] ";
    static constexpr std::string_view kResourceNames[4] = {"/XObject <<", "/Font <<", "/ExtGState <<",
                                                           "/Pattern <<"};
    for (size_t kind = 0; kind < 4; ++kind) {
        if (resources_[kind].empty())
            continue;
        page += kResourceNames[kind];
        for (const std::string& entry : resources_[kind]) {
            page += ' ';
            page += entry;
            page += ' ';
        }
        page += ">> ";
    }
    page += ">> ";
    if (!contents_.empty()) {
        page += "/Contents [";
        for (const std::string& entry : contents_) {
            page += ' ';
            page += entry;
            page += ' ';
        }
        page += "] ";
    }
    page += " >> ";

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

    std::string text = "<</Type/Pages /Count ";
    AppendInt(text, static_cast<int64_t>(pages_.size()));
    if (!pages_.empty()) {
        text += " /Kids [";
        for (int page : pages_) {
            AppendInt(text, page);
            text += " 0 R ";
        }
        text += ']';
    }
    text += ">>";
    pagesObject_ = WriteObject(text);

    const std::string date = PdfDate(fixedTime_ ? *fixedTime_ : time(nullptr));
    text = "<</Producer(Tavolex)/CreationDate(" + date + ")/ModDate(" + date + ")>>";
    infoObject_ = WriteObject(text);

    text = "<</Type/Catalog";
    if (options_.printOnOpen) {
        const int action = ReserveObject();
        WriteReservedObject(action, "<<\n/Type /Action\n/S /JavaScript\n/JS "
                                    "(this.print\\({bUI:true,bSilent:false,bShrinkToFit:true}\\);)\n>>");
        text += " /OpenAction ";
        AppendInt(text, action);
        text += " 0 R";
    }
    text += " /Pages ";
    AppendInt(text, pagesObject_);
    text += " 0 R>>";
    catalogObject_ = WriteObject(text);

    // A number reserved but never written (a drawing step that gave up) still needs an object
    // for the cross-reference table to point at.
    for (size_t i = 0; i < objectOffsets_.size(); ++i)
        if (!objectOffsets_[i])
            WriteReservedObject(static_cast<int>(i + 1), " null");

    xrefOffset_ = Offset();
    text = "xref\r\n0 ";
    AppendInt(text, static_cast<int64_t>(objectOffsets_.size() + 1));
    text += "\r\n0000000000 65535 f\r\n";
    for (const std::optional<uint64_t>& offset : objectOffsets_) {
        AppendPadded(text, static_cast<int64_t>(offset.value_or(0)), 10);
        text += " 00000 n\r\n";
    }
    text += "trailer\r\n<</Size ";
    AppendInt(text, static_cast<int64_t>(objectOffsets_.size() + 1));
    text += " /Root ";
    AppendInt(text, catalogObject_);
    text += " 0 R /Info ";
    AppendInt(text, infoObject_);
    text += " 0 R>>\r\nstartxref\r\n";
    AppendInt(text, static_cast<int64_t>(xrefOffset_));
    text += "\r\n%%EOF\r\n";
    Write(text);
    FlushFile();

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
    if (::close(fd_) != 0)
        ioFailed_ = true;
    fd_ = -1;
    return HasWriteFailed() ? PdfStatus::Failed : PdfStatus::Ok;
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
