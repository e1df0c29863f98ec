// The server engine: listener, connection hand-over, the gzip pre-compression, start and stop.
#include "listener.h"

#include "connection_thread.h"
#include "file_access.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <span>
#include <sys/socket.h>
#include <sys/stat.h>
#include <vector>
#include <zlib.h>

namespace tavolex::web {

namespace {

constexpr uint16_t kDefaultPort = 1090;
constexpr int kCompressorOpenLimitMs = 10000;
constexpr int kListenerSendBuffer = 262144;

void CloseSocket(int& socket)
{
    if (socket >= 0)
        close(socket);
    socket = -1;
}

bool HasCompressibleExtension(const std::filesystem::path& path)
{
    std::string extension = path.extension().string();
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    }
    return extension == ".css" || extension == ".html" || extension == ".js";
}

void PutLittleEndian32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Reads the whole file; false when it cannot be opened or read, or lies outside `root`: the
// copy is served from inside the folder, so it must never hold what serving would refuse.
bool ReadWhole(const std::string& path, std::string_view root, std::string& content, time_t& modified)
{
    FileHandle file = OpenWithRetry(path, kCompressorOpenLimitMs);
    struct stat info {};
    if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || !IsInsideFolder(file, root))
        return false;
    content.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < content.size()) {
        ssize_t count = read(file.get(), content.data() + done, content.size() - done);
        if (count <= 0)
            return false;
        done += static_cast<size_t>(count);
    }
    modified = info.st_mtim.tv_sec;
    return true;
}


} // namespace

uint16_t EffectivePort()
{
    int port = ReadSettingInt("WebServer", "Port", 0);
    auto port16 = static_cast<uint16_t>(port);
    return port16 != 0 ? port16 : kDefaultPort;
}

// ---------------------------------------------------------------------------------------------

Listener::Listener(std::string webRoot) : WorkerThread("LTCPListener"), webRoot_(std::move(webRoot)) {}

Listener::~Listener()
{
    Stop();
    connections_.StopAll();
    CloseSocket(reserveFd_);
}

namespace {

enum class Loopback6 { Listening, Unavailable, InUse };

// The IPv6 loopback address at `port`. A browser given "localhost" may try [::1] first: were
// another program to hold that address at our port, it would get the owner's requests.
Loopback6 ListenOnLoopback6(uint16_t port, int& listening)
{
    listening = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listening < 0)
        return Loopback6::Unavailable; // no IPv6 on this machine
    int on = 1;
    setsockopt(listening, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int sendBuffer = kListenerSendBuffer;
    setsockopt(listening, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    if (bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        listen(listening, kListenBacklog) == 0)
        return Loopback6::Listening;
    int error = errno;
    CloseSocket(listening);
    return error == EADDRINUSE ? Loopback6::InUse : Loopback6::Unavailable;
}

} // namespace

void Listener::ThreadFunction()
{
    if (reserveFd_ < 0)
        reserveFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    bool notified = false;
    for (;;) {
        int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listening >= 0) {
            int sendBuffer = kListenerSendBuffer;
            setsockopt(listening, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
            // Lets a restarted server take its port back while old connections linger in
            // TIME_WAIT; a port another program listens on still fails with EADDRINUSE.
            int on = 1;
            setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port_);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // besides [::1], the only address bound
            if (bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                int error = errno;
                CloseSocket(listening);
                if (error == EADDRINUSE) {
                    OnBindInUse();
                    continue;
                }
            } else if (listen(listening, kListenBacklog) != 0) {
                CloseSocket(listening);
            } else {
                // Port 0 (after the port wrapped) binds a port of the system's choosing.
                socklen_t size = sizeof address;
                if (getsockname(listening, reinterpret_cast<sockaddr*>(&address), &size) == 0)
                    port_ = ntohs(address.sin_port);
                int listening6 = -1;
                if (ListenOnLoopback6(port_, listening6) == Loopback6::InUse) {
                    // Someone else has [::1] at this port: the next port is tried for both.
                    CloseSocket(listening);
                    OnBindInUse();
                    continue;
                }
                OnListening(!notified);
                notified = true;
                AcceptLoop(listening, listening6);
                listening_ = false;
                CloseSocket(listening);
                CloseSocket(listening6);
            }
        }
        if (WaitForStop(kListenerRetryMs))
            return;
    }
}

