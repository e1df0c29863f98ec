// Files of the `Web` folder: validators, 304, one byte range, gzip copies, content types.
#include "web.h"

#include "connection_thread.h"
#include "file_access.h"
#include "core.h"
#include "http_parse.h"
#include "net.h"
#include "platform.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tavolex::web {

namespace {

constexpr int kOpenLimitMs = 1000;
constexpr size_t kStreamPiece = 8192;
constexpr int kPieceSendLimitMs = 60000;
constexpr int kHeaderSendBaseMs = 20000;

struct ContentTypeRow {
    std::string_view extension;
    ContentType type;
};

constexpr std::array kContentTypes = {
    ContentTypeRow{"html", {"text/html", true, true}},
    ContentTypeRow{"css", {"text/css", true, true}},
    ContentTypeRow{"png", {"image/png", true, true}},
    ContentTypeRow{"jpg", {"image/jpeg", true, true}},
    ContentTypeRow{"jpeg", {"image/jpeg", true, true}},
    ContentTypeRow{"gif", {"image/gif", true, true}},
    ContentTypeRow{"webp", {"image/webp", true, true}},
    ContentTypeRow{"ico", {"image/x-icon", true, true}},
    ContentTypeRow{"js", {"text/javascript", true, true}},
    ContentTypeRow{"pdf", {"application/pdf", false, false}},
    ContentTypeRow{"woff", {"application/font-woff", true, true}},
    ContentTypeRow{"woff2", {"application/font-woff2", true, true}},
    ContentTypeRow{"webmanifest", {"application/manifest+json", true, true}},
    ContentTypeRow{"json", {"application/json", true, true}},
    ContentTypeRow{"svg", {"image/svg+xml", true, true}},
};
constexpr ContentType kUnknownType{"application/octet-stream", false, false};

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string_view LastComponent(std::string_view path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// At most `limit` bytes, never cutting a UTF-8 character.
std::string_view CutBytes(std::string_view text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}


std::string LastModifiedText(time_t when)
{
    tm utc{};
    gmtime_r(&when, &utc);
    return Format("%s, %.2d %s 20%.2d %.2d:%.2d:%.2d GMT", kWeekdays[utc.tm_wday], utc.tm_mday,
                  kMonths[utc.tm_mon], utc.tm_year % 100, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

bool SendBytes(WebRequest& request, std::string_view bytes, int limitMs)
{
    return request.connection->Send(bytes.data(), bytes.size(), *request.cancel, limitMs) ==
           net::ConnStatus::Ok;
}

// Sends the header, then `length` bytes of the file from `offset` in pieces of at most 8192
// bytes, each within 60000 ms. The header travels with the first piece.
bool StreamFile(WebRequest& request, const FileHandle& file, std::string header, int64_t offset,
                int64_t length)
{
    if (length <= 0)
        return SendBytes(request, header, static_cast<int>(header.size()) + kHeaderSendBaseMs);
    std::string piece = std::move(header);
    size_t headerSize = piece.size();
    while (length > 0) {
        size_t want = static_cast<size_t>(std::min<int64_t>(length, kStreamPiece));
        size_t start = piece.size();
        piece.resize(start + want);
        ssize_t count = pread(file.get(), piece.data() + start, want, offset);
        if (count <= 0)
            return false; // the file shrank while it was sent: the client sees a short body
        piece.resize(start + static_cast<size_t>(count));
        int limit = kPieceSendLimitMs + (headerSize ? static_cast<int>(headerSize) + kHeaderSendBaseMs : 0);
        if (!SendBytes(request, piece, limit))
            return false;
        offset += count;
        length -= count;
        piece.clear();
        headerSize = 0;
    }
    return true;
}

bool NotFound(WebRequest& request, const std::string& pathTried)
{
    time_t now = time(nullptr);
    int installedFirst = ReadSettingInt("Settings", "InstallDateFirst", 0);
    int lastReport = ReadSettingInt("Settings", "LastWebletErrorFileNotFound", 0);
    std::string_view peer = request.peerText.empty() ? std::string_view("unknown") : request.peerText;
    if (now - installedFirst < 86400 || now - lastReport < 259200)
        LogError("Weblet: File not found: %s for connection %s", http::ForLog(pathTried), peer);
    else
        LogDetail("Weblet: File not found: %s for connection %s", http::ForLog(pathTried), peer);
    // Every missing file writes this: coalesced, a burst of them costs one write of the file.
    WriteSettingInt("Settings", "LastWebletErrorFileNotFound", static_cast<int>(now), SettingsScope::User,
                    SettingsPersistence::Coalesced);
    return SendBytes(request, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", kHeaderSendBaseMs + 64);
}

// A regular file inside the `Web` folder, or nothing.
FileHandle OpenServable(const std::string& path, std::string_view root, struct stat& info)
{
    FileHandle file = OpenWithRetry(path, kOpenLimitMs);
    if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || !IsInsideFolder(file, root))
        return {};
    return file;
}

} // namespace

namespace {

// The path the open descriptor really names, symbolic links resolved.
std::string RealPathOf(const FileHandle& file)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", file.get());
    char target[PATH_MAX];
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0)
        return {};
    return std::string(target, static_cast<size_t>(length));
}

} // namespace

bool IsInsideFolder(const FileHandle& file, std::string_view root)
{
    if (root.empty())
        return false;
    std::string real = RealPathOf(file);
    std::string prefix(root);
    if (!prefix.ends_with('/'))
        prefix += '/';
    return real.starts_with(prefix);
}

FileHandle OpenWithRetry(const std::string& path, int limitMs)
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    int pauseMs = (limitMs + 127) / 128;
    for (;;) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0)
            return FileHandle(fd);
        if (errno != EBUSY && errno != ETXTBSY && errno != EAGAIN && errno != EINTR)
            return {};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (pauseMs >= left)
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        pauseMs *= 2;
    }
}

