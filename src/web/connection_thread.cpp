// The request loop of one connection.
#include "connection_thread.h"

#include "http_parse.h"
#include "platform.h"

#include <algorithm>
#include <chrono>
#include <sys/socket.h>
#include <vector>

namespace tavolex::web {

namespace {

using Clock = std::chrono::steady_clock;
using net::ConnStatus;

constexpr size_t kReadChunk = 16384;
constexpr size_t kJsonPieceWithLength = 1024;
constexpr size_t kJsonPieceWithoutLength = 32768;

constexpr std::string_view kNotImplemented = "HTTP/1.1 501 Not Implemented\r\nConnection: close\r\n\r\n";
constexpr std::string_view kNotFoundClose = "HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n";
constexpr std::string_view kForbidden =
    "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view kContentTooLong =
    "HTTP/1.1 500 Content Length Too Long\r\nConnection: close\r\n\r\n";
constexpr std::string_view kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view kUriTooLong =
    "HTTP/1.1 414 URI Too Long\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view kHeaderFieldsTooLarge =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// How long, and for how many bytes, a closing connection keeps reading what the client still
// sends after a refusal.
constexpr int kLingerLimitMs = 1000;
constexpr size_t kLingerByteLimit = 1 << 20;

bool ContainsIgnoringCase(std::string_view text, std::string_view word)
{
    for (size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (EqualsIgnoringAsciiCase(text.substr(i, word.size()), word))
            return true;
    }
    return false;
}

// The headers that decide where a request may go and how its bytes are framed. Their names are
// matched without regard to case, and every copy is kept, so neither "host:" nor a second Host
// slips past the checks.
struct GuardedHeaders {
    std::vector<std::string> hosts;
    std::vector<std::string> origins;
    std::vector<std::string> fetchSites;
    std::vector<std::string> contentLengths;
    bool transferEncoding = false;

    void Note(const http::HeaderLine& header)
    {
        if (EqualsIgnoringAsciiCase(header.name, "Host"))
            hosts.push_back(header.value);
        else if (EqualsIgnoringAsciiCase(header.name, "Origin"))
            origins.push_back(header.value);
        else if (EqualsIgnoringAsciiCase(header.name, "Sec-Fetch-Site"))
            fetchSites.push_back(header.value);
        else if (EqualsIgnoringAsciiCase(header.name, "Content-Length"))
            contentLengths.push_back(header.value);
        else if (EqualsIgnoringAsciiCase(header.name, "Transfer-Encoding"))
            transferEncoding = true;
    }
};

} // namespace

std::string FormatPeer(uint32_t address)
{
    return Format("%d.%d.%d.%d", (address >> 24) & 255, (address >> 16) & 255, (address >> 8) & 255,
                  address & 255);
}

ConnectionThread::ConnectionThread(int socket, uint32_t peerAddress, std::string webRoot,
                                                 uint16_t serverPort)
    : ConnectionThread(socket, peerAddress, FormatPeer(peerAddress), std::move(webRoot), serverPort)
{
}

ConnectionThread::ConnectionThread(int socket, uint32_t peerAddress, std::string peerText,
                                                 std::string webRoot, uint16_t serverPort)
    : WorkerThread("LWebletConnectionThread"), peerAddress_(peerAddress), peerText_(std::move(peerText)),
      webRoot_(std::move(webRoot)), serverPort_(serverPort)
{
    connection_.Adopt(socket);
}

ConnectionThread::~ConnectionThread()
{
    // A group member destroys itself on its own thread; any other owner stops it first.
    connection_.Close();
}

void ConnectionThread::ReportError(std::string_view report)
{
    std::lock_guard guard(reportLock_);
    lastReport_.assign(report);
}

std::string ConnectionThread::LastReport() const
{
    std::lock_guard guard(reportLock_);
    return lastReport_;
}

void ConnectionThread::ThreadFunction()
{
    while (!IsStopRequested() && ServeOneRequest()) {
    }
    if (lingerOnClose_)
        LingerBeforeClose();
}

void ConnectionThread::LingerBeforeClose()
{
    // Our side is done: the FIN after the refusal tells the client so, while its own bytes are
    // still taken in, because closing with unread bytes would send a reset that can destroy
    // the refusal before the client reads it.
    if (!connection_.IsOpen() || shutdown(connection_.Socket(), SHUT_WR) != 0)
        return;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kLingerLimitMs);
    size_t drained = 0;
    char piece[kReadChunk];
    while (drained < kLingerByteLimit && !IsStopRequested()) {
        size_t received = 0;
        int left = MillisecondsLeft(deadline);
        if (left <= 0 || connection_.Receive(piece, sizeof piece, received, *this, left) != ConnStatus::Ok)
            return;
        drained += received;
    }
}

