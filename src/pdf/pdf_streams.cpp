// Streams: deflating them (on the helper thread, in batches, while drawing goes on) and writing
// them in the order their numbers were handed out, a little later in the file.
#include "pdf_writer.h"

#include <zlib.h>

namespace tavolex::pdf {

namespace {

// zlib's output grows in steps of this size when a round fills it.
constexpr size_t kDeflateStep = 1048576;
// What naming the filter adds to a stream dictionary.
constexpr std::string_view kFilterEntry = "/Filter/FlateDecode ";

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
    DictionaryBuilder dictionary(deflated ? "<</Filter/FlateDecode /Length " : "<</Length ");
    dictionary << length << ">>";
    return dictionary.text();
}

// Streams are handed to the helper in batches of about this many bytes.
constexpr size_t kBatchWeight = 32768;



// Two zlib states at level 9: one with the full 32 KB window for large streams, and one with a
// 4 KB window and a small hash table for the many small content streams of a page (a stream is
// cut at every save and restore). Resetting a state clears its hash table, which for the full
// state is 64 KB of memory per stream; the small state clears 1 KB and, its window covering the
// whole input, finds the same matches.
constexpr size_t kSmallStreamLimit = 4096;


} // namespace

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

std::optional<std::string> PdfDocument::Compress(std::string_view data)
{
    if (compression_ == Compression::Off)
        return std::nullopt;
    if (!compressor_)
        compressor_ = std::make_unique<Deflater>();
    return compressor_->Deflate(data, [this] { return IsCancelled(); });
}

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

} // namespace tavolex::pdf
