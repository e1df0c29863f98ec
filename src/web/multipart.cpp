// Multipart form uploads (RFC 7578): the body read from the connection thread's buffered
// reader, file parts into temporary files of their own, form fields into the parameters; the
// progress each browser can poll; and the log-on redirect of pages that need a session.
#include "web.h"

#include "connection_thread.h"
#include "http_parse.h"
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace tavolex::web {

namespace {

constexpr size_t kPieceBytes = 65536; // a 500 KB upload still reports progress eight times
constexpr int kStallLimitMs = 60000; // a body that sends nothing for this long is given up
// The parts' own headers and boundaries around a file of kMaxUploadFileBytes.
constexpr int64_t kMultipartOverhead = 65536;

std::mutex& ProgressLock()
{
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::pair<int64_t, int64_t>, std::less<>>& ProgressTable()
{
    static std::map<std::string, std::pair<int64_t, int64_t>, std::less<>> table;
    return table;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

// The quoted value that follows `name` (name="value") in a Content-Disposition line.
std::string QuotedParameter(std::string_view line, std::string_view name, size_t from = 0)
{
    size_t at = line.find(name, from);
    while (at != std::string_view::npos) {
        size_t after = at + name.size();
        // "name" must not be the tail of "filename".
        bool standsAlone = at == 0 || line[at - 1] == ' ' || line[at - 1] == ';' || line[at - 1] == '\t';
        if (standsAlone && after < line.size() && line[after] == '=') {
            size_t open = line.find('"', after);
            size_t close = open == std::string_view::npos ? open : line.find('"', open + 1);
            if (close != std::string_view::npos)
                return std::string(line.substr(open + 1, close - open - 1));
            return {};
        }
        at = line.find(name, after);
    }
    return {};
}

std::string BoundaryOf(std::string_view contentType)
{
    size_t at = contentType.find("boundary");
    if (at == std::string_view::npos)
        return {};
    size_t equals = contentType.find('=', at);
    if (equals == std::string_view::npos)
        return {};
    std::string_view value = contentType.substr(equals + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    if (value.starts_with('"')) {
        size_t close = value.find('"', 1);
        return close == std::string_view::npos ? std::string() : std::string(value.substr(1, close - 1));
    }
    return std::string(value.substr(0, value.find_first_of("; \t")));
}

// "upl%d_%lu" in the runtime folder, with the file's extension, made new (never an existing
// file, whoever made it) and readable by the owner only.
std::string CreateTemporaryFile(std::string_view fileName, platform::UniqueFd& fd)
{
    std::string_view extension;
    if (size_t dot = fileName.rfind('.'); dot != std::string_view::npos)
        extension = fileName.substr(dot);
    std::string folder = platform::RuntimeFolder();
    auto thread = static_cast<unsigned long>(pthread_self());
    for (int counter = 1; counter < 100000; ++counter) {
        std::string path = platform::JoinPath(folder, Format("upl%d_%lu%s", counter, thread, extension));
        fd.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd)
            return path;
        if (errno != EEXIST)
            break;
    }
    return {};
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// Splits a whole body into its parts. False when the close delimiter is not reached.
class MultipartCursor {
public:
    MultipartCursor(std::string_view body, std::string_view boundary)
        : body_(body), delimiter_("--" + std::string(boundary))
    {
    }

    // Moves past the first delimiter line.
    bool Begin()
    {
        if (body_.starts_with(delimiter_)) {
            at_ = delimiter_.size();
        } else {
            size_t found = body_.find("\r\n" + delimiter_);
            if (found == std::string_view::npos)
                return false;
            at_ = found + 2 + delimiter_.size();
        }
        return AfterDelimiter();
    }

    bool finished() const { return finished_; }

    // One part's header lines and content.
    bool NextPart(std::vector<std::string_view>& headers, std::string_view& content)
    {
        headers.clear();
        for (;;) {
            size_t end = body_.find("\r\n", at_);
            if (end == std::string_view::npos)
                return false;
            std::string_view line = body_.substr(at_, end - at_);
            at_ = end + 2;
            if (line.empty())
                break;
            headers.push_back(line);
        }
        size_t close = body_.find("\r\n" + delimiter_, at_);
        if (close == std::string_view::npos)
            return false;
        content = body_.substr(at_, close - at_);
        at_ = close + 2 + delimiter_.size();
        return AfterDelimiter();
    }

private:
    // After a delimiter: "--" closes the upload, a line end begins the next part.
    bool AfterDelimiter()
    {
        if (body_.compare(at_, 2, "--") == 0) {
            finished_ = true;
            return true;
        }
        size_t end = body_.find("\r\n", at_);
        if (end == std::string_view::npos)
            return false;
        at_ = end + 2; // transport padding before the line end is allowed
        return true;
    }

    std::string_view body_;
    std::string delimiter_;
    size_t at_ = 0;
    bool finished_ = false;
};

} // namespace

void AddUploadProgress(int64_t delta, int64_t total, std::string_view browserId)
{
    std::lock_guard guard(ProgressLock());
    auto& table = ProgressTable();
    auto it = table.find(browserId);
    if (it == table.end())
        it = table.emplace(std::string(browserId), std::pair<int64_t, int64_t>{0, 0}).first;
    it->second.first += delta;
    it->second.second = total;
}

std::pair<int64_t, int64_t> UploadProgress(std::string_view browserId)
{
    std::lock_guard guard(ProgressLock());
    auto& table = ProgressTable();
    auto it = table.find(browserId);
    return it == table.end() ? std::pair<int64_t, int64_t>{0, 0} : it->second;
}

bool ParseMultipartBody(std::string_view body, std::string_view boundary, ParameterMap& parameters,
                        std::vector<UploadedFile>& files, bool& tooLarge)
{
    MultipartCursor cursor(body, boundary);
    if (!cursor.Begin())
        return false;
    std::vector<std::string_view> headers;
    std::string_view content;
    while (!cursor.finished()) {
        if (!cursor.NextPart(headers, content))
            return false;
        std::string name, fileName;
        bool isFile = false;
        for (std::string_view header : headers) {
            if (!StartsWithIgnoringCase(header, "Content-Disposition:"))
                continue;
            name = QuotedParameter(header, "name");
            if (header.find("filename") != std::string_view::npos) {
                isFile = true;
                fileName = QuotedParameter(header, "filename");
                fileName = fileName.substr(fileName.find_last_of("/\\") + 1);
            }
        }
        if (!isFile) {
            auto range = parameters.equal_range(name);
            parameters.erase(range.first, range.second);
            parameters.emplace(name, std::string(content));
            continue;
        }
        if (content.size() > kMaxUploadFileBytes) {
            tooLarge = true;
            return false;
        }
        UploadedFile file;
        file.fieldName = std::string(CutUtf8ToUnits(name, kTextFieldUnits));
        file.fileName = std::string(CutUtf8ToUnits(fileName, kTextFieldUnits));
        platform::UniqueFd fd;
        file.temporaryPath = CreateTemporaryFile(file.fileName, fd);
        if (fd) {
            bool written = WriteAll(fd.get(), content);
            fd.Reset();
            if (!written) {
                ::unlink(file.temporaryPath.c_str());
                return false;
            }
        }
        files.push_back(std::move(file));
    }
    return true;
}

bool ReadMultipartUpload(WebRequest& request, std::vector<UploadedFile>& files, bool& tooLarge)
{
    tooLarge = false;
    std::string boundary = BoundaryOf(Get(request.headers, "Content-Type"));
    if (boundary.empty() || !request.thread)
        return false;
    int64_t length = http::ParseContentLength(Get(request.headers, "Content-Length"));
    // The announced size decides before a byte is read; the body is never read past it, so a
    // body that goes on cannot fill the disk.
    if (length > kMaxUploadFileBytes + kMultipartOverhead) {
        tooLarge = true;
        return false;
    }
    if (length <= 0)
        return false;
    std::string browser = std::to_string(std::atoi(Get(request.parameters, "uBrowserID", "0").c_str()));
    AddUploadProgress(0, length, browser);

    std::string body;
    body.reserve(static_cast<size_t>(length));
    char piece[kPieceBytes];
    while (static_cast<int64_t>(body.size()) < length) {
        size_t want = static_cast<size_t>(std::min<int64_t>(length - static_cast<int64_t>(body.size()), kPieceBytes));
        size_t received = 0;
        if (request.thread->ReceiveSome(piece, want, received, kStallLimitMs) != net::ConnStatus::Ok || received == 0)
            return false; // gone or stalled: no file was made yet
        body.append(piece, received);
        AddUploadProgress(static_cast<int64_t>(received), length, browser);
    }

    if (!ParseMultipartBody(body, boundary, request.parameters, files, tooLarge))
        return false;
    AddUploadProgress(length, length, browser);
    return true;
}

void RedirectToLogon(WebRequest& request)
{
    TextBuffer query;
    for (const auto& [name, value] : request.parameters)
        AppendFormat(query, query.IsEmpty() ? "%s=%s" : "&%s=%s", name, value);
    std::string location = Utf8ToUtf16(query.view()).size() < kTextFieldSlotUnits
                               ? Format("logon?onok=%U%%3F%U", request.path, query.view())
                               : std::string("logon");
    SendRedirect(request, location);
}

void SendUploadProgress(WebRequest& request)
{
    auto [bytesRead, totalBytes] = UploadProgress(Get(request.parameters, "uBrowserID", "0"));
    std::string reply = Format("HTTP/1.1 200 OK\r\nConnection: close\r\nCache-Control: no-cache\r\n"
                               "Content-Type: text/xml; charset=utf-8\r\n\r\n"
                               "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Upload bytesRead=\"%lld\" totalBytes=\"%lld\"/>\r\n",
                               bytesRead, totalBytes);
    request.connection->Send(reply.data(), reply.size(), *request.cancel, 20000);
    request.keepAlive = false;
}

} // namespace tavolex::web