bool ConnectionThread::RefuseAndClose(std::string_view response)
{
    SendText(response);
    lingerOnClose_ = true;
    return false;
}

void ConnectionThread::CompactBuffer()
{
    if (bufferStart_ == buffer_.size()) {
        buffer_.clear();
        bufferStart_ = 0;
    } else if (bufferStart_ > kReadChunk) {
        buffer_.erase(0, bufferStart_);
        bufferStart_ = 0;
    }
}

ConnStatus ConnectionThread::ReceiveSome(void* buffer, size_t capacity, size_t& received,
                                                int timeoutMs)
{
    received = 0;
    if (bufferStart_ < buffer_.size()) {
        received = std::min(capacity, buffer_.size() - bufferStart_);
        std::copy_n(buffer_.data() + bufferStart_, received, static_cast<char*>(buffer));
        bufferStart_ += received;
        CompactBuffer();
        bodyBytesTaken_ += static_cast<int64_t>(received);
        return ConnStatus::Ok;
    }
    ConnStatus status = connection_.Receive(buffer, capacity, received, *this, timeoutMs);
    bodyBytesTaken_ += static_cast<int64_t>(received);
    return status;
}

ConnStatus ConnectionThread::ReceiveExact(std::string& out, size_t length, int totalLimitMs)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalLimitMs);
    out.clear();
    char piece[kReadChunk];
    while (out.size() < length) {
        size_t received = 0;
        ConnStatus status = ReceiveSome(piece, std::min(sizeof piece, length - out.size()), received,
                                        MillisecondsLeft(deadline));
        if (status != ConnStatus::Ok)
            return status;
        out.append(piece, received);
    }
    return ConnStatus::Ok;
}

ConnectionThread::LineRead ConnectionThread::ReadLine(std::string& line, int limitMs,
                                                                     size_t maxBytes)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    size_t scanFrom = bufferStart_;
    for (;;) {
        if (auto end = http::FindLineEnd(buffer_, scanFrom)) {
            if (*end - bufferStart_ > maxBytes)
                return LineRead::TooLong;
            line.assign(buffer_, bufferStart_, *end - bufferStart_);
            bufferStart_ = *end + 2;
            CompactBuffer();
            return LineRead::Ok;
        }
        // The line may still end with a CR that waits for its LF as the byte after the limit.
        if (buffer_.size() - bufferStart_ > maxBytes + 1)
            return LineRead::TooLong;
        // A CR at the very end may pair with the next byte: look at it again.
        scanFrom = std::max(bufferStart_, buffer_.size() - (buffer_.empty() ? 0 : 1));
        char piece[kReadChunk];
        size_t received = 0;
        ConnStatus status = connection_.Receive(piece, sizeof piece, received, *this, MillisecondsLeft(deadline));
        buffer_.append(piece, received);
        if (status == ConnStatus::Cancelled)
            return LineRead::Cancelled;
        if (status == ConnStatus::Failed) {
            // The limit ran out, or the connection ended: then what was read of the line so
            // far is the line. (The limit counts as used up within a millisecond of its end.)
            bool timedOut = deadline - Clock::now() < std::chrono::milliseconds(2);
            if (timedOut || bufferStart_ == buffer_.size())
                return LineRead::Failed;
            if (buffer_.size() - bufferStart_ > maxBytes)
                return LineRead::TooLong;
            line.assign(buffer_, bufferStart_);
            bufferStart_ = buffer_.size();
            CompactBuffer();
            return LineRead::Ok;
        }
    }
}

