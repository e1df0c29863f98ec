#include "font_lookup.h"

#include "core.h"
#include "font_names.h"
#include "pdf.h"
#include "pdf_fonts.h"

#include <fontconfig/fontconfig.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace tavolex::pdf {

namespace {

// fontconfig's configuration is process-wide; its queries and the registration of folders are
// kept from running at the same time on different export threads.
std::mutex& FontconfigLock()
{
    static std::mutex lock;
    return lock;
}

bool IsGeneric(std::string_view family)
{
    const std::string lower = Lower(family);
    return lower == "serif" || lower == "sans-serif" || lower == "sans" || lower == "monospace" ||
           lower == "cursive" || lower == "fantasy" || lower == "system-ui" || lower == "ms shell dlg 2" ||
           lower == "ms shell dlg";
}

// Lookups already answered, for the life of the process: fontconfig's answers do not change
// until a font folder is registered, which empties the list. A converter fills it on its helper
// thread while the first items are drawn, so the first texts do not wait for fontconfig.
// Where a file was named, answers are also kept there for later processes. When both locks are
// taken, fontconfig's is taken first.
struct FontLookups {
    std::mutex lock;
    std::vector<std::string> addedFolders;
    std::string storeFile;
    bool storeUnread = false;

    // The answers, with the file's read at first use: a converter reads them while its pages are
    // parsed.
    StoredFontLookups& Stored()
    {
        if (storeUnread) {
            storeUnread = false;
            stored.Load(storeFile, addedFolders);
        }
        return stored;
    }

private:
    StoredFontLookups stored;
};

FontLookups& KnownFontLookups()
{
    static FontLookups lookups;
    return lookups;
}

// Loads fontconfig's configuration once, and adds the font folders registered since the last
// call. The caller holds FontconfigLock().
bool LoadFontconfig()
{
    if (!FcInit())
        return false;
    static size_t foldersAdded = 0; // under the fontconfig lock, as fontconfig itself
    std::vector<std::string> pending;
    {
        FontLookups& known = KnownFontLookups();
        std::lock_guard guard(known.lock);
        pending.assign(known.addedFolders.begin() + static_cast<std::ptrdiff_t>(foldersAdded), known.addedFolders.end());
        foldersAdded = known.addedFolders.size();
    }
    for (const std::string& folder : pending)
        if (FcConfigAppFontAddDir(nullptr, reinterpret_cast<const FcChar8*>(folder.c_str())) != FcTrue)
            LogError("fontconfig cannot add the fonts in %s", folder);
    return true;
}

// The pattern fontconfig matches against for one family: the stand-ins for the dialog font and
// the generic names as "sans-serif", with the weight and slant asked for.
FcPattern* FamilyPattern(std::string_view family, int weight, bool italic)
{
    std::string name(family);
    const std::string lower = Lower(family);
    if (lower == "ms shell dlg 2" || lower == "ms shell dlg" || lower == "system-ui" || lower == "sans")
        name = "sans-serif";
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.c_str()));
    FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(weight));
    FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    return pattern;
}

// The file of one of fontconfig's fonts, when PDF can embed its format (TrueType outlines and
// CFF inside OpenType) and, with a `wantedFamily`, the font belongs to that family (compared
// in lower case without spaces).
std::optional<FontFile> EmbeddableFile(FcPattern* font, const std::optional<std::string>& wantedFamily)
{
    FcChar8* format = nullptr;
    FcChar8* file = nullptr;
    if (FcPatternGetString(font, FC_FONTFORMAT, 0, &format) != FcResultMatch ||
        FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch)
        return std::nullopt;
    const std::string_view formatText(reinterpret_cast<const char*>(format));
    if (formatText != "TrueType" && formatText != "CFF")
        return std::nullopt;
    if (wantedFamily) {
        bool same = false;
        FcChar8* familyName = nullptr;
        for (int k = 0; FcPatternGetString(font, FC_FAMILY, k, &familyName) == FcResultMatch; ++k)
            if (Lower(WithoutSpaces(reinterpret_cast<const char*>(familyName))) == *wantedFamily)
                same = true;
        if (!same)
            return std::nullopt;
    }
    FontFile entry;
    entry.path = reinterpret_cast<const char*>(file);
    FcPatternGetInteger(font, FC_INDEX, 0, &entry.index);
    FcPatternGetInteger(font, FC_WEIGHT, 0, &entry.weight);
    FcPatternGetInteger(font, FC_SLANT, 0, &entry.slant);
    return entry;
}

