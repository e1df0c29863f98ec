// The log: one UTF-8 text file per local day and a ring of the newest lines in memory. Any thread
// may log. Part of core's face (core.h).
//
//     LogFormat("Weblet: listening on port %d", port);
#pragma once

#include "text.h"

#include <cstddef>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex {

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
