// The PDF writer core: one PDF 1.4 file written front to back in a single pass.
//
// A PdfDocument owns the output file. Objects are appended as soon as their text is known and
// their byte offsets kept for the cross-reference table; the only bytes rewritten afterwards are
// the fixed-width /Parent placeholders of the pages, patched once the Pages object has a number.
// A page collects its operators in a content buffer that is cut into a small stream at every
// save and restore. When the document compresses, its streams (and picture planes) are deflated
// on a helper thread while drawing goes on, and written a little later in the file than their
// numbers were handed out: at most the streams of the last two pages are held in memory.
//
// The drawing layer (pdf_graphics.h) builds on the operations here: append content, flush it,
// save and restore, write objects (plain, reserved, streams), add page resources and flags.
// The work is spread over pdf_objects.cpp (the file, objects, cross-reference table),
// pdf_pages.cpp (content, resources, page objects), pdf_streams.cpp (deflating and scheduling
// streams), pdf_paper.cpp (paper and placement) and pdf_dictionary.cpp (number formats).
//
// A caller with pages to convert implements PdfPageSource and calls WritePdfDocument:
//
//     PdfWriteOptions options;                       // A4, portrait, centred, fit
//     PdfStatus status = WritePdfDocument(options, pages, "/tmp/menu.pdf", &sink);
#pragma once

#include "geometry.h"
#include "image_decode.h"
#include "pdf.h"
#include "pdf_dictionary.h"
#include "pdf_progress.h"
#include "task_queue.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavolex::pdf {

// One row of the page-size table; sizes in millimetres.
struct PaperSize {
    int id;
    std::u16string_view key;
    std::u16string_view name;
    double widthMm;
    double heightMm;
};

// Ids 1 to 22; anything else finds nothing.
const PaperSize* FindPaperSize(int id);
// The table id a code names, or nothing.
std::optional<int> PaperIdForCode(PaperCode code);

// The paper an export uses: the code's row (A4 when it names none or a side comes out as 0),
// with width and height swapped for orientation 1.
struct PaperChoice {
    double widthMm;
    double heightMm;
    int32_t widthPt; // millimetres * 72 / 25.4, cut toward zero
    int32_t heightPt;
};
PaperChoice ChoosePaper(PaperCode code, int32_t orientation);

// What the SVG model tells the writer about a page's size (user units unless said).
struct PageGeometry {
    double width = 0;
    double height = 0;
    double viewBoxX = 0;
    double viewBoxY = 0;
    double viewBoxWidth = 0; // 0 when the document has no view box
    double viewBoxHeight = 0;
    double unitFactorX = 1; // millimetres per user unit, 1.0 when the size carried no units
    double unitFactorY = 1;
    Matrix rootTransform;
};

struct Placement {
    double scale = 0;
    double offsetX = 0; // points
    double offsetY = 0;
};
Placement PlacePage(const PageGeometry& page, double paperWidthMm, double paperHeightMm,
                    double marginMm, int32_t placement, int32_t fit);

enum class Compression { Flate, Off };
enum class ResourceKind { XObject, Font, ExtGState, Pattern };
enum class PageFlag { ImageB, ImageC, Text };

struct PdfDocumentSettings {
    Compression compression = Compression::Flate;
    // The Info dates use this time instead of the clock when set (seconds since the epoch); the
    // UTC offset still comes from the local time zone (TZ).
    std::optional<time_t> fixedTime;
    // How long a file held by another writer is waited for.
    int retryWindowMs = 5000;
    // The background thread that deflates streams while pages are drawn; the document makes its
    // own when this is null. Not used when the document does not compress.
    TaskQueue* helper = nullptr;
    // Pictures another thread decodes ahead; the document decodes its pictures itself when this
    // is null or a picture is not there.
    DecodedPictures* pictures = nullptr;
};

// "%f %f %f %f %f %f" with a, b, c, d, e, f.
void AppendMatrix(std::string& out, const Matrix& m);

// Level-9 deflate into a zlib stream. zlib's state (some 400 KB at this level) is made on first
// use and reset between streams, since a page writes many small ones. Nothing when zlib fails or
// `cancelled` answers true between rounds.
class Deflater {
public:
    Deflater();
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    std::optional<std::string> Deflate(std::string_view data, const std::function<bool()>& cancelled = {});

private:
    struct State;
    std::unique_ptr<State> state_;
};

class PdfDocument {
public:
    // Creates (or replaces) the file and writes the header. Nothing when the file cannot be
    // created, or stays held by another writer for the whole retry window.
    static std::unique_ptr<PdfDocument> Create(const std::string& path, const PdfWriteOptions& options,
                                               ProgressSink* sink, const PdfDocumentSettings& settings = {});
    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete;

