// The listener thread and the `Web`-folder compressor of the server engine.
#pragma once

#include "core.h"
#include "web.h"

#include <atomic>
#include <string>

namespace tavolex::web {

inline constexpr int kListenBacklog = 50;
inline constexpr int kListenerRetryMs = 30000;

// Binds 127.0.0.1 only, accepts, and gives every connection from exactly 127.0.0.1 its own
// LWebletConnectionThread, kept in a ThreadGroup.
class LTCPListener final : public WorkerThread {
public:
    explicit LTCPListener(std::string webRoot);
    ~LTCPListener() override;

    void SetPort(uint16_t port) { port_ = port; }
    uint16_t Port() const { return port_; }
    bool IsListening() const { return listening_; }
    ThreadGroup& Connections() { return connections_; }

protected:
    void ThreadFunction() override;

private:
    // Takes a new socket into the slot, closing what the slot held.
    void AdoptSocket(int& slot, int socket);
    // Gives the socket in the slot to a connection thread, or leaves it there to be closed.
    void HandleConnection(int& slot);
    void OnBindInUse();
    void OnListening();
    void AcceptLoop(int listening);

    std::atomic<uint16_t> port_{0};
    std::atomic<bool> listening_{false};
    uint32_t peerAddress_ = 0; // host byte order; 0 between connections
    std::string peerText_;
    std::string webRoot_;
    bool bindFailed_ = false;
    ThreadGroup connections_;
};

// Writes a gzip copy ("name.gz") beside every .css, .html and .js file of the `Web` folder.
class WebFolderCompressor final : public WorkerThread {
public:
    explicit WebFolderCompressor(std::string webRoot);
    ~WebFolderCompressor() override;

protected:
    void ThreadFunction() override;

private:
    std::string webRoot_;
};

// One gzip member (RFC 1952) holding `data`, stamped with `modified` (Unix seconds).
std::string GzipMember(std::string_view data, uint32_t modified);

} // namespace tavolex::web