ContentType LookUpContentType(std::string_view fileName)
{
    std::string_view name = LastComponent(fileName);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return kUnknownType;
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    }
    for (const ContentTypeRow& row : kContentTypes) {
        if (row.extension == extension)
            return row.type;
    }
    return kUnknownType;
}

bool ServeFile(WebRequest& request, const std::string& filePath, std::string_view ifModifiedSince,
               std::string_view ifNoneMatch)
{
    if (!request.connection || !request.cancel)
        return false;
    std::string_view root = request.thread ? std::string_view(request.thread->WebRoot()) : std::string_view();

    std::string opened;
    FileHandle file;
    struct stat info {};
    bool described = false;
    auto openAndDescribe = [&](std::string path) {
        opened = std::move(path);
        file = OpenWithRetry(opened, kOpenLimitMs);
        described = file && fstat(file.get(), &info) == 0;
    };
    openAndDescribe(filePath);
    if (described && S_ISDIR(info.st_mode))
        openAndDescribe(platform::JoinPath(filePath, "index.html"));
    if (!file && LastComponent(filePath).find('.') == std::string_view::npos)
        openAndDescribe(filePath + ".html");
    // A folder without index.html, a device or a FIFO is not a file to serve.
    if (file && (!described || !S_ISREG(info.st_mode)))
        file.Reset();
    if (!file)
        return NotFound(request, filePath);
    // A symbolic link may lead out of the `Web` folder: such a path is answered like "..".
    if (!IsInsideFolder(file, root)) {
        LogFormat("Weblet: Bad request: %s %s", request.peerText, http::ForLog(request.path));
        request.keepAlive = false;
        return SendBytes(request, "HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n", kHeaderSendBaseMs + 64);
    }

    int64_t size = info.st_size;
    time_t modified = info.st_mtim.tv_sec;
    // The "-" keeps two files apart whose time and size would otherwise join to the same digits
    // (time 12, size 34 and time 123, size 4).
    std::string entityTag = Format("%lld-%lld", static_cast<int64_t>(modified % 10000000), size);
    std::string lastModified = LastModifiedText(modified);

    if (http::IfNoneMatchMatches(ifNoneMatch, entityTag) ||
        EqualsIgnoringAsciiCase(ifModifiedSince, lastModified))
        return SendBytes(request, "HTTP/1.1 304 Not Modified\r\n\r\n", kHeaderSendBaseMs + 32);

    ContentType type = LookUpContentType(opened);
    std::string disposition;
    if (!type.isInline) {
        std::string_view name = CutBytes(LastComponent(opened), kTextFieldUnits);
        disposition = Format("Content-Disposition: attachment; filename=\"%s\"; filename*=UTF-8''%U\r\n",
                             name, name);
    }
    std::string_view cache = type.cacheable ? "max-age=3600" : "max-age=0";

    if (auto range = request.headers.find("Range"); range != request.headers.end()) {
        http::ByteRange bytes = http::ParseRange(range->second, size);
        if (!bytes.satisfiable)
            // The length tells the client that no body follows, so a kept connection goes on.
            return SendBytes(request, "HTTP/1.1 416 Requested Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n",
                             kHeaderSendBaseMs + 64);
        int64_t length = bytes.end - bytes.start + 1;
        std::string header = Format("HTTP/1.1 206 Partial Content\r\nContent-Length: %lld\r\n"
                                    "Content-Range: bytes %lld-%lld/%lld\r\nContent-Type: %s\r\n"
                                    "%sCache-Control: %s\r\nLast-Modified: %s\r\nETag: \"%s\"\r\n\r\n",
                                    length, bytes.start, bytes.end, size, type.type, disposition, cache,
                                    lastModified, entityTag);
        return StreamFile(request, file, std::move(header), bytes.start, length);
    }

    if (Get(request.headers, "Accept-Encoding").find("gzip") != std::string::npos) {
        struct stat gzipInfo {};
        FileHandle gzip = OpenServable(opened + ".gz", root, gzipInfo);
        if (gzip) {
            std::string header = Format("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %lld\r\n"
                                        "Content-Type: %s\r\n%sCache-Control: %s\r\nLast-Modified: %s\r\n"
                                        "ETag: \"%s\"\r\n\r\n",
                                        static_cast<int64_t>(gzipInfo.st_size), type.type, disposition, cache,
                                        lastModified, entityTag);
            return StreamFile(request, gzip, std::move(header), 0, gzipInfo.st_size);
        }
    }
    std::string header = Format("HTTP/1.1 200 OK\r\nContent-Length: %lld\r\nContent-Type: %s\r\n"
                                "Accept-Ranges: bytes\r\n%sCache-Control: %s\r\nLast-Modified: %s\r\n"
                                "ETag: \"%s\"\r\n\r\n",
                                size, type.type, disposition, cache, lastModified, entityTag);
    return StreamFile(request, file, std::move(header), 0, size);
}

