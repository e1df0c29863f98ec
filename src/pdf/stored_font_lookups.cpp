#include "stored_font_lookups.h"

#include "platform.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

// fontconfig keeps its configuration for the life of the process in a way that LeakSanitizer
// cannot follow: FcInit alone reports 288 bytes lost. A build with AddressSanitizer is told so,
// so that every program that writes text can still be checked for leaks of its own. The rule
// lives in this file because every user of fontconfig here links it: the text layer stores its
// answers through it.
#if defined(__SANITIZE_ADDRESS__) // GCC
#define TAVOLEX_ADDRESS_SANITIZER 1
#elif defined(__has_feature) // clang
#if __has_feature(address_sanitizer)
#define TAVOLEX_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(TAVOLEX_ADDRESS_SANITIZER)
extern "C" const char* __lsan_default_suppressions();
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
#endif

// The file is text, one record a line, fields split by tabs:
//
//   tavolex font lookups 1
//   fontconfig 21401
//   env     NAME  VALUE        (or: unset  NAME)  each variable fontconfig reads, in a fixed order
//   folder  PATH                                  each font folder added at run time, in order
//   stamp   STATE PATH                            "mtime size inode" of what fontconfig read, or "-"
//   answer  KEY                                   a lookup, followed by its files, best first
//   file    INDEX WEIGHT SLANT PATH
//   end
//
// A file without its "end" line was cut short and is not trusted.

namespace tavolex::pdf {

namespace {

constexpr std::string_view kHeader = "tavolex font lookups 1";
// More lookups than a catalogue's fonts will ever ask for: beyond it the file starts again.
constexpr size_t kMostAnswers = 1000;
constexpr size_t kLargestFile = size_t(4) << 20;

// Every variable that changes where fontconfig looks or what it matches (the language of the
// locale takes part in the match).
constexpr const char* kEnvironment[] = {"FONTCONFIG_FILE", "FONTCONFIG_PATH", "FONTCONFIG_SYSROOT",
                                        "FC_LANG",         "LC_ALL",          "LC_CTYPE",
                                        "LANG",            "HOME",            "XDG_CONFIG_HOME",
                                        "XDG_DATA_HOME",   "XDG_CACHE_HOME"};

bool FitsOnALine(std::string_view text)
{
    return text.find_first_of("\t\r\n") == std::string_view::npos;
}

std::string FontconfigLine()
{
    return "fontconfig " + std::to_string(FcGetVersion());
}

// The "env", "unset" and "folder" lines that describe this process; false when one of the texts
// cannot be stored.
bool DescribeProcess(std::span<const std::string> addedFolders, std::vector<std::string>& lines)
{
    for (const char* name : kEnvironment) {
        const char* value = std::getenv(name);
        if (value && !FitsOnALine(value))
            return false;
        lines.push_back(value ? std::string("env\t") + name + '\t' + value : std::string("unset\t") + name);
    }
    for (const std::string& folder : addedFolders) {
        if (!FitsOnALine(folder))
            return false;
        lines.push_back("folder\t" + folder);
    }
    return true;
}

// What a path is now: a changed file or folder (a font added, a configuration edited) changes
// its modification time; "-" when there is nothing to look at.
std::string StampOf(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return "-";
    return std::to_string(info.st_mtim.tv_sec) + '.' + std::to_string(info.st_mtim.tv_nsec) + ' ' +
           std::to_string(info.st_size) + ' ' + std::to_string(info.st_ino);
}

void AddListed(FcStrList* list, std::set<std::string>& paths)
{
    if (!list)
        return;
    while (const FcChar8* entry = FcStrListNext(list))
        paths.emplace(reinterpret_cast<const char*>(entry));
    FcStrListDone(list);
}

std::string ParentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Every path whose change could change fontconfig's answers: the configuration it read and the
// folders holding it (a new file there may be included next time), the places a user's own
// configuration would be, and the font folders it scanned.
std::set<std::string> WatchedPaths(std::span<const std::string> addedFolders)
{
    std::set<std::string> configuration;
    AddListed(FcConfigGetConfigFiles(nullptr), configuration);
    AddListed(FcConfigGetConfigDirs(nullptr), configuration);
    std::set<std::string> paths = configuration;
    for (const std::string& path : configuration)
        paths.insert(ParentOf(path));
    const char* home = std::getenv("HOME");
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && *configHome)
        paths.insert(std::string(configHome) + "/fontconfig");
    else if (home && *home)
        paths.insert(std::string(home) + "/.config/fontconfig");
    if (home && *home) {
        paths.insert(std::string(home) + "/.fonts.conf");
        paths.insert(std::string(home) + "/.fonts.conf.d");
    }
    AddListed(FcConfigGetFontDirs(nullptr), paths);
    paths.insert(addedFolders.begin(), addedFolders.end());
    return paths;
}


// A file far larger than the most answers ever stored is not ours to read.
bool ReadStoredFile(const std::string& path, std::string& text)
{
    return platform::ReadWholeFile(path, text, kLargestFile) == platform::FileRead::Ok;
}

// Walks the file a line at a time and a line a field at a time.
class RecordCursor {
public:
    explicit RecordCursor(std::string_view text) : rest_(text) {}

