#pragma once

// fontconfig's answers kept in a file between runs. Loading fontconfig's configuration, some
// fifty XML files, costs a short conversion more than drawing its pages. Stored answers stand in
// for fontconfig while everything it read is as it was: its configuration files and folders, its
// font folders, the user's places for either, the folders added at run time and the environment
// variables it reads. A changed stamp, another fontconfig or a damaged file drops every answer,
// and fontconfig is asked again.
//
// Internal to the PDF pipeline; pdf_fonts.cpp is its only user.

#include <map>
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
    // Reads the answers kept in `path`; they are trusted only when the file is whole and every
    // stamp in it still holds. `addedFolders` are the font folders this process has added to
    // fontconfig.
    void Load(std::string path, std::span<const std::string> addedFolders);
    // True when loaded answers can stand in for fontconfig.
    bool IsCurrent() const { return current_; }
    bool Find(const std::string& key, std::vector<FontFile>& files) const;
    // Keeps an answer fontconfig has just given, for the next Save.
    void Add(const std::string& key, const std::vector<FontFile>& files);
    // Rewrites the file when answers were added since it was read or written, stamped with what
    // fontconfig reads now. fontconfig must be loaded, and the caller holds its lock. Nothing is
    // written when no file was named, or when a text cannot be stored on one line.
    void Save(std::span<const std::string> addedFolders);
    // Drops every answer: fontconfig's inputs have just changed in this process.
    void Forget();

private:
    std::string path_;
    std::map<std::string, std::vector<FontFile>> answers_;
    bool current_ = false;
    bool added_ = false;
};

} // namespace tavolex::pdf
