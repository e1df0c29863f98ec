#include "platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tavolex::platform {

namespace {

std::string EnvOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string HomeFolder()
{
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty())
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/tmp";
}

std::string TavolexHome()
{
    std::string home = EnvOrEmpty("TAVOLEX_HOME");
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

std::string XdgFolder(const char* variable, const char* fallbackUnderHome)
{
    std::string base = EnvOrEmpty(variable);
    // The XDG rules ignore relative paths.
    if (base.empty() || base[0] != '/')
        base = JoinPath(HomeFolder(), fallbackUnderHome);
    return JoinPath(base, "Ostrevan/Tavolex");
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// The settings file as lines, kept in order so that a rewrite preserves what it does not touch
// (comments, other sections, lines it cannot make sense of).
struct IniLine {
    std::string text;
    std::string section; // the section this line belongs to
    std::string name;    // empty for headers, comments and junk
    std::string value;   // stored (escaped) form
};

std::vector<IniLine> ParseIni(std::string_view content)
{
    std::vector<IniLine> lines;
    std::string section;
    while (!content.empty()) {
        size_t end = content.find('\n');
        std::string_view raw = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
        IniLine line{std::string(raw), section, {}, {}};
        std::string_view trimmed = TrimBlanks(raw);
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            section = std::string(TrimBlanks(trimmed.substr(1, trimmed.size() - 2)));
            line.section = section;
        } else if (!trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#') {
            size_t equals = trimmed.find('=');
            if (equals != std::string_view::npos && equals > 0) {
                line.name = std::string(TrimBlanks(trimmed.substr(0, equals)));
                // Values keep their inner blanks; only the line's own ending is dropped.
                std::string_view value = raw.substr(raw.find('=') + 1);
                if (!value.empty() && value.back() == '\r')
                    value.remove_suffix(1);
                line.value = std::string(value);
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t put = write(fd, data.data(), data.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

// One lock for every settings file of the process: reads see whole files and two writers never
// lose each other's values.
std::mutex& SettingsLock()
{
    static std::mutex lock;
    return lock;
}

bool ValidName(std::string_view name)
{
    if (name.empty())
        return false;
    for (char c : name)
        if (c == '[' || c == ']' || c == '=' || c == '\n' || c == '\r' || c == '\0')
            return false;
    return TrimBlanks(name) == name;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && !EnsureFolder(path.substr(0, slash)))
        return false;
    return WriteFileAtomically(path, content, 0600);
}

// Applies one change to the file's lines: the first line of the name takes the new value
// (`newValue` null deletes it); duplicates go. False when there was nothing to delete.
bool ApplyIniChange(std::vector<IniLine>& lines, std::string_view section, std::string_view name,
                    const std::optional<std::string>& newValue)
{
    std::string replacement = newValue ? std::string(name) + "=" + EscapeIniValue(*newValue) : "";
    bool found = false;
    bool removed = false;
    size_t insertAt = lines.size();
    bool sectionSeen = false;
    std::vector<IniLine> kept;
    kept.reserve(lines.size() + 3);
    for (IniLine& line : lines) {
        bool inSection = EqualsIgnoringAsciiCase(line.section, section);
        if (inSection && !line.name.empty() && EqualsIgnoringAsciiCase(line.name, name)) {
            if (found || !newValue) {
                removed = true;
                continue;
            }
            found = true;
            line.text = replacement;
        }
        kept.push_back(std::move(line));
        if (inSection) {
            sectionSeen = true;
            if (!TrimBlanks(kept.back().text).empty())
                insertAt = kept.size(); // after the section's last non-blank line
        }
    }
    if (!found && !newValue && !removed) {
        lines = std::move(kept);
        return false; // nothing to delete
    }
    if (!found && newValue) {
        // The new lines say where they belong as parsed ones do, so a later change of the same
        // batch finds the section and the value instead of adding them again.
        IniLine added{replacement, std::string(section), std::string(name), EscapeIniValue(*newValue)};
        if (sectionSeen) {
            kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(added));
        } else {
            if (!kept.empty() && !TrimBlanks(kept.back().text).empty())
                kept.push_back(IniLine{"", {}, {}, {}});
            kept.push_back(IniLine{"[" + std::string(section) + "]", std::string(section), {}, {}});
            kept.push_back(std::move(added));
        }
    }
    lines = std::move(kept);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Coalesced writes. A value written with IniPersistence::Coalesced waits here, per file, and
// reads see it at once; one thread writes each file at most once a second, and whatever still
// waits is written when the process ends. Everything here is guarded by SettingsLock().

constexpr auto kCoalescePeriod = std::chrono::seconds(1);

struct PendingChange {
    std::string section;
    std::string name;
    std::optional<std::string> value; // nothing: the value is deleted
};

struct PendingFile {
    std::vector<PendingChange> changes; // oldest first
    std::chrono::steady_clock::time_point due;
};

bool WritePending(const std::string& path, const std::vector<PendingChange>& before,
                  const PendingChange* last, bool& anyChange);

class Coalescer {
public:
    Coalescer() : lock_(SettingsLock()) {}
    // At the end of the process: the flushing thread stops and every waiting value is written.
    ~Coalescer()
    {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
        std::lock_guard guard(lock_);
        FlushAllLocked(true);
    }
    Coalescer(const Coalescer&) = delete;
    Coalescer& operator=(const Coalescer&) = delete;

    // Called with the lock held. False when no thread can be started to write it later.
    bool Add(const std::string& path, PendingChange change)
    {
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread(&Coalescer::Run, this);
            } catch (const std::system_error&) {
                return false;
            }
        }
        auto [entry, added] = files_.try_emplace(path);
        if (added)
            entry->second.due = std::chrono::steady_clock::now() + kCoalescePeriod;
        entry->second.changes.push_back(std::move(change));
        wake_.notify_all();
        return true;
    }

    // Called with the lock held: the newest waiting change of the name, if any.
    const PendingChange* Find(const std::string& path, std::string_view section, std::string_view name) const
    {
        auto entry = files_.find(path);
        if (entry == files_.end())
            return nullptr;
        const std::vector<PendingChange>& changes = entry->second.changes;
        for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
            if (EqualsIgnoringAsciiCase(change->section, section) && EqualsIgnoringAsciiCase(change->name, name))
                return &*change;
        }
        return nullptr;
    }

    // Called with the lock held: the waiting changes of `path`, handed to a write that takes
    // them along.
    std::vector<PendingChange> Take(const std::string& path)
    {
        auto entry = files_.find(path);
        if (entry == files_.end())
            return {};
        std::vector<PendingChange> changes = std::move(entry->second.changes);
        files_.erase(entry);
        return changes;
    }

    void FlushAll()
    {
        std::lock_guard guard(lock_);
        FlushAllLocked(true);
    }

private:
    void Run()
    {
        std::unique_lock guard(lock_);
        while (!stopping_) {
            if (files_.empty()) {
                wake_.wait(guard);
                continue;
            }
            auto due = std::chrono::steady_clock::time_point::max();
            for (const auto& [path, file] : files_)
                due = std::min(due, file.due);
            if (std::chrono::steady_clock::now() < due) {
                wake_.wait_until(guard, due);
                continue;
            }
            FlushAllLocked(false);
        }
    }

    // Writes the files that are due (all of them when `everything`). A file that cannot be
    // written keeps its changes for the next turn; one whose folder is gone loses them, since
    // nothing will read it again.
    void FlushAllLocked(bool everything)
    {
        auto now = std::chrono::steady_clock::now();
        for (auto entry = files_.begin(); entry != files_.end();) {
            if (!everything && entry->second.due > now) {
                ++entry;
                continue;
            }
            bool anyChange = false;
            size_t slash = entry->first.rfind('/');
            struct stat info {};
            bool folderGone = slash != std::string::npos &&
                              stat(entry->first.substr(0, slash).c_str(), &info) != 0;
            if (folderGone || WritePending(entry->first, entry->second.changes, nullptr, anyChange) || everything) {
                entry = files_.erase(entry);
            } else {
                entry->second.due = now + kCoalescePeriod;
                ++entry;
            }
        }
    }

    std::mutex& lock_;
    std::condition_variable wake_;
    std::map<std::string, PendingFile> files_;
    std::thread thread_;
    bool stopping_ = false;
};

Coalescer& Pending()
{
    static Coalescer coalescer;
    return coalescer;
}

// Reads the file, applies `before` and then `last` (either may be empty), and writes it once.
// `anyChange` tells whether there was anything to write.
bool WritePending(const std::string& path, const std::vector<PendingChange>& before,
                  const PendingChange* last, bool& anyChange)
{
    std::string content;
    // A file that is there but cannot be read is left alone: rewriting it from nothing would
    // lose every other value in it.
    if (FileRead read = ReadWholeFile(path, content); read != FileRead::Ok && read != FileRead::Missing)
        return false;
    std::vector<IniLine> lines = ParseIni(content);
    anyChange = false;
    for (const PendingChange& change : before)
        anyChange = ApplyIniChange(lines, change.section, change.name, change.value) || anyChange;
    if (last)
        anyChange = ApplyIniChange(lines, last->section, last->name, last->value) || anyChange;
    if (!anyChange)
        return true;
    std::string output;
    for (const IniLine& line : lines) {
        output += line.text;
        output += '\n';
    }
    return ReplaceFileAtomically(path, output);
}

IniWrite UpdateIni(SettingsRoot root, std::string_view section, std::string_view name,
                   std::optional<std::string> newValue, IniPersistence persistence)
{
    if (!ValidName(section) || !ValidName(name))
        return IniWrite::BadName;
    Coalescer& pending = Pending(); // made before the lock is taken: it takes the same lock
    std::lock_guard guard(SettingsLock());
    std::string path = SettingsFilePath(root);
    PendingChange change{std::string(section), std::string(name), std::move(newValue)};
    switch (persistence) {
    case IniPersistence::Coalesced:
        if (pending.Add(path, change))
            return IniWrite::Ok;
        break; // no thread to write it later: write it now
    case IniPersistence::Durable: break;
    }
    // Values still waiting go into this write as well, before this one, so the file never
    // holds an older value over a newer one.
    std::vector<PendingChange> before = pending.Take(path);
    bool anyChange = false;
    if (WritePending(path, before, &change, anyChange))
        return IniWrite::Ok;
    for (PendingChange& waiting : before)
        pending.Add(path, std::move(waiting)); // kept for the next try
    return IniWrite::Unwritable;
}

} // namespace

void UniqueFd::Reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

FileRead ReadWholeFile(const std::string& path, std::string& out, size_t limit)
{
    out.clear();
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file)
        return errno == ENOENT ? FileRead::Missing : FileRead::Failed;
    char chunk[65536];
    for (;;) {
        ssize_t got = read(file.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            out.clear();
            return FileRead::Failed;
        }
        if (got == 0)
            return FileRead::Ok;
        if (static_cast<size_t>(got) > limit - out.size()) {
            out.clear();
            return FileRead::TooLarge;
        }
        out.append(chunk, static_cast<size_t>(got));
    }
}

