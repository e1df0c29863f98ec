// The records handed between processes: the hand-over record of a second start, the command
// request of tavolexctl and the reply to it. Fixed layouts, read and written through explicit
// little-endian helpers so that no host order or structure padding leaks onto the wire.
#include "app.h"

#include "core.h"

namespace tavolex::app {

namespace {

uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

char16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<char16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

void WriteLe32(std::span<uint8_t> bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

void WriteLe16(std::span<uint8_t> bytes, size_t offset, char16_t unit)
{
    bytes[offset] = static_cast<uint8_t>(unit & 0xFF);
    bytes[offset + 1] = static_cast<uint8_t>(unit >> 8);
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t value)
{
    out.resize(out.size() + 4);
    WriteLe32(out, out.size() - 4, value);
}

// Units up to the first zero, at most `limit` of them, never ending inside a surrogate pair.
std::string ReadTerminatedUnits(std::span<const uint8_t> bytes, size_t offset, size_t limit)
{
    std::u16string units;
    for (size_t i = 0; i < limit; ++i) {
        char16_t unit = ReadLe16(bytes, offset + 2 * i);
        if (unit == 0)
            break;
        units.push_back(unit);
    }
    return Utf16ToUtf8(CutUtf16ToUnits(units, limit));
}

// A slot of `slotUnits` units holding `text` cut to slotUnits - 1 units and its terminator.
void WriteSlot(std::span<uint8_t> bytes, size_t offset, std::string_view text, size_t slotUnits)
{
    std::u16string wide = Utf8ToUtf16(text);
    std::u16string_view cut = CutUtf16ToUnits(wide, slotUnits - 1);
    for (size_t i = 0; i < cut.size(); ++i)
        WriteLe16(bytes, offset + 2 * i, cut[i]);
}

} // namespace

std::vector<uint8_t> EncodeHandOver(std::span<const std::string> arguments)
{
    std::vector<uint8_t> record(kHandOverRecordSize, 0);
    size_t count = std::min(arguments.size(), kHandOverMaxArguments);
    WriteLe32(record, 0, static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i)
        WriteSlot(record, 4 + i * kHandOverSlotUnits * 2, arguments[i], kHandOverSlotUnits);
    return record;
}

std::optional<std::vector<std::string>> DecodeHandOver(std::span<const uint8_t> record)
{
    if (record.size() != kHandOverRecordSize)
        return std::nullopt;
    auto count = static_cast<int32_t>(ReadLe32(record, 0));
    // A count beyond the slots would read past the record.
    if (count < 0 || static_cast<size_t>(count) > kHandOverMaxArguments)
        return std::nullopt;
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<size_t>(count));
    for (size_t i = 0; i < static_cast<size_t>(count); ++i)
        arguments.push_back(
            ReadTerminatedUnits(record, 4 + i * kHandOverSlotUnits * 2, kHandOverSlotUnits - 1));
    return arguments;
}

std::vector<uint8_t> EncodeCommandRequest(uint32_t replyId, std::span<const std::string> arguments)
{
    std::vector<uint8_t> record;
    AppendLe32(record, kCommandMagic);
    AppendLe32(record, replyId);
    AppendLe32(record, static_cast<uint32_t>(arguments.size()));
    for (const std::string& argument : arguments) {
        std::u16string wide = Utf8ToUtf16(argument);
        AppendLe32(record, static_cast<uint32_t>(wide.size() * 2));
        for (char16_t unit : wide) {
            record.push_back(static_cast<uint8_t>(unit & 0xFF));
            record.push_back(static_cast<uint8_t>(unit >> 8));
        }
    }
    return record;
}

std::optional<CommandRequest> DecodeCommandRequest(std::span<const uint8_t> record)
{
    if (record.size() < kCommandRequestHeaderSize || ReadLe32(record, 0) != kCommandMagic)
        return std::nullopt;
    CommandRequest request;
    request.replyId = ReadLe32(record, 4);
    uint32_t count = ReadLe32(record, 8);
    size_t offset = kCommandRequestHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        // Each argument needs at least its length field, so a huge count runs past the end
        // before it can allocate much.
        if (record.size() - offset < 4)
            return std::nullopt;
        size_t length = ReadLe32(record, offset);
        offset += 4;
        if (record.size() - offset < length)
            return std::nullopt;
        std::u16string wide;
        wide.reserve(length / 2);
        for (size_t unit = 0; unit + 1 < length; unit += 2)
            wide.push_back(ReadLe16(record, offset + unit));
        offset += length;
        request.arguments.push_back(Utf16ToUtf8(wide));
    }
    return request;
}

std::vector<uint8_t> EncodeCommandReply(const CommandReply& reply)
{
    std::vector<uint8_t> record(kCommandReplySize, 0);
    WriteLe32(record, 0, static_cast<uint32_t>(reply.result));
    std::u16string wide = Utf8ToUtf16(reply.text);
    std::u16string_view cut = CutUtf16ToUnits(wide, kReplyTextUnits - 1);
    WriteLe32(record, 4, static_cast<uint32_t>(cut.size()));
    for (size_t i = 0; i < cut.size(); ++i)
        WriteLe16(record, 8 + 2 * i, cut[i]);
    return record;
}

std::optional<CommandReply> DecodeCommandReply(std::span<const uint8_t> record)
{
    if (record.size() != kCommandReplySize)
        return std::nullopt;
    CommandReply reply;
    reply.result = static_cast<int32_t>(ReadLe32(record, 0));
    // The length never reaches past the text area; the terminator ends the text as well.
    size_t length = std::min<size_t>(ReadLe32(record, 4), kReplyTextUnits - 1);
    reply.text = ReadTerminatedUnits(record, 8, length);
    return reply;
}

} // namespace tavolex::app
