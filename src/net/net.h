// net: the program's TCP connection object.
//
// A `NetConnection` owns one non-blocking socket. Every operation that can block takes a
// `CancelCheck` and a time limit and returns a `ConnStatus`; waits are cut into 200 ms slices
// and the check is asked between slices, so a stop request or a user's abort ends a hanging
// call quickly. The web server wraps every accepted socket in one; outgoing mail and other
// clients resolve a host string and `Connect`.
//
// Bytes go through a transport layer inside the connection: plain TCP, or, after `StartTls`, a
// TLS channel (OpenSSL, TLS 1.2 and 1.3, the server's certificate checked against the system's
// trust store and the host name) over the same socket, without changing the callers. A
// mail-exchanger lookup is one more resolver that returns a `HostAddressList`.
//
//     tavolex::net::NetConnection connection;
//     if (connection.Connect("127.0.0.1:587", 25, tavolex::net::NeverCancelled()) == ConnStatus::Ok) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tavolex::net {

// The result of every blocking operation.
enum class ConnStatus : uint8_t {
    Ok = 0,
    Cancelled = 1, // the CancelCheck answered true
    Failed = 2,    // socket error, time limit used up, peer closed
};

// Asked between the slices of every wait. A check may also offer a descriptor that becomes
// readable when it is cancelled; waits include it so that a cancel ends them at once.
class CancelCheck {
public:
    virtual ~CancelCheck() = default;
    virtual bool IsCancelled() const = 0;
    virtual int CancelEventFd() const { return -1; }
};

// For callers that no user can abort.
class NeverCancelled final : public CancelCheck {
public:
    bool IsCancelled() const override { return false; }
};

inline constexpr int kConnectLimitMs = 60000; // per address
inline constexpr int kSendBufferBytes = 262144;
inline constexpr int kReceiveBufferBytes = 524288;
inline constexpr size_t kLinePeekBytes = 48;

// The result of resolving "host[:port]". Addresses are IPv4 in host byte order, in the order the
// resolver gave them.
struct HostAddressList {
    static constexpr int kMaxAddresses = 4;
    uint16_t port = 0;
    int count = 0;
    uint32_t addresses[kMaxAddresses] = {};
};

// The text after the first colon is the port (decimal); without a colon `defaultPort` is used.
// A dotted IPv4 literal gives one address; a name is resolved and its first 4 addresses kept.
HostAddressList Resolve(std::string_view hostString, uint16_t defaultPort);

// The host part of "host[:port]".
std::string_view HostPart(std::string_view hostString);

// For mail to `domain`: without a port part, the exchange name of the domain's first MX record
// (the domain itself when it has none) on port 25; a string with a port is resolved as it is.
HostAddressList ResolveMailExchanger(std::string_view domain);
// The name ResolveMailExchanger connects to: the first MX record's exchange, else the domain.
std::string MailExchangerName(std::string_view domain);

// The fully qualified name of this machine, as a mail client greets with; "127.0.0.1" when it
// has none.
std::string LocalHostName();

inline constexpr int kTlsHandshakeLimitMs = 60000;

class Transport;

class NetConnection {
public:
    NetConnection();
    ~NetConnection();
    NetConnection(const NetConnection&) = delete;
    NetConnection& operator=(const NetConnection&) = delete;

    // Takes over a connected socket (an accepted one): non-blocking, plain, no host name.
    void Adopt(int socket);
    void Close();
    bool IsOpen() const { return socket_ >= 0; }
    int Socket() const { return socket_; }
    // The host part of the last Connect, the name a TLS layer checks the certificate against.
    const std::string& HostName() const { return hostName_; }

    // Closes any previous connection, then tries each address with kConnectLimitMs each; the
    // first address that does not fail decides the result.
    ConnStatus Connect(std::string_view hostString, uint16_t defaultPort, const CancelCheck& cancel);
    // `hostName` is the name the addresses were resolved from, for StartTls to check.
    ConnStatus Connect(const HostAddressList& addresses, const CancelCheck& cancel,
                       std::string_view hostName = {});

    ConnStatus Send(const void* data, size_t length, const CancelCheck& cancel, int timeoutMs);
    ConnStatus WaitReadable(const CancelCheck& cancel, int timeoutMs);
    // Waits until readable, then takes what one read gives (at least one byte).
    ConnStatus Receive(void* buffer, size_t capacity, size_t& received, const CancelCheck& cancel,
                       int timeoutMs);
    // Receives until `length` bytes are in; the limit covers the whole call.
    ConnStatus ReceiveExact(void* buffer, size_t length, const CancelCheck& cancel, int timeoutMs);
    // Plain line reading for clients: peeks at most kLinePeekBytes, then takes bytes up to and
    // including the first line feed among them (all peeked bytes when there is none). Callers
    // join the pieces until a piece ends with a line feed. `capacity` must be at least 48.
    ConnStatus ReceiveLine(char* buffer, size_t capacity, size_t& received,
                           const CancelCheck& cancel, int timeoutMs);

    // Switches the connection to TLS: the client handshake with the host name as server name,
    // the certificate verified against the system's trust store (SSL_CERT_FILE and SSL_CERT_DIR
    // as OpenSSL reads them) and the host name. Bytes that arrived before the switch are
    // dropped, never read as part of the channel. On any failure the connection is closed, the
    // reason goes to `error` when given, and the answer is false.
    bool StartTls(const CancelCheck& cancel, std::string* error = nullptr);
    bool IsSecure() const;

private:
    ConnStatus ConnectOne(uint32_t address, uint16_t port, const CancelCheck& cancel, int timeoutMs);
    // Polls for `events` in slices; Ok when ready (or on an error condition, which the next call
    // on the socket reports), Failed when the limit is used up.
    ConnStatus WaitFor(short events, const CancelCheck& cancel, int timeoutMs);

    int socket_ = -1;
    std::string hostName_;
    std::unique_ptr<Transport> transport_; // plain TCP until a TLS channel replaces it
};

} // namespace tavolex::net
