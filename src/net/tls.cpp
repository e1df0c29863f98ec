// The TLS channel of a NetConnection (OpenSSL over the connection's own non-blocking socket),
// the mail-exchanger lookup and the local host name.
#include "net.h"

#include "core.h"
#include "transport.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cerrno>
#include <chrono>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavolex::net {

namespace {

using Clock = std::chrono::steady_clock;

struct SslContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// Turns OpenSSL's answer into the transport's: bytes, 0 for the peer's close, -1 with errno.
ssize_t TransportResult(SSL* ssl, int result)
{
    if (result > 0)
        return result;
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    default:
        ERR_clear_error();
        errno = EIO;
        return -1;
    }
}

class TlsTransport final : public Transport {
public:
    TlsTransport(SslContextPtr context, SslPtr ssl) : context_(std::move(context)), ssl_(std::move(ssl)) {}
    ~TlsTransport() override
    {
        // close-notify; a peer that no longer listens does not matter here.
        SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }

    ssize_t ReadSome(int, void* buffer, size_t capacity) override
    {
        return TransportResult(ssl_.get(), SSL_read(ssl_.get(), buffer, static_cast<int>(std::min<size_t>(capacity, INT32_MAX))));
    }
    ssize_t PeekSome(int, void* buffer, size_t capacity) override
    {
        return TransportResult(ssl_.get(), SSL_peek(ssl_.get(), buffer, static_cast<int>(std::min<size_t>(capacity, INT32_MAX))));
    }
    ssize_t WriteSome(int, const void* data, size_t length) override
    {
        return TransportResult(ssl_.get(), SSL_write(ssl_.get(), data, static_cast<int>(std::min<size_t>(length, INT32_MAX))));
    }
    bool HasPending() const override { return SSL_pending(ssl_.get()) > 0; }
    bool IsSecure() const override { return true; }

private:
    SslContextPtr context_;
    SslPtr ssl_;
};

std::string OpenSslReason()
{
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "the handshake failed";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool IsAddressLiteral(const std::string& host)
{
    in6_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 || inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

} // namespace

bool NetConnection::IsSecure() const
{
    return transport_->IsSecure();
}

bool NetConnection::StartTls(const CancelCheck& cancel, std::string* error)
{
    auto fail = [&](std::string reason) {
        if (error)
            *error = std::move(reason);
        Close();
        return false;
    };
    if (socket_ < 0)
        return fail("not connected");
    if (transport_->IsSecure())
        return fail("the connection is secured already");
    if (hostName_.empty())
        return fail("no host name to check the server's certificate against");
    // Whatever the peer sent before the switch is not part of the channel: a man in the middle
    // could have put it there to be read as if it came encrypted.
    char stale[4096];
    while (recv(socket_, stale, sizeof stale, MSG_DONTWAIT) > 0) {
    }

    SslContextPtr context(SSL_CTX_new(TLS_client_method()));
    if (!context)
        return fail(OpenSslReason());
    // SSL 3.0, TLS 1.0 and TLS 1.1 are broken; nothing older than 1.2 is offered.
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(context.get());
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    SslPtr ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket_) != 1)
        return fail(OpenSslReason());
    SSL_set_mode(ssl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (IsAddressLiteral(hostName_)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), hostName_.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl.get(), hostName_.c_str());
        SSL_set1_host(ssl.get(), hostName_.c_str());
    }

    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kTlsHandshakeLimitMs);
    for (;;) {
        int result = SSL_connect(ssl.get());
        if (result == 1)
            break;
        int reason = SSL_get_error(ssl.get(), result);
        if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
            long verified = SSL_get_verify_result(ssl.get());
            if (verified != X509_V_OK) {
                ERR_clear_error();
                return fail(std::string("the server's certificate is not trusted: ") + X509_verify_cert_error_string(verified));
            }
            return fail(OpenSslReason());
        }
        ConnStatus status = WaitFor(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, cancel, MillisecondsLeft(deadline));
        if (status == ConnStatus::Cancelled)
            return fail("cancelled");
        if (status != ConnStatus::Ok)
            return fail("the server did not finish the handshake in time");
    }
    transport_ = std::make_unique<TlsTransport>(std::move(context), std::move(ssl));
    return true;
}

std::string MailExchangerName(std::string_view domain)
{
    std::string name(domain);
    unsigned char answer[NS_PACKETSZ * 4];
    int length = res_query(name.c_str(), ns_c_in, ns_t_mx, answer, sizeof answer);
    if (length <= 0)
        return name;
    ns_msg message{};
    if (ns_initparse(answer, length, &message) < 0)
        return name;
    for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
        ns_rr record{};
        if (ns_parserr(&message, ns_s_an, i, &record) < 0 || ns_rr_type(record) != ns_t_mx || ns_rr_rdlen(record) < 3)
            continue;
        char exchange[NS_MAXDNAME];
        // The record's data: a 16-bit preference, then the exchange's (compressed) name.
        if (dn_expand(ns_msg_base(message), ns_msg_end(message), ns_rr_rdata(record) + 2, exchange, sizeof exchange) < 0)
            continue;
        return exchange;
    }
    return name;
}

HostAddressList ResolveMailExchanger(std::string_view domain)
{
    if (domain.find(':') != std::string_view::npos)
        return Resolve(domain, 25);
    return Resolve(MailExchangerName(domain), 25);
}

std::string LocalHostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0)
        return "127.0.0.1";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    std::string result = name;
    if (getaddrinfo(name, nullptr, &hints, &found) == 0 && found) {
        if (found->ai_canonname && found->ai_canonname[0])
            result = found->ai_canonname;
        freeaddrinfo(found);
    }
    return result;
}

} // namespace tavolex::net