    const PdfWriteOptions& options() const { return options_; }
    int32_t pageWidth() const { return pageWidth_; }
    int32_t pageHeight() const { return pageHeight_; }
    bool IsCompressing() const { return compression_ == Compression::Flate; }
    bool IsCancelled() const { return sink_ && sink_->IsCancelled(); }

    // Pages. Rendering a page starts it unless one is open already.
    void BeginPage();
    void EndPage();
    bool IsPageOpen() const { return pageOpen_; }
    // Starts the page, places `geometry` on the paper, draws every item with `drawItem` and ends
    // the page. The sink is asked after every item; cancellation or a failed item fails the page.
    PdfStatus RenderPage(const PageGeometry& geometry, size_t itemCount,
                         const std::function<PdfStatus(size_t index)>& drawItem);

    // Content of the open page.
    std::string& content() { return content_; }
    void AppendContent(std::string_view text) { content_.append(text); }
    void FlushContent();
    // "q" and "Q", each followed by a flush unless the caller keeps its save, operators and
    // restore in one stream (a text run is written as one).
    enum class Flush { Now, Later };
    void SaveState(Flush flush = Flush::Now);
    void RestoreState(Flush flush = Flush::Now);

    // The transformation from user space to the page's upward-y space below the flip, which the
    // page's first stream applies. Identity at the start of a page.
    const Matrix& transformation() const { return transformation_; }
    // Appends `m` as "cm" and makes the current transformation `m` then the old one.
    void ConcatTransformation(const Matrix& m);
    // Appends the "cm" that takes the current transformation to `target`.
    void SetTransformation(const Matrix& target);
    // The flip (1, 0, 0, -1, 0, page height) that the page's first stream applies.
    Matrix PageFlip() const { return {1, 0, 0, -1, 0, static_cast<double>(pageHeight_)}; }

    // Objects. Numbers follow the order of writing or reserving.
    int WriteObject(std::string_view text);
    int ReserveObject();
    void WriteReservedObject(int number, std::string_view text);
    // "<</Filter/FlateDecode /Length n>>" when the document compresses and deflate makes the
    // stream smaller, else "<</Length n>>".
    int WriteStream(std::string_view data);
    int WriteStream(std::string&& data);
    // A stream whose dictionary the caller builds (it must carry the right /Length).
    int WriteStreamObject(std::string_view dictionary, std::string_view data);
    // A stream made by a job: its dictionary (with the right /Length) and its data.
    struct MadeStream {
        std::string dictionary;
        std::string data;
    };
    using StreamMaker = std::function<MadeStream(Deflater& deflater)>;
    // Reserves a stream object whose bytes `make` produces, on the helper thread when the
    // document compresses (at once otherwise), while drawing goes on. The maker owns what it
    // reads. Made streams are written in the order they were asked for, at the end of the second
    // page after the one that asked (or when the document is finished), so the file is the same
    // on every run. `weight` is about the bytes the maker reads: jobs are handed over in batches of
    // a few tens of kilobytes, so small content streams do not pay a hand-over each.
    int WriteStreamLater(StreamMaker make, size_t weight);
    // Runs the jobs on this thread and the helper side by side and returns once all are done;
    // each job gets the deflater of the thread it runs on.
    void RunSideBySide(std::vector<std::function<void(Deflater& deflater)>> jobs);
    // Deflates when the document compresses; nothing when it does not or zlib fails.
    std::optional<std::string> Compress(std::string_view data);

    // Page resources: `entry` is "name ref", for example "/A7 7 0 R". An entry the page already
    // has is not added twice (a resource dictionary may not repeat a name).
    void AddResource(ResourceKind kind, std::string entry);
    void SetPageFlag(PageFlag flag);
    // The counter behind the "/IMG_%.6d" names, from 1 per document.
    int NextImageNumber() { return ++imageCounter_; }
    // The text layer's current font; every page starts with Courier 12, neither bold nor italic.
    struct FontState {
        std::string name = "Courier";
        double size = 12;
        bool bold = false;
        bool italic = false;
    };
    FontState& font() { return font_; }

    // Pictures already written, by their encoded bytes, so a logo on every page is stored once.
    struct ImageRecord {
        std::string name; // "/IMG_000001"
        int object = 0;
        bool gray = false;
        uint32_t width = 0; // the picture's size in pixels
        uint32_t height = 0;
    };
    const ImageRecord* FindImage(std::string_view bytes) const;
    // The picture's pixels, decoded ahead where the document was given such pictures.
    std::optional<DecodedImage> DecodePicture(std::span<const uint8_t> bytes);
    void RememberImage(std::string_view bytes, ImageRecord record);

    // State that a drawing layer keeps for the whole document (the text layer's loaded fonts and
    // the glyphs used), made by that layer on first use and released with the document.
    class LayerState {
    public:
        virtual ~LayerState() = default;
    };
    std::unique_ptr<LayerState>& textLayer() { return textLayer_; }