// The fonts fontconfig offers for one family, best first, limited to the formats that PDF can
// embed (TrueType outlines and CFF inside OpenType). With `exact`, only faces of that family.
// Best gives fontconfig's best match alone when it qualifies (the first of the ranked list),
// else the ranked list.
std::vector<FontFile> MatchFamily(std::string_view family, int weight, bool italic, bool exact, FontChoice choice)
{
    std::vector<FontFile> found;
    std::lock_guard guard(FontconfigLock());
    if (!LoadFontconfig())
        return found;
    FcPattern* pattern = FamilyPattern(family, weight, italic);
    const std::optional<std::string> wanted =
        exact ? std::optional<std::string>(Lower(WithoutSpaces(family))) : std::nullopt;
    const auto consider = [&](FcPattern* font) {
        if (std::optional<FontFile> file = EmbeddableFile(font, wanted))
            found.push_back(std::move(*file));
    };
    FcResult result = FcResultNoMatch;
    if (choice == FontChoice::Best) {
        if (FcPattern* best = FcFontMatch(nullptr, pattern, &result)) {
            consider(best);
            FcPatternDestroy(best);
        }
    }
    if (found.empty()) {
        FcFontSet* set = FcFontSort(nullptr, pattern, FcFalse, nullptr, &result);
        for (int i = 0; set && i < set->nfont && found.size() < 4; ++i)
            consider(set->fonts[i]);
        if (set)
            FcFontSetDestroy(set);
    }
    FcPatternDestroy(pattern);
    return found;
}

} // namespace

std::vector<FontFile> FindFontFiles(std::string_view familyList, int weight, bool italic, FontChoice choice)
{
    std::string key(familyList);
    key += '|';
    key += std::to_string(weight);
    key += italic ? "|i" : "|r";
    key += choice == FontChoice::Best ? "|best" : "|ranked";
    FontLookups& known = KnownFontLookups();
    std::vector<FontFile> files;
    {
        std::lock_guard guard(known.lock);
        if (known.Stored().Find(key, files))
            return files;
    }
    const std::vector<std::string> families = SplitFamilies(familyList);
    for (const std::string& family : families) {
        files = MatchFamily(family, weight, italic, !IsGeneric(family), choice);
        if (!files.empty())
            break;
    }
    if (files.empty())
        files = MatchFamily(families.empty() ? std::string_view("sans-serif") : std::string_view(families.front()),
                            weight, italic, false, choice);
    std::lock_guard guard(known.lock);
    known.Stored().Add(key, files);
    return files;
}

void PrepareFontLookup()
{
    {
        // Stored answers stand in for fontconfig; it is loaded later only if a lookup misses.
        FontLookups& known = KnownFontLookups();
        std::lock_guard guard(known.lock);
        if (known.Stored().IsCurrent())
            return;
    }
    std::lock_guard guard(FontconfigLock());
    LoadFontconfig();
}

void KeepFontLookupsIn(const std::string& file)
{
    FontLookups& known = KnownFontLookups();
    std::lock_guard guard(known.lock);
    known.storeFile = file;
    known.storeUnread = true;
}

void PrepareMenuFonts(const std::string& webFolder, const std::string& dataFolder)
{
    KeepFontLookupsIn(dataFolder + "/font-lookups.cache");
    const std::string fonts = webFolder + "/fonts";
    std::error_code error;
    if (std::filesystem::is_directory(fonts, error))
        RegisterFontFolder(fonts);
}

void LookUpFonts(std::span<const FontRequest> requests)
{
    for (const FontRequest& request : requests)
        FindFontFiles(request.family, request.weight, request.italic, FontChoice::Best);
    StoreFontLookups();
}

void StoreFontLookups()
{
    std::optional<StoredFontLookups::Changes> changes;
    {
        std::lock_guard fontconfig(FontconfigLock());
        FontLookups& known = KnownFontLookups();
        std::lock_guard guard(known.lock);
        changes = known.Stored().TakeChanges(known.addedFolders);
    }
    // The stamps and the file are made without the locks: texts being drawn meanwhile may need
    // them.
    if (changes)
        StoredFontLookups::Save(*changes);
}

bool RegisterFontFolder(const std::string& folder)
{
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        return false; // fontconfig would take a missing folder without complaint
    FontLookups& known = KnownFontLookups();
    std::lock_guard guard(known.lock);
    known.addedFolders.push_back(folder);
    // Every answer is dropped; stored ones hold again only where they were stored with this
    // folder too: the file is read again against the new list.
    known.storeUnread = true;
    return true;
}

} // namespace tavolex::pdf