bool ConnectionThread::DiscardUnreadBody(int64_t announced)
{
    int64_t unread = announced - bodyBytesTaken_;
    if (unread <= 0)
        return true;
    if (unread > kUnreadBodyDiscardLimit)
        return false;
    std::string dropped;
    return ReceiveExact(dropped, static_cast<size_t>(unread), kBodyPieceLimitMs) == ConnStatus::Ok;
}

bool ConnectionThread::SendText(std::string_view bytes)
{
    return connection_.Send(bytes.data(), bytes.size(), *this, kRefusalSendLimitMs) == ConnStatus::Ok;
}

bool ConnectionThread::Refuse(std::string_view reasonLog)
{
    Log(reasonLog);
    return RefuseAndClose(kForbidden);
}

std::optional<int64_t> ConnectionThread::IdleSince() const
{
    int64_t since = idleSinceMs_.load();
    if (since < 0)
        return std::nullopt;
    return since;
}

bool ConnectionThread::ServeOneRequest()
{
    std::string line;
    if (bufferStart_ == buffer_.size()) {
        auto now = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
        idleSinceMs_ = now.count();
    }
    LineRead requestLineRead = ReadLine(line, kRequestLineLimitMs, kLineLimit);
    idleSinceMs_ = -1;
    switch (requestLineRead) {
    case LineRead::Ok: break;
    case LineRead::Failed:
    case LineRead::Cancelled: return false;
    case LineRead::TooLong:
        LogFormat("Weblet: Request line too long: %s", peerText_);
        return RefuseAndClose(kHeaderFieldsTooLarge);
    }
    if (IsStopRequested())
        return false;

    http::RequestLine requestLine = http::ParseRequestLine(line);
    bool isGet = requestLine.method == "GET";
    bool isPost = requestLine.method == "POST";
    if (!isGet && !isPost) {
        if (requestLine.method == "OPTIONS")
            LogFormat("Weblet: OPTIONS requested: %s (return error 501 Not Implemented)", peerText_);
        else if (requestLine.method == "HEAD")
            LogFormat("Weblet: HEAD requested: %s (return error 501 Not Implemented)", peerText_);
        else if (requestLine.method != "PROPFIND" && !requestLine.method.empty())
            LogFormat("Weblet: Bad request method: %s %s", peerText_, http::ForLog(http::CleanText(requestLine.method)));
        SendText(kNotImplemented);
        return false;
    }
    // A cut target would name another path, or lose parameters from its query: a request that
    // does not fit the field is refused as a whole.
    if (requestLine.targetLength > http::kFieldLimit) {
        LogFormat("Weblet: Request URI too long: %s (%llu bytes)", peerText_, requestLine.targetLength);
        return RefuseAndClose(kUriTooLong);
    }

    WebRequest request;
    request.thread = this;
    request.connection = &connection_;
    request.cancel = this;
    request.peerAddress = peerAddress_;
    request.peerText = peerText_;

    std::string_view target = requestLine.target;
    if (size_t question = target.find('?'); question != std::string_view::npos) {
        http::ParseForm(target.substr(question + 1), request.parameters);
        target = target.substr(0, question);
    }
    std::string decoded = http::CleanText(http::UrlDecode(target, http::kFieldLimit), http::kFieldLimit);
    if (!decoded.starts_with('/')) {
        LogFormat("Weblet: Invalid Request URI: %s %s", peerText_, http::ForLog(decoded));
        SendText(kNotFoundClose);
        return false;
    }
    request.path = decoded.substr(1);

    GuardedHeaders guarded;
    size_t blockLeft = kHeaderBlockLimit;
    for (size_t count = 0;; ++count) {
        std::string headerLine;
        size_t lineLeft = blockLeft >= 2 ? std::min(kLineLimit, blockLeft - 2) : 0;
        LineRead read = ReadLine(headerLine, kHeaderLineLimitMs, lineLeft);
        if (read == LineRead::Failed || read == LineRead::Cancelled)
            return false;
        if (read == LineRead::TooLong || (!headerLine.empty() && count == kHeaderCountLimit)) {
            LogFormat("Weblet: Request header fields too large: %s %s", peerText_, http::ForLog(request.path));
            return RefuseAndClose(kHeaderFieldsTooLarge);
        }
        blockLeft -= headerLine.size() + 2;
        if (headerLine.empty())
            break;
        http::HeaderLine header = http::ParseHeaderLine(headerLine);
        // RFC 9112 section 5.1: blanks before the colon make a name that one reader would take
        // as "Content-Length" and another would not.
        if (!header.name.empty() && (header.name.back() == ' ' || header.name.back() == '\t')) {
            LogFormat("Weblet: Bad request: %s %s (blank before a header's colon)", peerText_, http::ForLog(request.path));
            return RefuseAndClose(kBadRequest);
        }
        guarded.Note(header);
        request.headers[std::move(header.name)] = std::move(header.value);
    }
    bodyBytesTaken_ = 0;

    if (guarded.hosts.size() > 1) {
        LogFormat("Weblet: Bad request: %s %s (more than one Host header)", peerText_, http::ForLog(request.path));
        return RefuseAndClose(kBadRequest);
    }
    // Chunked bodies are not read here: taking one by its Content-Length, or as no body, would
    // leave its bytes to be parsed as a request of their own.
    if (guarded.transferEncoding) {
        LogFormat("Weblet: Transfer-Encoding requested: %s %s (return error 501 Not Implemented)", peerText_,
                  http::ForLog(request.path));
        return RefuseAndClose(kNotImplemented);
    }
    // The body's length as the client frames it, whatever the case of the header's name; the
    // handlers keep reading "Content-Length" exactly.
    int64_t announced = 0;
    for (const std::string& value : guarded.contentLengths) {
        int64_t length = std::max<int64_t>(0, http::ParseContentLength(value));
        if (&value != &guarded.contentLengths.front() && length != announced) {
            LogFormat("Weblet: Bad request: %s %s (Content-Length headers disagree)", peerText_,
                      http::ForLog(request.path));
            return RefuseAndClose(kBadRequest);
        }
        announced = length;
    }

    // A page on another site may point the browser at this server under a name it controls
    // (DNS rebinding); only requests addressed to this machine by name are answered.
    if (!guarded.hosts.empty() && !http::IsLocalHost(guarded.hosts.front()))
        return Refuse(Format("Weblet: Forbidden: foreign Host header %s from %s", http::ForLog(guarded.hosts.front()),
                             peerText_));

    std::string connectionHeader = Get(request.headers, "Connection");
    bool clientAsksClose = connectionHeader.find("close") != std::string::npos;
    // Before HTTP/1.1 a connection ends after its answer unless the client asked to keep it.
    bool persistentVersion = requestLine.version >= 1.1 || ContainsIgnoringCase(connectionHeader, "keep-alive");
    bool keepAlive = isGet && requestLine.version >= 1.1 && !clientAsksClose;

    const Route* route = RouteRegistry::Get().Find(request.path, isPost);
    if (!route) {
        if (request.path.find("..") != std::string::npos) {
            LogFormat("Weblet: Bad request: %s %s", peerText_, http::ForLog(request.path));
            return RefuseAndClose(kNotFoundClose);
        }
        request.keepAlive = keepAlive;
        bool complete = ServeFile(request, platform::JoinPath(webRoot_, request.path),
                                  Get(request.headers, "If-Modified-Since"),
                                  Get(request.headers, "If-None-Match"));
        return EndRequest(complete && request.keepAlive, announced);
    }

    bool handled = ServeRoute(guarded.origins, guarded.fetchSites, request, *route, isPost);
    // The client's "Connection: close" wins over a reply that would keep the connection.
    return EndRequest(handled && request.keepAlive && !clientAsksClose && persistentVersion, announced);
}

