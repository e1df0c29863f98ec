// platform: where Tavolex keeps its files on this machine, and the settings file.
//
// Every other folder asks this one for paths instead of reading the environment itself, so
// that TAVOLEX_HOME can move the whole program (data, settings, runtime sockets) under one
// folder for tests and portable use. Folders are created on first use with private modes.
//
// Settings are INI text files ("[Section]" lines, "Name=Value" lines). A write replaces the
// whole file atomically (temporary file, then rename) under one process-wide lock, so a reader
// never sees half a file; a damaged file reads as whatever lines still make sense, and a
// missing one as empty. Values written often may be coalesced: they wait in memory, where reads
// find them, and reach the file at most once a second and when the process ends.
//
//     auto value = tavolex::platform::ReadIniValue(SettingsRoot::User, "WebServer", "Port");
//     tavolex::platform::WriteIniValue(SettingsRoot::User, "WebServer", "Port", "1091");
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavolex::platform {

// ---------------------------------------------------------------------------------------------
// Files

// Owns one file descriptor (a file, a socket, a lock) and closes it on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and takes `fd`.
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

enum class FileRead {
    Ok,
    Missing,  // no such file: callers treat it as empty
    TooLarge, // larger than the limit given; `out` is left empty
    Failed,   // it is there but could not be read whole; `out` is left empty
};

// Reads the whole file into `out`. A read that fails part-way is a failure, never a short file:
// a caller that rewrites the file from what it read must not lose the rest.
FileRead ReadWholeFile(const std::string& path, std::string& out,
                       size_t limit = std::numeric_limits<size_t>::max());

// Synced: the file and its folder are flushed to the disk, so the new file survives a crash.
// Unsynced: for copies made again at every start, where the flushes would only cost time; a
// reader still sees the old file or the new one whole.
enum class Durability { Synced, Unsynced };

// Replaces `path` with `content` so that a reader, or a crash, sees either the old file or the
// new one whole: a temporary file beside it (mode `mode`) is written and flushed to the disk,
// renamed over the file, and the folder is flushed too, so the rename itself survives. The
// temporary file is named for the process and the call, so two writers never share one.
// False (and the old file untouched) when any step fails.
bool WriteFileAtomically(const std::string& path, std::string_view content, unsigned mode = 0600,
                         Durability durability = Durability::Synced);
// The same last steps for a file another writer has finished beside `path` (a PDF the
// converter wrote): flushed, renamed over `path`, the folder flushed. On failure the temporary
// file is removed and `path` is untouched.
bool ReplaceWithFile(const std::string& temporary, const std::string& path,
                     Durability durability = Durability::Synced);

// Folders. Each returns an absolute path without a trailing slash and creates the folder
// (and missing parents) when it is not there yet. Creation failures are not fatal here: the
// caller sees them when it tries to use the folder.
std::string DataFolder();    // main.db, Logs/, font-lookups.cache; TAVOLEX_HOME itself when set
std::string ConfigFolder();  // settings.ini
std::string CommonFolder();  // the all-users folder: DataFolder()/common
std::string RuntimeFolder(); // sockets and lock files, mode 0700
std::string TempFolder();    // $TMPDIR, else /tmp (never created)
// The browser interface's files: the `Web` folder beside the running program, else the installed
// one in ../share/tavolex/Web (never created).
std::string WebFolder();

// Creates `path` and its missing parents with `mode` for the new ones. True when the folder
// exists afterwards.
bool EnsureFolder(const std::string& path, unsigned mode = 0700);

// Joins two path pieces with exactly one '/' between them.
std::string JoinPath(std::string_view base, std::string_view name);

// True when the texts are equal but for the case of ASCII letters (settings names compare so).
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

enum class SettingsRoot {
    User,    // settings.ini in the config folder
    Machine, // machine-settings.ini: beside it under TAVOLEX_HOME, else the system config folder
};

// Full path of the settings file behind `root`.
std::string SettingsFilePath(SettingsRoot root);

// Section and value names compare without regard to ASCII case, so a hand-edited file that writes
// "port" for "Port" still counts.
// Values may hold any text: line breaks and backslashes are escaped in the file.
std::optional<std::string> ReadIniValue(SettingsRoot root, std::string_view section,
                                        std::string_view name);

enum class IniWrite {
    Ok,
    BadName,     // empty, or holds '[', ']', '=' or a line break
    Unwritable,  // the folder or the temporary file could not be written
};

// How soon a write reaches the file.
enum class IniPersistence {
    Durable,   // the file holds the value when the call returns (and every value still waiting)
    Coalesced, // for values written often: reads see the value at once, the file within a
               // second (one write for every value of that second) and at the latest when the
               // process ends; a value whose write fails is tried again a second later
};

IniWrite WriteIniValue(SettingsRoot root, std::string_view section, std::string_view name,
                       std::string_view value, IniPersistence persistence = IniPersistence::Durable);
// Deleting is durable, and takes every waiting value of the file along.
IniWrite DeleteIniValue(SettingsRoot root, std::string_view section, std::string_view name);
// Writes every value that waits, now.
void FlushIniFiles();

// Escaping used for values in the file; exposed for the file-format tests.
std::string EscapeIniValue(std::string_view value);
std::string UnescapeIniValue(std::string_view stored);

} // namespace tavolex::platform