bool SendImageFile(WebRequest& request, std::string_view bytes, std::string_view mimeType)
{
    if (!request.connection || !request.cancel)
        return false;
    std::string header = Format("HTTP/1.1 200 OK\r\nContent-Length: %Iu\r\nContent-Type: %s\r\n"
                                "Cache-Control: private, max-age=3600\r\nX-Content-Type-Options: nosniff\r\n\r\n",
                                bytes.size(), mimeType);
    bool sent = SendBytes(request, header, kHeaderSendBaseMs) &&
                SendBytes(request, bytes, static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX - 60000)) + 60000);
    request.keepAlive = sent;
    return sent;
}

bool SendPdfDownload(WebRequest& request, std::string_view bytes, std::string_view fileName, bool isInline)
{
    if (!request.connection || !request.cancel)
        return false;
    std::string header = Format("HTTP/1.1 200 OK\r\nContent-Length: %Iu\r\nContent-Type: %s\r\n"
                                "Content-Disposition: %s; filename=\"%s\"\r\nCache-Control: private\r\n"
                                "Expires: Sun, 01 Jan 2012 00:00:01 GMT\r\n\r\n",
                                bytes.size(), "application/pdf", isInline ? "inline" : "attachment",
                                CutBytes(fileName, kTextFieldUnits));
    bool sent = SendBytes(request, header, kHeaderSendBaseMs) &&
                SendBytes(request, bytes, static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX - 60000)) + 60000);
    request.keepAlive = sent;
    return sent;
}

} // namespace tavolex::web