namespace {

// The last step of every atomic write: the finished temporary file renamed over `path`, and
// with `synced` the folder flushed so that the rename itself survives a crash.
bool MoveIntoPlace(const std::string& temporary, const std::string& path, bool synced)
{
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    if (!synced)
        return true;
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
    // The new name is in place either way; a folder that cannot be flushed only leaves the
    // rename to the system's own write-back, so it is not a failure of the write.
    if (UniqueFd directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); directory)
        fsync(directory.get());
    return true;
}

} // namespace

bool WriteFileAtomically(const std::string& path, std::string_view content, unsigned mode,
                         Durability durability)
{
    const bool synced = durability == Durability::Synced;
    static std::atomic<unsigned> calls{0};
    std::string temporary = path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(calls++);
    UniqueFd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!file)
        return false;
    // The mode asked for, whatever the umask left of it.
    bool written = fchmod(file.get(), mode) == 0 && WriteAll(file.get(), content) &&
                   (!synced || fsync(file.get()) == 0);
    written = close(file.Release()) == 0 && written;
    if (!written) {
        unlink(temporary.c_str());
        return false;
    }
    return MoveIntoPlace(temporary, path, synced);
}

bool ReplaceWithFile(const std::string& temporary, const std::string& path, Durability durability)
{
    const bool synced = durability == Durability::Synced;
    if (synced) {
        UniqueFd file(open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file || fsync(file.get()) != 0) {
            unlink(temporary.c_str());
            return false;
        }
    }
    return MoveIntoPlace(temporary, path, synced);
}

