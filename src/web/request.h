// A request as the handlers see it, and its maps. Part of web's face (web.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tavolex::net {
class NetConnection;
class CancelCheck;
} // namespace tavolex::net

namespace tavolex::web {

// Maps compare keys exactly (case-sensitive); texts are UTF-8.
using ParameterMap = std::multimap<std::string, std::string>; // a name may repeat
using CookieMap = std::map<std::string, std::string>;         // a later cookie replaces
using HeaderMap = std::map<std::string, std::string>;         // a later header replaces

// The session layer's slot on one routed request: its session and database handle. The web
// server never looks inside; the request owns it and destroys it when the request ends, which
// gives the handle back.
class RouteResources {
public:
    virtual ~RouteResources() = default;
};

class ConnectionThread;

struct WebRequest {
    ConnectionThread* thread = nullptr;
    net::NetConnection* connection = nullptr;
    const net::CancelCheck* cancel = nullptr; // the connection thread's stop request
    ParameterMap parameters; // query string, and for form routes the body
    CookieMap cookies;
    HeaderMap headers;
    std::string path;        // URL-decoded, without the leading "/", at most 259 units
    uint32_t peerAddress = 0; // IPv4, host byte order
    std::string peerText;     // "%d.%d.%d.%d"
    std::unique_ptr<RouteResources> resources; // the session layer's slot; null until it fills it
    // Cleared before a handler runs; replies set it: true after a complete response that allows
    // another request on the connection.
    bool keepAlive = false;
};

// Map look-ups: the value, or `fallback` when the name is absent (the first entry of a
// repeated parameter).
std::string Get(const ParameterMap& map, std::string_view name, std::string_view fallback = {});
std::string Get(const std::map<std::string, std::string>& map, std::string_view name,
                std::string_view fallback = {});
bool Has(const ParameterMap& map, std::string_view name);
bool Has(const std::map<std::string, std::string>& map, std::string_view name);

} // namespace tavolex::web