void Listener::AcceptLoop(int listening, int listening6)
{
    const int sockets[2] = {listening, listening6};
    const size_t count = listening6 >= 0 ? 2 : 1;
    for (;;) {
        bool nothingWaiting = true;
        for (size_t i = 0; i < count; ++i) {
            sockaddr_storage peer{};
            socklen_t size = sizeof peer;
            int accepted = accept4(sockets[i], reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
            if (accepted < 0) {
                int error = errno;
                if (error == EAGAIN || error == EWOULDBLOCK)
                    continue;
                nothingWaiting = false;
                if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                    // The connection waits in the backlog: make room and try again shortly,
                    // still listening, so the port is never left for another program to take.
                    auto now = std::chrono::steady_clock::now();
                    if (!shortLogged_ || now - *shortLogged_ >= std::chrono::minutes(1)) {
                        // Writing the log line takes a descriptor too: the reserve lends it one.
                        CloseSocket(reserveFd_);
                        LogError("Weblet: cannot accept a connection (%s): closing idle connections", strerror(error));
                        reserveFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
                        shortLogged_ = now;
                    }
                    ShedIdleConnections(kShedBatch);
                    if (WaitForStop(kDescriptorRetryMs))
                        return;
                } else if (error != ECONNRESET && error != ECONNABORTED && error != EINTR) {
                    return;
                }
                continue;
            }
            nothingWaiting = false;
            int slot = -1;
            AdoptSocket(slot, accepted);
            SetPeer(peer);
            HandleConnection(slot);
            peerAddress_ = 0;
            CloseSocket(slot);
        }
        if (nothingWaiting && WaitForStopOrAny(std::span(sockets, count), kWaitForever) == StopWait::Stopped)
            return;
        if (IsStopRequested())
            return;
    }
}

void Listener::SetPeer(const sockaddr_storage& peer)
{
    if (peer.ss_family == AF_INET6) {
        const auto& address = reinterpret_cast<const sockaddr_in6&>(peer);
        bool loopback = IN6_IS_ADDR_LOOPBACK(&address.sin6_addr);
        // The 32-bit field has no room for IPv6: [::1] counts as this machine's own address.
        peerAddress_ = loopback ? INADDR_LOOPBACK : 0;
        peerText_ = loopback ? "::1" : "IPv6";
        return;
    }
    peerAddress_ = ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr);
    peerText_ = FormatPeer(peerAddress_);
}

