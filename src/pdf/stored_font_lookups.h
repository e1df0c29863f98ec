#pragma once

// fontconfig's answers, kept for the process and, where a file is named, in that file between
// runs. Loading fontconfig's configuration, some
// fifty XML files, costs a short conversion more than drawing its pages. Stored answers stand in
// for fontconfig while everything it read is as it was: its configuration files and folders, its
// font folders, the user's places for either, the folders added at run time and the environment
// variables it reads. A changed stamp, another fontconfig or a damaged file drops every answer,
// and fontconfig is asked again.
//
// Internal to the PDF pipeline: the text layer (pdf_fonts.cpp) keeps its answers here.

#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace tavolex::pdf {

// A font file fontconfig offered: its path, the face within it, and the face's weight and slant
// on fontconfig's scales.
struct FontFile {
    std::string path;
    int index = 0;
    int weight = 80; // FC_WEIGHT_REGULAR
    int slant = 0;   // FC_SLANT_ROMAN
};

class StoredFontLookups {
public:
    // Drops the answers held and reads those kept in `path` (none for an empty path); they are
    // trusted only when the file is whole and every stamp in it still holds. `addedFolders` are the font folders this process has added to
    // fontconfig.
    void Load(std::string path, std::span<const std::string> addedFolders);
    // True when loaded answers can stand in for fontconfig.
    bool IsCurrent() const { return current_; }
    bool Find(const std::string& key, std::vector<FontFile>& files) const;
    // Keeps an answer fontconfig has just given, for this process and the next Save.
    void Add(const std::string& key, const std::vector<FontFile>& files);

    // What a new file holds, taken under the locks and written without them.
    struct Changes {
        std::string path;
        std::map<std::string, std::vector<FontFile>> answers;
        std::vector<std::string> addedFolders;
        std::set<std::string> watched; // fontconfig's inputs, stamped as the file is written
    };
    // The answers added since the file was read or written, with the paths fontconfig read;
    // nothing when no file was named or nothing was added. fontconfig must be loaded, and the
    // caller holds its lock.
    std::optional<Changes> TakeChanges(std::span<const std::string> addedFolders);
    // Replaces the file with `changes`, stamped with what fontconfig's inputs are now. Nothing is
    // written when a text cannot be stored on one line.
    static void Save(const Changes& changes);

private:
    std::string path_;
    std::map<std::string, std::vector<FontFile>> answers_;
    bool current_ = false;
    bool added_ = false;
};

} // namespace tavolex::pdf
