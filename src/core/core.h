// core: the settings store, the daily log, and the program's text buffer and formatter.
//
// Settings are small named values grouped in sections ("WebServer", "Settings", "Email"), kept
// for the user and, for a few, for the whole machine. Numbers are stored as decimal text and
// booleans as "1"/"0", so the files stay readable and hand-editable.
//
// The log is one UTF-8 text file per local day ("Logs/2026-12-09 Tavolex Log.txt") plus a ring
// of the 128 newest lines kept in memory for a log view. Any thread may log.
//
// AppendFormat is the printf-like formatter every folder uses to build JSON, SQL, HTML and URLs.
// Its arguments are typed (no C varargs), and four directives escape for their target:
// %J a JSON string body, %Q an SQL literal body, %H HTML text, %U a URL component.
//
//     TextBuffer sql;
//     AppendFormat(sql, "SELECT * FROM main.CATEGORY WHERE NAME='%Q'", name);
//     LogFormat("Weblet: listening on port %d", port);
#pragma once

#include "error_or.h"
#include "platform.h"
#include "text_cursor.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tavolex {

// ---------------------------------------------------------------------------------------------
// Text buffer and formatter

// Growable text that keeps its own growth rule: when an append finds it full, the capacity is
// multiplied by four, so building a long answer costs few reallocations.
template<class CharT>
class BasicTextBuffer {
public:
    using String = std::basic_string<CharT>;
    using View = std::basic_string_view<CharT>;

    BasicTextBuffer() = default;
    explicit BasicTextBuffer(View initial) { Append(initial); }

    void Append(CharT c)
    {
        Reserve(text_.size() + 1);
        text_.push_back(c);
    }
    void Append(View text)
    {
        Reserve(text_.size() + text.size());
        text_.append(text);
    }
    // ASCII text into a buffer of either width.
    void AppendAscii(std::string_view ascii)
    {
        if constexpr (std::is_same_v<CharT, char>) {
            Append(ascii);
        } else {
            Reserve(text_.size() + ascii.size());
            for (char c : ascii)
                text_.push_back(static_cast<CharT>(static_cast<unsigned char>(c)));
        }
    }
    // Makes room for `total` characters in all.
    void Reserve(size_t total)
    {
        if (total <= text_.capacity())
            return;
        size_t grown = text_.capacity() < 16 ? 16 : text_.capacity();
        while (grown < total)
            grown *= 4;
        text_.reserve(grown);
    }
    void Clear() { text_.clear(); }
    void Truncate(size_t length)
    {
        if (length < text_.size())
            text_.resize(length);
    }

    const CharT* Data() const { return text_.c_str(); }
    uint32_t Length() const { return static_cast<uint32_t>(text_.size()); }
    uint32_t Capacity() const { return static_cast<uint32_t>(text_.capacity()); }
    bool IsEmpty() const { return text_.empty(); }
    View view() const { return text_; }
    const String& str() const { return text_; }
    String Take() { return std::move(text_); }

private:
    String text_;
};

using TextBuffer = BasicTextBuffer<char>;      // UTF-8
using TextBufferW = BasicTextBuffer<char16_t>; // UTF-16

