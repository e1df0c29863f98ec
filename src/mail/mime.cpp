// The MIME message: headers, the text part, Base64 attachments and the encoded header words.
#include "mail.h"

#include "core.h"

#include <ctime>

namespace tavolex::mail {

namespace {

constexpr size_t kMaxEncodedWord = 779;
constexpr size_t kMaxBodyLine = 700;
constexpr std::string_view kBoundaryStem = "gc0p4Jq0M2Yt08jU534c";
constexpr std::string_view kMailer = "Tavolex https://ostrevan.example/tavolex";

// The bytes of the first `limit` that end on a character boundary.
size_t CharacterBoundaryAtOrBefore(std::string_view text, size_t limit)
{
    size_t at = std::min(limit, text.size());
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
        --at;
    return at;
}

std::string LowerCase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

std::string ContentTypeFor(std::string_view name)
{
    std::string lower = LowerCase(name);
    if (lower.ends_with(".wav"))
        return "audio/wav";
    if (lower.ends_with(".mp3"))
        return "audio/mpeg";
    return "application/octet-stream";
}

// "Sun, 06 Dec 2026 14:05:09 +0100" in local time.
std::string DateHeader(time_t now)
{
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm local{};
    localtime_r(&now, &local);
    long offset = local.tm_gmtoff / 60;
    long magnitude = offset < 0 ? -offset : offset;
    return Format("%s, %.2d %s 20%.2d %.2d:%.2d:%.2d %s%.2d%.2d", kDays[local.tm_wday], local.tm_mday,
                  kMonths[local.tm_mon], local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec,
                  offset < 0 ? "-" : "+", static_cast<int>(magnitude / 60), static_cast<int>(magnitude % 60));
}

} // namespace

std::string EncodeHeaderWord(std::string_view text)
{
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) <= 127;
    if (ascii)
        return std::string(text);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string word = "=?utf-8?q?";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 32 || byte > 127 || c == '?' || c == '_' || c == '=') {
            word += '=';
            word += kHex[byte >> 4];
            word += kHex[byte & 15];
        } else {
            word += c;
        }
    }
    word += "?=";
    if (word.size() > kMaxEncodedWord)
        word.resize(kMaxEncodedWord);
    return word;
}

std::string BodyLines(std::string_view body)
{
    std::string out;
    size_t at = 0;
    while (at <= body.size()) {
        // CRLF, a bare LF and a bare CR all end a line: the wire knows only CRLF, and a bare
        // LF before "." must not hide the line from dot stuffing.
        size_t end = body.find_first_of("\r\n", at);
        std::string_view line = body.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        for (;;) {
            if (line.starts_with('.'))
                out += '.';
            if (line.size() <= kMaxBodyLine) {
                out.append(line);
                out += "\r\n";
                break;
            }
            size_t cut = line.substr(0, kMaxBodyLine).rfind(' ');
            cut = cut == std::string_view::npos || cut == 0 ? CharacterBoundaryAtOrBefore(line, kMaxBodyLine) : cut + 1;
            if (cut == 0)
                cut = kMaxBodyLine;
            out.append(line.substr(0, cut));
            out += "\r\n";
            line.remove_prefix(cut);
        }
        if (end == std::string_view::npos)
            break;
        at = end + (body.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        if (at == body.size())
            break; // a final line end adds no empty line
    }
    return out;
}

std::string Base64Lines(std::string_view bytes)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(bytes.size() / 57 * 78 + 80);
    for (size_t line = 0; line < bytes.size(); line += 57) {
        std::string_view chunk = bytes.substr(line, 57);
        for (size_t i = 0; i < chunk.size(); i += 3) {
            uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(chunk[i])) << 16;
            if (i + 1 < chunk.size())
                group |= static_cast<uint32_t>(static_cast<unsigned char>(chunk[i + 1])) << 8;
            if (i + 2 < chunk.size())
                group |= static_cast<unsigned char>(chunk[i + 2]);
            out += kAlphabet[(group >> 18) & 63];
            out += kAlphabet[(group >> 12) & 63];
            out += i + 1 < chunk.size() ? kAlphabet[(group >> 6) & 63] : '=';
            out += i + 2 < chunk.size() ? kAlphabet[group & 63] : '=';
        }
        out += "\r\n";
    }
    return out;
}

std::string ChooseBoundary(std::string_view body)
{
    std::string boundary;
    for (int n = 0; n <= 99; ++n) {
        boundary = std::string(kBoundaryStem) + std::to_string(n);
        if (body.find(boundary) == std::string_view::npos)
            break;
    }
    return boundary;
}

std::string ComposeMime(const SmtpMessage& message, const std::vector<Attachment>& attachments, time_t now)
{
    std::string body = BodyLines(message.body);
    std::string out = Format("MIME-Version: 1.0\r\nFrom: %s\r\nTo: %s\r\nSubject: %s\r\nDate: %s\r\nX-Mailer: %s\r\n",
                             message.sender, message.recipients, EncodeHeaderWord(message.subject), DateHeader(now), kMailer);
    constexpr std::string_view kTextPart = "Content-Type: text/plain; charset=\"utf-8\"\r\n\r\n";
    if (attachments.empty()) {
        out += kTextPart;
        out += body;
        return out;
    }
    std::string boundary = ChooseBoundary(body);
    out += Format("Content-Type: multipart/mixed; boundary=%s\r\n\r\n--%s\r\n", boundary, boundary);
    out += kTextPart;
    out += body;
    for (const Attachment& attachment : attachments) {
        std::string name = EncodeHeaderWord(attachment.name);
        out += Format("\r\n--%s\r\nContent-Type: %s; name=\"%s\"\r\nContent-Transfer-Encoding: base64\r\n"
                      "Content-Disposition: attachment; filename=\"%s\"\r\n\r\n",
                      boundary, ContentTypeFor(attachment.name), name, name);
        out += Base64Lines(attachment.bytes);
    }
    out += Format("\r\n--%s--\r\n", boundary);
    return out;
}

} // namespace tavolex::mail