bool ConnectionThread::EndRequest(bool keepConnection, int64_t announced)
{
    if (keepConnection && DiscardUnreadBody(announced))
        return true;
    // The client may still be sending the body: the answer must not be lost to a reset.
    if (announced > bodyBytesTaken_)
        lingerOnClose_ = true;
    return false;
}

bool ConnectionThread::ServeRoute(const std::vector<std::string>& origins,
                                         const std::vector<std::string>& fetchSites, WebRequest& request,
                                         const Route& route, bool isPost)
{
    // Routes act with the owner's session, so a page of another site must not reach them
    // through the owner's browser: its Origin or Sec-Fetch-Site gives it away.
    for (const std::string& origin : origins) {
        if (!http::IsOwnOrigin(origin, serverPort_))
            return Refuse(Format("Weblet: Forbidden: foreign Origin %s for %s from %s", http::ForLog(origin),
                                 http::ForLog(request.path), peerText_));
    }
    for (const std::string& site : fetchSites) {
        if (!http::IsAllowedFetchSite(site))
            return Refuse(Format("Weblet: Forbidden: Sec-Fetch-Site %s for %s from %s", http::ForLog(site),
                                 http::ForLog(request.path), peerText_));
    }

    if (auto cookie = request.headers.find("Cookie"); cookie != request.headers.end())
        http::ParseCookies(cookie->second, request.cookies);
    // The session layer opens the request's database handle and loads the session here.
    if (RouteStepHooks* hooks = RouteRegistry::Get().Hooks())
        hooks->BeginRoute(request);

    LogFormat("LWebletConnectionThread::ThreadFunction calling web script: %s", http::ForLog(request.path));
    request.keepAlive = false;

    switch (route.kind) {
    case RouteKind::JsonBody: {
        std::string body;
        ConnStatus status = ReadJsonBody(request, body);
        if (status == ConnStatus::Cancelled || IsStopRequested())
            return false;
        JsonValue value;
        // The reader stops at the first zero byte, as it would at the end of a C string.
        if (status == ConnStatus::Ok && !body.empty())
            ParseJson(value, body, this);
        route.jsonHandler(request, value);
        break;
    }
    case RouteKind::Upload:
        route.handler(request);
        break;
    case RouteKind::Plain:
        if (isPost) {
            int64_t length = http::ParseContentLength(Get(request.headers, "Content-Length", "0"));
            if (length > kFormBodyLimit) {
                LogFormat("Weblet: Content too long: %s %s", peerText_, http::ForLog(request.path));
                return RefuseAndClose(kContentTooLong);
            }
            if (length > 0) {
                // No limit on the whole: a slow line may take long. But a body that stops
                // arriving must not hold its thread and descriptor for over an hour.
                std::string body;
                body.reserve(static_cast<size_t>(std::min<int64_t>(length, kReadChunk)));
                char piece[kReadChunk];
                while (static_cast<int64_t>(body.size()) < length) {
                    size_t want = static_cast<size_t>(std::min<int64_t>(length - static_cast<int64_t>(body.size()),
                                                                        sizeof piece));
                    size_t received = 0;
                    if (ReceiveSome(piece, want, received, kBodyIdleLimitMs) != ConnStatus::Ok)
                        return false;
                    body.append(piece, received);
                }
                http::ParseForm(body, request.parameters);
            }
        }
        route.handler(request);
        break;
    }
    return true;
}

ConnStatus ConnectionThread::ReadJsonBody(const WebRequest& request, std::string& body)
{
    body.clear();
    if (auto header = request.headers.find("Content-Length"); header != request.headers.end()) {
        int64_t length = http::ParseContentLength(header->second);
        // Grows with what arrives: an announced length alone reserves nothing.
        while (length > 0 && static_cast<int64_t>(body.size()) < length) {
            size_t want = static_cast<size_t>(std::min<int64_t>(length - static_cast<int64_t>(body.size()),
                                                                kJsonPieceWithLength));
            std::string part;
            ConnStatus status = ReceiveExact(part, want, kBodyPieceLimitMs);
            if (status != ConnStatus::Ok)
                return status;
            body += part;
        }
        return ConnStatus::Ok;
    }
    std::string piece(kJsonPieceWithoutLength, '\0');
    for (;;) {
        size_t received = 0;
        ConnStatus status = ReceiveSome(piece.data(), piece.size(), received, kBodyPieceLimitMs);
        if (status == ConnStatus::Cancelled)
            return status;
        if (status == ConnStatus::Failed)
            return ConnStatus::Ok; // the client closed its side, or stopped sending
        body.append(piece, 0, received);
    }
}

} // namespace tavolex::web