// One argument of AppendFormat. Integers keep their signedness and width; a directive decides
// how many bits it reads (32 unless the flags say "ll" or "I64", or "I" for a size). Strings of
// the other width are converted between UTF-8 and UTF-16 on the way in.
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Real, Narrow, Wide };

    template<class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    FormatArg(T value)
    {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            signed_ = value;
        } else {
            kind_ = Kind::Unsigned;
            unsigned_ = value;
        }
    }
    FormatArg(bool value) : kind_(Kind::Signed), signed_(value ? 1 : 0) {}
    FormatArg(double value) : kind_(Kind::Real), real_(value) {}
    FormatArg(float value) : kind_(Kind::Real), real_(value) {}
    FormatArg(const char* text) : kind_(Kind::Narrow), isNull_(text == nullptr)
    {
        if (text)
            narrow_ = text;
    }
    FormatArg(std::string_view text) : kind_(Kind::Narrow), narrow_(text) {}
    FormatArg(const std::string& text) : kind_(Kind::Narrow), narrow_(text) {}
    FormatArg(const char16_t* text) : kind_(Kind::Wide), isNull_(text == nullptr)
    {
        if (text)
            wide_ = text;
    }
    FormatArg(std::u16string_view text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(const std::u16string& text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(std::nullptr_t) : kind_(Kind::Narrow), isNull_(true) {}

    Kind kind() const { return kind_; }
    bool IsNull() const { return isNull_; }
    int64_t AsSigned() const;
    uint64_t AsUnsigned() const;
    double AsReal() const;
    std::string_view narrow() const { return narrow_; }
    std::u16string_view wide() const { return wide_; }

private:
    Kind kind_;
    bool isNull_ = false;
    int64_t signed_ = 0;
    uint64_t unsigned_ = 0;
    double real_ = 0;
    std::string_view narrow_;
    std::u16string_view wide_;
};

uint32_t AppendFormatArgs(TextBuffer& out, std::string_view format, std::span<const FormatArg> args);
uint32_t AppendFormatArgs(TextBufferW& out, std::u16string_view format,
                          std::span<const FormatArg> args);

// Appends the formatted text and returns the buffer's new length. A directive whose argument is
// missing appends nothing; an unknown type character is copied as it stands.
template<class... Args>
uint32_t AppendFormat(TextBuffer& out, std::string_view format, const Args&... args)
{
    const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
    return AppendFormatArgs(out, format, std::span(list, sizeof...(Args)));
}
template<class... Args>
uint32_t AppendFormat(TextBufferW& out, std::u16string_view format, const Args&... args)
{
    const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
    return AppendFormatArgs(out, format, std::span(list, sizeof...(Args)));
}
// Formats into a fresh std::string.
template<class... Args>
std::string Format(std::string_view format, const Args&... args)
{
    TextBuffer out;
    AppendFormat(out, format, args...);
    return out.Take();
}

// True when the texts are equal but for the case of ASCII letters (one function for the
// settings files and everything above them).
using platform::EqualsIgnoringAsciiCase;
// The value of one hex digit of either case; -1 for any other character.
int HexValue(char c);
// The bytes of base64 text, read forgivingly: line breaks, padding and any other character
// outside the alphabet are passed over, and a last incomplete group gives what it holds whole.
std::string DecodeBase64Loosely(std::string_view text);
// A double as a 64-bit integer, saturating at the ends of the range; NaN gives 0.
int64_t SaturatingInt64(double value);

// The fixed text fields of the program's records and requests are slots of 260 UTF-16 units
// with the terminator, so they hold at most 259 units of text.
inline constexpr size_t kTextFieldSlotUnits = 260;
inline constexpr size_t kTextFieldUnits = kTextFieldSlotUnits - 1;

// UTF-8 <-> UTF-16. Malformed input becomes U+FFFD; a surrogate pair becomes one character.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Appends the UTF-8 form of one code point (a lone surrogate is written as U+FFFD).
void AppendUtf8(std::string& out, char32_t codePoint);
// Cuts UTF-8 text to at most `maxUnits` UTF-16 units, never inside a character.
std::string_view CutUtf8ToUnits(std::string_view text, size_t maxUnits);
// The same for UTF-16 text: never between the two halves of a surrogate pair.
std::u16string_view CutUtf16ToUnits(std::u16string_view text, size_t maxUnits);

// ---------------------------------------------------------------------------------------------
// Settings store

enum class SettingsScope { User, Machine };

// Durable: the file holds the value when the write returns (the default; what must survive a
// crash, such as reserved key ranges, needs it). Coalesced: for values written on a hot path;
// reads see the value at once, the file gets it within a second and when the process ends.
enum class SettingsPersistence { Durable, Coalesced };

// Absent or empty values give the default. Numbers read like C's atoi: leading blanks, a sign,
// digits up to the first other character (so "12ab" is 12 and "abc" is 0), clamped to int.
int ReadSettingInt(std::string_view section, std::string_view name, int defaultValue,
                   SettingsScope scope = SettingsScope::User);
bool WriteSettingInt(std::string_view section, std::string_view name, int value,
                     SettingsScope scope = SettingsScope::User,
                      SettingsPersistence persistence = SettingsPersistence::Durable);
// Any non-empty text is true unless it starts with "0".
bool ReadSettingBool(std::string_view section, std::string_view name, bool defaultValue,
                     SettingsScope scope = SettingsScope::User);
bool WriteSettingBool(std::string_view section, std::string_view name, bool value,
                      SettingsScope scope = SettingsScope::User,
                      SettingsPersistence persistence = SettingsPersistence::Durable);
// Stored unchanged; at most kTextFieldUnits characters are read back.
std::string ReadSettingText(std::string_view section, std::string_view name,
                            std::string_view defaultValue,
                            SettingsScope scope = SettingsScope::User);
bool WriteSettingText(std::string_view section, std::string_view name, std::string_view text,
                      SettingsScope scope = SettingsScope::User,
                      SettingsPersistence persistence = SettingsPersistence::Durable);
// Binary values ("hex:" in the file). Absent or malformed values read as empty.
std::string ReadSettingBinary(std::string_view section, std::string_view name,
                              SettingsScope scope = SettingsScope::User);
bool WriteSettingBinary(std::string_view section, std::string_view name, std::string_view bytes,
                        SettingsScope scope = SettingsScope::User,
                      SettingsPersistence persistence = SettingsPersistence::Durable);
bool DeleteSetting(std::string_view section, std::string_view name,
                   SettingsScope scope = SettingsScope::User);
// Writes every coalesced value that still waits, now.
void FlushSettings();

// ---------------------------------------------------------------------------------------------
// Log

enum class LogLevel { Information = 0, Error = 1, Detail = 2 };

inline constexpr size_t kLogRingSize = 128;
inline constexpr size_t kLogMessageLimit = 511; // formatted messages are cut to this many units

struct LogEntry {
    std::string time; // "HH:MM:SS"
    std::string message;
    LogLevel level;
};

void LogAt(LogLevel level, std::string_view message);
inline void Log(std::string_view message) { LogAt(LogLevel::Information, message); }

// Formats with AppendFormat and cuts the result to kLogMessageLimit.
std::string FormatLogMessage(std::string_view format, std::span<const FormatArg> args);

template<class... Args>
void LogFormat(std::string_view format, const Args&... args)
{
    const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
    LogAt(LogLevel::Information, FormatLogMessage(format, std::span(list, sizeof...(Args))));
}
template<class... Args>
void LogError(std::string_view format, const Args&... args)
{
    const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
    LogAt(LogLevel::Error, FormatLogMessage(format, std::span(list, sizeof...(Args))));
}
template<class... Args>
void LogDetail(std::string_view format, const Args&... args)
{
    const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
    LogAt(LogLevel::Detail, FormatLogMessage(format, std::span(list, sizeof...(Args))));
}

// Text from outside the program (a request, a cookie, a file name) as it may stand in a log
// line: control characters become "?" and what is not UTF-8 becomes U+FFFD, so the text can
// neither start lines of its own nor break the file's encoding.
std::string ForLog(std::string_view text);

// The newest lines, oldest first (at most kLogRingSize).
std::vector<LogEntry> RecentLogLines();
// Called after every new line, on the logging thread; a log view repaints from it.
void SetLogViewListener(std::function<void()> listener);
// The folder the daily files go to (the data folder's "Logs").
std::string LogFolder();
// Replaces the clock the log reads (seconds since the epoch); nullptr restores the system
// clock. For tests of the day change.
void SetLogClock(time_t (*clock)());

} // namespace tavolex