std::string JoinPath(std::string_view base, std::string_view name)
{
    std::string joined(base);
    while (!name.empty() && name.front() == '/')
        name.remove_prefix(1);
    if (joined.empty() || joined.back() != '/')
        joined += '/';
    joined += name;
    return joined;
}

bool EnsureFolder(const std::string& path, unsigned mode)
{
    struct stat info {};
    if (stat(path.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    // Create every missing parent first; each new folder gets the same private mode.
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), mode) != 0 && errno != EEXIST)
            return false;
    }
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return false;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string DataFolder()
{
    std::string home = TavolexHome();
    std::string folder = home.empty() ? XdgFolder("XDG_DATA_HOME", ".local/share") : home;
    EnsureFolder(folder);
    return folder;
}

std::string ConfigFolder()
{
    std::string home = TavolexHome();
    std::string folder = home.empty() ? XdgFolder("XDG_CONFIG_HOME", ".config") : home;
    EnsureFolder(folder);
    return folder;
}

std::string CommonFolder()
{
    std::string folder = JoinPath(DataFolder(), "common");
    EnsureFolder(folder, 0755);
    return folder;
}

std::string RuntimeFolder()
{
    std::string home = TavolexHome();
    std::string folder;
    if (!home.empty()) {
        folder = JoinPath(home, "run");
    } else if (std::string runtime = EnvOrEmpty("XDG_RUNTIME_DIR"); !runtime.empty() &&
                                                                   runtime[0] == '/') {
        folder = JoinPath(runtime, "ostrevan-tavolex");
    } else {
        folder = JoinPath(DataFolder(), "run");
    }
    EnsureFolder(folder, 0700);
    return folder;
}

