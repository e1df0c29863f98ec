// The listener thread and the `Web`-folder compressor of the server engine.
#pragma once

#include "core.h"
#include "web.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <sys/socket.h>

namespace tavolex::web {

inline constexpr int kListenBacklog = 50;
inline constexpr int kListenerRetryMs = 30000;
// Connections open at once. Beyond it the oldest idle ones make room; when none is idle a new
// one is closed unanswered. Each costs a thread, a socket and an event descriptor.
inline constexpr size_t kConnectionLimit = 512;
// When the process runs out of descriptors, idle connections are closed this many at a time
// and accept is tried again after this pause, the listening socket staying open.
inline constexpr size_t kShedBatch = 8;
inline constexpr int kDescriptorRetryMs = 100;

// Binds 127.0.0.1 and, where the machine has IPv6, [::1] at the same port; accepts, and gives
// every connection from exactly 127.0.0.1 or ::1 its own ConnectionThread, kept in a
// ThreadGroup.
class Listener final : public WorkerThread {
public:
    explicit Listener(std::string webRoot);
    ~Listener() override;

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
    // `notify`: the first listen of this run tells the application; a listen after an accept
    // error does not, so the application never opens its interface twice.
    void OnListening(bool notify);
    // Accepts on the IPv4 socket and, when there is one (else -1), the IPv6 socket.
    void AcceptLoop(int listening, int listening6);
    void SetPeer(const sockaddr_storage& peer);
    // Signals the `count` connections that have been idle longest; how many were signalled.
    size_t ShedIdleConnections(size_t count);

    std::atomic<uint16_t> port_{0};
    std::atomic<bool> listening_{false};
    uint32_t peerAddress_ = 0; // host byte order; 0 between connections
    std::string peerText_;
    std::string webRoot_;
    bool bindFailed_ = false;
    // When running short of descriptors was last logged: at most once a minute, since it
    // comes back with every connection while it lasts.
    std::optional<std::chrono::steady_clock::time_point> shortLogged_;
    int reserveFd_ = -1; // held back so that the log line about running short can be written
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
