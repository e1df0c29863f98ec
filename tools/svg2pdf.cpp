// tavolex-svg2pdf: SVG pages to one PDF, through the same pipeline and options as a menu export
// (portrait, no margin, centred, scaled to the paper, JPEG quality 100).
//
//     tavolex-svg2pdf [--paper A4|A3|Letter|Legal] [--print] -o OUT.pdf PAGE.svg...
//
// Exit status 0 when the PDF was written; otherwise a message on stderr and 1 for a usage
// error, 2 for a page or file that could not be read or written.
#include "core.h"
#include "pdf.h"
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kUsageError = 1;
constexpr int kConversionError = 2;

const char kUsage[] = "usage: tavolex-svg2pdf [--paper A4|A3|Letter|Legal] [--print] -o OUT.pdf PAGE.svg...\n";

int Usage(const char* problem)
{
    std::fprintf(stderr, "tavolex-svg2pdf: %s\n%s", problem, kUsage);
    return kUsageError;
}

// The whole file in one read where the system allows (a page is a few hundred kilobytes).
bool ReadWholeFile(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size > 0)
        text.reserve(static_cast<size_t>(info.st_size));
    char chunk[1 << 16];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

// A conversion is a short process that touches a few megabytes once, so page faults, one per
// 4 KB page and each a trip into the kernel, are a large share of its time. The heap is grown in
// one step, large blocks are kept in it rather than mapped and unmapped one by one, and the
// kernel is asked to back it with 2 MB pages where it allows that (where it does not, the advice
// is ignored and nothing else changes).
void PrepareHeapForOneRun()
{
    constexpr size_t kLargestHeapBlock = size_t(32) << 20; // glibc's ceiling for the mmap threshold
    constexpr size_t kHeapStep = size_t(64) << 20;
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    // One arena: the helper thread's blocks come from the same prepared heap.
    if (!mallopt(M_ARENA_MAX, 1) || !mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock) ||
        !mallopt(M_TOP_PAD, kHeapStep) || !mallopt(M_TRIM_THRESHOLD, 4 * kHeapStep))
        return;
    const uintptr_t before = reinterpret_cast<uintptr_t>(sbrk(0));
    // Grows the heap by the block and the step, untouched; the pointer is kept in a volatile so
    // the pair is not optimised away.
    void* volatile block = malloc(kLargestHeapBlock / 2);
    free(block);
    const uintptr_t after = reinterpret_cast<uintptr_t>(sbrk(0));
    const uintptr_t first = (before + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = after & ~(kHugePage - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

bool IsPaperName(std::string_view name)
{
    for (std::string_view known : {"A4", "A3", "Letter", "Legal"})
        if (tavolex::EqualsIgnoringAsciiCase(name, known))
            return true;
    return false;
}

struct Arguments {
    std::string output;
    std::string paper = "A4";
    bool print = false;
    std::vector<std::string> inputs;
};

// The command line into `arguments`: nothing when the conversion is to go on, else the exit
// status (help printed, or a usage error reported).
std::optional<int> ReadArguments(int argc, char** argv, Arguments& arguments)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnded && (arg == "-h" || arg == "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--print") {
            arguments.print = true;
        } else if (!optionsEnded && (arg == "--paper" || arg == "-o")) {
            if (i + 1 >= argc)
                return Usage(arg == "-o" ? "-o needs a file name" : "--paper needs a paper name");
            (arg == "-o" ? arguments.output : arguments.paper) = argv[++i];
        } else if (!optionsEnded && arg.starts_with("--paper=")) {
            arguments.paper = std::string(arg.substr(8));
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + std::string(arg)).c_str());
        } else {
            arguments.inputs.emplace_back(arg);
        }
    }
    if (!IsPaperName(arguments.paper))
        return Usage(("unknown paper " + arguments.paper + " (A4, A3, Letter or Legal)").c_str());
    if (arguments.output.empty())
        return Usage("no output file (-o OUT.pdf)");
    if (arguments.inputs.empty())
        return Usage("no SVG pages given");
    return std::nullopt;
}

// Every page's text; false, with the reason on stderr, when one cannot be read.
bool ReadPages(const std::vector<std::string>& inputs, std::vector<std::string>& texts)
{
    texts.resize(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (!ReadWholeFile(inputs[i], texts[i])) {
            std::fprintf(stderr, "tavolex-svg2pdf: cannot read %s: %s\n", inputs[i].c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Arguments arguments;
    if (const std::optional<int> status = ReadArguments(argc, argv, arguments))
        return *status;

    PrepareHeapForOneRun();
    std::vector<std::string> texts;
    if (!ReadPages(arguments.inputs, texts))
        return kConversionError;
    const std::vector<std::string_view> pages(texts.begin(), texts.end());
    namespace pdf = tavolex::pdf;
    const pdf::PdfWriteOptions options =
        pdf::MenuExportOptions(pdf::PaperCodeFromName(arguments.paper), arguments.print);
    // As in a menu export: the interface's fonts, and fontconfig's answers from earlier runs,
    // which spare this one loading its configuration.
    namespace platform = tavolex::platform;
    pdf::PrepareMenuFonts(platform::WebFolder(), platform::DataFolder());
    std::string error;
    size_t failedPage = 0;
    if (pdf::ConvertSvgPagesToPdf(pages, options, arguments.output, nullptr, &error, &failedPage) !=
        pdf::PdfStatus::Ok) {
        // The pipeline counts pages from 1; name the file as well.
        if (failedPage >= 1 && failedPage <= arguments.inputs.size())
            error = arguments.inputs[failedPage - 1] + ": " + error;
        std::fprintf(stderr, "tavolex-svg2pdf: %s\n", error.c_str());
        return kConversionError;
    }
    return 0;
}
