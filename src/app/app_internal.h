// Private to app/: descriptors, Unix-domain sockets and the lock file of the single instance.
#pragma once

#include "platform.h"

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tavolex::app {

// How long a client (a second start, tavolexctl) waits for the instance at most. The instance
// answers at once; the limit only matters for one that hangs.
inline constexpr int kClientExchangeMs = 10000;

using platform::UniqueFd;

// A connected stream socket, or none when nothing listens at `path`.
UniqueFd ConnectUnixSocket(const std::string& path);
// A non-blocking listening socket at `path`; a file left there by an instance that ended is
// replaced. None when the path is too long or the socket cannot be made.
UniqueFd ListenUnixSocket(const std::string& path);
// True when the peer of a Unix-domain connection runs as this user.
bool PeerIsThisUser(int fd);

// Writes all of `data`, waiting at most `timeoutMs` in all.
bool WriteAllWithin(int fd, std::span<const uint8_t> data, int timeoutMs);
// Reads until the peer stops writing, `limit` bytes arrived, or `timeoutMs` passed. True on the
// peer's end of writing.
bool ReadToEndWithin(int fd, std::vector<uint8_t>& out, size_t limit, int timeoutMs);
void ShutdownWriting(int fd);

// An exclusive flock on `path`, tried every 50 ms for up to `timeoutMs`. None when it could not
// be taken in time (the caller goes on without it).
UniqueFd TakeLockFile(const std::string& path, int timeoutMs);

} // namespace tavolex::app