// =============================================================================================
// Worker threads
//
// `WorkerThread` is the base of every background thread of the server: a named std::thread
// with a manual-reset stop event. The stop event is an eventfd, so a thread can wait for it
// together with its sockets in one poll; every wait is still cut into slices of 200 ms so that
// a stop request is seen quickly even by code that only polls `IsStopRequested`.
// `ThreadGroup` owns threads that delete themselves when their `ThreadFunction` returns (the
// listener keeps its connection threads in one).
//
//     class Sweeper : public tavolex::WorkerThread { ... void ThreadFunction() override; };
//     Sweeper sweeper;  sweeper.Start(ThreadPriority::Lowest);  ...  sweeper.Stop();

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace tavolex {

inline constexpr int kWaitSliceMs = 200; // no blocking wait lasts longer than this
inline constexpr int kWaitForever = -1;

enum class ThreadPriority {
    Normal,
    Lowest, // SCHED_IDLE and nice 19: runs only when nothing else wants the processor
};

// The result of waiting for the stop event together with other file descriptors.
enum class StopWait {
    Other = 0,   // one of the other descriptors became ready
    Stopped = 1, // the stop event is set
    TimedOut = 2,
};

class ThreadGroup;

// Milliseconds from now until `deadline` (steady clock), 0 once it has passed; at most 2^30, so
// that the result always fits a poll time-out.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline);

class WorkerThread {
public:
    explicit WorkerThread(std::string name);
    // Owners call Stop() before destruction; the destructor stops a thread that still runs,
    // but by then the derived parts are gone, so relying on it is a mistake.
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the thread unless it already runs. A thread that ended is joined first. Resets the
    // stop event. False when the system refused to create the thread.
    bool Start(ThreadPriority priority = ThreadPriority::Normal);
    // Sets the stop event, lifts a thread of the lowest priority to the caller's (so a busy
    // machine cannot keep it from seeing the stop), and waits for it to end without a limit.
    void Stop();
    // Sets the stop event only.
    void SignalStop();

    bool IsRunning() const;
    bool IsStopRequested() const;
    // True when the stop event is set within the limit (kWaitForever: no limit).
    bool WaitForStop(int timeoutMs);
    // Waits for the stop event or for `events` (POLLIN, POLLOUT) on one descriptor.
    StopWait WaitForStopOr(int fd, short events, int timeoutMs);
    // Waits for the stop event or for readability of any of up to 63 descriptors; `ready`
    // receives the index of the first ready one.
    StopWait WaitForStopOrAny(std::span<const int> fds, int timeoutMs, size_t* ready = nullptr);
    // The stop event's descriptor: readable while a stop is requested.
    int StopEventFd() const { return stopFd_; }

    const std::string& Name() const { return name_; }

protected:
    // The body of the thread.
    virtual void ThreadFunction() = 0;

private:
    friend class ThreadGroup;
    void Entry(ThreadPriority priority);
    void ClearStopEvent();

    std::string name_;
    int stopFd_ = -1;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::atomic<int> systemThreadId_{0}; // the kernel's id of the running thread, 0 before
    ThreadPriority priority_ = ThreadPriority::Normal;
    std::thread thread_;
    std::mutex startLock_;
    ThreadGroup* group_ = nullptr; // set while a ThreadGroup owns this thread
};

// Threads that delete themselves: a member whose ThreadFunction returns unlinks and destroys
// itself. StopAll stops and destroys the rest and waits until no member runs any more.
class ThreadGroup {
public:
    ThreadGroup() = default;
    ~ThreadGroup();
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    // Links the thread and starts it at normal priority. A thread that cannot be started is
    // destroyed at once; the result is then false.
    bool Add(std::unique_ptr<WorkerThread> thread);
    void SignalAll();
    void StopAll();
    size_t Count() const;
    // Calls `visit` with every member, newest first, under the group's lock: a member may end
    // meanwhile but is not destroyed until the lock is let go, so `visit` may signal any of them.
    void VisitMembers(const std::function<void(const std::vector<WorkerThread*>& members)>& visit);

private:
    friend class WorkerThread;
    void Finished(WorkerThread* thread);

    mutable std::mutex lock_;
    std::condition_variable allEnded_;
    std::list<std::unique_ptr<WorkerThread>> members_;
    size_t live_ = 0; // threads started and not yet past their last use of this group
};

} // namespace tavolex
