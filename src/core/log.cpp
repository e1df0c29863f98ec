// The daily log. One lock covers the cached (time text, file path) pair and the append, so a
// line always lands in the file of the second it carries, and lines of one file stay in order.
// The ring for the log view has a lock of its own so a reader never waits on file I/O.
#include "core.h"

#include "platform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace tavolex {

namespace {

std::atomic<time_t (*)()> g_clock{nullptr};

time_t Now()
{
    time_t (*clock)() = g_clock.load();
    return clock ? clock() : time(nullptr);
}

struct FileState {
    std::mutex lock;
    time_t cachedSecond = -1;
    std::string timeText;
    std::string path;
    bool reportedFailure = false;
};

FileState& File()
{
    static FileState state;
    return state;
}

struct RingState {
    std::mutex lock;
    std::vector<LogEntry> entries; // circular once full
    size_t next = 0;
    std::function<void()> listener;
};

RingState& Ring()
{
    static RingState state;
    return state;
}

bool AppendToFile(const std::string& path, std::string_view line)
{
    platform::UniqueFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd)
        return false;
    bool ok = true;
    while (!line.empty()) {
        ssize_t put = write(fd.get(), line.data(), line.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            ok = false;
            break;
        }
        line.remove_prefix(static_cast<size_t>(put));
    }
    return ok;
}

} // namespace

std::string LogFolder()
{
    std::string folder = platform::JoinPath(platform::DataFolder(), "Logs");
    platform::EnsureFolder(folder);
    return folder;
}

void SetLogClock(time_t (*clock)())
{
    g_clock.store(clock);
    std::lock_guard guard(File().lock);
    File().cachedSecond = -1;
}

std::string FormatLogMessage(std::string_view format, std::span<const FormatArg> args)
{
    TextBuffer text;
    AppendFormatArgs(text, format, args);
    return std::string(CutUtf8ToUnits(text.view(), kLogMessageLimit));
}

std::string ForLog(std::string_view text)
{
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    std::string out = ascii ? std::string(text) : Utf16ToUtf8(Utf8ToUtf16(text));
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    }
    if (ascii)
        return out;
    // The C1 controls (U+0080 to U+009F, NEL among them) end lines for some readers too.
    std::string clean;
    clean.reserve(out.size());
    for (size_t i = 0; i < out.size(); ++i) {
        auto next = i + 1 < out.size() ? static_cast<unsigned char>(out[i + 1]) : 0;
        if (static_cast<unsigned char>(out[i]) == 0xC2 && next >= 0x80 && next <= 0x9F) {
            clean += '?';
            ++i;
        } else {
            clean += out[i];
        }
    }
    return clean;
}

void LogAt(LogLevel level, std::string_view message)
{
    if (message.empty())
        return;
    std::string timeText;
    {
        FileState& file = File();
        std::lock_guard guard(file.lock);
        time_t now = Now();
        if (now != file.cachedSecond) {
            tm local{};
            localtime_r(&now, &local);
            char text[16];
            std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d", local.tm_hour, local.tm_min,
                          local.tm_sec);
            char name[64];
            std::snprintf(name, sizeof name, "%.4d-%.2d-%.2d Tavolex Log.txt",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
            file.timeText = text;
            file.path = platform::JoinPath(LogFolder(), name);
            file.cachedSecond = now;
        }
        timeText = file.timeText;
        std::string line;
        line.reserve(timeText.size() + message.size() + 3);
        line += timeText;
        line += ' ';
        line += message;
        line += "\r\n";
        if (AppendToFile(file.path, line)) {
            file.reportedFailure = false;
        } else if (!file.reportedFailure) {
            // Nowhere else to say it: tell the terminal once, then keep running without a file.
            std::fprintf(stderr, "Tavolex: cannot write the log file %s\n", file.path.c_str());
            file.reportedFailure = true;
        }
    }

    std::function<void()> listener;
    {
        RingState& ring = Ring();
        std::lock_guard guard(ring.lock);
        LogEntry entry{std::move(timeText), std::string(message), level};
        if (ring.entries.size() < kLogRingSize) {
            ring.entries.push_back(std::move(entry));
        } else {
            ring.entries[ring.next] = std::move(entry);
            ring.next = (ring.next + 1) % kLogRingSize;
        }
        listener = ring.listener;
    }
    if (listener)
        listener();
}

std::vector<LogEntry> RecentLogLines()
{
    RingState& ring = Ring();
    std::lock_guard guard(ring.lock);
    std::vector<LogEntry> ordered;
    ordered.reserve(ring.entries.size());
    for (size_t i = 0; i < ring.entries.size(); ++i)
        ordered.push_back(ring.entries[(ring.next + i) % ring.entries.size()]);
    return ordered;
}

void SetLogViewListener(std::function<void()> listener)
{
    RingState& ring = Ring();
    std::lock_guard guard(ring.lock);
    ring.listener = std::move(listener);
}

} // namespace tavolex
