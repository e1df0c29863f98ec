// The layer the bytes of a NetConnection pass through: plain TCP reads and writes the socket
// directly; the TLS channel encrypts there and may hold decrypted bytes the socket no longer
// shows.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace tavolex::net {

class Transport {
public:
    virtual ~Transport() = default;
    // All never block. Read: > 0 bytes, 0 when the peer closed, -1 with errno set (EAGAIN when
    // the call must wait for the socket).
    virtual ssize_t ReadSome(int socket, void* buffer, size_t capacity) = 0;
    virtual ssize_t PeekSome(int socket, void* buffer, size_t capacity) = 0;
    virtual ssize_t WriteSome(int socket, const void* data, size_t length) = 0;
    // Bytes already received and waiting inside the layer (a decrypted record's rest).
    virtual bool HasPending() const = 0;
    virtual bool IsSecure() const { return false; }
};

} // namespace tavolex::net
