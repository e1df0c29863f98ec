// NetConnection over POSIX sockets: non-blocking, every wait a poll of at most 200 ms.
#include "net.h"

#include "transport.h"

#include "core.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavolex::net {

namespace {

using Clock = std::chrono::steady_clock;

class PlainTransport final : public Transport {
public:
    ssize_t ReadSome(int socket, void* buffer, size_t capacity) override
    {
        return recv(socket, buffer, capacity, 0);
    }
    ssize_t PeekSome(int socket, void* buffer, size_t capacity) override
    {
        return recv(socket, buffer, capacity, MSG_PEEK);
    }
    ssize_t WriteSome(int socket, const void* data, size_t length) override
    {
        return send(socket, data, length, MSG_NOSIGNAL);
    }
    bool HasPending() const override { return false; }
};

bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

void SetNonBlocking(int socket)
{
    int flags = fcntl(socket, F_GETFL, 0);
    if (flags >= 0)
        fcntl(socket, F_SETFL, flags | O_NONBLOCK);
}

uint16_t ParsePort(std::string_view text)
{
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 0xFFFF)
            return 0;
    }
    return static_cast<uint16_t>(value);
}

} // namespace

std::string_view HostPart(std::string_view hostString)
{
    return hostString.substr(0, hostString.find(':'));
}

HostAddressList Resolve(std::string_view hostString, uint16_t defaultPort)
{
    HostAddressList list;
    size_t colon = hostString.find(':');
    list.port = colon == std::string_view::npos ? defaultPort : ParsePort(hostString.substr(colon + 1));
    std::string host(HostPart(hostString));
    in_addr literal{};
    if (inet_pton(AF_INET, host.c_str(), &literal) == 1) {
        list.addresses[list.count++] = ntohl(literal.s_addr);
        return list;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return list;
    for (addrinfo* entry = found; entry && list.count < HostAddressList::kMaxAddresses;
         entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr)
            continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        list.addresses[list.count++] = ntohl(address->sin_addr.s_addr);
    }
    freeaddrinfo(found);
    return list;
}

NetConnection::NetConnection() : transport_(std::make_unique<PlainTransport>()) {}

NetConnection::~NetConnection() { Close(); }

void NetConnection::Adopt(int socket)
{
    Close();
    socket_ = socket;
    if (socket_ < 0)
        return;
    SetNonBlocking(socket_);
    // Replies go out as a header and a body in separate writes; without this the second write
    // can sit behind the peer's delayed acknowledgement.
    int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    transport_ = std::make_unique<PlainTransport>();
}

void NetConnection::Close()
{
    // A TLS channel says goodbye (close-notify) on the socket before it goes.
    transport_ = std::make_unique<PlainTransport>();
    if (socket_ >= 0)
        close(socket_);
    socket_ = -1;
    hostName_.clear();
}

ConnStatus NetConnection::WaitFor(short events, const CancelCheck& cancel, int timeoutMs)
{
    if (socket_ < 0)
        return ConnStatus::Failed;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    pollfd fds[2] = {{socket_, events, 0}, {cancel.CancelEventFd(), POLLIN, 0}};
    nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    for (;;) {
        if (cancel.IsCancelled())
            return ConnStatus::Cancelled;
        int left = MillisecondsLeft(deadline);
        int result = poll(fds, count, std::min(left, kWaitSliceMs));
        if (result < 0 && errno != EINTR)
            return ConnStatus::Failed;
        if (result > 0) {
            if (fds[0].revents & events)
                return ConnStatus::Ok;
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
                return (events & POLLIN) ? ConnStatus::Ok : ConnStatus::Failed;
            if (count == 2 && fds[1].revents && cancel.IsCancelled())
                return ConnStatus::Cancelled;
        }
        if (left <= 0)
            return ConnStatus::Failed;
    }
}

ConnStatus NetConnection::ConnectOne(uint32_t address, uint16_t port, const CancelCheck& cancel,
                                     int timeoutMs)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return ConnStatus::Failed;
    SetNonBlocking(fd);
    int sendBuffer = kSendBufferBytes;
    int receiveBuffer = kReceiveBufferBytes;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(address);
    socket_ = fd;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
        return ConnStatus::Ok;
    if (errno != EINPROGRESS && !IsWouldBlock(errno)) {
        Close();
        return ConnStatus::Failed;
    }
    ConnStatus status = WaitFor(POLLOUT, cancel, timeoutMs);
    if (status == ConnStatus::Ok) {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
            status = ConnStatus::Failed;
    }
    if (status != ConnStatus::Ok)
        Close();
    return status;
}