    // The next whole line; false at the end, or at a last line without its newline.
    bool NextLine()
    {
        const size_t end = rest_.find('\n');
        if (end == std::string_view::npos)
            return false;
        line_ = rest_.substr(0, end);
        rest_.remove_prefix(end + 1);
        return true;
    }
    std::string_view line() const { return line_; }

    // The next field of the current line; the last field runs to the end of the line.
    bool NextField(std::string_view& field, bool last = false)
    {
        if (line_.data() == nullptr)
            return false;
        const size_t tab = last ? std::string_view::npos : line_.find('\t');
        field = line_.substr(0, tab);
        line_ = tab == std::string_view::npos ? std::string_view() : line_.substr(tab + 1);
        return true;
    }
    bool NextNumber(int& value)
    {
        std::string_view field;
        if (!NextField(field))
            return false;
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
        return error == std::errc() && end == field.data() + field.size();
    }

private:
    std::string_view rest_;
    std::string_view line_;
};

} // namespace

void StoredFontLookups::Load(std::string path, std::span<const std::string> addedFolders)
{
    path_ = std::move(path);
    answers_.clear();
    current_ = false;
    added_ = false;
    std::string text;
    std::vector<std::string> process;
    if (path_.empty() || !ReadStoredFile(path_, text) || !DescribeProcess(addedFolders, process))
        return;

    std::map<std::string, std::vector<FontFile>> answers;
    RecordCursor cursor(text);
    if (!cursor.NextLine() || cursor.line() != kHeader || !cursor.NextLine() || cursor.line() != FontconfigLine())
        return;
    for (const std::string& expected : process)
        if (!cursor.NextLine() || cursor.line() != expected)
            return;
    std::vector<FontFile>* answer = nullptr;
    while (cursor.NextLine()) {
        std::string_view kind;
        cursor.NextField(kind);
        if (kind == "end") {
            answers_ = std::move(answers);
            current_ = true;
            return;
        }
        if (kind == "stamp") {
            std::string_view state;
            std::string_view watched;
            if (!cursor.NextField(state) || !cursor.NextField(watched, true) || StampOf(std::string(watched)) != state)
                return;
        } else if (kind == "answer") {
            std::string_view key;
            if (!cursor.NextField(key, true))
                return;
            answer = &answers[std::string(key)];
        } else if (kind == "file" && answer) {
            FontFile file;
            std::string_view filePath;
            if (!cursor.NextNumber(file.index) || !cursor.NextNumber(file.weight) || !cursor.NextNumber(file.slant) ||
                !cursor.NextField(filePath, true) || filePath.empty())
                return;
            file.path = filePath;
            answer->push_back(std::move(file));
        } else {
            return;
        }
    }
    // No "end": the file was cut short.
}

bool StoredFontLookups::Find(const std::string& key, std::vector<FontFile>& files) const
{
    if (!current_)
        return false;
    const auto found = answers_.find(key);
    if (found == answers_.end())
        return false;
    files = found->second;
    return true;
}

void StoredFontLookups::Add(const std::string& key, const std::vector<FontFile>& files)
{
    if (!current_ || answers_.size() >= kMostAnswers)
        answers_.clear();
    answers_[key] = files;
    current_ = true;
    added_ = !path_.empty();
}

std::optional<StoredFontLookups::Changes> StoredFontLookups::TakeChanges(std::span<const std::string> addedFolders)
{
    if (!added_)
        return std::nullopt;
    added_ = false;
    return Changes{path_, answers_, {addedFolders.begin(), addedFolders.end()}, WatchedPaths(addedFolders)};
}

void StoredFontLookups::Save(const Changes& changes)
{
    std::vector<std::string> process;
    if (!DescribeProcess(changes.addedFolders, process))
        return;

    std::string text;
    text += kHeader;
    text += '\n';
    text += FontconfigLine();
    text += '\n';
    for (const std::string& line : process) {
        text += line;
        text += '\n';
    }
    for (const std::string& path : changes.watched) {
        if (!FitsOnALine(path))
            return; // a change there could not be seen, so nothing is stored
        text += "stamp\t" + StampOf(path) + '\t' + path + '\n';
    }
    for (const auto& [answerKey, answerFiles] : changes.answers) {
        const auto storable = [](const FontFile& file) { return FitsOnALine(file.path); };
        if (!FitsOnALine(answerKey) || !std::all_of(answerFiles.begin(), answerFiles.end(), storable))
            continue; // kept for this process only
        text += "answer\t" + answerKey + '\n';
        for (const FontFile& file : answerFiles)
            text += "file\t" + std::to_string(file.index) + '\t' + std::to_string(file.weight) + '\t' +
                    std::to_string(file.slant) + '\t' + file.path + '\n';
    }
    text += "end\n";
    // Readers see the old answers or the new ones whole; a failed write only costs the next
    // start its look-ups again.
    platform::WriteFileAtomically(changes.path, text, 0600);
}

} // namespace tavolex::pdf