std::string TempFolder()
{
    std::string folder = EnvOrEmpty("TMPDIR");
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder.empty() ? std::string("/tmp") : folder;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string WebFolder()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string(".");
    folder = folder.substr(0, folder.find_last_of('/'));
    const std::string beside = folder + "/Web";
    if (access(beside.c_str(), R_OK | X_OK) == 0)
        return beside;
    return folder + "/../share/tavolex/Web";
}

std::string SettingsFilePath(SettingsRoot root)
{
    switch (root) {
    case SettingsRoot::User:
        return JoinPath(ConfigFolder(), "settings.ini");
    case SettingsRoot::Machine: {
        std::string home = TavolexHome();
        if (!home.empty())
            return JoinPath(home, "machine-settings.ini");
        std::string dirs = EnvOrEmpty("XDG_CONFIG_DIRS");
        std::string first = dirs.substr(0, dirs.find(':'));
        if (first.empty() || first[0] != '/')
            first = "/etc/xdg";
        return JoinPath(JoinPath(first, "Ostrevan/Tavolex"), "machine-settings.ini");
    }
    }
    return {};
}

std::optional<std::string> ReadIniValue(SettingsRoot root, std::string_view section,
                                        std::string_view name)
{
    std::string content;
    {
        Coalescer& pending = Pending();
        std::lock_guard guard(SettingsLock());
        std::string path = SettingsFilePath(root);
        if (const PendingChange* waiting = pending.Find(path, section, name))
            return waiting->value;
        if (ReadWholeFile(path, content) != FileRead::Ok)
            return std::nullopt;
    }
    for (const IniLine& line : ParseIni(content))
        if (!line.name.empty() && EqualsIgnoringAsciiCase(line.section, section) &&
            EqualsIgnoringAsciiCase(line.name, name))
            return UnescapeIniValue(line.value);
    return std::nullopt;
}

IniWrite WriteIniValue(SettingsRoot root, std::string_view section, std::string_view name,
                       std::string_view value, IniPersistence persistence)
{
    return UpdateIni(root, section, name, std::string(value), persistence);
}

IniWrite DeleteIniValue(SettingsRoot root, std::string_view section, std::string_view name)
{
    return UpdateIni(root, section, name, std::nullopt, IniPersistence::Durable);
}

void FlushIniFiles() { Pending().FlushAll(); }

std::string EscapeIniValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\0': out += "\\0"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::string UnescapeIniValue(std::string_view stored)
{
    std::string out;
    out.reserve(stored.size());
    for (size_t i = 0; i < stored.size(); ++i) {
        char c = stored[i];
        if (c != '\\' || i + 1 == stored.size()) {
            out += c;
            continue;
        }
        char next = stored[++i];
        switch (next) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case '0': out += '\0'; break;
        case '\\': out += '\\'; break;
        default: // not an escape of ours: keep both characters
            out += '\\';
            out += next;
            break;
        }
    }
    return out;
}

} // namespace tavolex::platform