ConnStatus NetConnection::Connect(std::string_view hostString, uint16_t defaultPort,
                                  const CancelCheck& cancel)
{
    return Connect(Resolve(hostString, defaultPort), cancel, HostPart(hostString));
}

ConnStatus NetConnection::Connect(const HostAddressList& addresses, const CancelCheck& cancel,
                                  std::string_view hostName)
{
    Close();
    for (int i = 0; i < addresses.count && i < HostAddressList::kMaxAddresses; ++i) {
        ConnStatus status = ConnectOne(addresses.addresses[i], addresses.port, cancel, kConnectLimitMs);
        if (status == ConnStatus::Ok)
            hostName_ = hostName;
        if (status != ConnStatus::Failed)
            return status;
    }
    return ConnStatus::Failed;
}

ConnStatus NetConnection::Send(const void* data, size_t length, const CancelCheck& cancel,
                               int timeoutMs)
{
    if (socket_ < 0)
        return ConnStatus::Failed;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t written = transport_->WriteSome(socket_, bytes, length);
        if (written > 0) {
            bytes += written;
            length -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && !IsWouldBlock(errno))
            return ConnStatus::Failed;
        ConnStatus status = WaitFor(POLLOUT, cancel, MillisecondsLeft(deadline));
        if (status != ConnStatus::Ok)
            return status;
    }
    return ConnStatus::Ok;
}

ConnStatus NetConnection::WaitReadable(const CancelCheck& cancel, int timeoutMs)
{
    if (socket_ < 0)
        return ConnStatus::Failed;
    if (transport_->HasPending())
        return ConnStatus::Ok;
    return WaitFor(POLLIN, cancel, timeoutMs);
}

ConnStatus NetConnection::Receive(void* buffer, size_t capacity, size_t& received,
                                  const CancelCheck& cancel, int timeoutMs)
{
    received = 0;
    if (socket_ < 0 || capacity == 0)
        return ConnStatus::Failed;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        // Reading first saves a poll when the bytes are already there.
        ssize_t count = transport_->ReadSome(socket_, buffer, capacity);
        if (count > 0) {
            received = static_cast<size_t>(count);
            return ConnStatus::Ok;
        }
        if (count == 0 || !IsWouldBlock(errno))
            return ConnStatus::Failed; // closed by the peer, or a socket error
        ConnStatus status = WaitFor(POLLIN, cancel, MillisecondsLeft(deadline));
        if (status != ConnStatus::Ok)
            return status;
    }
}

ConnStatus NetConnection::ReceiveExact(void* buffer, size_t length, const CancelCheck& cancel,
                                       int timeoutMs)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    auto* bytes = static_cast<char*>(buffer);
    while (length > 0) {
        size_t received = 0;
        ConnStatus status = Receive(bytes, length, received, cancel, MillisecondsLeft(deadline));
        if (status != ConnStatus::Ok)
            return status;
        bytes += received;
        length -= received;
    }
    return ConnStatus::Ok;
}

ConnStatus NetConnection::ReceiveLine(char* buffer, size_t capacity, size_t& received,
                                      const CancelCheck& cancel, int timeoutMs)
{
    received = 0;
    if (capacity < kLinePeekBytes)
        return ConnStatus::Failed;
    ConnStatus status = WaitReadable(cancel, timeoutMs);
    if (status != ConnStatus::Ok)
        return status;
    ssize_t peeked = transport_->PeekSome(socket_, buffer, kLinePeekBytes);
    if (peeked <= 0)
        return ConnStatus::Failed;
    size_t take = static_cast<size_t>(peeked);
    for (size_t i = 0; i < static_cast<size_t>(peeked); ++i) {
        if (buffer[i] == '\n') { // zero bytes are simply not line feeds
            take = i + 1;
            break;
        }
    }
    status = ReceiveExact(buffer, take, cancel, timeoutMs);
    if (status == ConnStatus::Ok)
        received = take;
    return status;
}

} // namespace tavolex::net
