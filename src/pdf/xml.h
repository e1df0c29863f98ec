// The XML reader: a small, forgiving reader that turns the text of a menu page (or an XML file
// on disk) into a tree of XmlNode. It never fails. The first problem it meets is recorded with
// its line and column ("Ln 3, Col 7: ...") and reading goes on with what it has, so a page with
// a stray "<" or a missing end tag still yields a tree; the caller decides what the recorded
// error means (the SVG parser ignores it).
//
// Text flows as UTF-8 from end to end. Elements, comments ("!--"), DOCTYPE ("!DOCTYPE"), CDATA
// sections ("![CDATA[") and processing instructions ("?xml") all become nodes; character data
// becomes nameless text nodes, trimmed of control characters at both ends unless an "xml:space"
// attribute on an enclosing element asks to preserve it.
//
//     XmlNode root;
//     std::string error = ReadXml(pageText, root);   // root.firstChild is the <svg> element
//
// TextCursor is the one cursor every parser of this folder walks its input with: the XML reader
// (through XmlCursor, which adds line and column counting), SVG numbers, lengths and lists,
// transformation lists and path data.
#pragma once

#include "core.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavolex::pdf {

// ---------------------------------------------------------------------------------------------
// Cursor

// Core's cursor with the spellings this folder's parsers grew up with; predicates see each
// byte as a `char`.
class TextCursor : public BasicTextCursor<char> {
public:
    TextCursor() : BasicTextCursor(std::string_view()) {}
    explicit TextCursor(std::string_view text) : BasicTextCursor(text) {}

    char Consume() { return Next(); }
    using BasicTextCursor::ConsumeSpecific;
    bool ConsumeSpecific(std::string_view s)
    {
        if (!NextIs(s))
            return false;
        Skip(s.size());
        return true;
    }
    template<class Predicate>
    std::string_view ConsumeWhile(Predicate keep)
    {
        const size_t start = position_;
        while (!AtEnd() && keep(text_[position_]))
            ++position_;
        return text_.substr(start, position_ - start);
    }
    std::string_view Remaining() const { return Rest(); }

    size_t position() const { return Position(); }
    size_t Save() const { return Position(); }
    std::string_view text() const { return Text(); }
};

// ---------------------------------------------------------------------------------------------
// Tree

struct XmlAttribute {
    std::string name;
    std::string value;
};

// One node of the tree. Elements carry a name; text nodes have an empty name and their
// character data in `text`; comments, DOCTYPE and CDATA sections are named "!--", "!DOCTYPE"
// and "![CDATA[" and keep their raw content in `text`; processing instructions are named
// "?target". Children and following siblings are owned; the destructor unlinks long sibling
// chains one by one so that a page with a million siblings does not exhaust the stack.
struct XmlNode {
    XmlNode() = default;
    XmlNode(const XmlNode&) = delete;
    XmlNode& operator=(const XmlNode&) = delete;
    ~XmlNode();

    std::unique_ptr<XmlNode> next;
    bool preserveSpace = false; // an "xml:space" attribute here or on an enclosing element
    std::vector<XmlAttribute> attributes; // in the order written; a repeated name keeps its place
    std::unique_ptr<XmlNode> firstChild;
    std::string name;
    std::string text;

    bool IsText() const { return name.empty(); }
    bool IsElement() const { return !name.empty() && name[0] != '!' && name[0] != '?'; }
    const std::string* FindAttribute(std::string_view attributeName) const;
    void SetAttribute(std::string attributeName, std::string value);
    // The concatenated character data of every text and CDATA node below this one.
    std::string InnerText() const;
};

// ---------------------------------------------------------------------------------------------
// Reader

// Nesting deeper than this is not followed: the reader recurses once per open element, and a
// page arrives from outside the program, so its depth must not decide how much stack a
// connection thread uses. Real menu pages nest a dozen levels.
inline constexpr int kXmlMaxDepth = 256;

// Names of tags and attributes longer than this are cut (the longer rest is read and dropped).
inline constexpr size_t kXmlMaxNameLength = 259;
// Characters read after "&" while looking for the ";".
inline constexpr size_t kXmlMaxEntityLength = 23;
// The cancel check is asked each time this many characters of text have been collected.
inline constexpr size_t kXmlCancelInterval = 512;

// The input of the reader: the text with line and column counting (both from 1), an optional
// cancel check and the first error recorded.
class XmlCursor {
public:
    explicit XmlCursor(std::string_view text, std::function<bool()> isCancelled = {})
        : cursor_(text), isCancelled_(std::move(isCancelled))
    {
    }

    bool AtEnd() const { return cursor_.AtEnd(); }
    // The next character without taking it; a CR reads as LF. 0 at the end.
    char Peek(size_t ahead = 0) const;
    bool NextIs(std::string_view s) const { return cursor_.NextIs(s); }
    // Takes one character (one byte of UTF-8), counting lines and columns. CR LF, LF CR, a lone
    // CR and a lone LF are each one line break and read as LF. 0 at the end.
    char Next();
    bool ConsumeSpecific(std::string_view s);

    struct Mark {
        size_t index;
        int line;
        int column;
    };
    Mark Save() const { return {cursor_.position(), line_, column_}; }
    void Restore(Mark mark)
    {
        cursor_.Restore(mark.index);
        line_ = mark.line;
        column_ = mark.column;
    }

    int line() const { return line_; }
    int column() const { return column_; }
    size_t position() const { return cursor_.position(); }

    // Keeps only the first error, as "Ln %d, Col %d: %s" at the current line and column.
    void RecordError(std::string_view message);
    const std::string& error() const { return error_; }

    bool AskCancelled();
    bool cancelled() const { return cancelled_; }

private:
    TextCursor cursor_;
    int line_ = 1;
    int column_ = 1;
    std::function<bool()> isCancelled_;
    bool cancelled_ = false;
    std::string error_;
};

// Reads content up to the parent's end tag or the end of the text, appending child nodes to
// `parent`. `depth` is the number of elements open around the content.
void ReadXmlChildren(XmlNode& parent, XmlCursor& cursor, int depth = 0);
// Reads the rest of a tag whose name has just been read (attributes and, unless the tag closes
// itself, the content) into `node`.
void ReadXmlElement(XmlNode& node, XmlCursor& cursor, bool inheritedPreserve, int depth);

// Reads a whole document into `root` (a nameless node whose children are the top-level
// nodes). Returns the first error recorded, empty when there was none.
std::string ReadXml(std::string_view text, XmlNode& root, std::function<bool()> isCancelled = {});

enum class XmlLoadStatus { Ok, Missing, TooLarge, Unreadable };

struct XmlLoadResult {
    XmlLoadStatus status = XmlLoadStatus::Ok;
    std::string error; // the load failure, or the reader's first error when the file was read
};

// Loads an XML file from disk into `root`: the file must exist, its size times 20 must fit in
// the memory available, and it must be readable. A file that was read is always parsed; its
// reader error (if any) comes back in `error` with the status Ok.
XmlLoadResult LoadXmlFile(XmlNode& root, const std::string& path);

} // namespace tavolex::pdf