size_t Listener::ShedIdleConnections(size_t count)
{
    size_t signalled = 0;
    connections_.VisitMembers([&](const std::vector<WorkerThread*>& members) {
        std::vector<std::pair<int64_t, WorkerThread*>> idle;
        for (WorkerThread* member : members) {
            auto* connection = dynamic_cast<ConnectionThread*>(member);
            if (!connection || connection->IsStopRequested())
                continue;
            if (std::optional<int64_t> since = connection->IdleSince())
                idle.emplace_back(*since, member);
        }
        std::sort(idle.begin(), idle.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (size_t i = 0; i < idle.size() && i < count; ++i) {
            idle[i].second->SignalStop();
            ++signalled;
        }
    });
    return signalled;
}

void Listener::AdoptSocket(int& slot, int socket)
{
    CloseSocket(slot);
    slot = socket;
}

void Listener::HandleConnection(int& slot)
{
    // Only this machine's own loopback addresses are served; other peers are closed unanswered.
    if (peerText_ != "127.0.0.1" && peerText_ != "::1")
        return;
    if (connections_.Count() >= kConnectionLimit && ShedIdleConnections(kShedBatch) == 0)
        return; // every connection is busy: this one is closed unanswered
    auto thread = std::make_unique<ConnectionThread>(slot, peerAddress_, peerText_, webRoot_, port_);
    slot = -1;
    connections_.Add(std::move(thread));
}

void Listener::OnBindInUse()
{
    LogError("Webserver cannot bind to TCP/IP port.");
    bindFailed_ = true;
    LogFormat("Some other program may be using port %d.", EffectivePort());
    port_ = static_cast<uint16_t>(port_ + 1);
    LogFormat("Restarting listener on port: %d", port_.load());
}

void Listener::OnListening(bool notify)
{
    if (bindFailed_ && port_ != EffectivePort())
        WriteSettingInt("WebServer", "Port", port_);
    bindFailed_ = false;
    listening_ = true;
    if (notify)
        PostNotice(ServerNotice::Listening);
}

// ---------------------------------------------------------------------------------------------

std::string GzipMember(std::string_view data, uint32_t modified)
{
    constexpr int kLevel = Z_BEST_COMPRESSION;
    z_stream stream{};
    if (deflateInit2(&stream, kLevel, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out;
    out += '\x1f';
    out += '\x8b';
    out += static_cast<char>(Z_DEFLATED);
    out += '\0'; // flags
    PutLittleEndian32(out, modified);
    out += static_cast<char>(kLevel == Z_BEST_SPEED ? 4 : kLevel == Z_BEST_COMPRESSION ? 2 : 0);
    out += '\0'; // operating system byte
    size_t headerSize = out.size();
    out.resize(headerSize + deflateBound(&stream, static_cast<uLong>(data.size())));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + headerSize);
    stream.avail_out = static_cast<uInt>(out.size() - headerSize);
    int result = deflate(&stream, Z_FINISH);
    size_t produced = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        return {};
    out.resize(headerSize + produced);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    PutLittleEndian32(out, static_cast<uint32_t>(crc));
    PutLittleEndian32(out, static_cast<uint32_t>(data.size()));
    return out;
}

WebFolderCompressor::WebFolderCompressor(std::string webRoot)
    : WorkerThread("WebFolderCompressor"), webRoot_(std::move(webRoot))
{
}

WebFolderCompressor::~WebFolderCompressor() { Stop(); }

void WebFolderCompressor::ThreadFunction()
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::recursive_directory_iterator walk(webRoot_, fs::directory_options::skip_permission_denied, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (IsStopRequested())
            return;
        std::error_code ignored;
        if (!walk->is_regular_file(ignored) || !HasCompressibleExtension(walk->path()))
            continue;
        std::string path = walk->path().string();
        std::string gzipPath = path + ".gz";
        unlink(gzipPath.c_str());
        std::string content;
        time_t modified = 0;
        // Files above 4 GiB do not fit the member's 32-bit fields and are never interface text.
        if (!ReadWhole(path, webRoot_, content, modified) || content.size() > UINT_MAX)
            continue;
        std::string member = GzipMember(content, static_cast<uint32_t>(modified));
        if (!member.empty())
            // A connection thread serving the copy sees the old one or the new one whole. The
            // copies are made again at every start, so they are not flushed to the disk.
            platform::WriteFileAtomically(gzipPath, member, 0644, platform::Durability::Unsynced);
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

std::string ResolvedFolder(const std::string& folder)
{
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved))
        return resolved;
    return folder;
}

} // namespace

WebServer::WebServer(std::string webRoot)
    : webRoot_(ResolvedFolder(webRoot)), listener_(std::make_unique<Listener>(webRoot_)),
      compressor_(std::make_unique<WebFolderCompressor>(webRoot_))
{
}

WebServer::~WebServer() { Shutdown(); }

void WebServer::StartEngine()
{
    Log("Starting server engine...");
    if (ReadSettingBool("WebServer", "Enabled", true)) {
        Log("Starting web server...");
        Start();
    }
}

void WebServer::Start()
{
    // "PublicEnabled" would start the public-access thread here; this build has none.
    compressor_->Start(ThreadPriority::Lowest);
    if (ReadSettingBool("WebServer", "Enabled", true)) {
        Log("Starting web server (Non-secure)");
        uint16_t port = EffectivePort();
        listener_->Stop();
        listener_->SetPort(port);
        listener_->Start(ThreadPriority::Normal);
    }
}

void WebServer::Restart()
{
    bool wasRunning = listener_->IsRunning();
    if (ReadSettingBool("WebServer", "Enabled", true)) {
        LogFormat("%s (Non-secure)", wasRunning ? "Restarting web server" : "Starting web server");
        uint16_t port = EffectivePort();
        listener_->Stop();
        listener_->SetPort(port);
        listener_->Start(ThreadPriority::Normal);
    } else {
        if (wasRunning)
            Log("Stopping web server (Non-secure)");
        listener_->Stop();
    }
}

void WebServer::Shutdown()
{
    if (!listener_->IsRunning() && listener_->Connections().Count() == 0 && !compressor_->IsRunning())
        return;
    Log("Stopping server engine");
    if (listener_->IsRunning())
        Log("Stopping web server (Non-secure)");
    listener_->Connections().SignalAll();
    listener_->Stop();
    listener_->Connections().StopAll();
    compressor_->Stop();
}

bool WebServer::IsListening() const { return listener_->IsListening(); }

uint16_t WebServer::ListeningPort() const { return listener_->Port(); }

} // namespace tavolex::web
