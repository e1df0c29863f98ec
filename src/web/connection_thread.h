// The thread that serves one accepted connection.
#pragma once

#include "core.h"
#include "net.h"
#include "web.h"

#include <string>

namespace tavolex::web {

// Time limits of the request loop, in milliseconds.
inline constexpr int kRequestLineLimitMs = 30000;
inline constexpr int kHeaderLineLimitMs = 20000;
inline constexpr int kRefusalSendLimitMs = 20000;
inline constexpr int kBodyPieceLimitMs = 20000;
inline constexpr int64_t kFormBodyLimit = 5000000;

// The thread is also the cancel check of its socket operations and the error sink of the JSON
// reader for request bodies.
class LWebletConnectionThread final : public WorkerThread, public net::CancelCheck, public ErrorSink {
public:
    // Takes ownership of the accepted socket; `webRoot` is the resolved `Web` folder and
    // `serverPort` the port the listener bound (the one this server's own pages come from).
    LWebletConnectionThread(int socket, uint32_t peerAddress, std::string webRoot, uint16_t serverPort);
    ~LWebletConnectionThread() override;

    bool IsCancelled() const override { return IsStopRequested(); }
    int CancelEventFd() const override { return StopEventFd(); }
    void ReportError(std::string_view report) override { Report(report); }

    // Request bytes: what the thread has buffered comes first, then the socket.
    net::ConnStatus ReceiveSome(void* buffer, size_t capacity, size_t& received, int timeoutMs);
    net::ConnStatus ReceiveExact(std::string& out, size_t length, int totalLimitMs);

    // The `Web` folder with every symbolic link resolved: served files must lie inside it.
    const std::string& WebRoot() const { return webRoot_; }

protected:
    void ThreadFunction() override;

private:
    // One request: true when the connection stays open for the next.
    bool ServeOneRequest();
    bool ServeRoute(WebRequest& request, const Route& route, bool isPost);
    // A line ended by CR LF (not kept). The connection ending after at least one byte gives the
    // bytes so far; ending before any byte, or the limit running out, is a failure.
    net::ConnStatus ReadLine(std::string& line, int limitMs);
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
};

std::string FormatPeer(uint32_t address);

} // namespace tavolex::web
