// Text: the runs of each "text" element with their white space handled, and the position lists
// that reach into "tspan", "tref" and "textPath" descendants (SVG 1.1 sections 10.5 and 10.15).
#include "svg_parser.h"

#include "core.h"

#include <algorithm>
#include <iterator>

namespace tavolex::pdf {

namespace {

// The values that the frames give the `count` characters from block position `first`, for one
// kind of list: each character takes the value of the innermost element whose list reaches it.
// Every frame encloses the run, so the characters reached form a prefix of it.
std::vector<double> ResolveList(const std::vector<PositionFrame>& frames,
                                const std::vector<double>* PositionFrame::*list, size_t first, size_t count)
{
    size_t reached = 0;
    for (const PositionFrame& frame : frames) {
        const std::vector<double>* values = frame.*list;
        if (values && frame.first + values->size() > first)
            reached = std::max(reached, std::min(count, frame.first + values->size() - first));
    }
    std::vector<double> out;
    out.reserve(reached);
    for (size_t i = 0; i < reached; ++i) {
        for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
            const std::vector<double>* values = (*frame).*list;
            const size_t at = first + i - frame->first;
            if (values && at < values->size()) {
                out.push_back((*values)[at]);
                break;
            }
        }
    }
    return out;
}

// "rotate" is taken whole from the innermost element that gives one: its last value holds for
// every character after the list (SVG 1.1 section 10.5), as it does for a run's own list, so the
// run takes the values from its first character on, or that last value alone.
std::vector<double> ResolveRotation(const std::vector<PositionFrame>& frames, size_t first, size_t count)
{
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
        if (!frame->rotate)
            continue;
        const std::vector<double>& values = *frame->rotate;
        const size_t at = first - frame->first;
        if (at >= values.size())
            return {values.back()};
        const size_t end = std::min(values.size(), at + std::max<size_t>(count, 1));
        return {values.begin() + std::ptrdiff_t(at), values.begin() + std::ptrdiff_t(end)};
    }
    return {};
}

// SVG 1.1 section 10.15: line breaks are removed (or, preserving, become spaces), tabs become
// spaces and, unless preserving, runs of spaces are one space and a block's leading space is
// dropped. `lastWasSpace` carries on from the run before.
std::string CollapseSpaces(std::string_view characters, bool preserveSpace, bool& lastWasSpace)
{
    std::string collected;
    for (char c : characters) {
        if (c == '\n' || c == '\r') {
            if (!preserveSpace)
                continue;
            c = ' ';
        }
        if (c == '\t')
            c = ' ';
        if (c == ' ' && !preserveSpace) {
            if (lastWasSpace)
                continue;
            lastWasSpace = true;
        } else {
            lastWasSpace = c == ' ';
        }
        collected.push_back(c);
    }
    return collected;
}

} // namespace

// Makes the element's lists reach its characters; false when it has none.
bool SvgParser::PushPositions(const ElementValues& values)
{
    auto present = [](const std::optional<std::vector<double>>& list) {
        return list && !list->empty() ? &*list : nullptr;
    };
    PositionFrame frame{present(values.listX), present(values.listY), present(values.listDx),
                        present(values.listDy),  present(values.listRotate), text_->characters};
    if (!frame.x && !frame.y && !frame.dx && !frame.dy && !frame.rotate)
        return false;
    text_->frames.push_back(frame);
    return true;
}