    // Steps run first when the document is finished (the font objects the pages used).
    void AddFinishStep(std::function<void(PdfDocument&)> step) { finishSteps_.push_back(std::move(step)); }
    // Writes the fonts, Pages, Info, Catalog, cross-reference table and trailer, patches the
    // parents and closes the file. Failed when any write failed. Once only.
    PdfStatus Finish();
    // True once the file could not be written, or an object was written against the rules.
    bool HasWriteFailed() const { return ioFailed_ || writeFailed_; }

    // Only Create can make the key: a document always starts with an open file.
    class OpenedFile {
        friend class PdfDocument;
        explicit OpenedFile(int descriptor) : fd(descriptor) {}
        int fd;
    };
    PdfDocument(OpenedFile file, const PdfWriteOptions& options, ProgressSink* sink,
                const PdfDocumentSettings& settings);

private:
    struct StreamBatch {
        std::vector<std::pair<int, StreamMaker>> makers;
        size_t weight = 0;
        size_t page = 0; // the number of pages ended when the batch was opened
        std::string bytes; // the objects' text, made by the job
        std::vector<std::pair<int, size_t>> starts; // each object's number and start in `bytes`
        std::atomic<bool> done{false};
    };
    TaskQueue& Helper();
    void SubmitOpenBatch();
    // Writes the made batches opened before page `pageLimit` ended, waiting for them (and
    // helping) where they are not made yet.
    void WriteMadeBatches(size_t pageLimit);
    void Write(std::string_view bytes);
    void FlushFile();
    uint64_t Offset() const { return flushed_ + pending_.size(); }
    void BeginObject(int number);
    // The page's dictionary; `placeholderAt` receives the offset in it of the /Parent
    // placeholder, which Finish patches once the Pages object has its number.
    std::string PageDictionary(size_t& placeholderAt) const;
    int WritePageTree();
    int WriteInfo();
    int WriteCatalog();
    void WriteCrossReferences();
    void PatchParents();

    // The /Parent placeholder is this many spaces; the Pages number must fit in it.
    static constexpr size_t kParentPlaceholder = 7;

    int fd_ = -1;
    int32_t pageWidth_ = 0;
    int32_t pageHeight_ = 0;
    Compression compression_;
    std::unique_ptr<Deflater> compressor_; // made on first need
    std::optional<time_t> fixedTime_;
    int nextObject_ = 1;
    std::vector<std::optional<uint64_t>> objectOffsets_; // index = number - 1
    std::vector<int> pages_;
    std::vector<uint64_t> parentPatches_;
    int pagesObject_ = 0;
    int infoObject_ = 0;
    int catalogObject_ = 0;
    uint64_t xrefOffset_ = 0;
    std::vector<std::string> resources_[4];
    std::vector<std::string> contents_; // "N 0 R" of each content stream, in order
    bool pageOpen_ = false;
    bool flags_[3] = {false, false, false};
    std::string content_;
    Matrix transformation_;
    std::vector<Matrix> savedTransformations_;
    PdfWriteOptions options_;
    ProgressSink* sink_;
    FontState font_;
    int imageCounter_ = 0;
    std::unordered_map<std::string, ImageRecord> images_;
    std::vector<std::function<void(PdfDocument&)>> finishSteps_;
    std::unique_ptr<LayerState> textLayer_;
    std::string pending_; // bytes not yet handed to the file
    uint64_t flushed_ = 0;
    bool writeFailed_ = false; // an object written twice or never handed out: the result fails
    bool ioFailed_ = false;    // the file refused bytes: nothing more is written
    bool finished_ = false;
    std::deque<std::unique_ptr<StreamBatch>> batches_; // handed over, not yet written
    std::unique_ptr<StreamBatch> openBatch_;
    Deflater runnerDeflaters_[TaskQueue::kRunnerCount];
    TaskQueue* helper_ = nullptr;
    DecodedPictures* pictures_ = nullptr;
    // Last, so that it is the first member destroyed: its thread ends before the batches and
    // deflaters its jobs use are gone.
    std::unique_ptr<TaskQueue> ownedHelper_;
};

// A page to be drawn: its size and its drawing items in document order. The SVG side adapts an
// SvgDocument to this; a null entry in the page list is skipped.
class PdfPageSource {
public:
    virtual ~PdfPageSource() = default;
    virtual PageGeometry Geometry() const = 0;
    virtual size_t ItemCount() const = 0;
    // Failed ends the page and the document.
    virtual PdfStatus DrawItem(size_t index, PdfDocument& document) = 0;
};

// Creates the document, renders the pages in order (stopping at the first that fails), and
// finishes the file even then. Ok only when every page and the file itself were written.
PdfStatus WritePdfDocument(const PdfWriteOptions& options, std::span<PdfPageSource* const> pages,
                           const std::string& path, ProgressSink* sink,
                           const PdfDocumentSettings& settings = {});

} // namespace tavolex::pdf
