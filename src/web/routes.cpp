// The route registry, the reply operations and the server's own route.
#include "web.h"

#include "connection_thread.h"
#include "core.h"
#include "net.h"

#include <mutex>

namespace tavolex::web {

namespace {

constexpr int kHeaderSendBaseMs = 20000;
constexpr int kBodySendLimitMs = 600000;

std::mutex& SinkLock()
{
    static std::mutex lock;
    return lock;
}

std::function<void(ServerNotice)>& Sink()
{
    static std::function<void(ServerNotice)> sink;
    return sink;
}

// Sends a reply header and then its body; the header within (header length + 20000) ms, the
// body within 600000 ms.
bool SendReply(WebRequest& request, std::string_view header, std::string_view body)
{
    if (!request.connection || !request.cancel)
        return false;
    net::NetConnection& connection = *request.connection;
    const net::CancelCheck& cancel = *request.cancel;
    if (body.size() <= 16384) {
        // One write for a small reply: fewer packets, same bytes.
        std::string whole;
        whole.reserve(header.size() + body.size());
        whole.append(header).append(body);
        return connection.Send(whole.data(), whole.size(), cancel,
                               static_cast<int>(header.size()) + kHeaderSendBaseMs) == net::ConnStatus::Ok;
    }
    if (connection.Send(header.data(), header.size(), cancel,
                        static_cast<int>(header.size()) + kHeaderSendBaseMs) != net::ConnStatus::Ok)
        return false;
    return connection.Send(body.data(), body.size(), cancel, kBodySendLimitMs) == net::ConnStatus::Ok;
}

// The checkalive route: the interface tells the event loop that it is still open in the browser.
void CheckAlive(WebRequest& request)
{
    PostNotice(ServerNotice::BrowserAlive);
    SendOk(request);
}

} // namespace

void SetNoticeSink(std::function<void(ServerNotice notice)> sink)
{
    std::lock_guard guard(SinkLock());
    Sink() = std::move(sink);
}

void PostNotice(ServerNotice notice)
{
    std::function<void(ServerNotice)> sink;
    {
        std::lock_guard guard(SinkLock());
        sink = Sink();
    }
    if (sink)
        sink(notice);
}

// ---------------------------------------------------------------------------------------------

std::string Get(const ParameterMap& map, std::string_view name, std::string_view fallback)
{
    auto it = map.find(std::string(name));
    return it == map.end() ? std::string(fallback) : it->second;
}

std::string Get(const std::map<std::string, std::string>& map, std::string_view name,
                std::string_view fallback)
{
    auto it = map.find(std::string(name));
    return it == map.end() ? std::string(fallback) : it->second;
}

bool Has(const ParameterMap& map, std::string_view name) { return map.count(std::string(name)) > 0; }

bool Has(const std::map<std::string, std::string>& map, std::string_view name)
{
    return map.count(std::string(name)) > 0;
}

// ---------------------------------------------------------------------------------------------

RouteRegistry::RouteRegistry()
{
    // The server's own route; every other folder registers its routes before the listener starts.
    RegisterRoute("api/status/checkalive", CheckAlive);
}

RouteRegistry& RouteRegistry::Get()
{
    static RouteRegistry registry;
    return registry;
}

void RouteRegistry::RegisterRoute(std::string_view path, RouteHandler handler)
{
    plain_[std::string(path)] = Route{RouteKind::Plain, std::string(path), handler, nullptr};
}

void RouteRegistry::RegisterUploadRoute(std::string_view path)
{
    upload_routes_[std::string(path)] = Route{RouteKind::Upload, std::string(path), upload_, nullptr};
}

void RouteRegistry::RegisterJsonRoute(std::string_view path, JsonRouteHandler handler)
{
    Route route{RouteKind::JsonBody, std::string(path), nullptr, handler};
    json_[std::string(path)] = std::move(route);
}

void RouteRegistry::SetUploadHandler(UploadHandler handler)
{
    // Every upload route shares the one handler, whichever was registered first.
    upload_ = handler;
    for (auto& [path, route] : upload_routes_)
        route.handler = handler;
}

const Route* RouteRegistry::Find(std::string_view path, bool isPost) const
{
    if (isPost) {
        if (auto it = json_.find(path); it != json_.end())
            return &it->second;
        if (auto it = upload_routes_.find(path); it != upload_routes_.end() && upload_)
            return &it->second;
    }
    if (auto it = plain_.find(path); it != plain_.end())
        return &it->second;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------

bool SendJson(WebRequest& request, std::string_view utf8)
{
    TextBuffer header;
    AppendFormat(header,
                 "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\n"
                 "Content-Length: %Iu\r\n\r\n",
                 utf8.size());
    request.keepAlive = SendReply(request, header.view(), utf8);
    return request.keepAlive;
}

bool SendOk(WebRequest& request) { return SendJson(request, "{\"errorcode\":200,\"errormsg\":\"OK\"}"); }

bool SendError(WebRequest& request, int code, std::string_view message)
{
    return SendJson(request, Format("{\"errorcode\":%d,\"errormsg\":\"%J\"}", code, message));
}

bool SendRedirectError(WebRequest& request, std::string_view message, std::string_view target)
{
    return SendJson(request, Format("{\"errorcode\":%d,\"errormsg\":\"%J\",\"errorredirect\":\"%J\"}",
                                    303, message, target));
}

bool SendJsonValue(WebRequest& request, JsonValue& value)
{
    value.SetIntegerMember("errorcode", 200);
    value.SetStringMember("errormsg", "OK");
    TextBuffer text;
    if (value.Serialize(text) != JsonStatus::Ok)
        return SendJson(request, {});
    return SendJson(request, text.view());
}

bool SendStatus(WebRequest& request, int code, std::string_view reason)
{
    std::string header = Format("HTTP/1.1 %d %s\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", code, reason);
    bool sent = SendReply(request, header, {});
    request.keepAlive = false;
    return sent;
}

bool SendSessionCookie(WebRequest& request, std::string_view sessionName)
{
    if (sessionName.empty())
        LogError("LWebletSessionDataDBBased::GetID() called without a CreateNewSession or LoadSession!");
    constexpr std::string_view body = "{\"errorcode\":200,\"errormsg\":\"OK\",\"issessionvalid\":true}";
    std::string header = Format("HTTP/1.1 200 OK\r\nSet-Cookie: tavolexs_sess=%s%s; path=/\r\n"
                                "Cache-Control: no-cache\r\nContent-Type: application/json\r\n"
                                "Content-Length: %Iu\r\n\r\n",
                                sessionName, "", body.size());
    request.keepAlive = SendReply(request, header, body);
    return request.keepAlive;
}

bool SendRedirect(WebRequest& request, std::string_view location)
{
    std::string header = Format("HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n", location);
    request.keepAlive = SendReply(request, header, {});
    return request.keepAlive;
}

} // namespace tavolex::web
