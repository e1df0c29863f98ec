// The thread that serves one accepted connection.
#pragma once

#include "core.h"
#include "net.h"
#include "web.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavolex::web {

// Time limits of the request loop, in milliseconds.
inline constexpr int kRequestLineLimitMs = 30000;
inline constexpr int kHeaderLineLimitMs = 20000;
inline constexpr int kRefusalSendLimitMs = 20000;
inline constexpr int kBodyPieceLimitMs = 20000;
inline constexpr int64_t kFormBodyLimit = 5000000;
// A form body must keep arriving: this long without a byte ends the connection.
inline constexpr int kBodyIdleLimitMs = 30000;

// Limits on what a request may make the thread hold before any handler runs. A browser's
// request line and headers stay far below them; without them one local process could make the
// server grow until it is killed.
inline constexpr size_t kLineLimit = 16384;        // bytes of one line, without its CR LF
inline constexpr size_t kHeaderBlockLimit = 65536; // bytes of all header lines with their CR LFs
inline constexpr size_t kHeaderCountLimit = 100;
// Announced body bytes that no handler read are read and dropped up to this many, so they are
// never taken for the next request; beyond it the connection closes instead.
inline constexpr int64_t kUnreadBodyDiscardLimit = 65536;

// The thread is also the cancel check of its socket operations and the error sink of the JSON
// reader for request bodies.
class ConnectionThread final : public WorkerThread, public net::CancelCheck, public ErrorSink {
public:
    // Takes ownership of the accepted socket; `webRoot` is the resolved `Web` folder and
    // `serverPort` the port the listener bound (the one this server's own pages come from).
    ConnectionThread(int socket, uint32_t peerAddress, std::string webRoot, uint16_t serverPort);
    // `peerText` names the peer in log lines ("::1" for the IPv6 loopback address).
    ConnectionThread(int socket, uint32_t peerAddress, std::string peerText, std::string webRoot,
                            uint16_t serverPort);
    ~ConnectionThread() override;

    bool IsCancelled() const override { return IsStopRequested(); }
    int CancelEventFd() const override { return StopEventFd(); }
    // Keeps the JSON reader's report on the latest request body; a JSON route's handler reads it.
    void ReportError(std::string_view report) override;
    std::string LastReport() const;

    // Request bytes: what the thread has buffered comes first, then the socket.
    net::ConnStatus ReceiveSome(void* buffer, size_t capacity, size_t& received, int timeoutMs);
    net::ConnStatus ReceiveExact(std::string& out, size_t length, int totalLimitMs);

    // The `Web` folder with every symbolic link resolved: served files must lie inside it.
    const std::string& WebRoot() const { return webRoot_; }

    // While the thread waits for a request to begin, with nothing of it received: since when
    // (steady clock, in ms). Such a connection is the first to go when descriptors run short.
    std::optional<int64_t> IdleSince() const;

protected:
    void ThreadFunction() override;

private:
    mutable std::mutex reportLock_;
    std::string lastReport_;
    enum class LineRead { Ok, Failed, Cancelled, TooLong };

    // One request: true when the connection stays open for the next.
    bool ServeOneRequest();
    // `origins` and `fetchSites`: every Origin and Sec-Fetch-Site header, whatever the case of
    // its name.
    bool ServeRoute(const std::vector<std::string>& origins, const std::vector<std::string>& fetchSites,
                    WebRequest& request, const Route& route, bool isPost);
    // A line ended by CR LF (not kept). The connection ending after at least one byte gives the
    // bytes so far; ending before any byte, or the limit running out, is a failure. A line of
    // more than `maxBytes` is TooLong, found as soon as that many bytes wait without an end.
    LineRead ReadLine(std::string& line, int limitMs, size_t maxBytes);
    // Reads and drops what remains of the announced body; false when the connection must close
    // instead.
    bool DiscardUnreadBody(int64_t announced);
    // After the answer: true when the connection stays open for the next request.
    bool EndRequest(bool keepConnection, int64_t announced);
    // Sends a refusal that closes the connection. The client may still be sending (the rest of
    // a long line, a body): the thread then lingers before closing, so the refusal is read
    // instead of being lost to a reset.
    bool RefuseAndClose(std::string_view response);
    void LingerBeforeClose();
    // Body of a JSON route: exactly Content-Length bytes, or without it everything until the
    // client stops sending.
    net::ConnStatus ReadJsonBody(const WebRequest& request, std::string& body);
    bool Refuse(std::string_view reasonLog);
    bool SendText(std::string_view bytes);
    // Moves unread bytes to the front of the buffer once enough have been consumed.
    void CompactBuffer();

    net::NetConnection connection_;
    uint32_t peerAddress_;
    std::string peerText_;
    std::string webRoot_;
    uint16_t serverPort_;
    std::string buffer_;  // bytes received but not yet used (a pipelined request among them)
    size_t bufferStart_ = 0;
    int64_t bodyBytesTaken_ = 0; // bytes handed out by ReceiveSome since the last header block
    std::atomic<int64_t> idleSinceMs_{-1}; // -1 while the thread is not idle
    bool lingerOnClose_ = false;
};

std::string FormatPeer(uint32_t address);

} // namespace tavolex::web