void SvgParser::AddRun(std::string_view characters, bool preserveSpace)
{
    const std::string collected = CollapseSpaces(characters, preserveSpace, text_->lastWasSpace);
    if (collected.empty())
        return;
    const PresentationState& presentation = state();
    SvgItem item = MakeItem(SvgText{{}, textPath_.has_value()});
    if (textPath_)
        item.path = *textPath_;
    SvgTextRun& run = *item.text();
    // Malformed UTF-8 becomes U+FFFD here, so that the lists below count the characters that the
    // layout draws.
    run.text = Utf16ToUtf8(Utf8ToUtf16(collected));
    run.font = presentation.font;
    run.anchor = presentation.anchor;
    run.underline = presentation.underline;
    run.lineThrough = presentation.lineThrough;
    run.startsBlock = !text_->hasRun;
    // The lists count characters (code points), as the layout does: every byte that does not
    // continue a sequence starts one.
    const size_t count = static_cast<size_t>(std::count_if(run.text.begin(), run.text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
    const size_t first = text_->characters;
    const std::vector<PositionFrame>& frames = text_->frames;
    run.x = ResolveList(frames, &PositionFrame::x, first, count);
    run.y = ResolveList(frames, &PositionFrame::y, first, count);
    run.dx = ResolveList(frames, &PositionFrame::dx, first, count);
    run.dy = ResolveList(frames, &PositionFrame::dy, first, count);
    run.rotate = ResolveRotation(frames, first, count);
    text_->characters += count;
    text_->hasRun = true;
    AddItem(std::move(item));
}

void SvgParser::WalkTextContent(const XmlNode& node, int depth)
{
    for (const XmlNode* child = node.firstChild.get(); child; child = child->next.get()) {
        if (child->IsText() || child->name == "![CDATA[")
            AddRun(child->text, child->preserveSpace || node.preserveSpace);
        else
            Walk(*child, depth + 1);
    }
}

void SvgParser::WalkText(const XmlNode& node, ElementValues& values, int depth)
{
    if (node.name == "text") {
        WalkTextBlock(node, values, depth);
        return;
    }
    // The element's lists reach the characters inside it, and only those.
    const bool framed = PushPositions(values);
    if (node.name == "tspan")
        WalkTextContent(node, depth);
    else
        WalkReferencedText(node, values, depth);
    if (framed)
        text_->frames.pop_back();
}

void SvgParser::WalkTextBlock(const XmlNode& node, ElementValues& values, int depth)
{
    text_ = std::make_unique<TextBlock>();
    text_->firstItem = document_.items.size();
    PushPositions(values);
    WalkTextContent(node, depth);
    // The block's trailing space is dropped as its leading one was.
    if (!node.preserveSpace) {
        for (size_t i = document_.items.size(); i > text_->firstItem; --i) {
            // A shape or picture inside the text counts as a run without characters or positions.
            SvgTextRun* run = document_.items[i - 1].text();
            if (run) {
                while (!run->text.empty() && run->text.back() == ' ')
                    run->text.pop_back();
                if (!run->text.empty())
                    break;
            }
            if (!run || (run->x.empty() && run->y.empty()))
                document_.items.erase(document_.items.begin() + std::ptrdiff_t(i - 1));
        }
    }
    text_.reset();
}

// "tref" takes the characters of the element it refers to; "textPath" lays its own along the
// path it refers to, in that path's own transformation.
void SvgParser::WalkReferencedText(const XmlNode& node, const ElementValues& values, int depth)
{
    const XmlNode* target = FindId(ReferenceName(values.href));
    if (!target) {
        Warn(Format("<%s> refers to a missing element: %s", node.name, values.href));
        return;
    }
    if (node.name == "tref") {
        AddRun(target->InnerText(), node.preserveSpace);
        return;
    }
    if (target->name != "path") {
        Warn(Format("textPath refers to a <%s>, not a path", target->name));
        return;
    }
    const std::string* d = target->FindAttribute("d");
    Path path = ParseSvgPathData(d ? *d : std::string());
    if (const std::string* transform = target->FindAttribute("transform")) {
        Matrix local;
        ApplySvgTransformList(*transform, local);
        path.Transform(local);
    }
    std::optional<Path> outer = std::move(textPath_);
    textPath_ = std::move(path);
    WalkTextContent(node, depth);
    textPath_ = std::move(outer);
}

} // namespace tavolex::pdf
