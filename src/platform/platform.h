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

#include <optional>
#include <string>
#include <string_view>

namespace tavolex::platform {

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
