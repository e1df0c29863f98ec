#include "xml.h"

#include "core.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tavolex::pdf {

namespace {

bool IsNameEnd(char c)
{
    return c == '\t' || c == '\n' || c == ' ' || c == '/' || c == '=' || c == '>';
}

bool IsTagSpace(char c) { return c == '\t' || c == '\n' || c == ' '; }

constexpr std::string_view kEntityError =
    "Strings starting with an ampersand (&) must end with a semicolon (;). Either replace the "
    "'&' with '&amp;' or add a ';' at the end of the control string.";

// Decodes the character reference "#65" or "#x41" (without "&" and ";"). Returns false when
// the text is not a well-formed reference.
bool DecodeCharacterReference(std::string_view name, std::string& out)
{
    TextCursor cursor(name);
    if (!cursor.ConsumeSpecific('#'))
        return false;
    const bool hex = cursor.ConsumeSpecific('x') || cursor.ConsumeSpecific('X');
    std::string_view digits = cursor.ConsumeWhile([hex](char c) {
        return (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    });
    if (digits.empty() || !cursor.AtEnd())
        return false;
    uint32_t code = 0;
    for (char c : digits) {
        const uint32_t digit = c <= '9' ? uint32_t(c - '0') : uint32_t((c | 0x20) - 'a' + 10);
        code = code * (hex ? 16 : 10) + digit;
        if (code > 0x10FFFF)
            break;
    }
    // NUL, surrogates and values beyond Unicode cannot be characters of the text.
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    AppendUtf8(out, code);
    return true;
}

// XML 1.0 section 4.1: the reference after an ampersand that has just been taken. Unknown
// names give the ampersand alone. A reference that does not end with ";" records the error;
// the characters read are then kept as written so that "AT&T" is not lost from a menu (the
// reading stops at white space and at markup so that no tag is swallowed).
void ReadXmlEntity(XmlCursor& cursor, std::string& out)
{
    std::string name;
    for (;;) {
        const char c = cursor.Peek();
        if (cursor.AtEnd() || c == ' ' || c == '\n' || c == '\t' || c == '<' || c == '&' ||
            c == '"' || c == '\'' || (c != ';' && name.size() >= kXmlMaxEntityLength)) {
            cursor.RecordError(kEntityError);
            out.push_back('&');
            out += name;
            return;
        }
        cursor.Next();
        if (c == ';')
            break;
        name.push_back(c);
    }
    if (name == "amp")
        out.push_back('&');
    else if (name == "lt")
        out.push_back('<');
    else if (name == "gt")
        out.push_back('>');
    else if (name == "quot")
        out.push_back('"');
    else if (name == "apos")
        out.push_back('\'');
    else if (!DecodeCharacterReference(name, out))
        out.push_back('&'); // an unknown name keeps only the ampersand
}

// A tag or attribute name. It ends at white space, "/", "=", ">" or the end, except inside
// quotes; "!--", "!DOCTYPE" and "![CDATA[" end it at once, as their content follows directly.
std::string ReadXmlName(XmlCursor& cursor)
{
    std::string name;
    bool quoted = false;
    while (!cursor.AtEnd()) {
        const char c = cursor.Peek();
        if (!quoted && IsNameEnd(c))
            break;
        if (c == '"' || c == '\'')
            quoted = !quoted;
        cursor.Next();
        if (c == '&') {
            ReadXmlEntity(cursor, name);
        } else {
            name.push_back(c);
        }
        if ((name.size() == 3 && name == "!--") ||
            (name.size() == 8 && (name == "!DOCTYPE" || name == "![CDATA[")))
            break;
        // Enough bytes for the longest name in any encoding; cut to characters below.
        if (name.size() > kXmlMaxNameLength * 4)
            name.pop_back();
    }
    if (name.size() > kXmlMaxNameLength)
        name = std::string(CutUtf8ToUnits(name, kXmlMaxNameLength));
    return name;
}

std::string ReadAttributeValue(XmlCursor& cursor)
{
    std::string value;
    if (cursor.Peek() == ' ')
        cursor.Next();
    const char quote = cursor.Peek();
    if (quote == '"' || quote == '\'') {
        cursor.Next();
        while (!cursor.AtEnd() && cursor.Peek() != quote) {
            const char c = cursor.Next();
            if (c == '&')
                ReadXmlEntity(cursor, value);
            else
                value.push_back(c);
        }
        cursor.Next();
        return value;
    }
    while (!cursor.AtEnd()) {
        const char c = cursor.Peek();
        if (IsTagSpace(c) || c == '>' || (c == '/' && cursor.Peek(1) == '>'))
            break;
        cursor.Next();
        if (c == '&')
            ReadXmlEntity(cursor, value);
        else
            value.push_back(c);
    }
    return value;
}

std::string EofMessage(std::string_view name)
{
    return Format("(EOF) Element <%s> should be terminated with </%s>. Check you have terminated "
                  "your element properly.",
                  name, name);
}

// The raw content of a comment or CDATA section up to its terminator, which is dropped.
void ReadRawUntil(XmlNode& node, XmlCursor& cursor, std::string_view terminator)
{
    while (!cursor.AtEnd()) {
        if (cursor.ConsumeSpecific(terminator))
            return;
        node.text.push_back(cursor.Next());
    }
    cursor.RecordError(EofMessage(node.name));
}

// A DOCTYPE ends at the first ">" outside its internal subset in square brackets.
void ReadDoctype(XmlNode& node, XmlCursor& cursor)
{
    int brackets = 0;
    while (!cursor.AtEnd()) {
        const char c = cursor.Next();
        if (c == '[')
            ++brackets;
        else if (c == ']' && brackets > 0)
            --brackets;
        else if (c == '>' && brackets == 0)
            return;
        node.text.push_back(c);
    }
    cursor.RecordError(EofMessage(node.name));
}

void TrimControlCharacters(std::string& text)
{
    size_t start = 0;
    size_t end = text.size();
    while (start < end && static_cast<unsigned char>(text[start]) < 32)
        ++start;
    while (end > start && static_cast<unsigned char>(text[end - 1]) < 32)
        --end;
    text = text.substr(start, end - start);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// XmlNode

XmlNode::~XmlNode()
{
    std::unique_ptr<XmlNode> sibling = std::move(next);
    while (sibling) {
        std::unique_ptr<XmlNode> after = std::move(sibling->next);
        sibling = std::move(after);
    }
}

const std::string* XmlNode::FindAttribute(std::string_view attributeName) const
{
    for (const XmlAttribute& attribute : attributes)
        if (attribute.name == attributeName)
            return &attribute.value;
    return nullptr;
}

void XmlNode::SetAttribute(std::string attributeName, std::string value)
{
    for (XmlAttribute& attribute : attributes) {
        if (attribute.name == attributeName) {
            attribute.value = std::move(value);
            return;
        }
    }
    attributes.push_back({std::move(attributeName), std::move(value)});
}

std::string XmlNode::InnerText() const
{
    std::string out;
    // An explicit stack: the tree may be as deep as the reader allows.
    std::vector<const XmlNode*> pending;
    for (const XmlNode* child = firstChild.get(); child; child = child->next.get())
        pending.push_back(child);
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
        const XmlNode* node = pending.back();
        pending.pop_back();
        if (node->IsText() || node->name == "![CDATA[") {
            out += node->text;
            continue;
        }
        if (!node->IsElement())
            continue;
        const size_t mark = pending.size();
        for (const XmlNode* child = node->firstChild.get(); child; child = child->next.get())
            pending.push_back(child);
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(mark), pending.end());
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// XmlCursor

char XmlCursor::Peek(size_t ahead) const
{
    const char c = cursor_.Peek(ahead);
    return c == '\r' ? '\n' : c;
}

char XmlCursor::Next()
{
    if (cursor_.AtEnd())
        return 0;
    const char c = cursor_.Consume();
    if (c == '\r' || c == '\n') {
        cursor_.ConsumeSpecific(c == '\r' ? '\n' : '\r');
        ++line_;
        column_ = 1;
        return '\n';
    }
    // Columns count characters as UTF-16 units: a continuation byte adds nothing, the lead byte
    // of a four-byte sequence (a surrogate pair) adds two.
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80)
        column_ += byte >= 0xF0 ? 2 : 1;
    return c;
}

bool XmlCursor::ConsumeSpecific(std::string_view s)
{
    if (!cursor_.NextIs(s))
        return false;
    for (size_t i = 0; i < s.size(); ++i)
        Next();
    return true;
}

void XmlCursor::RecordError(std::string_view message)
{
    if (!error_.empty())
        return;
    error_ = Format("Ln %d, Col %d: %s", line_, column_, message);
}

bool XmlCursor::AskCancelled()
{
    if (!cancelled_ && isCancelled_ && isCancelled_())
        cancelled_ = true;
    return cancelled_;
}

// ---------------------------------------------------------------------------------------------
// Reader

namespace {

// The children of one node as they are read: each appended after those it holds already, and
// character data gathered until the next markup makes it a text node.
class ChildAppender {
public:
    explicit ChildAppender(XmlNode& parent) : parent_(parent), tail_(parent.firstChild.get())
    {
        while (tail_ && tail_->next)
            tail_ = tail_->next.get();
    }

    void Append(std::unique_ptr<XmlNode> node)
    {
        XmlNode* raw = node.get();
        if (tail_)
            tail_->next = std::move(node);
        else
            parent_.firstChild = std::move(node);
        tail_ = raw;
    }

    std::string& pending() { return pending_; }

    void FlushText()
    {
        if (pending_.empty())
            return;
        if (!parent_.preserveSpace)
            TrimControlCharacters(pending_);
        if (!pending_.empty()) {
            auto node = std::make_unique<XmlNode>();
            node->preserveSpace = parent_.preserveSpace;
            node->text = std::move(pending_);
            Append(std::move(node));
        }
        pending_.clear();
    }

private:
    XmlNode& parent_;
    XmlNode* tail_;
    std::string pending_;
};

// After a "<" that no name follows: an end tag, checked against the element it should close, or
// a stray "<".
void ReadEndTagOrStray(const XmlNode& parent, XmlCursor& cursor)
{
    if (cursor.Peek() != '/') {
        cursor.RecordError("Misplaced < without name. Use &lt; instead of < if appropriate.");
        return;
    }
    cursor.Next();
    const std::string endName = ReadXmlName(cursor);
    if (parent.name.empty()) {
        cursor.RecordError(Format("Misplaced </%s> which does not match a <%s>.", endName, endName));
    } else if (endName != parent.name) {
        cursor.RecordError(Format("Element <%s> should be terminated with </%s>, was "
                                  "with </%s>. Check you have terminated your element "
                                  "properly.",
                                  parent.name, parent.name, endName));
    }
    while (!cursor.AtEnd() && cursor.Next() != '>') {
    }
}

} // namespace

void ReadXmlChildren(XmlNode& parent, XmlCursor& cursor, int depth)
{
    ChildAppender children(parent);
    size_t sinceCheck = 0;
    for (;;) {
        if (cursor.AtEnd()) {
            if (!parent.name.empty())
                cursor.RecordError(EofMessage(parent.name));
            children.FlushText();
            return;
        }
        if (cursor.Peek() != '<') {
            const char c = cursor.Next();
            if (c == '&')
                ReadXmlEntity(cursor, children.pending());
            else
                children.pending().push_back(c);
            if (++sinceCheck >= kXmlCancelInterval) {
                sinceCheck = 0;
                if (cursor.AskCancelled()) {
                    children.FlushText();
                    return;
                }
            }
            continue;
        }
        cursor.Next(); // "<"
        std::string name = ReadXmlName(cursor);
        children.FlushText();
        if (name.empty()) {
            ReadEndTagOrStray(parent, cursor);
            // A stray end tag or "<" at the top level has nothing to close: the rest of the
            // document is still read rather than dropped.
            if (parent.name.empty())
                continue;
            return;
        }
        auto child = std::make_unique<XmlNode>();
        child->name = std::move(name);
        ReadXmlElement(*child, cursor, parent.preserveSpace, depth + 1);
        children.Append(std::move(child));
        if (cursor.cancelled())
            return;
    }
}

void ReadXmlElement(XmlNode& node, XmlCursor& cursor, bool inheritedPreserve, int depth)
{
    node.preserveSpace = inheritedPreserve;
    if (node.name == "!--") {
        ReadRawUntil(node, cursor, "-->");
        return;
    }
    if (node.name == "![CDATA[") {
        ReadRawUntil(node, cursor, "]]>");
        return;
    }
    if (node.name == "!DOCTYPE") {
        ReadDoctype(node, cursor);
        return;
    }

    bool selfClosing = false;
    for (;;) {
        while (!cursor.AtEnd() && IsTagSpace(cursor.Peek()))
            cursor.Next();
        if (cursor.AtEnd()) {
            cursor.RecordError(Format("Tag <%s> does not have a closing '>'", node.name));
            return;
        }
        const char c = cursor.Peek();
        if (c == '>') {
            cursor.Next();
            break;
        }
        if (c == '/') {
            cursor.Next();
            selfClosing = true;
            continue;
        }
        std::string name = ReadXmlName(cursor);
        std::string value;
        if (cursor.Peek() == ' ' && cursor.Peek(1) == '=')
            cursor.Next();
        if (cursor.Peek() == '=') {
            cursor.Next();
            value = ReadAttributeValue(cursor);
        }
        if (name.empty())
            continue; // a stray "=value": nothing to store
        const bool endsTag = cursor.Peek() == '>';
        if (EqualsIgnoringAsciiCase(name, "xml:space")) {
            node.preserveSpace = true;
            continue;
        }
        // The "?" that ends a processing instruction is not part of its last value.
        if (endsTag && name == "?" && value.empty())
            continue;
        if (endsTag && !value.empty() && value.back() == '?')
            value.pop_back();
        node.SetAttribute(std::move(name), std::move(value));
    }
    if (selfClosing || node.name[0] == '?' || node.name[0] == '!')
        return;
    if (depth > kXmlMaxDepth) {
        cursor.RecordError(Format("Element <%s> is nested deeper than %d levels; its content is "
                                  "read into the enclosing element.",
                                  node.name, kXmlMaxDepth));
        return;
    }
    ReadXmlChildren(node, cursor, depth);
}

std::string ReadXml(std::string_view text, XmlNode& root, std::function<bool()> isCancelled)
{
    XmlCursor cursor(text, std::move(isCancelled));
    ReadXmlChildren(root, cursor, 0);
    return cursor.error();
}

// ---------------------------------------------------------------------------------------------
// File loading

namespace {

// Bytes of memory the system can still hand out without swapping.
uint64_t AvailableMemory()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kilobytes = 0;
    std::string unit;
    while (meminfo >> key >> kilobytes) {
        std::getline(meminfo, unit);
        if (key == "MemAvailable:")
            return kilobytes * 1024;
    }
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
}

} // namespace

XmlLoadResult LoadXmlFile(XmlNode& root, const std::string& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return {XmlLoadStatus::Missing, Format("File does not exist: %s", path)};
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec)
        return {XmlLoadStatus::Unreadable, Format("Cannot open xml file: %s", path)};
    // The tree takes several times the text's size; refuse files that could not be held.
    if (size > AvailableMemory() / 20)
        return {XmlLoadStatus::TooLarge, Format("Not enough memory available to load %s", path)};
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return {XmlLoadStatus::Unreadable, Format("Cannot open xml file: %s", path)};
    std::string text(static_cast<size_t>(size), '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad() || static_cast<uintmax_t>(file.gcount()) != size)
        return {XmlLoadStatus::Unreadable, Format("Cannot open xml file: %s", path)};
    return {XmlLoadStatus::Ok, ReadXml(text, root)};
}

} // namespace tavolex::pdf
