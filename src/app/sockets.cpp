// Unix-domain sockets and the lock file of the single instance. Every descriptor is made with
// close-on-exec, so a browser started later inherits none of them.
#include "app_internal.h"

#include "app.h"
#include "platform.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace tavolex::app {

namespace {

using Clock = std::chrono::steady_clock;


bool FillAddress(const std::string& path, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

std::string InstanceSocketPath()
{
    return platform::JoinPath(platform::RuntimeFolder(), "instance.sock");
}

std::string CommandSocketPath()
{
    return platform::JoinPath(platform::RuntimeFolder(), "command.sock");
}

std::string StartupLockPath()
{
    return platform::JoinPath(platform::RuntimeFolder(), "TavolexStarting.lock");
}

UniqueFd ConnectUnixSocket(const std::string& path)
{
    sockaddr_un address;
    if (!FillAddress(path, address))
        return {};
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return {};
    int result;
    do
        result = connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    while (result != 0 && errno == EINTR);
    if (result != 0)
        return {};
    return fd;
}

UniqueFd ListenUnixSocket(const std::string& path)
{
    sockaddr_un address;
    if (!FillAddress(path, address))
        return {};
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return {};
    // Callers hold the start-up lock and found nothing answering here: what is left is the
    // socket file of an instance that ended without removing it.
    unlink(path.c_str());
    // Only this user may connect, whatever the folder's mode is.
    mode_t previous = umask(0177);
    int bound = bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    umask(previous);
    if (bound != 0 || listen(fd.get(), 16) != 0)
        return {};
    return fd;
}

bool PeerIsThisUser(int fd)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return false;
    return credentials.uid == getuid();
}

bool WriteAllWithin(int fd, std::span<const uint8_t> data, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!data.empty()) {
        ssize_t put = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put > 0) {
            data = data.subspan(static_cast<size_t>(put));
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        int left = MillisecondsLeft(deadline);
        pollfd ready{fd, POLLOUT, 0};
        if (left == 0 || poll(&ready, 1, left) <= 0)
            return false;
    }
    return true;
}

bool ReadToEndWithin(int fd, std::vector<uint8_t>& out, size_t limit, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t chunk[16384];
    while (out.size() < limit) {
        ssize_t got = recv(fd, chunk, std::min(sizeof chunk, limit - out.size()), MSG_DONTWAIT);
        if (got > 0) {
            out.insert(out.end(), chunk, chunk + got);
            continue;
        }
        if (got == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        int left = MillisecondsLeft(deadline);
        pollfd ready{fd, POLLIN, 0};
        if (left == 0 || poll(&ready, 1, left) <= 0)
            return false;
    }
    return false;
}

void ShutdownWriting(int fd)
{
    shutdown(fd, SHUT_WR);
}

UniqueFd TakeLockFile(const std::string& path, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        // Only another start holding the lock is worth waiting for; a file that cannot be made
        // stays so.
        if (!fd && errno != EINTR)
            return {};
        if (fd && flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (MillisecondsLeft(deadline) == 0)
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace tavolex::app
